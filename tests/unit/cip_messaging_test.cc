// Unconnected, routed and Multiple Service Packet sends against a scripted device on 127.0.0.1.
#include "cip_test_peer.h"
#include "zelkc_cip.h"

#include <gtest/gtest.h>

#include <memory>

using namespace cip_test;

namespace {

const uint32_t kSession = 0x01020304;
const uint8_t kPath[4] = {0x20, 0x6B, 0x24, 0x01};
const uint8_t kTwo[2] = {0x01, 0x00};
const zelkc_cip_request kRead = {0x4C, kPath, 4, kTwo, 2};

// The device's own reading of a Multiple Service Packet request: the embedded requests.
std::vector<Bytes> unpack_multiple(const Bytes& cip) {
    std::vector<Bytes> out;
    if (cip.size() < 8 || Bytes(cip.begin(), cip.begin() + 6) != Bytes{0x0A, 0x02, 0x20, 0x02, 0x24, 0x01}) {
        ADD_FAILURE() << "not a Multiple Service Packet request";
        return out;
    }
    const uint8_t* d = cip.data() + 6;
    const size_t size = cip.size() - 6, count = get(d, 2);
    for (size_t i = 0; i < count; ++i)
        out.emplace_back(d + get(d + 2 + 2 * i, 2), d + (i + 1 < count ? get(d + 4 + 2 * i, 2) : size));
    return out;
}

// The embedded message of an Unconnected Send request, checking the wrapper's layout and route.
Bytes unwrap_unconnected_send(const Bytes& cip, const Bytes& route) {
    EXPECT_EQ(Bytes(cip.begin(), cip.begin() + 8), (Bytes{0x52, 0x02, 0x20, 0x06, 0x24, 0x01, 10, 14}));
    const long length = long(get(&cip[8], 2));
    EXPECT_EQ(Bytes(cip.begin() + 10 + length + length % 2, cip.end()),
              cat({{static_cast<uint8_t>(route.size() / 2), 0x00}, route}));
    return Bytes(cip.begin() + 10, cip.begin() + 10 + length);
}

// A Multiple Service Packet reply echoing each embedded request's data (after its path), with
// `service` and `status` for the whole packet and status 5 for the embedded reply at index `failed`.
Bytes echo_multiple(const std::vector<Bytes>& requests, uint8_t status = 0, size_t failed = SIZE_MAX,
                    uint8_t service = 0x8A) {
    Bytes table, replies;
    put(table, requests.size(), 2);
    for (size_t i = 0; i < requests.size(); ++i) {
        put(table, 2 + 2 * requests.size() + replies.size(), 2);
        const Bytes& r = requests[i];
        replies.insert(replies.end(), {uint8_t(r[0] | 0x80), 0x00, uint8_t(i == failed ? 5 : 0), 0x00});
        replies.insert(replies.end(), r.begin() + 2 + 2 * r[1], r.end());
    }
    return cat({{service, 0x00, status, 0x00}, table, replies});
}

// Requests of `size` encoded bytes whose data starts with their index.
struct Indexed {
    std::vector<Bytes> data;
    std::vector<zelkc_cip_request> requests;
    Indexed(size_t count, size_t size) : data(count, Bytes(size - 6)) {
        for (size_t i = 0; i < count; ++i) {
            data[i][0] = static_cast<uint8_t>(i);
            requests.push_back({0x4C, kPath, 4, data[i].data(), static_cast<uint32_t>(data[i].size())});
        }
    }
};

// The first data byte of each response must be its request's index.
void expect_in_order(const zelkc_cip_multiple_response& out, uint32_t count) {
    ASSERT_EQ(out.count, count);
    for (uint32_t i = 0; i < count; ++i)
        EXPECT_EQ(out.responses[i].data.data[0], i);
}

// A device on a scripted peer with one connected client.
struct CipSend : testing::Test {
    Device device;
    std::unique_ptr<ScriptedPeer> peer;
    zelkc_cip_client* client = nullptr;

