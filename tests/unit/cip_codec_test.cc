// Byte-exact encoders and bounds-checked decoders of zelkc_cip (no network).
#include "cip_test_peer.h"
#include "zelkc_cip.h"

#include <gtest/gtest.h>

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
const zelkc_cip_connection kConnection = {0, 0x11223344, 0x5566, 0x4F56, 0x778899AA, 2000000, 7, 0, 504, 0, 0};

// Runs a decoder on `in`: its result and, on success, what it produced in wire form (replies as
// received, the ids a Forward Open reply gives).
Result decode(const std::string& decoder, const Bytes& in) {
    const uint32_t size = uint32_t(in.size());
    zelkc_cip_response r = {};
    zelkc_cip_multiple_response m = {};
    zelkc_cip_connection c = kConnection;
    zelkc_cip_buffer b = {};
    Bytes out;
    uint8_t rc = decoder == "cpf"        ? zelkc_cip_cpf_extract_unconnected_data(in.data(), size, &b)
                 : decoder == "multiple" ? zelkc_cip_multiple_response_data_parse(in.data(), size, &m)
                 : decoder == "connected"
                     ? OK
                     : zelkc_cip_response_parse(in.data(), size, &r);
    zelkc_cip_identity id = {};
    uint16_t sequence = 0;
    uint32_t at = 0, length = 0;
    if (decoder == "identity" && rc == OK && (rc = zelkc_cip_identity_object_parse(&r, &id)) == OK)
        out = Bytes(id.product_name, id.product_name + strlen(id.product_name));
    zelkc_cip_identity_object_free(&id);
    if (decoder == "connected" &&
        (rc = zelkc_cip_cpf_find_connected_data(in.data(), size, 0x778899AA, &sequence, &at, &length)) == OK)
        put(out, sequence, 2), out.insert(out.end(), in.begin() + at, in.begin() + at + length);
    out = cat({out, bytes_of(b), decoder == "reply" ? flat(r) : Bytes{}});
    if (decoder == "forward open" && rc == OK && (rc = zelkc_cip_forward_open_reply_accept(&r, &c)) == OK)
        put(out, c.ot_id, 4), put(out, c.to_id, 4);
    for (uint32_t i = 0; i < m.count; ++i)
        out = cat({out, flat(m.responses[i])});
    zelkc_cip_response_free(&r);
    zelkc_cip_multiple_response_free(&m);
    zelkc_cip_path_free(&b);
    return {rc, rc == OK ? out : Bytes{}};
}

} // namespace

