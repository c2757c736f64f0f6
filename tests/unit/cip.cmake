# zelkc_cip: encoders and decoders, transport and session against a scripted loopback peer
# (cip_test_peer.h), unconnected/routed/multiple sends, and the allocation-failure sweep.
if(TARGET zelkc_cip)
  foreach(t codec session messaging alloc connected hostile)
    orvane_add_test(cip_${t}_test SOURCES unit/cip_${t}_test.cc LIBS zelkc_cip)
  endforeach()
endif()
