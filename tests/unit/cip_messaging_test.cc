// Unconnected, routed and Multiple Service Packet sends against a scripted device on 127.0.0.1.
#include "cip_test_peer.h"
#include "zelkc_cip.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

using namespace cip_test;

namespace {

const uint8_t OK = ZELKC_CIP_OK, BAD = ZELKC_CIP_ERR_BAD_REPLY, BIG = ZELKC_CIP_ERR_TOO_LARGE;

// A device on a scripted peer with one connected client, and `count` requests of `size` encoded
// bytes (20 6B 24 01 as path) whose data starts with their index.
struct CipSend : testing::Test {
    Device device;
    std::unique_ptr<ScriptedPeer> peer;
    zelkc_cip_client* client = nullptr;
    const Bytes path = hex("206B2401"), route_bytes = hex("0100");
    const zelkc_cip_buffer route = {const_cast<uint8_t*>(route_bytes.data()), 2, 0};
    std::vector<Bytes> data;
    std::vector<zelkc_cip_request> requests;

    void start(size_t count, size_t size) {
        peer = std::make_unique<ScriptedPeer>(device.handler());
        client = zelkc_cip_client_create();
        ASSERT_EQ(zelkc_cip_client_connect(client, "127.0.0.1", peer->port, 5000), OK);
        data.assign(count, Bytes(size - 6));
        for (size_t i = 0; i < count; ++i) {
            data[i][0] = uint8_t(i);
            requests.push_back({0x4C, path.data(), 4, data[i].data(), uint32_t(size - 6)});
        }
    }
    void finish() { // disconnects and waits for the device, so that its records are complete
        zelkc_cip_client_destroy(client);
        client = nullptr;
        peer->join();
    }
    void TearDown() override { zelkc_cip_client_destroy(client); }
};

} // namespace

// Direct sends: the exact SendRRData message, a good reply, then device errors and malformed
// blocks, each failing the send and keeping the session. Routed sends (the first along 01 00 with
// the default ticks, the others to backplane slot 0): a controller behind a module answers for
// itself or wrapped in an Unconnected Send reply; a routing failure (status 1, extended status
// 0x0104, remaining path size, with or without the reserved byte) is handed back as the Unconnected
// Send's reply; anything else is malformed.
TEST_F(CipSend, UnconnectedAndRoutedSendsCheckTheReply) {
    const Bytes target = hex("CC000000 C400 2A00"), ok = cpf_reply(target), none = hex("00000000");
    const uint32_t session = Device::session;
    const struct {
        bool routed;
        uint32_t session, status;
        Bytes cpf;
        uint8_t rc;
        Bytes response;
    } cases[] = {
        {false, session, 0, ok, OK, target},
        {false, session, 1, ok, ZELKC_CIP_ERR_DEVICE, none},
        {false, session + 1, 0, ok, ZELKC_CIP_ERR_DEVICE, none}, // foreign handle
        {false, session, 0, hex("01000000 0000 0100 B200 0000"), BAD, none},
        {false, session, 0, cpf_reply({0xCC}), BAD, none}, // short CIP reply
        {false, session, 0, {}, BAD, none},                // no CPF at all
        {true, session, 0, ok, OK, target},
        {true, session, 0, cpf_reply(cat({hex("D2000000"), target})), OK, target},
        {true, session, 0, cpf_reply(hex("D2000101 0401 01")), OK, hex("D2000101 0401 01")},
        {true, session, 0, cpf_reply(hex("D2000101 0401 0100")), OK, hex("D2000101 0401 0100")},
        {true, session, 0, cpf_reply(hex("99000000")), BAD, none},
        {true, session, 0, cpf_reply(hex("D2000000 CC0000")), BAD, none}, // wrapped reply too short
    };
    std::atomic<size_t> n{0};
    device.on_message = [&](const EncapMessage& m) {
        return encap(0x006F, cases[n].session, cases[n].status, m.context, cases[n].cpf);
    };
    start(1, 8);
    for (const auto& c : cases) {
        zelkc_cip_response r;
        EXPECT_EQ(!c.routed ? zelkc_cip_client_send_unconnected(client, &requests[0], &r)
                  : n == 6  ? zelkc_cip_client_send_routed(client, &requests[0], &route, &r)
                            : zelkc_cip_client_send_to_backplane_slot(client, 0, &requests[0], &r),
                  c.rc)
            << n;
        EXPECT_EQ(flat(r), c.response) << n;
        EXPECT_EQ(zelkc_cip_client_status(client), ZELKC_CIP_STATUS_CONNECTED);
        zelkc_cip_response_free(&r);
        ++n;
    }
    finish();
    EXPECT_EQ(device.log.at(0).raw, hex("6F00 1800 04030201 00000000 0200000000000000 00000000 "
                                        "00000000 0000 0200 0000 0000 B200 0800 4C02206B2401 0000"));
    EXPECT_EQ(std::vector<Bytes>(device.seen.begin() + 6, device.seen.end()),
              std::vector<Bytes>(6, hex("5202 20062401 0A0E 0800 4C02206B2401 0000 0100 0100")));
}

