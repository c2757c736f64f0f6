# The Windows build's tests, run by ctest under Wine (the cross-compiling emulator): the unit tests
# that need no POSIX calls, and the Winsock transport against a real server.
foreach(t logix_path_test logix_model_test logix_browse_test logix_template_test logix_read_test
          logix_write_test logix_status_test)
  orvane_add_test(${t} SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/${t}.cc LIBS zelkc_logix)
  target_include_directories(${t} PRIVATE ${PROJECT_SOURCE_DIR}/logix/src)
endforeach()
orvane_add_test(logix_valuetext_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/logix_valuetext_test.cc
                LIBS orvane_valuetext)
orvane_add_test(core_address_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/core_address_test.cc
                LIBS orvane_valuetext)
orvane_add_test(core_reconnect_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/core_reconnect_test.cc
                LIBS orvane_core)
orvane_add_test(core_threadpool_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/core_threadpool_test.cc
                LIBS orvane_core)

# The simulator's Winsock server in-process, the same tests as on Linux (what needs POSIX left out):
# several clients at once, every fault switch, garbage, a stop with connections open, idle closes,
# class 3 connections, the wall clock, ListIdentity over UDP.
foreach(t sim_server_test sim_connected_test)
  orvane_add_test(${t} SOURCES ${CMAKE_CURRENT_LIST_DIR}/../integration/${t}.cc LIBS logixsim)
  target_compile_definitions(${t} PRIVATE SIM_SOURCE_DIR="${PROJECT_SOURCE_DIR}/sim")
  set_tests_properties(${t} PROPERTIES LABELS "integration;windows")
endforeach()

# The Winsock transport against listeners of its own and both simulators, and the Windows
# orvane-cli against both, compared line by line with the Linux one, and ended by Ctrl-C
# (tests/windows/against-sims; needs the host build's logix-sim and orvane-cli).
orvane_add_test(windows_transport_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/windows_transport_test.cc
                LIBS zelkc_cip ws2_32)
set_tests_properties(windows_transport_test PROPERTIES LABELS "unit;windows")
if(ORVANE_HOST_BUILD AND TARGET orvane-cli)
  add_test(NAME windows_against_sims
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/against-sims "${ORVANE_HOST_BUILD}/bin"
                   "${CMAKE_CROSSCOMPILING_EMULATOR}" $<TARGET_FILE:orvane-cli> $<TARGET_FILE:windows_transport_test>
                   $<TARGET_FILE:logix-sim>)
  set_tests_properties(windows_against_sims PROPERTIES LABELS "integration;windows" TIMEOUT 300)
endif()

# The platform layer's files, folders and clocks: the same test as on Linux.
orvane_add_test(core_platform_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/../unit/core_platform_test.cc LIBS orvane_core)

# Posts WM_CLOSE to the window (scripts/windows-screenshot closes orvane.exe with it under Wine).
add_executable(close-window ${CMAKE_CURRENT_LIST_DIR}/close_window.cc)
orvane_warnings(close-window)

# Runs a program in a console of its own and prints what the console shows (scripts/windows-package
# checks with it that orvane.exe --version prints into the console it was started from).
add_executable(in-console ${CMAKE_CURRENT_LIST_DIR}/in_console.cc)
orvane_warnings(in-console)