TEST(CipCodec, DecodersStayWithinTheirInputAndRefuseMalformedReplies) {
    const std::string two = "0200 0600 0C00 CC000000C400 CD000500", cpf = "00000000 0000 ",
                      fo = "DDCCBBAA 44332211 6655 564F AA998877 80841E00 80841E00 00",
                      id = "0100 0E00 5A00 1403 6030 78563412", conn = "00000000 0000 0200 A100 ";
    const struct {
        const char* decoder;
        std::string in;
        uint8_t rc;
        std::string out;
    } cases[] = {
        {"reply", "D27E0102 0401 0500 C4002A", OK, "D27E0102 0401 0500 C4002A"},
        {"reply", "CC000002 0100 02", BAD, ""},                        // additional status one byte short
        {"reply", "CC0005", OK, "CC000500"},                           // an error reply without its size byte
        {"reply", "CC00FF01 05", OK, "CC00FF00"},                      // ... or cut inside its status
        {"reply", "CC00FF02 0521 07", OK, "CC00FF01 0521"},            // whole words of status kept
        {"reply", "CC06", BAD, ""},                                    // too short for any reply
        {"multiple", "0200 0600 0C00 CC000000C400 CD0005", OK, "CC000000C400 CD000500"},
        {"cpf", cpf + "0200 0080 0300 090909 B200 0100 77", OK, "77"}, // another item first
        {"cpf", cpf + "0100 B200 0500 01020304", BAD, ""},             // one byte past the end
        {"multiple", two, OK, "CC000000C400 CD000500"},
        {"multiple", "0200 0400 0C00 CC000000C400 CD000500", BAD, ""}, // inside the offset table
        {"forward open", "D4000000" + fo + "00", OK, "DDCCBBAA 44332211"},
        {"forward open", "D4000000" + fo, BAD, ""}, // one byte short
        {"identity", "81000000" + id + "02 4142", OK, "4142"},
        {"identity", "81000000" + id + "03 4142", BAD, ""}, // the name one byte longer than the reply
        {"identity", "81000800", DEV, ""},                  // refused (service not supported)
        {"identity", "81000800" + id + "02 4142", DEV, ""}, // refused, whatever data follows
        {"identity", "D2000101 1203 00 00", DEV, ""},       // routed to a slot where nothing is
        {"connected", conn + "0400 AA998877 B100 0400 0700 CC00", OK, "0700 CC00"},
        {"connected", conn + "0600 AA9988770000 B100 0400 0700 CC00", BAD, ""}, // address of 6 bytes
        {"forward open", "D4000000 DDCCBBAA 44332211 6655 564F AB998877 80841E00 80841E00 0000", BAD, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decode(c.decoder, hex(c.in)), Result(c.rc, hex(c.out))) << c.decoder << " " << c.in;
}

TEST(CipCodec, EncodersWriteEveryByteAndRefuseWhatTheWireCannotCarry) {
    const Bytes big(65524, 0x01), two = hex("0100"), symbol = hex("9103 616263 00"), target = hex("206B2401");
    zelkc_cip_buffer path = {};
    for (uint32_t value : {0x6Bu, 0xFFu, 0x100u, 0xFFFFu, 0x10000u})
        ASSERT_EQ(zelkc_cip_path_add_instance(&path, value), OK);
    const std::string longest(255, 'x'), too_long(256, 'x');
    for (const char* name : {"Counter", "Tank", too_long.c_str(), longest.c_str()})
        EXPECT_EQ(zelkc_cip_path_add_ansi_symbol(&path, name), name == too_long.c_str() ? BIG : OK);
    EXPECT_EQ(bytes_of(path), cat({hex("246B 24FF 2500 0001 2500 FFFF 2600 00000100 "
                                       "9107 436F756E746572 00 9104 54616E6B 91FF"),
                                   Bytes(255, 'x'),
                                   {0}}));
    zelkc_cip_path_free(&path);
    zelkc_cip_buffer full = {const_cast<uint8_t*>(two.data()), UINT32_MAX - 1, UINT32_MAX}; // size would wrap
    EXPECT_EQ(zelkc_cip_path_add_class(&full, 1), ARG);

    auto request = [&](const Bytes& p, uint32_t size, const Bytes& data) {
        const zelkc_cip_request r = {0x4C, p.data(), size, data.data(), uint32_t(data.size())};
        return encoded([&](auto* out) { return zelkc_cip_request_encode(&r, out); });
    };
    EXPECT_EQ(request(symbol, 6, two), Result(OK, hex("4C03 9103616263 00 0100")));
    EXPECT_EQ(request(big, 510, {}), Result(OK, cat({hex("4CFF"), Bytes(510, 0x01)})));
    EXPECT_EQ(std::tuple(request(big, 512, {}).first, request(symbol, 5, {}).first), std::tuple(BIG, ARG));

    zelkc_cip_buffer route = {};
    const Bytes ip = hex("3139322E3136382E312E31"); // "192.168.1.1": 11 bytes, padded
    EXPECT_EQ(Bytes({zelkc_cip_route_path_add_port(&route, 2, ip.data(), 11),
                     zelkc_cip_route_path_add_port(&route, 14, ip.data(), 1),
                     zelkc_cip_route_path_add_port(&route, 3, ip.data(), 2),
                     zelkc_cip_route_path_add_backplane_slot(&route, 3),
                     zelkc_cip_route_path_add_port(&route, 15, ip.data(), 1)}),
              Bytes({OK, OK, OK, OK, ARG}));
    EXPECT_EQ(bytes_of(route), hex("120B 3139322E3136382E312E31 00 0E31 1302 3139 0103"));
    zelkc_cip_path_free(&route);

    auto routed = [&](uint8_t service, uint32_t data_size, uint32_t route_size) {
        const zelkc_cip_request r = {service, target.data(), 4, big.data(), data_size};
        const zelkc_cip_buffer via = {const_cast<uint8_t*>(big.data()), route_size, 0};
        return encoded([&](auto* out) { return zelkc_cip_routed_request_encode(&r, &via, 7, 9, out); });
    };
    EXPECT_EQ(routed(0x4C, 3, 2), Result(OK, hex("5202 20062401 0709 0900 4C02206B2401010101 00 0100 0101")));
    EXPECT_EQ(routed(0x01, 0, 510).second.size(), 6u + 12u + 510u); // the longest route
    EXPECT_EQ(std::tuple(routed(0x01, 0, 1).first, routed(0x01, 0, 512).first, routed(0x4C, 65515, 2).first),
              std::tuple(ARG, BIG, BIG)); // odd route, route above 510, 6 + 65521 + pad + 2 reaching 65530

    // Forward Open (large 0/1) or Forward Close (large 2) for a connection of `size` along the route.
    auto manager = [&](uint16_t size, uint8_t large, uint32_t route_size) {
        const zelkc_cip_connection c = {0, 0x11223344, 0x5566, 0x4F56, 0x778899AA, 2000000, 7, 0, size, 0, 0};
        const zelkc_cip_buffer via = {const_cast<uint8_t*>(two.data()), route_size, 0};
        return encoded([&](auto* out) {
            return large == 2 ? zelkc_cip_forward_close_encode(&c, &via, out)
                              : zelkc_cip_forward_open_encode(&c, large, &via, out);
        });
    };
    const std::string open = "0A0E 00000000 44332211 6655 564F AA998877 07 000000 80841E00";
    EXPECT_EQ(manager(511, 0, 2),
              Result(OK, hex("5402 20062401" + open + "FF43 80841E00 FF43 A3 03 0100 20022401")));
    EXPECT_EQ(manager(4002, 1, 0),
              Result(OK, hex("5B02 20062401" + open + "A20F0042 80841E00 A20F0042 A3 02 20022401")));
    EXPECT_EQ(manager(4002, 2, 2),
              Result(OK, hex("4E02 20062401 0A0E 6655 564F AA998877 0300 0100 20022401")));
    EXPECT_EQ(std::tuple(manager(512, 0, 0).first, manager(504, 0, 1).first), std::tuple(ARG, ARG));

    const zelkc_cip_request reqs[3] = {{0x4C, two.data(), 2, big.data(), 2},
                                       {0x4D, two.data(), 2, big.data(), 1},
                                       {0x4E, two.data(), 1, big.data(), 0}};
    EXPECT_EQ(encoded([&](auto* out) { return zelkc_cip_multiple_request_encode(reqs, 2, out); }),
              Result(OK, hex("0A02 20022401 0200 0600 0C00 4C01 0100 0101 4D01 0100 01")));
    EXPECT_EQ(encoded([&](auto* out) { return zelkc_cip_multiple_request_encode(reqs, 3, out); }).first, ARG);
    for (const uint32_t data : {65521u, 65522u}) { // 2 + 2 + 4 + 65521 bytes fill a packet's 65529 exactly
        const zelkc_cip_request filled = {0x4C, two.data(), 2, big.data(), data};
        EXPECT_EQ(encoded([&](auto* out) { return zelkc_cip_multiple_request_encode(&filled, 1, out); }).first,
                  data == 65521 ? OK : BIG);
    }
}