// Packing: 25 x 39 bytes greedily as 12/12/1 (12 fill a packet to exactly 500 bytes); 24 x 38
// bytes as 11/11/2 when each packet also carries the Unconnected Send wrapper and route (14 bytes
// more: 12 would make 502; the device answers alternately with the target's own reply and the
// wrapped form); and a device answering 0x1A to packets of more than two services and to the pair
// holding request 0, so that packets are split in halves. Each packet the device saw is listed as
// (index of its first request, number of requests).
TEST_F(CipSend, PacksGreedilySplitsRefusedPacketsInHalvesAndKeepsOrder) {
    const struct {
        size_t count, size;
        bool routed, refuse;
        std::vector<std::pair<int, size_t>> packets;
    } cases[] = {
        {25, 39, false, false, {{0, 12}, {12, 12}, {24, 1}}},
        {24, 38, true, false, {{0, 11}, {11, 11}, {22, 2}}},
        {4, 10, false, true, {{0, 4}, {0, 2}, {0, 1}, {1, 1}, {2, 2}}},
    };
    for (const auto& c : cases) {
        // The packet, or the one an Unconnected Send carries, whose wrapper and route are checked.
        auto unpack = [&](const Bytes& cip) {
            const size_t length = c.routed ? get(&cip[8], 2) : 0, end = 10 + length + length % 2;
            if (c.routed) {
                EXPECT_EQ(cat({{cip.begin(), cip.begin() + 8}, {cip.begin() + end, cip.end()}}),
                          hex("5202 20062401 0A0E 0100 0100"));
            }
            return unpack_multiple(c.routed ? Bytes(cip.begin() + 10, cip.begin() + 10 + length) : cip);
        };
        device = Device();
        requests.clear();
        device.on_cip = [&, n = 0](const Bytes& cip) mutable {
            std::vector<Bytes> packet = unpack(cip);
            if (c.refuse && (packet.size() > 2 || (packet.size() == 2 && packet[0][6] == 0)))
                return hex("8A001A00");
            return cat({c.routed && n++ % 2 ? hex("D2000000") : Bytes{}, echo_multiple(packet)});
        };
        start(c.count, c.size);
        zelkc_cip_multiple_response out;
        const uint32_t count = uint32_t(c.count);
        ASSERT_EQ(c.routed
                      ? zelkc_cip_client_send_multiple_routed(client, requests.data(), count, &route, &out)
                      : zelkc_cip_client_send_multiple_unconnected(client, requests.data(), count, &out),
                  OK);
        ASSERT_EQ(out.count, count);
        for (uint32_t i = 0; i < count; ++i)
            EXPECT_EQ(out.responses[i].data.data[0], i);
        zelkc_cip_multiple_response_free(&out);
        finish();
        std::vector<std::pair<int, size_t>> packets;
        for (const Bytes& cip : device.seen) {
            std::vector<Bytes> packet = unpack(cip);
            packets.emplace_back(packet.empty() ? -1 : packet[0][6], packet.size());
            EXPECT_LE(cip.size(), 500u);
        }
        EXPECT_EQ(packets, c.packets) << c.count;
    }
}

// 0x1E with one failed embedded reply gives every response and 0; then broken or refused replies,
// each failing the whole send and keeping the session; last, a request too large for any packet,
// or an invalid one, behind requests that fit: nothing is sent.
TEST_F(CipSend, EmbeddedFailuresBrokenRepliesAndRequestsThatCannotBeSent) {
    const std::pair<uint8_t, std::function<Bytes(std::vector<Bytes>)>> cases[] = {
        {OK, [](auto r) { return echo_multiple(r, 0x1E, 2); }},
        {BAD,
         [](auto r) {
             return echo_multiple({r.begin(), r.end() - 1});
         }},
        {BIG, [](auto) { return hex("8A001A00"); }}, // even alone
        {BIG, [](auto) { return hex("8A001B00"); }},
        {ZELKC_CIP_ERR_DEVICE, [](auto) { return hex("8A000800"); }},
        {BAD, [](auto r) { return echo_multiple(r, 0, SIZE_MAX, 0x8B); }},
    };
    std::atomic<size_t> mode{0};
    device.on_cip = [&](const Bytes& cip) { return cases[mode].second(unpack_multiple(cip)); };
    start(4, 10);
    for (; mode < std::size(cases); ++mode) {
        zelkc_cip_multiple_response out;
        EXPECT_EQ(zelkc_cip_client_send_multiple_unconnected(client, requests.data(), 4, &out),
                  cases[mode].first);
        EXPECT_EQ(out.count, mode == 0 ? 4u : 0u);
        for (uint32_t i = 0; i < out.count; ++i)
            EXPECT_EQ(std::pair(out.responses[i].data.data[0], out.responses[i].general_status),
                      std::pair(uint8_t(i), uint8_t(i == 2 ? 5 : 0)));
        zelkc_cip_multiple_response_free(&out);
    }
    EXPECT_EQ(zelkc_cip_client_status(client), ZELKC_CIP_STATUS_CONNECTED);
    const size_t sent = device.seen.size();
    Bytes big(490);
    requests[2] = {0x4C, path.data(), 4, big.data(), 490}; // 496 + 8 + 2 > 500
    zelkc_cip_multiple_response out;
    EXPECT_EQ(zelkc_cip_client_send_multiple_unconnected(client, requests.data(), 3, &out), BIG);
    requests[1].path_size = 3;
    EXPECT_EQ(zelkc_cip_client_send_multiple_unconnected(client, requests.data(), 2, &out),
              ZELKC_CIP_ERR_INVALID_ARGUMENT);
    finish();
    EXPECT_EQ(device.seen.size(), sent);
}