    void start(std::function<Bytes(const Bytes&)> on_cip) {
        device.on_cip = std::move(on_cip);
        peer = std::make_unique<ScriptedPeer>(device.handler());
        client = zelkc_cip_client_create();
        ASSERT_EQ(zelkc_cip_client_connect(client, "127.0.0.1", peer->port(), 5000), ZELKC_CIP_OK);
    }
    // Disconnects and waits for the device, so that `device.seen` is complete.
    void finish() {
        zelkc_cip_client_destroy(client);
        client = nullptr;
        peer->join();
    }
    void TearDown() override {
        if (client != nullptr)
            finish();
    }
};

} // namespace

// The exact SendRRData message, a good reply, then device errors and malformed blocks: each fails
// the send and keeps the session.
TEST_F(CipSend, UnconnectedSendWrapsTheRequestAndChecksTheReply) {
    const Bytes target = {0xCC, 0x00, 0x00, 0x00, 0xC4, 0x00, 0x2A, 0x00}, ok = cpf_reply(target);
    const struct {
        uint32_t session, status;
        Bytes cpf;
        uint8_t rc;
    } cases[] = {
        {kSession, 0, ok, ZELKC_CIP_OK},
        {kSession, 1, ok, ZELKC_CIP_ERR_DEVICE},
        {kSession + 1, 0, ok, ZELKC_CIP_ERR_DEVICE}, // foreign handle
        {kSession, 0, {1, 0, 0, 0, 0, 0, 1, 0, 0xB2, 0, 0, 0}, ZELKC_CIP_ERR_BAD_REPLY},
        {kSession, 0, cpf_reply({0xCC}), ZELKC_CIP_ERR_BAD_REPLY}, // short CIP reply
        {kSession, 0, {}, ZELKC_CIP_ERR_BAD_REPLY},                // no CPF at all
    };
    size_t n = 0;
    device.on_message = [&](const EncapMessage& m) {
        const auto& c = cases[n++ % std::size(cases)];
        return encap(0x006F, c.session, c.status, m.context, c.cpf);
    };
    start(nullptr);
    zelkc_cip_response response;
    for (const auto& c : cases) {
        EXPECT_EQ(zelkc_cip_client_send_unconnected(client, &kRead, &response), c.rc);
        if (c.rc == ZELKC_CIP_OK)
            EXPECT_EQ(flat(response), target);
        else
            EXPECT_EQ(response.data.data, nullptr);
        zelkc_cip_response_free(&response);
        EXPECT_EQ(zelkc_cip_client_status(client), ZELKC_CIP_STATUS_CONNECTED);
    }
    zelkc_cip_client_disconnect(client);
    EXPECT_EQ(zelkc_cip_client_send_unconnected(client, &kRead, &response), ZELKC_CIP_ERR_NOT_CONNECTED);
    finish();
    ASSERT_FALSE(device.wire.empty());
    EXPECT_EQ(device.wire[0],
              (Bytes{0x6F, 0x00, 0x18, 0x00, 0x04, 0x03, 0x02, 0x01, 0,    0,    0,    0,
                     0x02, 0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
                     0,    0,    0,    0,    0,    0,    0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0xB2, 0x00, 0x08, 0x00, 0x4C, 0x02, 0x20, 0x6B, 0x24, 0x01, 0x01, 0x00}));
}

