# Fuzz targets of the Logix tag client library's decoders and tag path builder.
if(TARGET zelkc_logix)
  foreach(f fuzz_logix_browse_page fuzz_logix_template fuzz_logix_read_reply fuzz_logix_tag_path)
    orvane_add_fuzzer(${f} SOURCES ${CMAKE_CURRENT_LIST_DIR}/${f}.cc LIBS zelkc_logix)
    target_include_directories(${f} PRIVATE ${PROJECT_SOURCE_DIR}/logix/src)
  endforeach()
  if(TARGET orvane_valuetext)
    orvane_add_fuzzer(fuzz_logix_write_reply SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_logix_write_reply.cc
                      LIBS zelkc_logix orvane_valuetext)
    target_include_directories(fuzz_logix_write_reply PRIVATE ${PROJECT_SOURCE_DIR}/logix/src)
  endif()
endif()
