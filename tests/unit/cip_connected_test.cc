// Connected (class 3) messaging with a scripted device on 127.0.0.1: Forward Open and Close,
// sequence counts, packets sized to the connection, replies that do not belong to the request.
#include "cip_test_peer.h"
#include "zelkc_cip.h"

#include <gtest/gtest.h>

using namespace cip_test;

namespace {

// A SendUnitData reply naming `to_id`, echoing `sequence`, carrying `cip`.
Bytes unit_data(const EncapMessage& m, uint32_t to_id, uint16_t sequence, const Bytes& cip) {
    Bytes items = hex("00000000 0000 0200 A100 0400");
    put(items, to_id, 4), put(items, 0xB1, 2), put(items, 2 + cip.size(), 2), put(items, sequence, 2);
    return encap(0x0070, DeviceTest::kSession, 0, m.context, cat({items, cip}));
}

// The device grants Forward Opens (O->T id 0x0A0B0C0D), answers Forward Close, and answers each
// SendUnitData with unit_reply(message, to_id, sequence, CIP request). It records the Connection
// Manager services and the sequence counts it sees.
struct CipConnected : DeviceTest {
    std::function<Bytes(const EncapMessage&, uint32_t to_id, uint16_t sequence, const Bytes& cip)> unit_reply;
    std::vector<uint8_t> services;
    std::vector<uint16_t> sequences;
    uint32_t to_id = 0;

    Bytes answer(const EncapMessage& m) {
        if (m.command == 0x0070) {
            EXPECT_EQ(get(&m.data[12], 4), 0x0A0B0C0Du); // the O->T id granted
            sequences.push_back(uint16_t(get(&m.data[20], 2)));
            return unit_reply(m, to_id, sequences.back(), Bytes(m.data.begin() + 22, m.data.end()));
        }
        const Bytes& cip = seen.back();
        services.push_back(cip[0]);
        Bytes reply = {uint8_t(cip[0] | 0x80), 0, 0, 0}; // the reply to Forward Close is not read
        if (cip[0] != 0x4E) {
            put(reply, 0x0A0B0C0D, 4), put(reply, to_id = uint32_t(get(&cip[12], 4)), 4);
            reply.insert(reply.end(), cip.begin() + 16, cip.begin() + 24); // the triad
            reply.insert(reply.end(), 10, 0);
        }
        return encap(0x006F, kSession, 0, m.context, cpf_reply(reply));
    }
    void open(uint16_t size) {
        on_message = [this](const EncapMessage& m) { return answer(m); };
        services.clear();
        start();
        ASSERT_EQ(zelkc_cip_client_open_connection(client, nullptr, size), ZELKC_CIP_OK);
        EXPECT_EQ(std::pair(client->connection.ot_id, client->connection.size), std::pair(0x0A0B0C0Du, size));
    }
};

} // namespace

// A reply to an earlier request, or one with a non-zero encapsulation status (the device no
// longer knows the connection), ends the session and the connection with it. The Forward Open is
// the large one only for connections above 511 bytes.
TEST_F(CipConnected, RepliesThatDoNotBelongEndTheSession) {
    const Bytes path = hex("206B2401");
    const zelkc_cip_request read = {0x4C, path.data(), 4, nullptr, 0};
    for (const uint16_t size : {511, 512}) {
        unit_reply = [&](auto& m, uint32_t id, uint16_t seq, auto&) {
            return size == 511 ? unit_data(m, id, uint16_t(seq - 1), hex("CC000000"))
                               : encap(0x0070, kSession, 3, m.context, {});
        };
        open(size);
        zelkc_cip_response response;
        EXPECT_EQ(zelkc_cip_client_send_connected(client, &read, &response),
                  size == 511 ? ZELKC_CIP_ERR_BAD_REPLY : ZELKC_CIP_ERR_IO);
        EXPECT_EQ(std::tuple(response.data.data, zelkc_cip_client_status(client), client->connection.size),
                  std::tuple(nullptr, 0, 0));
        finish();
        EXPECT_EQ(services, std::vector<uint8_t>{uint8_t(size == 511 ? 0x54 : 0x5B)});
    }
}

// Over a 100-byte connection packets carry at most 98 bytes (3 requests of 21 bytes), and a
// device answering 0x11 to packets of more than two services makes them split; a request of 99
// bytes is refused unsent. Every request has the next sequence count, and disconnecting sends
// Forward Close (before UnRegisterSession, which ends the device's records).
TEST_F(CipConnected, SequenceCountsPacketSizesAndForwardCloseOnDisconnect) {
    unit_reply = [](auto& m, uint32_t id, uint16_t seq, const Bytes& cip) {
        EXPECT_LE(cip.size(), 98u);
        const std::vector<Bytes> requests = unpack_multiple(cip);
        return unit_data(m, id, seq, requests.size() > 2 ? hex("8A001100") : echo_multiple(requests));
    };
    open(100);
    Requests in(8, 21);
    zelkc_cip_multiple_response out;
    expect_in_order(zelkc_cip_client_send_multiple_connected(client, in.list.data(), 8, &out), &out, 8);
    const Bytes big(99, 0x0E);
    zelkc_cip_response r;
    EXPECT_EQ(zelkc_cip_client_send_encoded_connected(client, big.data(), 99, &r), ZELKC_CIP_ERR_TOO_LARGE);
    finish();
    // 3 refused, 1, 2, 3 refused, 1, 2, 2.
    EXPECT_EQ(sequences, (std::vector<uint16_t>{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(services, (std::vector<uint8_t>{0x54, 0x4E}));
}
