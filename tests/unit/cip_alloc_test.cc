// Every block of zelkc_cip goes through the allocation hooks: a counting allocator proves that no
// block leaks on success or on any failure path, failing the n-th allocation for every n.
#include "cip_test_peer.h"
#include "zelkc_cip.h"

#include <gtest/gtest.h>

using namespace cip_test;

// Runs a step only while every earlier one succeeded; `rc` holds the first failure.
#define STEP(expr) (void)(rc == ZELKC_CIP_OK && (rc = (expr)))

// Runs `op` (which releases whatever it obtained) failing the n-th allocation, for n = 1, 2, ...
// until a run completes without reaching n. Every run must leave no block behind and report
// either success or the allocation failure.
TEST(CipAllocation, EveryPathReleasesEverything) {
    auto sweep = [](uint8_t (*op)()) {
        Counting counting;
        for (long n = 1;; ++n) {
            counting.live = counting.calls = 0;
            counting.fail_at = n;
            const uint8_t rc = op();
            EXPECT_EQ(counting.live, 0) << "leak when allocation " << n << " fails";
            if (counting.calls < n) { // nothing failed: the run must succeed
                EXPECT_EQ(rc, ZELKC_CIP_OK);
                return;
            }
            EXPECT_TRUE(rc == ZELKC_CIP_OK || rc == ZELKC_CIP_ERR_NO_MEMORY) << n << ": " << int(rc);
        }
    };
    sweep([] {
        const Bytes addr = hex("0A000001"), cip = hex("0E02 20012401"), reply = hex("CC000101 0500 C400"),
                    multiple = hex("8A001E00 0300 0800 0C00 1200 81000000 81000801 0100 81000000 09"),
                    data = hex("0100 0E00 5F00 200B 6030 01020304 03 4C3835");
        const zelkc_cip_response id_reply = {0x81, 0, 0, {}, {const_cast<uint8_t*>(data.data()), 18, 0}};
        const zelkc_cip_request* id = zelkc_cip_identity_object_request();
        const zelkc_cip_request requests[3] = {*id, *id, *id};
        zelkc_cip_buffer p = {}, route = {}, routed = {}, block = {}, item = {}, packet = {};
        zelkc_cip_response r = {};
        zelkc_cip_multiple_response m = {};
        zelkc_cip_identity identity = {};
        uint8_t rc = ZELKC_CIP_OK;
        STEP(zelkc_cip_path_add_ansi_symbol(&p, "Program:MainProgram"));
        STEP(zelkc_cip_path_add_ansi_symbol(&p, "A_rather_long_tag_name"));
        STEP(zelkc_cip_route_path_add_backplane_slot(&route, 1));
        STEP(zelkc_cip_route_path_add_port(&route, 2, addr.data(), 4));
        STEP(zelkc_cip_routed_request_encode(id, &route, 10, 14, &routed));
        STEP(zelkc_cip_response_parse(reply.data(), uint32_t(reply.size()), &r));
        STEP(zelkc_cip_cpf_build_rr_data(cip.data(), uint32_t(cip.size()), 0, &block));
        STEP(zelkc_cip_cpf_extract_unconnected_data(block.data, block.size, &item));
        STEP(zelkc_cip_identity_object_parse(&id_reply, &identity));
        STEP(zelkc_cip_multiple_request_encode(requests, 3, &packet));
        STEP(zelkc_cip_multiple_response_parse(multiple.data(), uint32_t(multiple.size()), &m));
        for (zelkc_cip_buffer* b : {&p, &route, &routed, &block, &item, &packet})
            zelkc_cip_path_free(b);
        zelkc_cip_response_free(&r);
        zelkc_cip_multiple_response_free(&m);
        zelkc_cip_identity_object_free(&identity);
        return rc;
    });
    // A device that answers direct, routed (with the target's own reply) and multiple requests,
    // refusing packets of more than two services so that the send must split.
    sweep([] {
        Device device;
        device.on_cip = [](const Bytes& cip) {
            std::vector<Bytes> packet = unpack_multiple(cip);
            return packet.empty()      ? hex("81000000 0100")
                   : packet.size() > 2 ? hex("8A001A00")
                                       : echo_multiple(packet);
        };
        ScriptedPeer peer(device.handler());
        const zelkc_cip_request* id = zelkc_cip_identity_object_request();
        const zelkc_cip_request requests[4] = {*id, *id, *id, *id};
        zelkc_cip_client* client = zelkc_cip_client_create();
        zelkc_cip_response r = {};
        zelkc_cip_multiple_response m = {};
        uint8_t rc = client == nullptr ? ZELKC_CIP_ERR_NO_MEMORY : ZELKC_CIP_OK;
        STEP(zelkc_cip_client_connect(client, "127.0.0.1", peer.port, 5000));
        STEP(zelkc_cip_client_send_unconnected(client, id, &r));
        zelkc_cip_response_free(&r);
        STEP(zelkc_cip_client_send_to_backplane_slot(client, 2, id, &r));
        zelkc_cip_response_free(&r);
        STEP(zelkc_cip_client_send_multiple_unconnected(client, requests, 4, &m));
        EXPECT_TRUE(rc != ZELKC_CIP_OK || m.count == 4);
        zelkc_cip_multiple_response_free(&m);
        zelkc_cip_client_destroy(client);
        // A failed allocation for reply data drops the connection; later steps then see 9.
        return rc == ZELKC_CIP_ERR_NOT_CONNECTED ? uint8_t(ZELKC_CIP_ERR_NO_MEMORY) : rc;
    });
}
