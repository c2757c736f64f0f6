# logix-sim: byte-level tests of its request handling (no sockets) and of controller files.
orvane_add_test(sim_wire_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_wire_test.cc
  LIBS logixsim)
target_compile_definitions(sim_wire_test PRIVATE SIM_SOURCE_DIR="${PROJECT_SOURCE_DIR}/sim")

orvane_add_test(sim_controller_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_controller_test.cc
  LIBS logixsim)
target_compile_definitions(sim_controller_test PRIVATE SIM_SOURCE_DIR="${PROJECT_SOURCE_DIR}/sim")

orvane_add_test(sim_session_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_session_test.cc
  LIBS logixsim)
target_compile_definitions(sim_session_test PRIVATE SIM_SOURCE_DIR="${PROJECT_SOURCE_DIR}/sim")
target_include_directories(sim_session_test PRIVATE ${PROJECT_SOURCE_DIR}/sim/src)
