# Where `cmake --install` puts everything (Debian layout under CMAKE_INSTALL_PREFIX, /usr for the
# package), and the Debian package CPack writes from it (scripts/package runs both).
#
#   bin/orvane, bin/orvane-cli, bin/logix-sim
#   share/orvane/assets.pak           found by start-up as <exe>/../share/orvane/assets.pak
#   share/orvane/demo.json            the simulator's demo controller, to copy and edit
#   share/doc/orvane/                 copyright, changelog.gz, the font's licence
#   share/applications/orvane.desktop and the icon in share/icons/hicolor (scalable and 256x256)
#   share/man/man1/*.1.gz
#
# The version is PROJECT_VERSION (the project() call): orvane-cli --version, the package and its
# changelog all take it from there.

include(GNUInstallDirs)

set(pkg_src "${PROJECT_SOURCE_DIR}/packaging")
set(pkg_out "${CMAKE_BINARY_DIR}/packaging")
file(MAKE_DIRECTORY "${pkg_out}")

foreach(program orvane orvane-cli logix-sim)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

if(ORVANE_ASSETS_PAK)
  install(FILES "${ORVANE_ASSETS_PAK}" DESTINATION ${CMAKE_INSTALL_DATADIR}/orvane)
endif()
install(FILES "${PROJECT_SOURCE_DIR}/sim/controllers/demo.json" DESTINATION ${CMAKE_INSTALL_DATADIR}/orvane)

# Debian wants compressed man pages and changelogs without a name or time in the gzip header
# (gzip -n), so that rebuilding gives the same bytes.
set(gz_files)
function(orvane_gzip_copy source output)
  get_filename_component(plain "${output}" NAME_WLE)
  get_filename_component(dir "${output}" DIRECTORY)
  add_custom_command(
    OUTPUT "${output}"
    COMMAND ${CMAKE_COMMAND} -E copy "${source}" "${dir}/${plain}"
    COMMAND gzip -9nf "${dir}/${plain}"
    DEPENDS "${source}"
    VERBATIM)
  set(gz_files ${gz_files} "${output}" PARENT_SCOPE)
endfunction()

file(MAKE_DIRECTORY "${pkg_out}/man" "${pkg_out}/doc")
foreach(page orvane orvane-cli logix-sim)
  orvane_gzip_copy("${pkg_src}/man/${page}.1" "${pkg_out}/man/${page}.1.gz")
  install(FILES "${pkg_out}/man/${page}.1.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

# The changelog's one entry names this version; its date is the configure time, or
# SOURCE_DATE_EPOCH when set (reproducible builds).
string(TIMESTAMP ORVANE_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ORVANE_PACKAGE_MAINTAINER "Orvane developers <orvane@zelk.de>" CACHE STRING
    "Maintainer field of the Debian package and its changelog")
configure_file("${pkg_src}/changelog.in" "${pkg_out}/changelog.src" @ONLY)
orvane_gzip_copy("${pkg_out}/changelog.src" "${pkg_out}/doc/changelog.gz")
install(FILES "${pkg_out}/doc/changelog.gz" "${pkg_src}/copyright" DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/orvane)
if(ORVANE_ASSET_LICENSES)
  install(FILES ${ORVANE_ASSET_LICENSES} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/orvane)
endif()

# The desktop menu: the entry and the application's mark as its icon, scalable and 256 px.
install(FILES "${pkg_src}/orvane.desktop" DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES "${PROJECT_SOURCE_DIR}/assets/icons/zelk.svg" RENAME orvane.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
if(TARGET svg2png)
  set(icon_png "${pkg_out}/orvane.png")
  add_custom_command(
    OUTPUT "${icon_png}"
    COMMAND svg2png "${PROJECT_SOURCE_DIR}/assets/icons/zelk.svg" "${icon_png}" 256 256
    DEPENDS svg2png "${PROJECT_SOURCE_DIR}/assets/icons/zelk.svg"
    COMMENT "Rendering the 256 px application icon"
    VERBATIM)
  install(FILES "${icon_png}" DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)
  list(APPEND gz_files "${icon_png}")
endif()
add_custom_target(packaging_files ALL DEPENDS ${gz_files})

# The Debian package: orvane_<version>_<arch>.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvane)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${ORVANE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ORVANE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS "${pkg_src}/strip.cmake")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# The first line is the synopsis, the rest the extended description; CPack indents it and turns the
# empty line into the " ." that separates paragraphs.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "browse and watch the tags of Logix controllers
Orvane connects to a Logix programmable controller over EtherNet/IP, shows
its identity, lists its whole tag database as a tree (controller and
program tags, structures and arrays opened member by member) and keeps a
watch table of picked tags whose values are read once a second.

The package holds the desktop application (orvane), its command-line
companion (orvane-cli: identity, browse, read and watch from the shell)
and logix-sim, a Logix controller simulator to try them against.")
include(CPack)
