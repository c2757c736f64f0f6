# The reason table and the per-entry status of a batch read (against logix-sim on loopback).
if(TARGET zelkc_logix AND TARGET logixsim)
  orvane_add_test(logix_status_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/logix_status_test.cc
                  LIBS zelkc_logix logixsim)
endif()
