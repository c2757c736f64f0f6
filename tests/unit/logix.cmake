# Unit tests of the Logix tag client library and of the value text functions.
if(TARGET zelkc_logix)
  set(logix_unit_tests logix_path_test logix_model_test logix_browse_test logix_template_test logix_read_test
      logix_write_test)
  foreach(t ${logix_unit_tests})
    if(EXISTS "${CMAKE_CURRENT_LIST_DIR}/${t}.cc")
      orvane_add_test(${t} SOURCES ${CMAKE_CURRENT_LIST_DIR}/${t}.cc LIBS zelkc_logix)
      target_include_directories(${t} PRIVATE ${PROJECT_SOURCE_DIR}/logix/src)
    endif()
  endforeach()
endif()
if(TARGET orvane_valuetext AND EXISTS "${CMAKE_CURRENT_LIST_DIR}/logix_valuetext_test.cc")
  orvane_add_test(logix_valuetext_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/logix_valuetext_test.cc
                  LIBS orvane_valuetext)
  orvane_add_test(core_address_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/core_address_test.cc
                  LIBS orvane_valuetext)
endif()
