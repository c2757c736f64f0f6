# logix-sim over loopback TCP: concurrent clients, fault switches, garbage, stopping.
orvane_add_test(sim_server_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_server_test.cc
  LIBS logixsim
  LABELS tsan)
target_compile_definitions(sim_server_test PRIVATE
  SIM_SOURCE_DIR="${PROJECT_SOURCE_DIR}/sim"
  LOGIX_SIM_EXE="$<TARGET_FILE:logix-sim>")
add_dependencies(sim_server_test logix-sim)

# st-ethernet-ip (npm, pinned in tests/interop) against the logix-sim executable, in both of its
# modes. scripts/setup installs node and the package; without them the tests fail.
foreach(mode connected unconnected)
  add_test(NAME sim_st_ethernet_ip_${mode}
    COMMAND bash "${PROJECT_SOURCE_DIR}/tests/interop/run_st_ethernet_ip.sh" "$<TARGET_FILE:logix-sim>" ${mode})
  set_tests_properties(sim_st_ethernet_ip_${mode} PROPERTIES LABELS "integration;interop" TIMEOUT 300)
endforeach()

# Class 3 connections and the services of third-party clients, over loopback TCP and UDP.
orvane_add_test(sim_connected_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_connected_test.cc
  LIBS logixsim
  LABELS tsan)
target_compile_definitions(sim_connected_test PRIVATE SIM_SOURCE_DIR="${PROJECT_SOURCE_DIR}/sim")
