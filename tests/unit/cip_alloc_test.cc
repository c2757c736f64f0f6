// Every block of zelkc_cip goes through the allocation hooks: a counting allocator proves that no
// block leaks on success or on any failure path, failing the n-th allocation for every n.
#include "cip_test_peer.h"
#include "zelkc_cip.h"

#include <gtest/gtest.h>

using namespace cip_test;

// Runs a step only while every earlier one succeeded; `rc` holds the first failure.
#define STEP(expr) (void)(rc == ZELKC_CIP_OK && (rc = (expr)))

// Runs the encoders and decoders (releasing whatever they obtained) failing the n-th allocation,
// for n = 1, 2, ... until a run completes without reaching n. Every run must leave no block behind
// and report the allocation failure, or success when no allocation failed.
TEST(CipAllocation, EncodersAndDecodersReleaseEverythingOnEveryPath) {
    const Bytes reply = hex("CC000101 0500 C400"),
                multiple = hex("8A001E00 0300 0800 0C00 1200 81000000 81000801 0100 81000000 09");
    const zelkc_cip_request* id = zelkc_cip_identity_object_request();
    Counting counting;
    for (long n = 1; counting.calls >= n - 1; ++n) {
        counting.live = counting.calls = 0;
        counting.fail_at = n;
        zelkc_cip_buffer p = {}, route = {}, routed = {};
        zelkc_cip_response r = {};
        zelkc_cip_multiple_response m = {};
        uint8_t rc = ZELKC_CIP_OK;
        STEP(zelkc_cip_path_add_ansi_symbol(&p, "A_rather_long_tag_name"));
        STEP(zelkc_cip_route_path_add_backplane_slot(&route, 1));
        STEP(zelkc_cip_routed_request_encode(id, &route, 10, 14, &routed));
        STEP(zelkc_cip_response_parse(reply.data(), uint32_t(reply.size()), &r));
        if (rc != ZELKC_CIP_OK) // a failed parse keeps nothing: left unreleased, a leak shows
            r = {};
        STEP(zelkc_cip_multiple_response_parse(multiple.data(), uint32_t(multiple.size()), &m));
        zelkc_cip_path_free(&p), zelkc_cip_path_free(&route), zelkc_cip_path_free(&routed);
        zelkc_cip_response_free(&r);
        zelkc_cip_multiple_response_free(&m);
        EXPECT_EQ(counting.live, 0) << "leak when allocation " << n << " fails";
        EXPECT_EQ(rc, counting.calls < n ? ZELKC_CIP_OK : ZELKC_CIP_ERR_NO_MEMORY) << n;
    }
}

// The system allocator keeps a block it is asked to shrink to 0 bytes, and an allocator record
// without a free function is not installed.
TEST(CipAllocation, TheSystemAllocatorAndIncompleteRecords) {
    const zelkc_cip_allocator* system = zelkc_cip_allocator_get_default();
    const zelkc_cip_allocator incomplete = {zelkc_cip_alloc_system, zelkc_cip_realloc_system, nullptr,
                                            nullptr};
    zelkc_cip_allocator_set_default(&incomplete);
    auto* kept = static_cast<uint8_t*>(zelkc_cip_alloc_system(nullptr, 4));
    kept[3] = 0x5A;
    EXPECT_EQ(std::tuple(zelkc_cip_allocator_get_default(), zelkc_cip_realloc_system(nullptr, kept, 0),
                         zelkc_cip_alloc_system(nullptr, 0)),
              std::tuple(system, nullptr, nullptr));
    EXPECT_EQ(kept[3], 0x5A);             // still ours,
    zelkc_cip_free_system(nullptr, kept); // and freed once
}
