// Byte-exact encoders and bounds-checked decoders of zelkc_cip (no network).
#include "cip_test_peer.h"
#include "zelkc_cip.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using namespace cip_test;

namespace {

// A copy in an exactly sized heap block, so that reading past the end trips the sanitizers.
struct Exact {
    explicit Exact(const Bytes& b)
        : data(static_cast<uint8_t*>(std::malloc(b.size() + !b.size()))), size(uint32_t(b.size())) {
        std::copy(b.begin(), b.end(), data);
    }
    ~Exact() { std::free(data); }
    uint8_t* data;
    uint32_t size;
};

Bytes encode(const zelkc_cip_request& request, uint8_t* rc) {
    zelkc_cip_buffer out;
    *rc = zelkc_cip_request_encode(&request, &out);
    Bytes b = bytes_of(out);
    EXPECT_EQ(out.capacity, 0u);
    zelkc_cip_path_free(&out);
    return b;
}

} // namespace

TEST(CipPath, LogicalSegmentsTakeTheirWidthFromTheValue) {
    zelkc_cip_buffer path;
    zelkc_cip_path_init(&path);
    ASSERT_EQ(zelkc_cip_path_add_class(&path, 0x6B), ZELKC_CIP_OK);
    ASSERT_EQ(zelkc_cip_path_add_instance(&path, 1), ZELKC_CIP_OK);
    EXPECT_EQ(bytes_of(path), (Bytes{0x20, 0x6B, 0x24, 0x01}));
    EXPECT_EQ(path.capacity, 16u);

    zelkc_cip_path_free(&path);
    for (uint8_t rc : {zelkc_cip_path_add_instance(&path, 0x1234), zelkc_cip_path_add_element(&path, 70000),
                       zelkc_cip_path_add_attribute(&path, 0xFF), zelkc_cip_path_add_attribute(&path, 0x100),
                       zelkc_cip_path_add_class(&path, 0xFFFF), zelkc_cip_path_add_class(&path, 0x10000)})
        EXPECT_EQ(rc, ZELKC_CIP_OK);
    EXPECT_EQ(bytes_of(path),
              (Bytes{0x25, 0x00, 0x34, 0x12, 0x2A, 0x00, 0x70, 0x11, 0x01, 0x00, 0x30, 0xFF, 0x31,
                     0x00, 0x00, 0x01, 0x21, 0x00, 0xFF, 0xFF, 0x22, 0x00, 0x00, 0x00, 0x01, 0x00}));
    EXPECT_EQ(path.capacity, 32u); // 16, doubled once for 26 bytes
    zelkc_cip_path_free(&path);
}

TEST(CipPath, SymbolSegmentsArePaddedToEvenLength) {
    zelkc_cip_buffer path;
    zelkc_cip_path_init(&path);
    ASSERT_EQ(zelkc_cip_path_add_ansi_symbol(&path, "Counter"), ZELKC_CIP_OK);
    ASSERT_EQ(zelkc_cip_path_add_ansi_symbol(&path, "Tank"), ZELKC_CIP_OK);
    EXPECT_EQ(bytes_of(path),
              (Bytes{0x91, 0x07, 'C', 'o', 'u', 'n', 't', 'e', 'r', 0x00, 0x91, 0x04, 'T', 'a', 'n', 'k'}));

    const std::string longest(255, 'x'), too_long(256, 'x');
    EXPECT_EQ(zelkc_cip_path_add_ansi_symbol(&path, too_long.c_str()), ZELKC_CIP_ERR_TOO_LARGE);
    EXPECT_EQ(path.size, 16u);
    ASSERT_EQ(zelkc_cip_path_add_ansi_symbol(&path, longest.c_str()), ZELKC_CIP_OK);
    EXPECT_EQ(path.size, 16u + 258u);
    EXPECT_EQ(path.data[17], 0xFF);
    EXPECT_EQ(path.data[path.size - 1], 0x00);
    zelkc_cip_path_free(&path);
}

