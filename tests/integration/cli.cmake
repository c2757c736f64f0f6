# orvane-cli run as a child process against logix-sim on loopback.
if(TARGET orvane-cli AND TARGET logixsim)
  orvane_add_test(cli_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/cli_test.cc LIBS logixsim)
  target_compile_definitions(cli_test PRIVATE
    ORVANE_CLI_EXE="$<TARGET_FILE:orvane-cli>"
    CLI_BROWSE_GOLDEN="${CMAKE_CURRENT_LIST_DIR}/cli_browse_golden.txt")
  add_dependencies(cli_test orvane-cli)
  set_tests_properties(cli_test PROPERTIES LABELS "unit;integration;tsan")
endif()
# orvane-cli against the hostile device of tests/support (no simulator needed).
if(TARGET orvane-cli)
  orvane_add_test(cli_hostile_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/cli_hostile_test.cc)
  target_compile_definitions(cli_hostile_test PRIVATE ORVANE_CLI_EXE="$<TARGET_FILE:orvane-cli>")
  add_dependencies(cli_hostile_test orvane-cli)
endif()
