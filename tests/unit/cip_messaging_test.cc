// Unconnected, routed and Multiple Service Packet sends against a scripted device on 127.0.0.1.
#include "cip_test_peer.h"
#include "zelkc_cip.h"

#include <gtest/gtest.h>

using namespace cip_test;

namespace {

const uint32_t kSession = 0x01020304;
const uint8_t kPath[4] = {0x20, 0x6B, 0x24, 0x01};

Bytes bytes_of(const zelkc_cip_buffer& b) {
    return b.size == 0 ? Bytes{} : Bytes(b.data, b.data + b.size);
}

// The device's own reading of a Multiple Service Packet request: the embedded requests.
std::vector<Bytes> unpack_multiple(const Bytes& cip) {
    std::vector<Bytes> out;
    if (cip.size() < 8 || Bytes(cip.begin(), cip.begin() + 6) != Bytes{0x0A, 0x02, 0x20, 0x02, 0x24, 0x01}) {
        ADD_FAILURE() << "not a Multiple Service Packet request";
        return out;
    }
    const uint8_t* d = cip.data() + 6;
    const size_t size = cip.size() - 6, count = get16(d);
    for (size_t i = 0; i < count; ++i) {
        size_t start = get16(d + 2 + 2 * i), end = i + 1 < count ? get16(d + 4 + 2 * i) : size;
        out.emplace_back(d + start, d + end);
    }
    return out;
}

// A reply of status 0 echoing an embedded request's data (after its path).
Bytes echo_reply(const Bytes& request, uint8_t status = 0) {
    Bytes r = {static_cast<uint8_t>(request[0] | 0x80), 0x00, status, 0x00};
    r.insert(r.end(), request.begin() + 2 + 2 * request[1], request.end());
    return r;
}

Bytes multiple_reply(uint8_t status, const std::vector<Bytes>& replies) {
    Bytes data;
    put16(data, static_cast<uint16_t>(replies.size()));
    size_t offset = 2 + 2 * replies.size();
    for (const Bytes& r : replies) {
        put16(data, static_cast<uint16_t>(offset));
        offset += r.size();
    }
    for (const Bytes& r : replies)
        data.insert(data.end(), r.begin(), r.end());
    return cat({{0x8A, 0x00, status, 0x00}, data});
}

// The embedded message of an Unconnected Send request, checking the wrapper's layout.
Bytes unwrap_unconnected_send(const Bytes& cip, const Bytes& route) {
    EXPECT_EQ(Bytes(cip.begin(), cip.begin() + 8), (Bytes{0x52, 0x02, 0x20, 0x06, 0x24, 0x01, 10, 14}));
    const size_t length = get16(&cip[8]), pad = length % 2;
    Bytes message(cip.begin() + 10, cip.begin() + 10 + static_cast<long>(length));
    EXPECT_EQ(Bytes(cip.begin() + 10 + static_cast<long>(length + pad), cip.end()),
              cat({{static_cast<uint8_t>(route.size() / 2), 0x00}, route}));
    return message;
}

// Requests of `size` encoded bytes whose data starts with their index.
std::vector<zelkc_cip_request> indexed_requests(size_t count, size_t size, std::vector<Bytes>& storage) {
    storage.assign(count, Bytes());
    std::vector<zelkc_cip_request> out;
    for (size_t i = 0; i < count; ++i) {
        storage[i] = Bytes(size - 6, 0x00);
        storage[i][0] = static_cast<uint8_t>(i);
        out.push_back({0x4C, kPath, 4, storage[i].data(), static_cast<uint32_t>(storage[i].size())});
    }
    return out;
}

// A device on a scripted peer with one connected client.
struct Connected : testing::Test {
    Device device;
    std::unique_ptr<ScriptedPeer> peer;
    zelkc_cip_client* client = nullptr;

