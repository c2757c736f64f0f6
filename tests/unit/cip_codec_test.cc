// Byte-exact encoders and bounds-checked decoders of zelkc_cip (no network).
#include "cip_test_peer.h"
#include "zelkc_cip.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace cip_test;

namespace {

const uint8_t OK = ZELKC_CIP_OK, BAD = ZELKC_CIP_ERR_BAD_REPLY, ARG = ZELKC_CIP_ERR_INVALID_ARGUMENT,
              BIG = ZELKC_CIP_ERR_TOO_LARGE, DEV = ZELKC_CIP_ERR_DEVICE;
using Result = std::pair<uint8_t, Bytes>;

// An encoder's result and bytes.
template <class F> Result encoded(F f) {
    zelkc_cip_buffer out;
    const uint8_t rc = f(&out);
    Bytes b = bytes_of(out);
    zelkc_cip_path_free(&out);
    return {rc, b};
}

// The connection the Forward Open vectors are made for.
const zelkc_cip_connection kConnection = {0, 0x11223344, 0x5566, 0x4F56, 0x778899AA, 2000000, 7, 0, 504};

// Runs a decoder on `in`: its result and what it produced, in wire form (replies as received, the
// identity's fields in reply order and then its name, the ids a Forward Open reply gives, the
// sequence count, offset and size of connected data).
Result decode(const std::string& decoder, const Bytes& in) {
    zelkc_cip_response r = {0x81, 0, 0, {}, {const_cast<uint8_t*>(in.data()), uint32_t(in.size()), 0}};
    zelkc_cip_multiple_response m = {};
    zelkc_cip_connection c = kConnection;
    Bytes out;
    uint8_t rc;
    if (decoder == "identity") {
        zelkc_cip_identity id = {};
        rc = zelkc_cip_identity_object_parse(&r, &id);
        for (auto [v, n] : {std::pair<uint32_t, int>{id.vendor_id, 2},
                            {id.device_type, 2},
                            {id.product_code, 2},
                            {id.revision_major, 1},
                            {id.revision_minor, 1},
                            {id.status, 2},
                            {id.serial_number, 4}})
            put(out, v, n);
        out.insert(out.end(), id.product_name,
                   id.product_name + (id.product_name ? strlen(id.product_name) : 0));
        zelkc_cip_identity_object_free(&id);
    } else if (decoder == "cpf") {
        zelkc_cip_buffer b;
        rc = zelkc_cip_cpf_extract_unconnected_data(in.data(), uint32_t(in.size()), &b);
        out = bytes_of(b);
        zelkc_cip_path_free(&b);
    } else if (decoder == "connected") {
        uint16_t sequence = 0;
        uint32_t offset = 0, size = 0;
        rc = zelkc_cip_cpf_find_connected_data(in.data(), uint32_t(in.size()), 0x11223344, &sequence, &offset,
                                               &size);
        put(out, sequence, 2), put(out, offset, 2), put(out, size, 2);
    } else if (decoder == "reply" || decoder == "forward open") {
        rc = zelkc_cip_response_parse(in.data(), uint32_t(in.size()), &r);
        out = flat(r);
        if (decoder == "forward open" && rc == OK) {
            rc = zelkc_cip_forward_open_reply_accept(&r, &c);
            out.clear(), put(out, c.ot_id, 4), put(out, c.to_id, 4);
        }
        zelkc_cip_response_free(&r);
    } else {
        rc = decoder == "multiple"
                 ? zelkc_cip_multiple_response_data_parse(in.data(), uint32_t(in.size()), &m)
                 : zelkc_cip_multiple_response_parse(in.data(), uint32_t(in.size()), &m);
        for (uint32_t i = 0; i < m.count; ++i)
            out = cat({out, flat(m.responses[i])});
        zelkc_cip_multiple_response_free(&m);
        zelkc_cip_multiple_response_free(&m);
    }
    return {rc, rc == OK ? out : Bytes{}};
}

} // namespace

