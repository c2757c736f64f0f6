# The Windows layout and packages (scripts/windows --package): every file in one folder,
#   orvane.exe, orvane-cli.exe, (logix-sim.exe), assets.pak beside them, the licences, demo.json,
# as an NSIS installer orvane-<version>-setup.exe (Start menu entry with the icon, uninstaller, for
# the current user or every user: packaging/windows/NSIS.template.in) and a zip of the same files,
# both written by CPack.

foreach(program orvane orvane-cli logix-sim)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION .)
  endif()
endforeach()
if(ORVANE_ASSETS_PAK)
  install(FILES "${ORVANE_ASSETS_PAK}" DESTINATION .)
endif()
if(ORVANE_ASSET_LICENSES)
  install(FILES ${ORVANE_ASSET_LICENSES} DESTINATION .)
endif()
install(FILES "${PROJECT_SOURCE_DIR}/sim/controllers/demo.json" DESTINATION .)
install(FILES "${PROJECT_SOURCE_DIR}/packaging/windows/orvane.ico" DESTINATION .)
install(FILES "${PROJECT_SOURCE_DIR}/packaging/copyright" DESTINATION . RENAME COPYRIGHT.txt)

set(CPACK_PACKAGE_NAME "orvane")
set(CPACK_PACKAGE_VENDOR "Orvane")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Orvane: browse, watch and change tags of Logix controllers")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Orvane")
set(CPACK_PACKAGE_EXECUTABLES "orvane;Orvane")
set(CPACK_GENERATOR "NSIS;ZIP")
set(CPACK_STRIP_FILES ON)
# orvane-<version>-setup.exe and orvane-<version>-windows-x64.zip (packaging/windows/cpack-names.cmake).
set(CPACK_PACKAGE_FILE_NAME "orvane-${PROJECT_VERSION}-windows-x64")
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/packaging/windows/cpack-names.cmake")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
configure_file("${PROJECT_SOURCE_DIR}/packaging/copyright" "${CMAKE_BINARY_DIR}/packaging/COPYRIGHT.txt" COPYONLY)
set(CPACK_RESOURCE_FILE_LICENSE "${CMAKE_BINARY_DIR}/packaging/COPYRIGHT.txt")
set(CPACK_NSIS_PACKAGE_NAME "Orvane ${PROJECT_VERSION}")
set(CPACK_NSIS_DISPLAY_NAME "Orvane")
set(CPACK_NSIS_MUI_ICON "${PROJECT_SOURCE_DIR}/packaging/windows/orvane.ico")
set(CPACK_NSIS_MUI_UNIICON "${PROJECT_SOURCE_DIR}/packaging/windows/orvane.ico")
set(CPACK_NSIS_INSTALLED_ICON_NAME "orvane.exe")
set(CPACK_NSIS_COMPRESSOR "/SOLID lzma")
# A 64-bit installer for 64-bit programs (NSIS's amd64-unicode stubs).
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
# Our installer script in place of CPack's (which installs for every user only): CPack looks for
# NSIS.template.in on the module path first.
list(PREPEND CMAKE_MODULE_PATH "${PROJECT_SOURCE_DIR}/packaging/windows")
include(CPack)
