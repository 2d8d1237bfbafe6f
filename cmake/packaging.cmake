# Installation into the desktop (program, launcher, icons, AppStream data, manual pages) and the
# Debian package (cmake --workflow --preset package).
include(GNUInstallDirs)

set(VYX_PAGE_DIR ${CMAKE_CURRENT_LIST_DIR}/../app/page)
set(VYX_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR}/../packaging)
# The desktop's name for the program: reverse DNS under the project's placeholder domain
# vyx.example. The launcher, the icons and the AppStream file are all named after it.
set(VYX_DESKTOP_ID example.vyx.encryption)
set(VYX_MAINTAINER "VYX Encryption developers <maintainers@vyx.example>")

install(TARGETS vyx-encryption RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${VYX_PAGE_DIR}/${VYX_DESKTOP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${VYX_PAGE_DIR}/${VYX_DESKTOP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
foreach(size 16 24 32 48 64 128 256 512)
  install(FILES ${VYX_PAGE_DIR}/icons/${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME ${VYX_DESKTOP_ID}.png)
endforeach()
install(FILES ${VYX_PAGE_DIR}/${VYX_DESKTOP_ID}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Manual pages and the changelog go in compressed as Debian wants them: gzip -9, without the
# name and time stamp that would make two builds differ.
# The command line in cli/ brings its own page.
set(VYX_MAN_PAGES ${VYX_PACKAGING_DIR}/vyx-encryption.1 ${PROJECT_SOURCE_DIR}/cli/vyx.1)
set(VYX_COMPRESSED)
function(vyx_compress source output)
  get_filename_component(folder ${output} DIRECTORY)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${folder}/plain
    COMMAND gzip -9nf ${folder}/plain
    COMMAND ${CMAKE_COMMAND} -E rename ${folder}/plain.gz ${output}
    DEPENDS ${source} VERBATIM)
  set(VYX_COMPRESSED ${VYX_COMPRESSED} ${output} PARENT_SCOPE)
endfunction()
foreach(page ${VYX_MAN_PAGES})
  get_filename_component(name ${page} NAME)
  vyx_compress(${page} ${CMAKE_CURRENT_BINARY_DIR}/man/${name}/${name}.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/${name}/${name}.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
# The command line's completions, where each shell looks for them.
set(VYX_COMPLETIONS_DIR ${VYX_PACKAGING_DIR}/completions)
install(FILES ${VYX_COMPLETIONS_DIR}/vyx.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME vyx)
install(FILES ${VYX_COMPLETIONS_DIR}/_vyx DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)
install(FILES ${VYX_COMPLETIONS_DIR}/vyx.fish
        DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)
vyx_compress(${VYX_PACKAGING_DIR}/changelog ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz)
add_custom_target(vyx-package-documents ALL DEPENDS ${VYX_COMPRESSED})
set(VYX_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/vyx-encryption)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz ${VYX_PACKAGING_DIR}/copyright
        DESTINATION ${VYX_DOC_DIR})

set(CPACK_PACKAGE_NAME vyx-encryption)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "VYX Encryption developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "encrypt and decrypt single files with a 16-character key")
# Debian's extended description, after the summary: lines of at most 79 characters, an empty
# line between paragraphs.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "\
A small desktop tool that encrypts and decrypts one file at a time with a key
of sixteen characters that the user types or lets the tool generate. It
proposes the output name beside the input (report.doc gives report_encr.doc)
and shows the progress of each run.

The format is weak: a key folds to at most 2^48 distinct states, a generated
key to at most 2^32, and nothing detects a wrong key or a damaged file.")
set(CPACK_PACKAGE_CONTACT "${VYX_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VYX_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://vyx.example/")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The package lands at the top of the source tree, where the README's apt install finds it; CPack's
# own work stays in the build folder.
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_SOURCE_DIR})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The libraries' own dependencies include the browser engine's helper process (its -bin package).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded on demand, so not among the libraries the programs are linked with.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcurl4")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-qpa-plugins")
set(CPACK_GENERATOR DEB)
include(CPack)
