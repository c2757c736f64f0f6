// Unconnected, routed and Multiple Service Packet sends against a scripted device on 127.0.0.1.
#include "cip_test_peer.h"
#include "zelkc_cip.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace cip_test;

namespace {

const uint8_t OK = ZELKC_CIP_OK, BAD = ZELKC_CIP_ERR_BAD_REPLY, BIG = ZELKC_CIP_ERR_TOO_LARGE;
const Bytes kPath = hex("206B2401"), kSlot0 = hex("0100");
const zelkc_cip_buffer kRoute = {const_cast<uint8_t*>(kSlot0.data()), 2, 0};

// `count` requests of `size` encoded bytes (path 20 6B 24 01) whose data starts with their index.
struct Requests {
    std::vector<Bytes> data;
    std::vector<zelkc_cip_request> list;
    Requests(size_t count, size_t size) : data(count, Bytes(size - 6)) {
        for (size_t i = 0; i < count; ++i) {
            data[i][0] = uint8_t(i);
            list.push_back({0x4C, kPath.data(), 4, data[i].data(), uint32_t(size - 6)});
        }
    }
};

using CipSend = DeviceTest;

} // namespace

// Direct sends: the exact SendRRData message and a good reply, then device errors and malformed
// blocks, each failing the send and keeping the session. Routed sends (the first along 01 00 with
// the default ticks, the others to backplane slot 0): a controller behind a module answers for
// itself or wrapped in an Unconnected Send reply; a routing failure (status 1, extended status
// 0x0104, remaining path size) is handed back as the Unconnected Send's reply; anything else is
// malformed.
TEST_F(CipSend, UnconnectedAndRoutedSendsCheckTheReply) {
    const Bytes target = hex("CC000000 C400 2A00"), ok = cpf_reply(target), none = hex("00000000");
    const uint32_t session = Device::session;
    const struct {
        uint32_t session, status;
        Bytes cpf;
        uint8_t rc;
        Bytes response;
    } cases[] = {
        {session, 0, ok, OK, target},
        {session + 1, 0, ok, ZELKC_CIP_ERR_DEVICE, none}, // foreign handle
        {session, 0, {}, BAD, none},                      // no CPF at all
        {session, 0, ok, OK, target},
        {session, 0, cpf_reply(cat({hex("D2000000"), target})), OK, target},
        {session, 0, cpf_reply(hex("D2000101 0401 01")), OK, hex("D2000101 0401 01")},
        {session, 0, cpf_reply(hex("99000000")), BAD, none},
    };
    std::atomic<size_t> n{0};
    device.on_message = [&](const EncapMessage& m) {
        return encap(0x006F, cases[n].session, cases[n].status, m.context, cases[n].cpf);
    };
    start();
    const Requests one(1, 8);
    for (const auto& c : cases) {
        zelkc_cip_response r;
        EXPECT_EQ(n < 3    ? zelkc_cip_client_send_unconnected(client, &one.list[0], &r)
                  : n == 3 ? zelkc_cip_client_send_routed(client, &one.list[0], &kRoute, &r)
                           : zelkc_cip_client_send_to_backplane_slot(client, 0, &one.list[0], &r),
                  c.rc);
        EXPECT_EQ(std::pair(flat(r), zelkc_cip_client_status(client)), std::pair(c.response, uint8_t(2)))
            << n;
        zelkc_cip_response_free(&r);
        ++n;
    }
    finish();
    EXPECT_EQ(device.log[0].raw, hex("6F00 1800 04030201 00000000 0200000000000000 00000000 "
                                     "00000000 0000 0200 0000 0000 B200 0800 4C02206B2401 0000"));
    EXPECT_EQ(std::vector<Bytes>(device.seen.begin() + 3, device.seen.end()),
              std::vector<Bytes>(4, hex("5202 20062401 0A0E 0800 4C02206B2401 0000 0100 0100")));
}

