# The program's version, written once in project(): generated into vyx_version.h for the code
# (the About box, the application object, the command line's --version) and read by the package.
# The release notes that carry it by hand (the AppStream release, the changelog, the manual page)
# are checked here, so that a new version without its notes stops at configure time.
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${PROJECT_BINARY_DIR}/generated/vyx_version.h
               @ONLY)
add_library(vyx_version INTERFACE)
target_include_directories(vyx_version INTERFACE ${PROJECT_BINARY_DIR}/generated)

function(vyx_check_version file pattern)
  file(STRINGS ${PROJECT_SOURCE_DIR}/${file} hits REGEX "${pattern}" LIMIT_COUNT 1)
  if(NOT hits)
    message(FATAL_ERROR "${file} does not name version ${PROJECT_VERSION} where expected: "
                        "add its release notes for this version")
  endif()
endfunction()
string(REPLACE "." "\\." vyx_version_pattern ${PROJECT_VERSION})
vyx_check_version(app/page/example.vyx.encryption.metainfo.xml
                  "<release version=\"${vyx_version_pattern}\"")
vyx_check_version(packaging/changelog "^vyx-encryption \\(${vyx_version_pattern}\\)")
vyx_check_version(packaging/vyx-encryption.1 "\"VYX Encryption ${vyx_version_pattern}\"")