TEST(CipCodec, DecodersStayWithinTheirInputAndRefuseMalformedReplies) {
    const std::string fixed = "0100 0E00 5F00 20 0B 6030 78563412",
                      two = "0200 0600 0C00 CC000000C400 CD000500",
                      fo = "DDCCBBAA 44332211 6655 564F AA998877 80841E00 80841E00 00",
                      cpf = "00000000 0000 ";
    const struct {
        const char* decoder;
        std::string in;
        uint8_t rc;
        std::string out;
    } cases[] = {
        {"reply", "CC000000", OK, "CC000000"},
        {"reply", "D27E0102 0401 0500 C4002A", OK, "D27E0102 0401 0500 C4002A"},
        {"reply", "CC000501 00", BAD, ""},
        {"reply", "CC000002 0100 02", BAD, ""}, // additional status one byte short
        {"reply", "CC0000", BAD, ""},
        {"cpf", cpf + "0200 0000 0000 B200 0200 CC00", OK, "CC00"},
        {"cpf", cpf + "0200 0080 0300 090909 B200 0100 77", OK, "77"}, // another item first
        {"cpf", cpf + "0100 B200 0000", OK, ""},
        {"cpf", "01000000 0000 0200 0000 0000 B200 0100 77", BAD, ""}, // interface handle
        {"cpf", cpf + "0000 B200 0000", BAD, ""},                      // no items
        {"cpf", cpf + "0100 B200 0500 01020304", BAD, ""},             // one byte past the end
        {"cpf", cpf + "0100 B200", BAD, ""},                           // no item header
        {"cpf", cpf + "0100 0000 0000 B200 0000", BAD, ""},            // beyond the count
        {"cpf", cpf + "0200 0000 0000 B200", BAD, ""},                 // truncated second item
        {"cpf", cpf + "02", BAD, ""},
        {"multiple", two, OK, "CC000000C400 CD000500"},
        {"multiple", "0200 0C00 0600 CC000000C400 CD000500", BAD, ""}, // offsets go backwards
        {"multiple", "0200 0600 1200 CC000000C400 CD000500", BAD, ""}, // past the data
        {"multiple", "0200 0400 0C00 CC000000C400 CD000500", BAD, ""}, // inside the table
        {"multiple", "0200 0600 0800 CC000000C400 CD000500", BAD, ""}, // a 2-byte reply
        {"multiple", "0000", BAD, ""},
        {"multiple", "0300 0600 08", BAD, ""},
        {"multiple reply", "8A000000" + two, OK, "CC000000C400 CD000500"},
        {"multiple reply", "8A001E00" + two, OK, "CC000000C400 CD000500"},
        {"multiple reply", "8A000800" + two, DEV, ""},
        {"multiple reply", "8B000000" + two, BAD, ""},
        {"identity", fixed + "04 4C383545 EEFF", OK, fixed + "4C383545"},
        {"identity", fixed + "05 4C383545", BAD, ""}, // one byte short of its name
        {"identity", fixed, BAD, ""},
        {"forward open", "D4000000" + fo + "00", OK, "DDCCBBAA 44332211"},
        {"forward open", "DB000000" + fo + "00", OK, "DDCCBBAA 44332211"},
        {"forward open", "DB000102 0901 F801 6655 564F AA998877 0000", DEV, ""}, // size refused, largest 504
        {"forward open", "DB000800", DEV, ""},                                   // service not supported
        {"forward open", "D2000000" + fo + "00", BAD, ""},                       // another service
        {"forward open", "D4000000" + fo, BAD, ""},                              // one byte short
        {"forward open", "D4000000 DDCCBBAA 44332211 6656 564F AA998877 80841E00 80841E00 0000", BAD, ""},
        {"forward open", "D4000000 DDCCBBAA 44332211 6655 564F AB998877 80841E00 80841E00 0000", BAD, ""},
        {"connected", cpf + "0200 A100 0400 44332211 B100 0600 0700 CC000000", OK, "0700 1600 0400"},
        {"connected", cpf + "0200 B100 0600 0900 CC000000 A100 0400 44332211", OK, "0900 0E00 0400"},
        {"connected", cpf + "0200 A100 0400 44332211 B100 0200 0100", OK, "0100 1600 0000"}, // a count alone
        {"connected", cpf + "0200 A100 0400 45332211 B100 0600 0700 CC000000", BAD, ""},     // another id
        {"connected", cpf + "0200 A100 0600 44332211 0000 B100 0200 0100", BAD, ""},         // address of 6
        {"connected", cpf + "0100 B100 0600 0700 CC000000", BAD, ""},                        // no address
        {"connected", cpf + "0100 A100 0400 44332211", BAD, ""},                             // no data
        {"connected", cpf + "0200 A100 0400 44332211 B100 0700 0700 CC000000", BAD, ""},     // past the end
        {"connected", cpf + "0200 A100 0400 44332211 B100 0100 07", BAD, ""},   // shorter than a count
        {"connected", cpf + "0300 A100 0400 44332211 B100 0200 0700", BAD, ""}, // an item missing
        {"connected", "01000000 0000 0200 A100 0400 44332211 B100 0200 0700", BAD, ""}, // interface handle
    };
    for (const auto& c : cases)
        EXPECT_EQ(decode(c.decoder, hex(c.in)), Result(c.rc, hex(c.out))) << c.decoder << " " << c.in;
    zelkc_cip_response r = {};
    r.general_status = 6; // partial transfer counts as success
    EXPECT_TRUE(zelkc_cip_response_is_success(&r));
}

