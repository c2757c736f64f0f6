// Every block of zelkc_cip goes through the allocation hooks: a counting allocator proves that no
// block leaks on success or on any failure path, failing the n-th allocation for every n.
#include "cip_test_peer.h"
#include "zelkc_cip.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

using namespace cip_test;

namespace {

struct Counting {
    long live = 0;    // blocks handed out and not yet freed
    long calls = 0;   // alloc and realloc calls
    long fail_at = 0; // the call that fails (0: none)

    static void* realloc(void* self, void* block, uint64_t size) {
        auto* c = static_cast<Counting*>(self);
        if (++c->calls == c->fail_at)
            return nullptr;
        void* p = std::realloc(block, size);
        c->live += block == nullptr && p != nullptr;
        return p;
    }
    static void* alloc(void* self, uint64_t size) { return realloc(self, nullptr, size); }
    static void free(void* self, void* block) {
        static_cast<Counting*>(self)->live -= block != nullptr;
        std::free(block);
    }
};

class CipAllocation : public testing::Test {
protected:
    Counting counting;
    zelkc_cip_allocator hooks = {Counting::alloc, Counting::realloc, Counting::free, &counting};

    void SetUp() override { zelkc_cip_allocator_set_default(&hooks); }
    void TearDown() override { zelkc_cip_allocator_set_default(nullptr); }

    // Runs `op` (which releases whatever it obtained) failing the n-th allocation, for n = 1, 2, ...
    // until a run completes without reaching n. Every run must leave no block behind and report
    // either success or the allocation failure.
    template <class Op> void sweep(const char* what, Op op) {
        for (long n = 1;; ++n) {
            counting = Counting{0, 0, n};
            uint8_t rc = op();
            EXPECT_EQ(counting.live, 0) << what << ": leak when allocation " << n << " fails";
            if (counting.calls < n) {
                EXPECT_EQ(rc, ZELKC_CIP_OK) << what;
                EXPECT_GT(n, 1) << what << ": allocated nothing";
                return;
            }
            EXPECT_TRUE(rc == ZELKC_CIP_OK || rc == ZELKC_CIP_ERR_NO_MEMORY) << what << " " << int(rc);
        }
    }
};

// Runs a step only while every earlier one succeeded; `rc` holds the first failure.
#define STEP(expr) (void)(rc == ZELKC_CIP_OK && (rc = (expr)))

} // namespace

TEST_F(CipAllocation, FailedAppendLeavesTheBufferAsItWas) {
    zelkc_cip_buffer path;
    zelkc_cip_path_init(&path);
    ASSERT_EQ(zelkc_cip_path_add_class(&path, 0x6B), ZELKC_CIP_OK);
    counting.fail_at = counting.calls + 1;
    EXPECT_EQ(zelkc_cip_path_add_ansi_symbol(&path, "A_rather_long_tag_name"), ZELKC_CIP_ERR_NO_MEMORY);
    EXPECT_EQ(path.size, 2u);
    EXPECT_EQ(path.capacity, 16u);
    EXPECT_EQ(path.data[1], 0x6B);
    zelkc_cip_path_free(&path);
    EXPECT_EQ(counting.live, 0);
}

