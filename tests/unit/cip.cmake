# zelkc_cip: encoders and decoders, transport and session against a scripted loopback peer,
# unconnected/routed/multiple sends, and the allocation-failure sweep.
if(TARGET zelkc_cip)
  add_library(cip_test_peer STATIC unit/cip_test_peer.cc)
  target_link_libraries(cip_test_peer PUBLIC Threads::Threads)
  orvane_warnings(cip_test_peer)

  orvane_add_test(cip_codec_test SOURCES unit/cip_codec_test.cc LIBS zelkc_cip cip_test_peer)
  orvane_add_test(cip_session_test SOURCES unit/cip_session_test.cc LIBS zelkc_cip cip_test_peer)
  orvane_add_test(cip_messaging_test SOURCES unit/cip_messaging_test.cc LIBS zelkc_cip cip_test_peer)
  orvane_add_test(cip_alloc_test SOURCES unit/cip_alloc_test.cc LIBS zelkc_cip cip_test_peer)
endif()