TEST(CipCodec, PathsAndRequestsAreEncodedByteForByte) {
    zelkc_cip_buffer path = {};
    for (auto [type, value] : {std::pair<uint8_t, uint32_t>{0x20, 0x6B},
                               {0x24, 0xFF},
                               {0x24, 0x100},
                               {0x28, 0xFFFF},
                               {0x30, 0x10000},
                               {0x20, 70000}})
        ASSERT_EQ(zelkc_cip_path_add_logical(&path, type, value), OK);
    EXPECT_EQ(path.capacity, 32u); // 16, doubled once
    const std::string longest(255, 'x'), too_long(256, 'x');
    for (const char* name : {"Counter", "Tank", too_long.c_str(), longest.c_str()})
        EXPECT_EQ(zelkc_cip_path_add_ansi_symbol(&path, name), name == too_long.c_str() ? BIG : OK);
    EXPECT_EQ(bytes_of(path), cat({hex("206B 24FF 2500 0001 2900 FFFF 3200 00000100 2200 70110100 "
                                       "9107 436F756E746572 00 9104 54616E6B 91FF"),
                                   Bytes(255, 'x'),
                                   {0}}));
    zelkc_cip_path_free(&path);
    uint8_t byte = 0;
    zelkc_cip_buffer full = {&byte, UINT32_MAX - 1, UINT32_MAX}; // its size would wrap past 4 GiB
    EXPECT_EQ(zelkc_cip_path_add_class(&full, 1), ARG);

    const Bytes symbol = hex("9103 616263 00"), big(512, 0x20), two = hex("0100"), huge(65536);
    auto request = [&](uint8_t service, const Bytes& path, uint32_t size, const Bytes& data) {
        const zelkc_cip_request r = {service, path.data(), size, data.data(), uint32_t(data.size())};
        return encoded([&](auto* out) { return zelkc_cip_request_encode(&r, out); });
    };
    EXPECT_EQ(request(0x4C, symbol, 6, two), Result(OK, hex("4C03 9103616263 00 0100")));
    EXPECT_EQ(request(0x0E, {}, 0, {}), Result(OK, hex("0E00")));
    EXPECT_EQ(request(0x01, big, 510, {}), Result(OK, cat({hex("01FF"), Bytes(510, 0x20)})));
    EXPECT_EQ(request(0x01, big, 512, {}), Result(BIG, {}));
    EXPECT_EQ(request(0x01, symbol, 5, {}), Result(ARG, {}));
    EXPECT_EQ(
        encoded([](auto* out) { return zelkc_cip_request_encode(zelkc_cip_identity_object_request(), out); }),
        Result(OK, hex("0102 20012401")));
    EXPECT_EQ(encoded([&](auto* out) { return zelkc_cip_cpf_build_rr_data(symbol.data(), 3, 0x1234, out); }),
              Result(OK, hex("00000000 3412 0200 0000 0000 B200 0300 910361")));
    EXPECT_EQ(
        encoded([&](auto* out) { return zelkc_cip_cpf_build_rr_data(huge.data(), 65536, 0, out); }).first,
        BIG);
    EXPECT_EQ(
        encoded([&](auto* out) { return zelkc_cip_cpf_build_unit_data(0x01020304, 7, two.data(), 2, out); }),
        Result(OK, hex("00000000 0000 0200 A100 0400 04030201 B100 0400 0700 0100")));
    EXPECT_EQ(encoded([&](auto* out) { return zelkc_cip_cpf_build_unit_data(1, 1, nullptr, 1, out); }).first,
              ARG);
}

