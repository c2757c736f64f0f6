# Per generator: the installer is orvane-<version>-setup.exe, the zip keeps the platform's name.
if(CPACK_GENERATOR STREQUAL "NSIS")
  set(CPACK_PACKAGE_FILE_NAME "orvane-${CPACK_PACKAGE_VERSION}-setup")
endif()