TEST_F(CipAllocation, EncodersAndDecodersReleaseEverythingOnEveryPath) {
    sweep("encoders and decoders", [] {
        const uint8_t addr[4] = {10, 0, 0, 1}, cip[] = {0x0E, 0x02, 0x20, 0x01, 0x24, 0x01};
        const uint8_t reply[] = {0xCC, 0x00, 0x01, 0x01, 0x05, 0x00, 0xC4, 0x00};
        const uint8_t multiple[] = {0x8A, 0, 0x1E, 0, 3, 0, 8, 0, 12,   0, 18, 0, 0x81, 0,
                                    0,    0, 0x81, 0, 8, 1, 1, 0, 0x81, 0, 0,  0, 9};
        uint8_t data[] = {1, 0, 14, 0, 0x5F, 0, 32, 11, 0x60, 0x30, 1, 2, 3, 4, 3, 'L', '8', '5'};
        const zelkc_cip_response id_reply = {0x81, 0, 0, {nullptr, 0, 0}, {data, sizeof data, 0}};
        const zelkc_cip_request* id_request = zelkc_cip_identity_object_request();
        const zelkc_cip_request requests[3] = {*id_request, *id_request, *id_request};
        zelkc_cip_buffer p = {}, route = {}, routed = {}, block = {}, item = {}, packet = {};
        zelkc_cip_response r = {};
        zelkc_cip_multiple_response m = {};
        zelkc_cip_identity id = {};
        uint8_t rc = ZELKC_CIP_OK;
        STEP(zelkc_cip_path_add_ansi_symbol(&p, "Program:MainProgram"));
        STEP(zelkc_cip_path_add_ansi_symbol(&p, "A_rather_long_tag_name"));
        STEP(zelkc_cip_path_add_element(&p, 70000));
        STEP(zelkc_cip_route_path_add_backplane_slot(&route, 1));
        STEP(zelkc_cip_route_path_add_port(&route, 2, addr, 4));
        STEP(zelkc_cip_routed_request_encode(id_request, &route, 10, 14, &routed));
        STEP(zelkc_cip_response_parse(reply, sizeof reply, &r));
        STEP(zelkc_cip_cpf_build_rr_data(cip, sizeof cip, 0, &block));
        STEP(zelkc_cip_cpf_extract_unconnected_data(block.data, block.size, &item));
        STEP(zelkc_cip_identity_object_parse(&id_reply, &id));
        STEP(zelkc_cip_multiple_request_encode(requests, 3, &packet));
        STEP(zelkc_cip_multiple_response_parse(multiple, sizeof multiple, &m));
        for (zelkc_cip_buffer* b : {&p, &route, &routed, &block, &item, &packet})
            zelkc_cip_path_free(b);
        zelkc_cip_response_free(&r);
        zelkc_cip_multiple_response_free(&m);
        zelkc_cip_identity_object_free(&id);
        return rc;
    });
}

TEST_F(CipAllocation, SessionAndSendsReleaseEverythingOnEveryPath) {
    // A device that answers direct, routed (with the target's own reply) and multiple requests,
    // refusing packets of more than two services so that the send must split.
    auto answer = [](const Bytes& cip) -> Bytes {
        if (cip.empty() || cip[0] != 0x0A)
            return {0x81, 0x00, 0x00, 0x00, 0x01, 0x00};
        const size_t count = get(&cip[6], 2);
        if (count > 2)
            return {0x8A, 0x00, 0x1A, 0x00};
        Bytes r = {0x8A, 0x00, 0x00, 0x00};
        put(r, count, 2);
        for (size_t i = 0; i < count; ++i)
            put(r, 2 + 2 * count + 4 * i, 2);
        for (size_t i = 0; i < count; ++i)
            r.insert(r.end(), {0x81, 0x00, 0x00, 0x00});
        return r;
    };
    sweep("session", [&] {
        Device device;
        device.on_cip = answer;
        ScriptedPeer peer(device.handler());
        const zelkc_cip_request* id = zelkc_cip_identity_object_request();
        const zelkc_cip_request requests[4] = {*id, *id, *id, *id};
        zelkc_cip_client* client = zelkc_cip_client_create();
        if (client == nullptr)
            return uint8_t{ZELKC_CIP_ERR_NO_MEMORY};
        zelkc_cip_response r = {};
        zelkc_cip_multiple_response m = {};
        uint8_t rc = ZELKC_CIP_OK;
        STEP(zelkc_cip_client_connect(client, "127.0.0.1", peer.port(), 5000));
        STEP(zelkc_cip_client_send_unconnected(client, id, &r));
        zelkc_cip_response_free(&r);
        STEP(zelkc_cip_client_send_to_backplane_slot(client, 2, id, &r));
        zelkc_cip_response_free(&r);
        STEP(zelkc_cip_client_send_multiple_unconnected(client, requests, 4, &m));
        EXPECT_TRUE(rc != ZELKC_CIP_OK || m.count == 4);
        zelkc_cip_multiple_response_free(&m);
        // A failed allocation for reply data drops the connection; later steps then see 9.
        if (rc == ZELKC_CIP_ERR_NOT_CONNECTED)
            rc = ZELKC_CIP_ERR_NO_MEMORY;
        zelkc_cip_client_destroy(client);
        return rc;
    });
}