TEST(CipCodec, RoutesAndTheUnconnectedSendAroundThePaddedMessage) {
    zelkc_cip_buffer route = {};
    const std::string ip = "192.168.1.1"; // 11 bytes of link address text, padded
    const uint8_t one = 7, two[2] = {1, 2};
    ASSERT_EQ(zelkc_cip_route_path_add_port(&route, 2, reinterpret_cast<const uint8_t*>(ip.data()), 11), OK);
    EXPECT_EQ(route.capacity, 16u); // 8, doubled
    EXPECT_EQ(zelkc_cip_route_path_add_port(&route, 14, &one, 1), OK);
    EXPECT_EQ(zelkc_cip_route_path_add_port(&route, 3, two, 2), OK);
    EXPECT_EQ(zelkc_cip_route_path_add_port(&route, 1, nullptr, 0), OK);
    EXPECT_EQ(zelkc_cip_route_path_add_backplane_slot(&route, 3), OK);
    EXPECT_EQ(zelkc_cip_route_path_add_port(&route, 15, &one, 1), ARG);
    EXPECT_EQ(zelkc_cip_route_path_add_port(&route, 1, two, 256), ARG);
    EXPECT_EQ(bytes_of(route), hex("120B 3139322E3136382E312E31 00 0E07 1302 0102 1100 0103"));
    zelkc_cip_path_free(&route);

    Bytes path = hex("206B2401"), data(65515, 0xAA), slot(512, 0x01);
    auto routed = [&](uint8_t service, uint32_t data_size, uint32_t route_size) {
        const zelkc_cip_request r = {service, path.data(), 4, data.data(), data_size};
        const zelkc_cip_buffer via = {slot.data(), route_size, 0};
        return encoded([&](auto* out) { return zelkc_cip_routed_request_encode(&r, &via, 7, 9, out); });
    };
    EXPECT_EQ(routed(0x4C, 3, 2), Result(OK, hex("5202 20062401 0709 0900 4C02206B2401AAAAAA 00 0100 0101")));
    EXPECT_EQ(routed(0x01, 0, 2), Result(OK, hex("5202 20062401 0709 0600 0102206B2401 0100 0101")));
    EXPECT_EQ(routed(0x01, 0, 510).second.size(), 6u + 12u + 510u);
    EXPECT_EQ(routed(0x01, 0, 1).first, ARG);
    EXPECT_EQ(routed(0x01, 0, 512).first, BIG);
    EXPECT_EQ(routed(0x4C, 65515, 2).first, BIG); // 6 + 65521 + pad + 2 reaches 65530
}

