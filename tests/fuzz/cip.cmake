# zelkc_cip decoders of device bytes: CIP replies, CPF blocks, Multiple Service Packet replies, Identity,
# Forward Open replies and SendUnitData blocks.
if(TARGET zelkc_cip)
  orvane_add_fuzzer(fuzz_cip_response_parse SOURCES fuzz/fuzz_cip_response_parse.cc LIBS zelkc_cip)
  orvane_add_fuzzer(fuzz_cip_cpf SOURCES fuzz/fuzz_cip_cpf.cc LIBS zelkc_cip)
  orvane_add_fuzzer(fuzz_cip_multiple_response SOURCES fuzz/fuzz_cip_multiple_response.cc LIBS zelkc_cip)
  orvane_add_fuzzer(fuzz_cip_identity SOURCES fuzz/fuzz_cip_identity.cc LIBS zelkc_cip)
  orvane_add_fuzzer(fuzz_cip_forward_open_reply SOURCES fuzz/fuzz_cip_forward_open_reply.cc LIBS zelkc_cip)
  orvane_add_fuzzer(fuzz_cip_connected_data SOURCES fuzz/fuzz_cip_connected_data.cc LIBS zelkc_cip)
endif()
