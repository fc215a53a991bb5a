# What `cmake --install` puts under the prefix, and the Debian package CPack
# makes of the same.
#   Linux:   lib/velk-plugin/VelkPlugin.wfx with its locale/ folder,
#            bin/velkfs and bin/phonesim
#   Windows: VelkPlugin.wfx with its locale/ folder, pluginst.inf and
#            readme.txt at the top: the contents of the release archive that a
#            file manager installs the plug-in from (scripts/package.sh)
if(WIN32)
  set(module_dir .)
  # Both in Windows' line endings.
  configure_file(${CMAKE_SOURCE_DIR}/packaging/win32/readme.txt ${CMAKE_BINARY_DIR}/readme.txt @ONLY
                 NEWLINE_STYLE CRLF)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/win32/pluginst.inf.in ${CMAKE_BINARY_DIR}/pluginst.inf @ONLY
                 NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/readme.txt ${CMAKE_BINARY_DIR}/pluginst.inf DESTINATION .)
else()
  set(module_dir lib/velk-plugin)
  install(TARGETS velkfs phonesim RUNTIME DESTINATION bin)
endif()
install(TARGETS VelkPlugin LIBRARY DESTINATION ${module_dir})
# The module is built with its catalogues, so that whatever built it can install it.
add_dependencies(VelkPlugin velk_catalogues)
install(DIRECTORY ${VELK_CATALOGUE_DIR} DESTINATION ${module_dir})

# Installing needs only what is installed, not the tests.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velk-plugin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "the Velk Plugin developers <velk-plugin@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "File-system plug-in for the flash file system of BREW phones on a serial port")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "VelkPlugin.wfx shows the flash file system of a BREW phone as a folder of a\ntwo-panel file manager that loads file-system plug-ins. velkfs drives it from\nthe command line; phonesim emulates a phone on a pseudo-terminal.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_SOURCE_DIR}/dist)
include(CPack)