TEST_F(CipSend, AcceptsTheTargetsOwnReplyAndTheWrappedForm) {
    const Bytes target = {0xCC, 0x00, 0x00, 0x00, 0xC4, 0x00, 0x2A, 0x00};
    const std::vector<Bytes> answers = {
        target,                                           // a controller behind a module answers for itself
        cat({{0xD2, 0x00, 0x00, 0x00}, target}),          // an Unconnected Send reply wrapping the target's
        {0xD2, 0x00, 0x01, 0x01, 0x04, 0x01, 0x01},       // routing failure: status 1, extended 0x0104,
        {0xD2, 0x00, 0x01, 0x01, 0x04, 0x01, 0x01, 0x00}, // remaining path size, with(out) reserved
        {0x99, 0x00, 0x00, 0x00},                         // neither
        {0xD2, 0x00, 0x00, 0x00, 0xCC, 0x00, 0x00},       // wrapped reply too short
    };
    size_t n = 0;
    start([&](const Bytes&) { return answers[n++ % answers.size()]; });
    zelkc_cip_response r;
    for (int form = 0; form < 2; ++form) {
        ASSERT_EQ(zelkc_cip_client_send_to_backplane_slot(client, 0, &kRead, &r), ZELKC_CIP_OK);
        EXPECT_EQ(flat(r), target);
        zelkc_cip_response_free(&r);
    }
    for (size_t failure = 2; failure <= 3; ++failure) {
        ASSERT_EQ(zelkc_cip_client_send_to_backplane_slot(client, 0, &kRead, &r), ZELKC_CIP_OK);
        EXPECT_EQ(flat(r), answers[failure]);
        EXPECT_EQ(r.general_status, 0x01);
        zelkc_cip_response_free(&r);
    }
    EXPECT_EQ(zelkc_cip_client_send_to_backplane_slot(client, 0, &kRead, &r), ZELKC_CIP_ERR_BAD_REPLY);
    EXPECT_EQ(zelkc_cip_client_send_to_backplane_slot(client, 0, &kRead, &r), ZELKC_CIP_ERR_BAD_REPLY);
    finish();
    ASSERT_EQ(device.seen.size(), 6u);
    EXPECT_EQ(device.seen[0], (Bytes{0x52, 0x02, 0x20, 0x06, 0x24, 0x01, 0x0A, 0x0E, 0x08, 0x00, 0x4C,
                                     0x02, 0x20, 0x6B, 0x24, 0x01, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00}));
}

// Each packet the device saw: (index of its first request, number of requests).
using Ranges = std::vector<std::pair<int, size_t>>;

// Packing: 3 x 10 bytes in one packet; 50 x 20 bytes greedily as 22/22/6, or 21/21/8 when each packet
// also carries the Unconnected Send wrapper and route (14 bytes more; the device answers alternately
// with the target's own reply and the wrapped form); and a device answering 0x1A to packets of more
// than two services and to the pair holding request 0, so that packets are split in halves.
TEST_F(CipSend, PacksGreedilySplitsRefusedPacketsInHalvesAndKeepsOrder) {
    const struct {
        size_t count, size;
        bool routed, refuse;
        Ranges packets;
    } cases[] = {
        {3, 10, false, false, {{0, 3}}},
        {50, 20, false, false, {{0, 22}, {22, 22}, {44, 6}}},
        {50, 20, true, false, {{0, 21}, {21, 21}, {42, 8}}},
        {4, 10, false, true, {{0, 4}, {0, 2}, {0, 1}, {1, 1}, {2, 2}}},
    };
    Bytes route_bytes = {0x01, 0x00};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << " x " << c.size << (c.routed ? " routed" : ""));
        auto unpack = [&](const Bytes& cip) {
            return unpack_multiple(c.routed ? unwrap_unconnected_send(cip, route_bytes) : cip);
        };
        device = Device();
        int n = 0;
        start([&](const Bytes& cip) {
            std::vector<Bytes> requests = unpack(cip);
            if (c.refuse && (requests.size() > 2 || (requests.size() == 2 && requests[0][6] == 0)))
                return Bytes{0x8A, 0x00, 0x1A, 0x00};
            Bytes reply = echo_multiple(requests);
            return c.routed && n++ % 2 ? cat({{0xD2, 0x00, 0x00, 0x00}, reply}) : reply;
        });
        Indexed in(c.count, c.size);
        const uint32_t count = uint32_t(c.count);
        zelkc_cip_buffer route = {route_bytes.data(), 2, 0};
        zelkc_cip_multiple_response out;
        ASSERT_EQ(c.routed
                      ? zelkc_cip_client_send_multiple_routed(client, in.requests.data(), count, &route, &out)
                      : zelkc_cip_client_send_multiple_unconnected(client, in.requests.data(), count, &out),
                  ZELKC_CIP_OK);
        expect_in_order(out, count);
        zelkc_cip_multiple_response_free(&out);
        finish();
        Ranges packets;
        for (const Bytes& packet : device.seen) {
            std::vector<Bytes> requests = unpack(packet);
            packets.emplace_back(requests.empty() ? -1 : requests[0][6], requests.size());
            EXPECT_LE(packet.size(), 500u);
        }
        EXPECT_EQ(packets, c.packets);
    }
}

