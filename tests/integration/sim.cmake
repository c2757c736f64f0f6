# logix-sim over loopback TCP: concurrent clients, fault switches, garbage, the executable.
orvane_add_test(sim_server_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_server_test.cc
  LIBS logixsim
  LABELS tsan)
target_compile_definitions(sim_server_test PRIVATE
  SIM_SOURCE_DIR="${PROJECT_SOURCE_DIR}/sim"
  LOGIX_SIM_EXE="$<TARGET_FILE:logix-sim>")
add_dependencies(sim_server_test logix-sim)
