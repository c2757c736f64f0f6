# The reason table and the zeroed per-entry statuses of a batch read (orvane-cli's read test
# checks the statuses themselves against logix-sim).
if(TARGET zelkc_logix)
  orvane_add_test(logix_status_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/logix_status_test.cc
                  LIBS zelkc_logix)
endif()
