// Unconnected, routed and Multiple Service Packet sends against a scripted device on 127.0.0.1.
#include "cip_test_peer.h"
#include "zelkc_cip.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace cip_test;

namespace {

const uint8_t OK = ZELKC_CIP_OK, BAD = ZELKC_CIP_ERR_BAD_REPLY, BIG = ZELKC_CIP_ERR_TOO_LARGE;
const Bytes kSlot0 = hex("0100");
const zelkc_cip_buffer kRoute = {const_cast<uint8_t*>(kSlot0.data()), 2, 0};

using CipSend = DeviceTest;

} // namespace

// Direct sends: the exact SendRRData message and a good reply, then a reply for another session.
// Routed sends (the first along 01 00, the others to backplane slot 0, both with the default ticks): a
// controller behind a module answers for itself or wrapped in an Unconnected Send reply; a routing
// failure (status 1, extended status 0x0104, remaining path size) is handed back as the Unconnected
// Send's reply. The session stays throughout.
TEST_F(CipSend, UnconnectedAndRoutedSendsCheckTheReply) {
    const Bytes target = hex("CC000000 C400 2A00"), failure = hex("D2000101 0401 01");
    const std::tuple<uint32_t, Bytes, uint8_t, Bytes> cases[] = {
        {kSession, target, OK, target},   {kSession + 1, target, ZELKC_CIP_ERR_BAD_REPLY, hex("00000000")},
        {kSession, target, OK, target},   {kSession, cat({hex("D2000000"), target}), OK, target},
        {kSession, failure, OK, failure},
    };
    std::atomic<size_t> n{0};
    on_message = [&](const Bytes& m) {
        return encap(0x006F, std::get<0>(cases[n]), 0, context_of(m), cpf_reply(std::get<1>(cases[n])));
    };
    start();
    const Requests one(1, 8);
    for (const auto& [session, reply, rc, response] : cases) {
        zelkc_cip_response r;
        EXPECT_EQ(n < 2    ? zelkc_cip_client_send_unconnected(client, &one.list[0], &r)
                  : n == 2 ? zelkc_cip_client_send_routed(client, &one.list[0], &kRoute, &r)
                           : zelkc_cip_client_send_to_backplane_slot(client, 0, &one.list[0], &r),
                  rc);
        EXPECT_EQ(std::pair(flat(r), zelkc_cip_client_status(client)), std::pair(response, uint8_t(2))) << n;
        // A reply for another session carries status 0: no refusal status is claimed for it.
        EXPECT_EQ(client->refusal.encapsulation_status, 0u) << n;
        zelkc_cip_response_free(&r), ++n;
    }
    finish();
    EXPECT_EQ(log[0], hex("6F00 1800 04030201 00000000 0200000000000000 00000000 "
                          "00000000 0000 0200 0000 0000 B200 0800 4C02206B2401 0000"));
    for (size_t i = 2; i < std::size(cases); ++i) // default ticks 10 and 14, slot 0
        EXPECT_EQ(cip_of(log.at(i)), hex("5202 20062401 0A0E 0800 4C02206B2401 0000 0100 0100"));
}

// Packing: 25 requests of 39 bytes go as 12/12/1 (12 fill a packet to exactly 500 bytes); along
// a route, 24 of 38 bytes as 11/11/2 (each packet also carries the Unconnected Send wrapper and
// route, 14 bytes more: 12 would make 502). A device refusing packets of more than 2 services with
// 0x1A makes them split in halves, the replies still in request order. Then a reply missing one
// service and a single service refused with 0x1A, each failing the whole send, keeping the session
// and leaving no block behind; last, a request too large for any packet behind requests that fit:
// nothing is sent.
TEST_F(CipSend, PacksSplitsAndRefusesWholeSends) {
    using Reply = std::function<Bytes(std::vector<Bytes>)>;
    const Reply echo = [](auto r) { return echo_multiple(r); }, refuse = [](auto) { return hex("8A001A00"); },
                refuse_above_2 = [](auto r) { return r.size() > 2 ? hex("8A001A00") : echo_multiple(r); },
                one_missing = [](auto r) {
                    return echo_multiple({r.begin(), r.end() - 1});
                };
    const std::tuple<uint32_t, uint32_t, uint8_t, Reply, std::vector<size_t>> cases[] = {
        {25, 39, OK, echo, {12, 12, 1}},
        {24, 38, OK, echo, {11, 11, 2}}, // along the route
        {5, 10, OK, refuse_above_2, {5, 2, 3, 1, 2}},
        {4, 10, BAD, one_missing, {4}},
        {4, 10, BIG, refuse, {4, 2, 1}}, // even alone
    };
    std::atomic<size_t> mode{0};
    std::vector<size_t> packets; // the number of requests in each
    on_message = [&](const Bytes& m) {
        const Bytes cip = cip_of(m);
        EXPECT_LE(cip.size(), 500u);
        // Along the route, the packet is the message of an Unconnected Send, whose wrapper is checked.
        const size_t length = mode == 1 ? get(&cip[8], 2) : 0, end = 10 + length + length % 2;
        EXPECT_TRUE(mode != 1 || cat({{cip.begin(), cip.begin() + 8}, {cip.begin() + end, cip.end()}}) ==
                                     hex("5202 20062401 0A0E 0100 0100"));
        const auto requests =
            unpack_multiple(mode == 1 ? Bytes(cip.begin() + 10, cip.begin() + 10 + length) : cip);
        packets.push_back(requests.size());
        // Along the route, the second reply comes in the wrapped form.
        return rr_reply(m, cat({mode == 1 && packets.size() == 2 ? hex("D2000000") : Bytes{},
                                std::get<3>(cases[mode])(requests)}));
    };
    start();
    for (Counting counting; mode < std::size(cases); ++mode) {
        const auto& [count, size, rc, reply, expected] = cases[mode];
        Requests in(count, size);
        zelkc_cip_multiple_response out;
        packets.clear();
        const uint8_t result =
            mode == 1 ? zelkc_cip_client_send_multiple_routed(client, in.list.data(), count, &kRoute, &out)
                      : zelkc_cip_client_send_multiple_unconnected(client, in.list.data(), count, &out);
        if (rc == OK)
            expect_in_order(result, &out, count);
        EXPECT_EQ(std::tuple(result, out.count, packets, counting.live, zelkc_cip_client_status(client)),
                  std::tuple(rc, 0u, expected, 0L, uint8_t(2)))
            << mode;
    }
    const size_t sent = log.size();
    Requests in(3, 10);
    Bytes big(490);
    in.list[2] = {0x4C, in.path.data(), 4, big.data(), 490}; // 496 + 8 + 2 > 500
    zelkc_cip_multiple_response out;
    EXPECT_EQ(zelkc_cip_client_send_multiple_unconnected(client, in.list.data(), 3, &out), BIG);
    finish();
    EXPECT_EQ(log.size(), sent);
}
