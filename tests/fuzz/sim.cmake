# logix-sim's request decoding: CIP requests, encapsulation streams, SendRRData contents.
orvane_add_fuzzer(fuzz_sim_request
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_sim_request.cc
  LIBS logixsim)
