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