TEST(CipCodec, ConnectionManagerRequests) {
    const Bytes slot = hex("0100"), long_route(502, 0x01);
    // Forward Open (large 0/1) or Forward Close (large 2) for a connection of `size` along the route.
    auto request = [&](uint16_t size, uint8_t large, const Bytes& route, uint32_t route_size) {
        zelkc_cip_connection c = kConnection;
        c.size = size;
        const zelkc_cip_buffer via = {const_cast<uint8_t*>(route.data()), route_size, 0};
        return encoded([&](auto* out) {
            return large == 2 ? zelkc_cip_forward_close_encode(&c, &via, out)
                              : zelkc_cip_forward_open_encode(&c, large, &via, out);
        });
    };
    const std::string open = "0A0E 00000000 44332211 6655 564F AA998877 07 000000 80841E00";
    EXPECT_EQ(request(504, 0, {}, 0),
              Result(OK, hex("5402 20062401" + open + "F843 80841E00 F843 A3 02 20022401")));
    EXPECT_EQ(request(511, 0, slot, 2),
              Result(OK, hex("5402 20062401" + open + "FF43 80841E00 FF43 A3 03 0100 20022401")));
    EXPECT_EQ(request(4002, 1, {}, 0),
              Result(OK, hex("5B02 20062401" + open + "A20F0042 80841E00 A20F0042 A3 02 20022401")));
    EXPECT_EQ(request(4002, 2, {}, 0),
              Result(OK, hex("4E02 20062401 0A0E 6655 564F AA998877 0200 20022401")));
    EXPECT_EQ(request(4002, 2, slot, 2),
              Result(OK, hex("4E02 20062401 0A0E 6655 564F AA998877 0300 0100 20022401")));
    EXPECT_EQ(request(512, 0, {}, 0).first, ARG);
    EXPECT_EQ(request(504, 0, slot, 1).first, ARG);
    EXPECT_EQ(request(504, 2, long_route, 502).first, BIG);
}

TEST(CipCodec, MultipleServicePacketsCarryCountOffsetsAndRequests) {
    const Bytes path = hex("91024142"), data(65524, 0x01);
    const zelkc_cip_request reqs[3] = {{0x4C, path.data(), 4, data.data(), 2},
                                       {0x4D, path.data(), 4, data.data(), 2},
                                       {0x4E, path.data(), 3, data.data(), 2}};
    EXPECT_EQ(encoded([&](auto* out) { return zelkc_cip_multiple_request_encode(reqs, 2, out); }),
              Result(OK, hex("0A02 20022401 0200 0600 0E00 4C02 91024142 0101 4D02 91024142 0101")));
    EXPECT_EQ(encoded([&](auto* out) { return zelkc_cip_multiple_request_encode(reqs, 3, out); }).first, ARG);
    // One request of 2 + 65523 bytes after the count and its offset: exactly the 65529-byte limit.
    for (uint32_t size : {65523u, 65524u}) {
        const zelkc_cip_request r = {0x4C, nullptr, 0, data.data(), size};
        auto [rc, bytes] = encoded([&](auto* out) { return zelkc_cip_multiple_request_encode(&r, 1, out); });
        EXPECT_EQ(std::pair(rc, bytes.size()),
                  size == 65523 ? std::pair(OK, 6 + 65529ul) : std::pair(BIG, 0ul));
    }
}

TEST(CipCodec, AllocatorRecordsAndTheSystemAllocator) {
    const zelkc_cip_allocator* system = zelkc_cip_allocator_get_default();
    zelkc_cip_allocator incomplete = {zelkc_cip_alloc_system, zelkc_cip_realloc_system, nullptr, nullptr};
    zelkc_cip_allocator_set_default(&incomplete); // ignored
    EXPECT_EQ(zelkc_cip_allocator_get_default(), system);
    void* kept = zelkc_cip_alloc_system(nullptr, 4);
    static_cast<uint8_t*>(kept)[3] = 0x5A;
    EXPECT_EQ(zelkc_cip_realloc_system(nullptr, kept, 0), nullptr);
    EXPECT_EQ(static_cast<uint8_t*>(kept)[3], 0x5A); // still ours (a freed block would fail below)
    zelkc_cip_free_system(nullptr, kept);
    EXPECT_EQ(zelkc_cip_alloc_system(nullptr, 0), nullptr);
}