    void start(std::function<Bytes(const Bytes&)> on_cip) {
        device.session = kSession;
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

using CipUnconnected = Connected;
using CipRouted = Connected;
using CipMultiple = Connected;

} // namespace

TEST_F(CipUnconnected, SendsTheRequestInsideACpfBlockAndParsesTheReply) {
    Bytes wire;
    ScriptedPeer raw([&](PeerConnection& conn, int) {
        EncapMessage m;
        ASSERT_TRUE(read_message(conn, &m));
        conn.write(encap(0x0065, kSession, 0, m.context, {1, 0, 0, 0}));
        ASSERT_TRUE(read_message(conn, &m));
        wire = m.raw;
        conn.write(encap(0x006F, kSession, 0, m.context,
                         cpf_reply({0xCC, 0x00, 0x00, 0x00, 0xC4, 0x00, 0x2A, 0x00})));
        conn.read_until_closed();
    });
    client = zelkc_cip_client_create();
    ASSERT_EQ(zelkc_cip_client_connect(client, "127.0.0.1", raw.port(), 5000), ZELKC_CIP_OK);
    const uint8_t data[2] = {0x01, 0x00};
    const zelkc_cip_request request = {0x4C, kPath, 4, data, 2};
    zelkc_cip_response response;
    ASSERT_EQ(zelkc_cip_client_send_unconnected(client, &request, &response), ZELKC_CIP_OK);
    EXPECT_EQ(response.service, 0xCC);
    EXPECT_EQ(bytes_of(response.data), (Bytes{0xC4, 0x00, 0x2A, 0x00}));
    zelkc_cip_response_free(&response);
    zelkc_cip_client_destroy(client);
    client = nullptr;
    raw.join();
    EXPECT_EQ(wire, (Bytes{0x6F, 0x00, 0x18, 0x00, 0x04, 0x03, 0x02, 0x01, 0,    0,    0,    0,
                           0x02, 0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
                           0,    0,    0,    0,    0,    0,    0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                           0xB2, 0x00, 0x08, 0x00, 0x4C, 0x02, 0x20, 0x6B, 0x24, 0x01, 0x01, 0x00}));
}

TEST_F(CipUnconnected, DeviceErrorsKeepTheSessionAndMalformedBlocksAreRejected) {
    Bytes wire;
    int exchange = 0;
    ScriptedPeer raw([&](PeerConnection& conn, int) {
        EncapMessage m;
        ASSERT_TRUE(read_message(conn, &m));
        conn.write(encap(0x0065, kSession, 0, m.context, {1, 0, 0, 0}));
        const Bytes ok = cpf_reply({0xCC, 0x00, 0x00, 0x00});
        while (read_message(conn, &m) && m.command == 0x006F) {
            switch (exchange++) {
            case 0:
                conn.write(encap(0x006F, kSession, 1, m.context, ok));
                break; // status 1
            case 1:
                conn.write(encap(0x006F, kSession + 1, 0, m.context, ok));
                break; // foreign handle
            case 2:
                conn.write(encap(0x006F, kSession, 0, m.context, {1, 0, 0, 0, 0, 0, 1, 0, 0xB2, 0, 0, 0}));
                break;
            case 3:
                conn.write(encap(0x006F, kSession, 0, m.context, cpf_reply({0xCC})));
                break; // short CIP reply
            default:
                conn.write(encap(0x006F, kSession, 0, m.context, {}));
                break; // no CPF at all
            }
        }
        conn.read_until_closed();
    });
    client = zelkc_cip_client_create();
    ASSERT_EQ(zelkc_cip_client_connect(client, "127.0.0.1", raw.port(), 5000), ZELKC_CIP_OK);
    const zelkc_cip_request request = {0x0E, kPath, 4, nullptr, 0};
    zelkc_cip_response response;
    for (uint8_t expected : {ZELKC_CIP_ERR_DEVICE, ZELKC_CIP_ERR_DEVICE, ZELKC_CIP_ERR_BAD_REPLY,
                             ZELKC_CIP_ERR_BAD_REPLY, ZELKC_CIP_ERR_BAD_REPLY}) {
        EXPECT_EQ(zelkc_cip_client_send_unconnected(client, &request, &response), expected);
        EXPECT_EQ(response.data.data, nullptr);
        EXPECT_EQ(zelkc_cip_client_status(client), ZELKC_CIP_STATUS_CONNECTED);
    }
    zelkc_cip_client_disconnect(client);
    EXPECT_EQ(zelkc_cip_client_send_unconnected(client, &request, &response), ZELKC_CIP_ERR_NOT_CONNECTED);
    zelkc_cip_client_destroy(client);
    client = nullptr;
    raw.join();
}

TEST_F(CipRouted, AcceptsTheTargetsOwnReplyAndTheWrappedForm) {
    const Bytes target = {0xCC, 0x00, 0x00, 0x00, 0xC4, 0x00, 0x2A, 0x00};
    const std::vector<Bytes> answers = {
        target,                                     // a controller behind a module answers for itself
        cat({{0xD2, 0x00, 0x00, 0x00}, target}),    // an Unconnected Send reply wrapping the target's
        {0xD2, 0x00, 0x01, 0x01, 0x04, 0x01},       // routing failure: status 1, extended 0x0104
        {0x99, 0x00, 0x00, 0x00},                   // neither
        {0xD2, 0x00, 0x00, 0x00, 0xCC, 0x00, 0x00}, // wrapped reply too short
    };
    size_t n = 0;
    start([&](const Bytes&) { return answers[n++ % answers.size()]; });
    const uint8_t data[2] = {0x01, 0x00};
    const zelkc_cip_request request = {0x4C, kPath, 4, data, 2};
    zelkc_cip_response r;

    for (int form = 0; form < 2; ++form) {
        ASSERT_EQ(zelkc_cip_client_send_to_backplane_slot(client, 0, &request, &r), ZELKC_CIP_OK);
        EXPECT_EQ(r.service, 0xCC);
        EXPECT_EQ(r.general_status, 0);
        EXPECT_EQ(bytes_of(r.data), (Bytes{0xC4, 0x00, 0x2A, 0x00}));
        zelkc_cip_response_free(&r);
    }
    ASSERT_EQ(zelkc_cip_client_send_to_backplane_slot(client, 0, &request, &r), ZELKC_CIP_OK);
    EXPECT_EQ(r.service, 0xD2);
    EXPECT_EQ(r.general_status, 1);
    EXPECT_EQ(bytes_of(r.additional_status), (Bytes{0x04, 0x01}));
    EXPECT_FALSE(zelkc_cip_response_is_success(&r));
    zelkc_cip_response_free(&r);
    EXPECT_EQ(zelkc_cip_client_send_to_backplane_slot(client, 0, &request, &r), ZELKC_CIP_ERR_BAD_REPLY);
    EXPECT_EQ(zelkc_cip_client_send_to_backplane_slot(client, 0, &request, &r), ZELKC_CIP_ERR_BAD_REPLY);
    finish();
    ASSERT_EQ(device.seen.size(), 5u);
    EXPECT_EQ(device.seen[0], (Bytes{0x52, 0x02, 0x20, 0x06, 0x24, 0x01, 0x0A, 0x0E, 0x08, 0x00, 0x4C,
                                     0x02, 0x20, 0x6B, 0x24, 0x01, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00}));
}

TEST_F(CipMultiple, PacksThreeSmallRequestsIntoOnePacket) {
    start([](const Bytes& cip) {
        std::vector<Bytes> replies;
        for (const Bytes& r : unpack_multiple(cip))
            replies.push_back(echo_reply(r));
        return multiple_reply(0, replies);
    });
    std::vector<Bytes> storage;
    auto requests = indexed_requests(3, 10, storage);
    zelkc_cip_multiple_response out;
    ASSERT_EQ(zelkc_cip_client_send_multiple_unconnected(client, requests.data(), 3, &out), ZELKC_CIP_OK);
    ASSERT_EQ(out.count, 3u);
    for (uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(bytes_of(out.responses[i].data), (Bytes{static_cast<uint8_t>(i), 0, 0, 0}));
    zelkc_cip_multiple_response_free(&out);
    finish();
    ASSERT_EQ(device.seen.size(), 1u);
    Bytes expected = {0x0A, 0x02, 0x20, 0x02, 0x24, 0x01, 0x03, 0x00, 0x08, 0x00, 0x12, 0x00, 0x1C, 0x00};
    for (uint8_t i = 0; i < 3; ++i)
        expected.insert(expected.end(), {0x4C, 0x02, 0x20, 0x6B, 0x24, 0x01, i, 0, 0, 0});
    EXPECT_EQ(device.seen[0], expected);
}

TEST_F(CipMultiple, FillsPacketsGreedilyAndKeepsRequestOrder) {
    start([](const Bytes& cip) {
        std::vector<Bytes> replies;
        for (const Bytes& r : unpack_multiple(cip))
            replies.push_back(echo_reply(r));
        return multiple_reply(0, replies);
    });
    std::vector<Bytes> storage;
    auto requests = indexed_requests(50, 20, storage);
    zelkc_cip_multiple_response out;
    ASSERT_EQ(zelkc_cip_client_send_multiple_unconnected(client, requests.data(), 50, &out), ZELKC_CIP_OK);
    ASSERT_EQ(out.count, 50u);
    for (uint32_t i = 0; i < 50; ++i)
        EXPECT_EQ(out.responses[i].data.data[0], i);
    zelkc_cip_multiple_response_free(&out);
    finish();
    std::vector<size_t> counts;
    for (const Bytes& packet : device.seen) {
        counts.push_back(unpack_multiple(packet).size());
        EXPECT_LE(packet.size(), 500u);
    }
    EXPECT_EQ(counts, (std::vector<size_t>{22, 22, 6}));
    EXPECT_EQ(device.seen[0].size(), 492u);
}

TEST_F(CipMultiple, RoutedPacketsCountTheWrapperAndAcceptBothReplyForms) {
    Bytes route_bytes = {0x01, 0x00};
    int n = 0;
    start([&](const Bytes& cip) {
        std::vector<Bytes> replies;
        for (const Bytes& r : unpack_multiple(unwrap_unconnected_send(cip, route_bytes)))
            replies.push_back(echo_reply(r));
        Bytes reply = multiple_reply(0, replies);
        return n++ % 2 == 0 ? reply : cat({{0xD2, 0x00, 0x00, 0x00}, reply});
    });
    std::vector<Bytes> storage;
    auto requests = indexed_requests(50, 20, storage);
    zelkc_cip_buffer route = {route_bytes.data(), 2, 0};
    zelkc_cip_multiple_response out;
    ASSERT_EQ(zelkc_cip_client_send_multiple_routed(client, requests.data(), 50, &route, &out), ZELKC_CIP_OK);
    ASSERT_EQ(out.count, 50u);
    for (uint32_t i = 0; i < 50; ++i)
        EXPECT_EQ(out.responses[i].data.data[0], i);
    zelkc_cip_multiple_response_free(&out);
    finish();
    std::vector<size_t> counts;
    for (const Bytes& packet : device.seen) {
        counts.push_back(unpack_multiple(unwrap_unconnected_send(packet, route_bytes)).size());
        EXPECT_LE(packet.size(), 500u);
    }
    // 8 + 22k for the packet, 14 more for the wrapper and route: 21 services fit, 22 would not.
    EXPECT_EQ(counts, (std::vector<size_t>{21, 21, 8}));
}

TEST_F(CipMultiple, TooLargePacketsAreSplitInHalvesDownToSingleServices) {
    start([](const Bytes& cip) {
        std::vector<Bytes> requests = unpack_multiple(cip);
        // Refuse every packet of more than two services, and the pair holding request 0.
        if (requests.size() > 2 || (requests.size() == 2 && requests[0][6] == 0))
            return Bytes{0x8A, 0x00, 0x1A, 0x00};
        std::vector<Bytes> replies;
        for (const Bytes& r : requests)
            replies.push_back(echo_reply(r));
        return multiple_reply(0, replies);
    });
    std::vector<Bytes> storage;
    auto requests = indexed_requests(4, 10, storage);
    zelkc_cip_multiple_response out;
    ASSERT_EQ(zelkc_cip_client_send_multiple_unconnected(client, requests.data(), 4, &out), ZELKC_CIP_OK);
    ASSERT_EQ(out.count, 4u);
    for (uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(out.responses[i].data.data[0], i);
    zelkc_cip_multiple_response_free(&out);
    finish();
    std::vector<std::vector<uint8_t>> packets; // the request indexes of each packet, in order
    for (const Bytes& packet : device.seen) {
        packets.emplace_back();
        for (const Bytes& r : unpack_multiple(packet))
            packets.back().push_back(r[6]);
    }
    EXPECT_EQ(packets, (std::vector<std::vector<uint8_t>>{{0, 1, 2, 3}, {0, 1}, {0}, {1}, {2, 3}}));
}

TEST_F(CipMultiple, EmbeddedFailuresAreResponsesAndBrokenRepliesFailTheWholeSend) {
    int mode = 0;
    start([&](const Bytes& cip) {
        std::vector<Bytes> requests = unpack_multiple(cip), replies;
        for (size_t i = 0; i < requests.size(); ++i)
            replies.push_back(echo_reply(requests[i], i == 2 ? 5 : 0));
        switch (mode) {
        case 0:
            return multiple_reply(0x1E, replies);
        case 1:
            replies.pop_back();
            return multiple_reply(0x00, replies); // one reply short
        case 2:
            return Bytes{0x8A, 0x00, 0x1A, 0x00}; // even a single service
        case 3:
            return Bytes{0x8A, 0x00, 0x1B, 0x00};
        case 4:
            return Bytes{0x8A, 0x00, 0x08, 0x00};
        default: { // a reply of another service
            Bytes reply = multiple_reply(0, replies);
            reply[0] = 0x8B;
            return reply;
        }
        }
    });
    std::vector<Bytes> storage;
    auto requests = indexed_requests(4, 10, storage);
    zelkc_cip_multiple_response out;
    ASSERT_EQ(zelkc_cip_client_send_multiple_unconnected(client, requests.data(), 4, &out), ZELKC_CIP_OK);
    ASSERT_EQ(out.count, 4u);
    for (uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(out.responses[i].general_status, i == 2 ? 5 : 0);
    EXPECT_FALSE(zelkc_cip_response_is_success(&out.responses[2]));
    zelkc_cip_multiple_response_free(&out);

    const uint8_t expected[] = {ZELKC_CIP_ERR_BAD_REPLY, ZELKC_CIP_ERR_TOO_LARGE, ZELKC_CIP_ERR_TOO_LARGE,
                                ZELKC_CIP_ERR_DEVICE, ZELKC_CIP_ERR_BAD_REPLY};
    for (uint8_t rc : expected) {
        ++mode;
        EXPECT_EQ(zelkc_cip_client_send_multiple_unconnected(client, requests.data(), 4, &out), rc) << mode;
        EXPECT_EQ(out.responses, nullptr);
        EXPECT_EQ(out.count, 0u);
    }
    EXPECT_EQ(zelkc_cip_client_status(client), ZELKC_CIP_STATUS_CONNECTED);
}

TEST_F(CipMultiple, RefusesWhatCannotBeSentBeforeSendingAnything) {
    start([](const Bytes&) { return Bytes{0x8A, 0x00, 0x08, 0x00}; });
    std::vector<Bytes> storage;
    auto requests = indexed_requests(2, 10, storage);
    Bytes big(490);
    requests.push_back({0x4C, kPath, 4, big.data(), 490}); // 496 + 8 + 2 > 500, behind two that fit
    zelkc_cip_multiple_response out;
    EXPECT_EQ(zelkc_cip_client_send_multiple_unconnected(client, requests.data(), 3, &out),
              ZELKC_CIP_ERR_TOO_LARGE);
    EXPECT_EQ(out.responses, nullptr);
    EXPECT_EQ(zelkc_cip_client_send_multiple_unconnected(client, requests.data(), 0, &out),
              ZELKC_CIP_ERR_INVALID_ARGUMENT);
    requests[1].path_size = 3;
    EXPECT_EQ(zelkc_cip_client_send_multiple_unconnected(client, requests.data(), 2, &out),
              ZELKC_CIP_ERR_INVALID_ARGUMENT);
    requests[1].path_size = 4;
    Bytes route_bytes(512, 0x01);
    zelkc_cip_buffer odd = {route_bytes.data(), 3, 0}, long_route = {route_bytes.data(), 512, 0};
    EXPECT_EQ(zelkc_cip_client_send_multiple_routed(client, requests.data(), 2, &odd, &out),
              ZELKC_CIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(zelkc_cip_client_send_multiple_routed(client, requests.data(), 2, &long_route, &out),
              ZELKC_CIP_ERR_TOO_LARGE);
    finish();
    EXPECT_TRUE(device.seen.empty()); // the packet of the first two was never sent
    zelkc_cip_client* idle = zelkc_cip_client_create();
    EXPECT_EQ(zelkc_cip_client_send_multiple_unconnected(idle, requests.data(), 2, &out),
              ZELKC_CIP_ERR_NOT_CONNECTED);
    zelkc_cip_client_destroy(idle);
}
