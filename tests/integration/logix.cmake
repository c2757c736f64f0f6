# Integration tests of the Logix tag client library against logix-sim over loopback TCP.
if(TARGET zelkc_logix AND TARGET logixsim)
  orvane_add_test(logix_client_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/logix_client_test.cc
                  LIBS zelkc_logix logixsim)
  target_include_directories(logix_client_test PRIVATE ${PROJECT_SOURCE_DIR}/logix/src)
  target_compile_definitions(logix_client_test PRIVATE
                             LOGIX_DEMO_JSON="${PROJECT_SOURCE_DIR}/sim/controllers/demo.json")
  set_tests_properties(logix_client_test PROPERTIES LABELS "unit;integration;tsan")
endif()