TEST(CipRequest, EncodesServiceWordCountPathAndData) {
    const uint8_t path[6] = {0x91, 0x03, 'a', 'b', 'c', 0x00}, data[2] = {0x01, 0x00};
    Bytes big(512, 0x20);
    const struct {
        zelkc_cip_request request;
        uint8_t rc;
        Bytes bytes;
    } cases[] = {
        {{0x4C, path, 6, data, 2}, ZELKC_CIP_OK, {0x4C, 0x03, 0x91, 0x03, 'a', 'b', 'c', 0x00, 0x01, 0x00}},
        {{0x0E, nullptr, 0, nullptr, 0}, ZELKC_CIP_OK, {0x0E, 0x00}},
        {{0x01, big.data(), 510, nullptr, 0}, ZELKC_CIP_OK, cat({{0x01, 0xFF}, Bytes(510, 0x20)})},
        {{0x01, big.data(), 512, nullptr, 0}, ZELKC_CIP_ERR_TOO_LARGE, {}},
        {{0x01, path, 5, nullptr, 0}, ZELKC_CIP_ERR_INVALID_ARGUMENT, {}}, // odd path
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "path size " << c.request.path_size);
        uint8_t rc;
        EXPECT_EQ(encode(c.request, &rc), c.bytes);
        EXPECT_EQ(rc, c.rc);
    }
}

TEST(CipResponse, ParsesStatusAndDataWithinBounds) {
    zelkc_cip_response r;
    Exact plain({0xCC, 0x00, 0x00, 0x00});
    ASSERT_EQ(zelkc_cip_response_parse(plain.data, plain.size, &r), ZELKC_CIP_OK);
    EXPECT_EQ(r.service, 0xCC);
    EXPECT_EQ(r.additional_status.data, nullptr);
    EXPECT_EQ(r.data.data, nullptr);
    EXPECT_TRUE(zelkc_cip_response_is_success(&r));
    zelkc_cip_response_free(&r);

    const Bytes wire = {0xD2, 0x7E, 0x01, 0x02, 0x04, 0x01, 0x05, 0x00, 0xC4, 0x00, 0x2A};
    Exact full(wire);
    ASSERT_EQ(zelkc_cip_response_parse(full.data, full.size, &r), ZELKC_CIP_OK);
    EXPECT_EQ(flat(r), wire);
    EXPECT_FALSE(zelkc_cip_response_is_success(&r));
    zelkc_cip_response_free(&r);
    zelkc_cip_response_free(&r);
    r.general_status = 6; // partial transfer counts as success
    EXPECT_TRUE(zelkc_cip_response_is_success(&r));

    for (const Bytes& bad : {Bytes{0xCC, 0x00, 0x05, 0x01, 0x00}, Bytes{0xCC, 0x00, 0x00}, Bytes{}}) {
        Exact b(bad);
        EXPECT_EQ(zelkc_cip_response_parse(b.data, b.size, &r), ZELKC_CIP_ERR_BAD_REPLY);
        EXPECT_EQ(r.data.data, nullptr);
    }
}

TEST(CipCpf, BuildsAndExtractsTheSendRRDataBlock) {
    const uint8_t cip[3] = {0x0E, 0x01, 0x02};
    zelkc_cip_buffer out;
    ASSERT_EQ(zelkc_cip_cpf_build_rr_data(cip, 3, 0x1234, &out), ZELKC_CIP_OK);
    EXPECT_EQ(bytes_of(out), (Bytes{0, 0, 0, 0, 0x34, 0x12, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xB2, 0x00,
                                    0x03, 0x00, 0x0E, 0x01, 0x02}));
    zelkc_cip_path_free(&out);
    Bytes big(65536);
    EXPECT_EQ(zelkc_cip_cpf_build_rr_data(big.data(), 65536, 0, &out), ZELKC_CIP_ERR_TOO_LARGE);

    const uint8_t OK = ZELKC_CIP_OK, BAD = ZELKC_CIP_ERR_BAD_REPLY;
    const struct {
        Bytes block;
        uint8_t rc;
        Bytes data;
    } cases[] = {
        {{0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0xB2, 0, 2, 0, 0xCC, 0x00}, OK, {0xCC, 0x00}},
        {{0, 0, 0, 0, 0, 0, 2, 0, 0x00, 0x80, 3, 0, 9, 9, 9, 0xB2, 0, 1, 0, 0x77},
         OK,
         {0x77}}, // other item first
        {{0, 0, 0, 0, 0, 0, 1, 0, 0xB2, 0, 0, 0}, OK, {}},
        {{1, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0xB2, 0, 1, 0, 0x77}, BAD, {}}, // interface handle
        {{0, 0, 0, 0, 0, 0, 0, 0, 0xB2, 0, 0, 0}, BAD, {}},                   // no items
        {{0, 0, 0, 0, 0, 0, 1, 0, 0xB2, 0, 5, 0, 1, 2, 3, 4}, BAD, {}},       // past the end
        {{0, 0, 0, 0, 0, 0, 1, 0, 0xB2, 0}, BAD, {}},                         // no item header
        {{0, 0, 0, 0, 0, 0, 1, 0, 0x00, 0, 0, 0, 0xB2, 0, 0, 0}, BAD, {}},    // beyond the count
        {{0, 0, 0, 0, 0, 0, 2, 0, 0x00, 0, 0, 0, 0xB2, 0}, BAD, {}},          // truncated 2nd item
        {{0, 0, 0, 0, 0, 0, 2}, BAD, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.block));
        Exact in(c.block);
        EXPECT_EQ(zelkc_cip_cpf_extract_unconnected_data(in.data, in.size, &out), c.rc);
        EXPECT_EQ(bytes_of(out), c.data);
        zelkc_cip_path_free(&out);
    }
}