// 0x1E with one failed embedded reply gives every response and 0; then broken or refused replies,
// each failing the whole send and keeping the session.
TEST_F(CipSend, EmbeddedFailuresAreResponsesAndBrokenRepliesFailTheWholeSend) {
    const struct {
        uint8_t rc;
        std::function<Bytes(std::vector<Bytes>)> reply;
    } cases[] = {
        {ZELKC_CIP_OK, [](std::vector<Bytes> r) { return echo_multiple(r, 0x1E, 2); }},
        {ZELKC_CIP_ERR_BAD_REPLY,
         [](std::vector<Bytes> r) {
             return echo_multiple({r.begin(), r.end() - 1});
         }},
        {ZELKC_CIP_ERR_TOO_LARGE,
         [](std::vector<Bytes>) {
             return Bytes{0x8A, 0x00, 0x1A, 0x00};
         }}, // even alone
        {ZELKC_CIP_ERR_TOO_LARGE,
         [](std::vector<Bytes>) {
             return Bytes{0x8A, 0x00, 0x1B, 0x00};
         }},
        {ZELKC_CIP_ERR_DEVICE,
         [](std::vector<Bytes>) {
             return Bytes{0x8A, 0x00, 0x08, 0x00};
         }},
        {ZELKC_CIP_ERR_BAD_REPLY, [](std::vector<Bytes> r) { return echo_multiple(r, 0, SIZE_MAX, 0x8B); }},
    };
    size_t mode = 0;
    start([&](const Bytes& cip) { return cases[mode].reply(unpack_multiple(cip)); });
    Indexed in(4, 10);
    zelkc_cip_multiple_response out;
    for (; mode < std::size(cases); ++mode) {
        SCOPED_TRACE(mode);
        EXPECT_EQ(zelkc_cip_client_send_multiple_unconnected(client, in.requests.data(), 4, &out),
                  cases[mode].rc);
        if (mode == 0) {
            expect_in_order(out, 4);
            for (uint32_t i = 0; i < 4; ++i)
                EXPECT_EQ(out.responses[i].general_status, i == 2 ? 5 : 0);
        } else {
            EXPECT_EQ(out.responses, nullptr);
            EXPECT_EQ(out.count, 0u);
        }
        zelkc_cip_multiple_response_free(&out);
    }
    EXPECT_EQ(zelkc_cip_client_status(client), ZELKC_CIP_STATUS_CONNECTED);
}

// A request too large for any packet, or an invalid one, behind requests that fit: nothing is sent.
TEST_F(CipSend, RefusesWhatCannotBeSentBeforeSendingAnything) {
    start([](const Bytes&) { return Bytes{0x8A, 0x00, 0x08, 0x00}; });
    Indexed in(2, 10);
    Bytes big(490);
    in.requests.push_back({0x4C, kPath, 4, big.data(), 490}); // 496 + 8 + 2 > 500
    zelkc_cip_multiple_response out;
    EXPECT_EQ(zelkc_cip_client_send_multiple_unconnected(client, in.requests.data(), 3, &out),
              ZELKC_CIP_ERR_TOO_LARGE);
    EXPECT_EQ(out.responses, nullptr);
    in.requests[1].path_size = 3;
    EXPECT_EQ(zelkc_cip_client_send_multiple_unconnected(client, in.requests.data(), 2, &out),
              ZELKC_CIP_ERR_INVALID_ARGUMENT);
    finish();
    EXPECT_TRUE(device.seen.empty());
}
