# Installation into the desktop (program, launcher, icons, AppStream data) and the Debian package.
include(GNUInstallDirs)

set(VYX_PAGE_DIR ${CMAKE_CURRENT_LIST_DIR}/../app/page)
# The desktop's name for the program: reverse DNS under the project's placeholder domain
# vyx.example. The launcher, the icons and the AppStream file are all named after it.
set(VYX_DESKTOP_ID example.vyx.encryption)

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

set(CPACK_PACKAGE_NAME vyx-encryption)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "VYX Encryption developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Encrypt and decrypt single files with a sixteen-character key")
set(CPACK_PACKAGE_DESCRIPTION "A small desktop tool that encrypts and decrypts one file at a \
time with a key of sixteen characters that the user types or lets the tool generate.")
set(CPACK_PACKAGE_CONTACT "VYX Encryption developers <vyx-encryption@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The browser engine's helper process lives in a package its library does not pull in.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6webenginecore6-bin")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-qpa-plugins")
set(CPACK_GENERATOR DEB)
include(CPack)