TEST(CipRoute, PortSegmentsAndBackplaneSlots) {
    zelkc_cip_buffer route;
    zelkc_cip_path_init(&route);
    ASSERT_EQ(zelkc_cip_route_path_add_backplane_slot(&route, 3), ZELKC_CIP_OK);
    EXPECT_EQ(bytes_of(route), (Bytes{0x01, 0x03}));
    EXPECT_EQ(route.capacity, 8u);
    zelkc_cip_path_free(&route);

    const std::string ip = "192.168.1.1"; // 11 bytes of link address text, padded
    ASSERT_EQ(zelkc_cip_route_path_add_port(&route, 2, reinterpret_cast<const uint8_t*>(ip.data()), 11),
              ZELKC_CIP_OK);
    EXPECT_EQ(route.capacity, 16u);
    const uint8_t one = 7, two[2] = {1, 2};
    EXPECT_EQ(zelkc_cip_route_path_add_port(&route, 14, &one, 1), ZELKC_CIP_OK);
    EXPECT_EQ(zelkc_cip_route_path_add_port(&route, 3, two, 2), ZELKC_CIP_OK);
    EXPECT_EQ(zelkc_cip_route_path_add_port(&route, 1, nullptr, 0), ZELKC_CIP_OK);
    EXPECT_EQ(zelkc_cip_route_path_add_port(&route, 15, &one, 1), ZELKC_CIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(zelkc_cip_route_path_add_port(&route, 1, two, 256), ZELKC_CIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(
        bytes_of(route),
        cat({{0x12, 0x0B}, Bytes(ip.begin(), ip.end()), {0x00, 0x0E, 0x07, 0x13, 0x02, 1, 2, 0x11, 0x00}}));
    zelkc_cip_path_free(&route);
}

TEST(CipRoute, UnconnectedSendWrapsThePaddedMessageAndRoute) {
    const uint8_t path[4] = {0x20, 0x6B, 0x24, 0x01}, data[3] = {0xAA, 0xBB, 0xCC};
    const zelkc_cip_request odd = {0x4C, path, 4, data, 3}; // 9 bytes encoded
    zelkc_cip_buffer route, out;
    zelkc_cip_path_init(&route);
    ASSERT_EQ(zelkc_cip_route_path_add_backplane_slot(&route, 0), ZELKC_CIP_OK);
    ASSERT_EQ(zelkc_cip_routed_request_encode(&odd, &route, 10, 14, &out), ZELKC_CIP_OK);
    EXPECT_EQ(bytes_of(out), (Bytes{0x52, 0x02, 0x20, 0x06, 0x24, 0x01, 0x0A, 0x0E, 0x09, 0x00, 0x4C, 0x02,
                                    0x20, 0x6B, 0x24, 0x01, 0xAA, 0xBB, 0xCC, 0x00, 0x01, 0x00, 0x01, 0x00}));
    zelkc_cip_path_free(&out);

    const zelkc_cip_request even = {0x01, path, 4, nullptr, 0}; // 6 bytes, no pad
    ASSERT_EQ(zelkc_cip_route_path_add_backplane_slot(&route, 2), ZELKC_CIP_OK);
    ASSERT_EQ(zelkc_cip_routed_request_encode(&even, &route, 7, 9, &out), ZELKC_CIP_OK);
    EXPECT_EQ(bytes_of(out), (Bytes{0x52, 0x02, 0x20, 0x06, 0x24, 0x01, 0x07, 0x09, 0x06, 0x00, 0x01,
                                    0x02, 0x20, 0x6B, 0x24, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, 0x02}));
    zelkc_cip_path_free(&out);

    Bytes long_route(512, 0x01), big(65530);
    const zelkc_cip_buffer odd_route = {route.data, 3, 0}, empty = {nullptr, 0, 0},
                           too_long = {long_route.data(), 512, 0};
    EXPECT_EQ(zelkc_cip_routed_request_encode(&even, &odd_route, 10, 14, &out),
              ZELKC_CIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(zelkc_cip_routed_request_encode(&even, &empty, 10, 14, &out), ZELKC_CIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(zelkc_cip_routed_request_encode(&even, &too_long, 10, 14, &out), ZELKC_CIP_ERR_TOO_LARGE);
    const zelkc_cip_request huge = {0x4C, nullptr, 0, big.data(), 65520}; // 65522 + 6 + 4 reaches 65530
    EXPECT_EQ(zelkc_cip_routed_request_encode(&huge, &route, 10, 14, &out), ZELKC_CIP_ERR_TOO_LARGE);
    zelkc_cip_path_free(&route);
}

TEST(CipMultiple, EncodesCountOffsetsAndEmbeddedRequests) {
    const uint8_t path[4] = {0x91, 0x02, 'A', 'B'}, data[4] = {1, 2, 3, 4};
    const zelkc_cip_request reqs[3] = {
        {0x4C, path, 4, data, 4}, {0x4D, path, 4, data, 4}, {0x4E, path, 4, data, 4}};
    zelkc_cip_buffer out;
    ASSERT_EQ(zelkc_cip_multiple_request_encode(reqs, 3, &out), ZELKC_CIP_OK);
    Bytes expected = {0x0A, 0x02, 0x20, 0x02, 0x24, 0x01, 0x03, 0x00, 0x08, 0x00, 0x12, 0x00, 0x1C, 0x00};
    for (uint8_t service : {0x4C, 0x4D, 0x4E})
        expected.insert(expected.end(), {service, 0x02, 0x91, 0x02, 'A', 'B', 1, 2, 3, 4});
    EXPECT_EQ(bytes_of(out), expected);
    zelkc_cip_path_free(&out);

    // Data of 2 + 4n bytes: 16381 services give 65526 bytes, one more passes the 65529-byte limit.
    std::vector<zelkc_cip_request> many(16382, zelkc_cip_request{0x0E, nullptr, 0, nullptr, 0});
    EXPECT_EQ(zelkc_cip_multiple_request_encode(many.data(), 16382, &out), ZELKC_CIP_ERR_TOO_LARGE);
    ASSERT_EQ(zelkc_cip_multiple_request_encode(many.data(), 16381, &out), ZELKC_CIP_OK);
    EXPECT_EQ(out.size, 6u + 65526u);
    zelkc_cip_path_free(&out);
    const zelkc_cip_request bad[2] = {{0x4C, path, 4, data, 4}, {0x4C, path, 3, data, 4}};
    EXPECT_EQ(zelkc_cip_multiple_request_encode(bad, 2, &out), ZELKC_CIP_ERR_INVALID_ARGUMENT);
}

TEST(CipMultiple, ParsesRepliesAndRejectsBrokenOffsets) {
    // Two embedded replies: CC 00 00 00 C4 00 and CD 00 05 00.
    const Bytes good = {0x02, 0x00, 0x06, 0x00, 0x0C, 0x00, 0xCC, 0x00,
                        0x00, 0x00, 0xC4, 0x00, 0xCD, 0x00, 0x05, 0x00};
    Exact in(good);
    zelkc_cip_multiple_response m;
    ASSERT_EQ(zelkc_cip_multiple_response_data_parse(in.data, in.size, &m), ZELKC_CIP_OK);
    ASSERT_EQ(m.count, 2u);
    EXPECT_EQ(flat(m.responses[0]), (Bytes{0xCC, 0x00, 0x00, 0x00, 0xC4, 0x00}));
    EXPECT_EQ(flat(m.responses[1]), (Bytes{0xCD, 0x00, 0x05, 0x00}));
    zelkc_cip_multiple_response_free(&m);
    zelkc_cip_multiple_response_free(&m);

    const Bytes bad[] = {
        {0x02, 0x00, 0x0C, 0x00, 0x06, 0x00, 0xCC, 0, 0, 0, 0xC4, 0, 0xCD, 0, 5, 0}, // offsets go backwards
        {0x02, 0x00, 0x06, 0x00, 0x12, 0x00, 0xCC, 0, 0, 0, 0xC4, 0, 0xCD, 0, 5, 0}, // past the data
        {0x02, 0x00, 0x04, 0x00, 0x0C, 0x00, 0xCC, 0, 0, 0, 0xC4, 0, 0xCD, 0, 5, 0}, // inside the table
        {0x02, 0x00, 0x06, 0x00, 0x08, 0x00, 0xCC, 0, 0, 0, 0xC4, 0, 0xCD, 0, 5, 0}, // a 2-byte reply
        {0x00, 0x00},                                                                // no services
        {0x03, 0x00, 0x06, 0x00, 0x08},                                              // table past the end
        {0x01},
    };
    for (const Bytes& b : bad) {
        SCOPED_TRACE(testing::PrintToString(b));
        Exact e(b);
        EXPECT_EQ(zelkc_cip_multiple_response_data_parse(e.data, e.size, &m), ZELKC_CIP_ERR_BAD_REPLY);
        EXPECT_EQ(m.responses, nullptr);
    }

    // The complete reply: service 0x8A, status 0 or 0x1E accepted, anything else is the device's error.
    for (auto [service, status, rc] : {std::tuple{0x8A, 0x00, ZELKC_CIP_OK},
                                       {0x8A, 0x1E, ZELKC_CIP_OK},
                                       {0x8A, 0x08, ZELKC_CIP_ERR_DEVICE},
                                       {0x8B, 0x00, ZELKC_CIP_ERR_BAD_REPLY}}) {
        Exact full(cat({{uint8_t(service), 0x00, uint8_t(status), 0x00}, good}));
        EXPECT_EQ(zelkc_cip_multiple_response_parse(full.data, full.size, &m), rc)
            << service << " " << status;
        zelkc_cip_multiple_response_free(&m);
    }
}

TEST(CipIdentity, ParsesFixedFieldsAndTheCountedName) {
    uint8_t rc;
    EXPECT_EQ(encode(*zelkc_cip_identity_object_request(), &rc), (Bytes{0x01, 0x02, 0x20, 0x01, 0x24, 0x01}));

    const Bytes fixed = {0x01, 0x00, 0x0E, 0x00, 0x5F, 0x00, 0x20, 0x0B, 0x60, 0x30, 0x78, 0x56, 0x34, 0x12};
    auto parse = [](const Bytes& data, zelkc_cip_identity* id) {
        Exact e(data);
        zelkc_cip_response r = {0x81, 0, 0, {nullptr, 0, 0}, {e.data, e.size, 0}};
        return zelkc_cip_identity_object_parse(&r, id);
    };
    zelkc_cip_identity id = {};
    ASSERT_EQ(parse(cat({fixed, {0}}), &id), ZELKC_CIP_OK);
    EXPECT_EQ(std::tuple(id.vendor_id, id.device_type, id.product_code, id.revision_major, id.revision_minor,
                         id.status, id.serial_number),
              std::tuple(1, 0x0E, 0x5F, 0x20, 0x0B, 0x3060, 0x12345678u));
    EXPECT_STREQ(id.product_name, "");
    zelkc_cip_identity_object_free(&id);
    EXPECT_EQ(id.product_name, nullptr);

    const std::string name = "1756-L85E/B LOGIX5585E CONTROLLR"; // 32 bytes
    ASSERT_EQ(parse(cat({fixed, {32}, Bytes(name.begin(), name.end()), {0xEE, 0xFF}}), &id), ZELKC_CIP_OK);
    EXPECT_EQ(std::string(id.product_name), name);
    zelkc_cip_identity_object_free(&id);

    EXPECT_EQ(parse(cat({fixed, {20}, Bytes(10, 'x')}), &id), ZELKC_CIP_ERR_BAD_REPLY);
    EXPECT_EQ(id.product_name, nullptr);
    zelkc_cip_identity untouched = {7, 7, 7, 7, 7, 7, 7, nullptr};
    EXPECT_EQ(parse(fixed, &untouched), ZELKC_CIP_ERR_BAD_REPLY);
    EXPECT_EQ(untouched.vendor_id, 7);
}

TEST(CipAllocator, IncompleteRecordsAreIgnoredAndShrinkingToZeroKeepsTheBlock) {
    const zelkc_cip_allocator* system = zelkc_cip_allocator_get_default();
    zelkc_cip_allocator incomplete = {zelkc_cip_alloc_system, zelkc_cip_realloc_system, nullptr, nullptr};
    zelkc_cip_allocator_set_default(&incomplete);
    EXPECT_EQ(zelkc_cip_allocator_get_default(), system);

    void* kept = zelkc_cip_alloc_system(nullptr, 4);
    static_cast<uint8_t*>(kept)[3] = 0x5A;
    EXPECT_EQ(zelkc_cip_realloc_system(nullptr, kept, 0), nullptr);
    EXPECT_EQ(static_cast<uint8_t*>(kept)[3], 0x5A); // still ours (ASan would flag a freed block)
    zelkc_cip_free_system(nullptr, kept);
    EXPECT_EQ(zelkc_cip_alloc_system(nullptr, 0), nullptr);
}
