// Connected messaging: the Forward Open, Large Forward Open, Forward Close and SendUnitData bytes,
// the decoders of their replies, and replies that do not belong to the request (another sequence
// count or connection, a connection the device dropped) from a scripted device on 127.0.0.1.
// Sequence counts and the closing order are checked against logix-sim (logix_client_test).
#include "cip_test_peer.h"
#include "zelkc_cip.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace cip_test;

namespace {

Bytes hex(const std::string& text) {
    Bytes out;
    std::string digits;
    for (char c : text) {
        if (c != ' ') {
            digits += c;
        }
    }
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// The connection every vector below is made for.
zelkc_cip_connection sample(uint16_t size) {
    zelkc_cip_connection c{};
    c.to_id = 0x11223344;
    c.serial = 0x5566;
    c.vendor_id = 0x4F56;
    c.originator_serial = 0x778899AA;
    c.rpi_us = 2000000;
    c.timeout_multiplier = 7;
    c.size = size;
    return c;
}

const Bytes kSlot0 = {0x01, 0x00};

TEST(CipConnected, RequestsAreEncodedByteForByte) {
    zelkc_cip_buffer route{const_cast<uint8_t*>(kSlot0.data()), 2, 0};
    const std::string open_common = "0A 0E 00000000 44332211 6655 564F AA998877 07 000000";
    struct Case {
        const char* what;
        std::function<uint8_t(zelkc_cip_buffer*)> encode;
        std::string expected;
    };
    const zelkc_cip_connection small = sample(504), large = sample(4002);
    const std::vector<Case> cases = {
        {"Forward Open 504, direct",
         [&](zelkc_cip_buffer* out) { return zelkc_cip_forward_open_encode(&small, 0, nullptr, out); },
         "54 02 20 06 24 01 " + open_common + " 80841E00 F843 80841E00 F843 A3 02 20022401"},
        {"Forward Open 504 along 01 00",
         [&](zelkc_cip_buffer* out) { return zelkc_cip_forward_open_encode(&small, 0, &route, out); },
         "54 02 20 06 24 01 " + open_common + " 80841E00 F843 80841E00 F843 A3 03 0100 20022401"},
        {"Large Forward Open 4002",
         [&](zelkc_cip_buffer* out) { return zelkc_cip_forward_open_encode(&large, 1, nullptr, out); },
         "5B 02 20 06 24 01 " + open_common + " 80841E00 A20F0042 80841E00 A20F0042 A3 02 20022401"},
        {"Forward Close, direct",
         [&](zelkc_cip_buffer* out) { return zelkc_cip_forward_close_encode(&large, nullptr, out); },
         "4E 02 20 06 24 01 0A 0E 6655 564F AA998877 02 00 20022401"},
        {"Forward Close along 01 00",
         [&](zelkc_cip_buffer* out) { return zelkc_cip_forward_close_encode(&large, &route, out); },
         "4E 02 20 06 24 01 0A 0E 6655 564F AA998877 03 00 0100 20022401"},
        {"SendUnitData block",
         [&](zelkc_cip_buffer* out) {
             const uint8_t cip[4] = {0x4C, 0x00, 0x01, 0x00};
             return zelkc_cip_cpf_build_unit_data(0x01020304, 0x0007, cip, 4, out);
         },
         "00000000 0000 0200 A100 0400 04030201 B100 0600 0700 4C000100"},
    };
    for (const auto& c : cases) {
        zelkc_cip_buffer out;
        ASSERT_EQ(c.encode(&out), ZELKC_CIP_OK) << c.what;
        EXPECT_EQ(bytes_of(out), hex(c.expected)) << c.what;
        zelkc_cip_path_free(&out);
    }

    // What cannot be asked for.
    zelkc_cip_buffer out;
    EXPECT_EQ(zelkc_cip_forward_open_encode(&large, 0, nullptr, &out), ZELKC_CIP_ERR_INVALID_ARGUMENT);
    const zelkc_cip_buffer odd{const_cast<uint8_t*>(kSlot0.data()), 1, 0};
    EXPECT_EQ(zelkc_cip_forward_open_encode(&small, 0, &odd, &out), ZELKC_CIP_ERR_INVALID_ARGUMENT);
    Bytes long_route(502, 0x01);
    const zelkc_cip_buffer too_long{long_route.data(), 502, 0};
    EXPECT_EQ(zelkc_cip_forward_close_encode(&small, &too_long, &out), ZELKC_CIP_ERR_TOO_LARGE);
    EXPECT_EQ(zelkc_cip_cpf_build_unit_data(1, 1, nullptr, 1, &out), ZELKC_CIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(out.data, nullptr);
}

TEST(CipConnected, ForwardOpenRepliesAreAcceptedOnlyForTheirConnection) {
    const std::string body = "DDCCBBAA 44332211 6655 564F AA998877 80841E00 80841E00 00 00";
    struct Case {
        const char* what;
        std::string reply;
        uint8_t expected;
    };
    const std::vector<Case> cases = {
        {"Forward Open granted", "D4 00 00 00 " + body, ZELKC_CIP_OK},
        {"Large Forward Open granted", "DB 00 00 00 " + body, ZELKC_CIP_OK},
        {"refused: size, largest 504", "DB 00 01 02 0901 F801 6655 564F AA998877 00 00",
         ZELKC_CIP_ERR_DEVICE},
        {"refused: service not supported", "DB 00 08 00", ZELKC_CIP_ERR_DEVICE},
        {"another service", "D2 00 00 00 " + body, ZELKC_CIP_ERR_BAD_REPLY},
        {"one byte short", "D4 00 00 00 DDCCBBAA 44332211 6655 564F AA998877 80841E00 80841E00 00",
         ZELKC_CIP_ERR_BAD_REPLY},
        {"another serial", "D4 00 00 00 DDCCBBAA 44332211 6656 564F AA998877 80841E00 80841E00 00 00",
         ZELKC_CIP_ERR_BAD_REPLY},
        {"another originator", "D4 00 00 00 DDCCBBAA 44332211 6655 564F AB998877 80841E00 80841E00 00 00",
         ZELKC_CIP_ERR_BAD_REPLY},
    };
    for (const auto& c : cases) {
        const Bytes bytes = hex(c.reply);
        zelkc_cip_response reply;
        ASSERT_EQ(zelkc_cip_response_parse(bytes.data(), uint32_t(bytes.size()), &reply), ZELKC_CIP_OK)
            << c.what;
        zelkc_cip_connection connection = sample(504);
        EXPECT_EQ(zelkc_cip_forward_open_reply_accept(&reply, &connection), c.expected) << c.what;
        EXPECT_EQ(connection.ot_id, c.expected == ZELKC_CIP_OK ? 0xAABBCCDDu : 0u) << c.what;
        zelkc_cip_response_free(&reply);
    }
}

TEST(CipConnected, ConnectedDataIsFoundOnlyWhereTheBlockHoldsIt) {
    struct Case {
        const char* what;
        std::string block;
        uint8_t expected;
        uint16_t sequence = 0;
        uint32_t offset = 0, size = 0;
    };
    const std::vector<Case> cases = {
        {"address, then data", "00000000 0000 0200 A100 0400 44332211 B100 0600 0700 CC000000", ZELKC_CIP_OK,
         7, 22, 4},
        {"data, then address", "00000000 0000 0200 B100 0600 0900 CC000000 A100 0400 44332211", ZELKC_CIP_OK,
         9, 14, 4},
        {"a sequence count alone", "00000000 0000 0200 A100 0400 44332211 B100 0200 0100", ZELKC_CIP_OK, 1,
         22, 0},
        {"another connection", "00000000 0000 0200 A100 0400 45332211 B100 0600 0700 CC000000",
         ZELKC_CIP_ERR_BAD_REPLY},
        {"no address item", "00000000 0000 0100 B100 0600 0700 CC000000", ZELKC_CIP_ERR_BAD_REPLY},
        {"no data item", "00000000 0000 0100 A100 0400 44332211", ZELKC_CIP_ERR_BAD_REPLY},
        {"data item past the end", "00000000 0000 0200 A100 0400 44332211 B100 0700 0700 CC000000",
         ZELKC_CIP_ERR_BAD_REPLY},
        {"data item shorter than a count", "00000000 0000 0200 A100 0400 44332211 B100 0100 07",
         ZELKC_CIP_ERR_BAD_REPLY},
        {"more items counted than sent", "00000000 0000 0300 A100 0400 44332211 B100 0200 0700",
         ZELKC_CIP_ERR_BAD_REPLY},
        {"interface handle not 0", "01000000 0000 0200 A100 0400 44332211 B100 0200 0700",
         ZELKC_CIP_ERR_BAD_REPLY},
        {"short", "00000000 0000 02", ZELKC_CIP_ERR_BAD_REPLY},
    };
    for (const auto& c : cases) {
        const Bytes block = hex(c.block);
        uint16_t sequence = 0;
        uint32_t offset = 0, size = 0;
        EXPECT_EQ(zelkc_cip_cpf_find_connected_data(block.data(), uint32_t(block.size()), 0x11223344,
                                                    &sequence, &offset, &size),
                  c.expected)
            << c.what;
        if (c.expected == ZELKC_CIP_OK) {
            EXPECT_EQ(sequence, c.sequence) << c.what;
            EXPECT_EQ(offset, c.offset) << c.what;
            EXPECT_EQ(size, c.size) << c.what;
        }
    }
}

// ---- against a scripted device --------------------------------------------------------------

// A device that grants Forward Opens (O->T id 0x0A0B0C0D) and answers each SendUnitData with
// `unit_reply(message, to_id, sequence)`.
struct ConnectedDevice {
    std::function<Bytes(const EncapMessage&, uint32_t to_id, uint16_t sequence)> unit_reply;

    ScriptedPeer::Handler handler() {
        return [this](PeerConnection& conn, int) {
            EncapMessage m;
            uint32_t to_id = 0;
            while (read_message(conn, &m)) {
                if (m.command == 0x0065) {
                    conn.write(encap(0x0065, Device::session, 0, m.context, {0x01, 0x00, 0x00, 0x00}));
                } else if (m.command == 0x006F && m.data.size() > 16) {
                    const Bytes cip(m.data.begin() + 16, m.data.end());
                    Bytes reply = {uint8_t(cip[0] | 0x80), 0, 0, 0};
                    if (cip[0] == 0x54 || cip[0] == 0x5B) {
                        to_id = uint32_t(get(&cip[6 + 6], 4));
                        put(reply, 0x0A0B0C0D, 4);
                        put(reply, to_id, 4);
                        reply.insert(reply.end(), cip.begin() + 6 + 10, cip.begin() + 6 + 18); // the triad
                        reply.insert(reply.end(), {0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
                    } else {
                        reply.insert(reply.end(), cip.begin() + 6 + 2, cip.begin() + 6 + 10);
                        reply.insert(reply.end(), {0, 0});
                    }
                    conn.write(encap(0x006F, Device::session, 0, m.context, cpf_reply(reply)));
                } else if (m.command == 0x0070 && m.data.size() >= 22) {
                    EXPECT_EQ(get(&m.data[12], 4), 0x0A0B0C0Du); // the O->T id granted
                    conn.write(unit_reply(m, to_id, uint16_t(get(&m.data[20], 2))));
                } else {
                    break;
                }
            }
            conn.read();
        };
    }
};

// A SendUnitData reply naming `to_id`, echoing `sequence`, carrying `cip`.
Bytes unit_data(const EncapMessage& m, uint32_t to_id, uint16_t sequence, const Bytes& cip,
                uint32_t status = 0) {
    Bytes data = {0, 0, 0, 0, 0, 0, 2, 0, 0xA1, 0, 4, 0};
    put(data, to_id, 4);
    data.insert(data.end(), {0xB1, 0});
    put(data, 2 + cip.size(), 2);
    put(data, sequence, 2);
    return encap(0x0070, Device::session, status, m.context, cat({data, cip}));
}

const uint8_t kPath[4] = {0x20, 0x6B, 0x24, 0x01};
const uint8_t kOne[2] = {0x01, 0x00};
const zelkc_cip_request kRead = {0x4C, kPath, 4, kOne, 2};

class CipConnectedExchange : public ::testing::Test {
protected:
    void TearDown() override { zelkc_cip_client_destroy(client_); }
    void open(ConnectedDevice& device, uint16_t size) {
        peer_ = std::make_unique<ScriptedPeer>(device.handler());
        client_ = zelkc_cip_client_create();
        ASSERT_EQ(zelkc_cip_client_connect(client_, "127.0.0.1", peer_->port(), 2000), ZELKC_CIP_OK);
        ASSERT_EQ(zelkc_cip_client_open_connection(client_, nullptr, size), ZELKC_CIP_OK);
        EXPECT_EQ(client_->connection.ot_id, 0x0A0B0C0Du);
        EXPECT_EQ(client_->connection.size, size);
    }
    std::unique_ptr<ScriptedPeer> peer_;
    zelkc_cip_client* client_ = nullptr;
};

TEST_F(CipConnectedExchange, RepliesThatDoNotBelongEndTheSession) {
    struct Case {
        const char* what;
        std::function<Bytes(const EncapMessage&, uint32_t, uint16_t)> reply;
        uint8_t expected;
    };
    const Bytes ok = {0xCC, 0x00, 0x00, 0x00};
    const std::vector<Case> cases = {
        {"an earlier sequence count",
         [&](const EncapMessage& m, uint32_t id, uint16_t seq) {
             return unit_data(m, id, uint16_t(seq - 1), ok);
         },
         ZELKC_CIP_ERR_BAD_REPLY},
        {"another connection",
         [&](const EncapMessage& m, uint32_t id, uint16_t seq) { return unit_data(m, id + 1, seq, ok); },
         ZELKC_CIP_ERR_BAD_REPLY},
        {"the connection is unknown to the device",
         [&](const EncapMessage& m, uint32_t, uint16_t) {
             return encap(0x0070, Device::session, 3, m.context, {});
         },
         ZELKC_CIP_ERR_IO},
        {"a CIP reply shorter than its header",
         [&](const EncapMessage& m, uint32_t id, uint16_t seq) {
             return unit_data(m, id, seq, {0xCC, 0x00});
         },
         ZELKC_CIP_ERR_BAD_REPLY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ConnectedDevice device;
        device.unit_reply = c.reply;
        zelkc_cip_client_destroy(client_);
        open(device, 504);
        zelkc_cip_response response;
        EXPECT_EQ(zelkc_cip_client_send_connected(client_, &kRead, &response), c.expected);
        EXPECT_EQ(response.data.data, nullptr);
        EXPECT_EQ(zelkc_cip_client_status(client_), ZELKC_CIP_STATUS_DISCONNECTED);
        EXPECT_EQ(client_->connection.size, 0u);
        EXPECT_EQ(zelkc_cip_client_send_connected(client_, &kRead, &response), ZELKC_CIP_ERR_NOT_CONNECTED);
        peer_.reset();
    }
}

} // namespace
