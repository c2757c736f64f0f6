// Connected (class 3) messaging with a scripted device on 127.0.0.1: Forward Open and Close,
// sequence counts, packets sized to the connection, replies that do not belong to the request.
#include "cip_test_peer.h"
#include "zelkc_cip.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace cip_test;

namespace {

// The device grants Forward Opens (O->T id 0x0A0B0C0D) and answers Forward Close; it answers each
// SendUnitData as `fault` says: 0 with the reply to its request (a Multiple Service Packet of more
// than two services is refused with 0x11), 1 echoing an earlier sequence count, 2 with a non-zero
// encapsulation status (the device no longer knows the connection), 3 naming an id that is neither
// of the connection's. It records the Connection
// Manager services and the sequence counts it sees.
struct CipConnected : DeviceTest {
    std::vector<uint8_t> services;
    std::vector<uint16_t> sequences;
    std::atomic<int> fault{0};
    uint32_t to_id = 0;

    Bytes answer(const Bytes& m) {
        const Bytes cip = Bytes(m.begin() + (m[0] == 0x70 ? 46 : 40), m.end());
        Bytes reply = {uint8_t(cip[0] | 0x80), 0, 0, 0}; // the reply to Forward Close is not read
        if (m[0] == 0x70) {
            EXPECT_EQ(std::pair(get(&m[36], 4), get(&m[42], 2)),
                      std::pair(0x0A0B0C0Dul, m.size() - 44)); // id, length
            sequences.push_back(uint16_t(get(&m[44], 2)));
            const std::vector<Bytes> requests = unpack_multiple(cip);
            reply = requests.size() > 2 ? hex("8A001100") : cip[0] == 0x0A ? echo_multiple(requests) : reply;
            Bytes items = hex("00000000 0000 0200 A100 0400");
            put(items, to_id + (fault == 3), 4), put(items, 0xB1, 2), put(items, 2 + reply.size(), 2);
            put(items, uint16_t(sequences.back() - (fault == 1)), 2);
            return encap(0x0070, kSession, fault == 2 ? 3 : 0, context_of(m), cat({items, reply}));
        }
        services.push_back(cip[0]);
        if (cip[0] != 0x4E) {
            put(reply, 0x0A0B0C0D, 4), put(reply, to_id = uint32_t(get(&cip[12], 4)), 4);
            reply.insert(reply.end(), cip.begin() + 16, cip.begin() + 24); // the triad
            reply.insert(reply.end(), 10, 0);
        }
        return encap(0x006F, kSession, 0, context_of(m), cpf_reply(reply));
    }
    void open(uint16_t size) {
        on_message = [this](const Bytes& m) { return answer(m); };
        services.clear(), sequences.clear();
        start();
        ASSERT_EQ(zelkc_cip_client_open_connection(client, nullptr, size), ZELKC_CIP_OK);
        EXPECT_EQ(std::pair(client->connection.ot_id, client->connection.size), std::pair(0x0A0B0C0Du, size));
    }
};

} // namespace

// Over a 100-byte connection packets carry at most 98 bytes (3 requests of 21 bytes), and packets
// refused with 0x11 split; a request of 99 bytes is refused unsent. Every request has the next
// sequence count, and disconnecting sends Forward Close (before UnRegisterSession, which ends the
// device's records). A reply to an earlier request, or one with a non-zero encapsulation status,
// ends the session and the connection with it; one naming another connection ends neither. The
// Forward Open is the large one only for connections above 511 bytes.
TEST_F(CipConnected, SequenceCountsPacketSizesForwardCloseAndRepliesThatDoNotBelong) {
    open(100);
    Requests in(8, 21);
    zelkc_cip_multiple_response out;
    expect_in_order(zelkc_cip_client_send_multiple_connected(client, in.list.data(), 8, &out), &out, 8);
    zelkc_cip_response r;
    EXPECT_EQ(zelkc_cip_client_send_encoded_connected(client, Bytes(99, 0x0E).data(), 99, &r),
              ZELKC_CIP_ERR_TOO_LARGE);
    finish();
    EXPECT_EQ(sequences, (std::vector<uint16_t>{1, 2, 3, 4, 5, 6, 7})); // 3 refused, 1, 2, 3 refused, 1, 2, 2
    EXPECT_EQ(services, (std::vector<uint8_t>{0x54, 0x4E}));
    for (fault = 1; fault <= 2; ++fault) {
        open(fault == 1 ? 511 : 512);
        EXPECT_EQ(zelkc_cip_client_send_connected(client, &in.list[0], &r),
                  fault == 1 ? ZELKC_CIP_ERR_BAD_REPLY : ZELKC_CIP_ERR_IO);
        EXPECT_EQ(std::tuple(r.data.data, zelkc_cip_client_status(client), client->connection.size),
                  std::tuple(nullptr, 0, 0));
        finish();
        EXPECT_EQ(services, std::vector<uint8_t>{uint8_t(fault == 1 ? 0x54 : 0x5B)});
    }
    // A reply naming another connection: 5, the session and the connection left for the caller to
    // close (Forward Close at the disconnect).
    fault = 3;
    open(100);
    EXPECT_EQ(zelkc_cip_client_send_connected(client, &in.list[0], &r), ZELKC_CIP_ERR_BAD_REPLY);
    EXPECT_EQ(std::tuple(r.data.data, zelkc_cip_client_status(client), client->connection.size,
                         client->connection.replies_name_other),
              std::tuple(nullptr, 2, 100, 1));
    finish();
    EXPECT_EQ(services, (std::vector<uint8_t>{0x54, 0x4E}));
}