// Packing: 25 x 39 bytes greedily as 12/12/1 (12 fill a packet to exactly 500 bytes), and 24 x 38
// bytes as 11/11/2 when each packet also carries the Unconnected Send wrapper and route (14 bytes
// more: 12 would make 502; the device answers alternately with the target's own reply and the
// wrapped form).
TEST_F(CipSend, PacksGreedilyUpToTheLimitAndKeepsOrder) {
    for (const bool routed : {false, true}) {
        // The packet, or the one an Unconnected Send carries, whose wrapper and route are checked.
        auto unpack = [&](const Bytes& cip) {
            const size_t length = routed ? get(&cip[8], 2) : 0, end = 10 + length + length % 2;
            EXPECT_TRUE(!routed || cat({{cip.begin(), cip.begin() + 8}, {cip.begin() + end, cip.end()}}) ==
                                       hex("5202 20062401 0A0E 0100 0100"));
            return unpack_multiple(routed ? Bytes(cip.begin() + 10, cip.begin() + 10 + length) : cip);
        };
        device = Device();
        device.on_cip = [&, n = 0](const Bytes& cip) mutable {
            return cat({routed && n++ % 2 ? hex("D2000000") : Bytes{}, echo_multiple(unpack(cip))});
        };
        start();
        const uint32_t count = routed ? 24 : 25;
        Requests in(count, routed ? 38 : 39);
        zelkc_cip_multiple_response out;
        ASSERT_EQ(routed ? zelkc_cip_client_send_multiple_routed(client, in.list.data(), count, &kRoute, &out)
                         : zelkc_cip_client_send_multiple_unconnected(client, in.list.data(), count, &out),
                  OK);
        ASSERT_EQ(out.count, count);
        for (uint32_t i = 0; i < count; ++i)
            EXPECT_EQ(out.responses[i].data.data[0], i);
        zelkc_cip_multiple_response_free(&out);
        finish();
        std::vector<size_t> packets; // the number of requests in each
        for (const Bytes& cip : device.seen) {
            packets.push_back(unpack(cip).size());
            EXPECT_LE(cip.size(), 500u);
        }
        EXPECT_EQ(packets, (routed ? std::vector<size_t>{11, 11, 2} : std::vector<size_t>{12, 12, 1}));
    }
}

// 0x1E with one failed embedded reply gives every response and 0; then broken or refused replies,
// each failing the whole send, keeping the session and leaving no block behind; last, a request
// too large for any packet, or an invalid one, behind requests that fit: nothing is sent.
TEST_F(CipSend, EmbeddedFailuresBrokenRepliesAndRequestsThatCannotBeSent) {
    const std::pair<uint8_t, std::function<Bytes(std::vector<Bytes>)>> cases[] = {
        {OK, [](auto r) { return echo_multiple(r, 0x1E, 2); }},
        {BAD,
         [](auto r) {
             return echo_multiple({r.begin(), r.end() - 1});
         }},
        {BIG, [](auto) { return hex("8A001A00"); }}, // even alone
        {ZELKC_CIP_ERR_DEVICE, [](auto) { return hex("8A000800"); }},
        {BAD, [](auto r) { return echo_multiple(r, 0, SIZE_MAX, 0x8B); }},
    };
    std::atomic<size_t> mode{0};
    device.on_cip = [&](const Bytes& cip) { return cases[mode].second(unpack_multiple(cip)); };
    start();
    Requests in(4, 10);
    for (Counting counting; mode < std::size(cases); ++mode) {
        zelkc_cip_multiple_response out;
        EXPECT_EQ(zelkc_cip_client_send_multiple_unconnected(client, in.list.data(), 4, &out),
                  cases[mode].first);
        EXPECT_EQ(out.count, mode == 0 ? 4u : 0u);
        for (uint32_t i = 0; i < out.count; ++i)
            EXPECT_EQ(std::pair(out.responses[i].data.data[0], out.responses[i].general_status),
                      std::pair(uint8_t(i), uint8_t(i == 2 ? 5 : 0)));
        zelkc_cip_multiple_response_free(&out);
        EXPECT_EQ(std::pair(counting.live, zelkc_cip_client_status(client)), std::pair(0L, uint8_t(2)));
    }
    const size_t sent = device.seen.size();
    Bytes big(490);
    in.list[2] = {0x4C, kPath.data(), 4, big.data(), 490}; // 496 + 8 + 2 > 500
    zelkc_cip_multiple_response out;
    EXPECT_EQ(zelkc_cip_client_send_multiple_unconnected(client, in.list.data(), 3, &out), BIG);
    in.list[1].path_size = 3;
    EXPECT_EQ(zelkc_cip_client_send_multiple_unconnected(client, in.list.data(), 2, &out),
              ZELKC_CIP_ERR_INVALID_ARGUMENT);
    finish();
    EXPECT_EQ(device.seen.size(), sent);
}
