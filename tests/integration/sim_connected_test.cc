// logix-sim's class 3 connections and the services third-party clients ask for, over loopback
// TCP and UDP from hand-built messages: Forward Open / Large Forward Open / Forward Close,
// SendUnitData, connection-sized replies, writes, the wall clock, attribute lists, ListIdentity.
#include <chrono>
#include <map>
#include <thread>

#include "sim_raw_client.h"

using namespace simtest;

namespace {

const Bytes kToRouter = {0x01, 0x00, 0x20, 0x02, 0x24, 0x01}; // backplane slot 0, Message Router
const Bytes kTriad = u16(0x3333) + u32(0x1337);                // vendor and originator serial
const std::string kOk = "cc 00 00 00 ";

// Forward Open (0x54, 16-bit parameters) or Large Forward Open (0x5B, 32-bit): O->T and T->O
// sizes alike, variable size, point to point; transport class 3; the T->O id 0x7E57 and serial.
Bytes forward_open(uint8_t service, uint16_t serial, uint32_t size, uint32_t rpi_us = 100000,
                   const Bytes& path = kToRouter, uint8_t trigger = 0xA3) {
    Bytes p = service == 0x5B ? u32(0x42000000u | size) : u16(0x4200 | size), rpi = u32(rpi_us);
    return req(service, cls(0x06) + inst(1),
               Bytes{0x0A, 0x0E} + u32(0) + u32(0x7E570000u + serial) + u16(serial) + kTriad + u32(0) + rpi + p +
                   rpi + p + Bytes{trigger, uint8_t(path.size() / 2)} + path);
}
Bytes forward_close(uint16_t serial) {
    return req(0x4E, cls(0x06) + inst(1), Bytes{0x0A, 0x0E} + u16(serial) + kTriad + Bytes{3, 0} + kToRouter);
}
Bytes read(const std::string& tag) { return req(0x4C, sym(tag), u16(1)); }
// A refused Forward Open or Forward Close: the triad echoed, the remaining path size, a reserved byte.
std::string refused(const std::string& head, uint16_t serial, uint8_t remaining = 0) {
    return head + " " + hex(u16(serial) + kTriad + Bytes{remaining, 0});
}
// An accepted one: O->T id, T->O id, triad, both packet intervals, no application reply.
std::string opened(uint8_t service, uint16_t serial) {
    return hex(Bytes{service, 0, 0, 0}) + " xx xx xx xx " +
           hex(u32(0x7E570000u + serial) + u16(serial) + kTriad + u32(100000) + u32(100000) + u16(0));
}

struct SimConnected : SimFixture {
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> connections; // O->T id: T->O id, size
    // Opens a connection; its O->T id (0 when refused).
    uint32_t open(uint8_t service, uint16_t serial, uint32_t size, uint32_t rpi_us = 100000) {
        Bytes r = client->cip(session, forward_open(service, serial, size, rpi_us));
        uint32_t ot = r.size() == 30 && r[2] == 0 ? rd32(r, 4) : 0;
        connections[ot] = {0x7E570000u + serial, size};
        return ot;
    }
    // SendUnitData on connection `ot` (sent by `via` in `in_session`): the CIP reply in hex, after
    // checking the whole reply around it and its size; else the encapsulation status and size.
    std::string unit(uint32_t ot, uint16_t sequence, const Bytes& request, RawClient* via = nullptr,
                     uint32_t in_session = 0) {
        RawClient& c = via ? *via : *client;
        const uint32_t s = via ? in_session : session;
        auto items = [&](uint32_t id, const Bytes& cip) {
            return u32(0) + u16(0) + u16(2) + u16(0xA1) + u16(4) + u32(id) + u16(0xB1) + u16(2 + uint32_t(cip.size())) +
                   u16(sequence) + cip;
        };
        c.send(encap(0x0070, s, items(ot, request)));
        Bytes m = c.message();
        if (m.size() < 46 || rd32(m, 8) != 0)
            return "status " + std::to_string(rd32(m, 8)) + ", " + std::to_string(m.size()) + " bytes";
        const Bytes cip(m.begin() + 46, m.end());
        const auto [to_id, size] = connections[ot];
        EXPECT_EQ(hex(m), hex(encap(0x0070, s, items(to_id, cip))));
        EXPECT_LE(2 + cip.size(), size) << "the data item outgrows the connection";
        return hex(cip);
    }
};

TEST_F(SimConnected, ForwardOpensAreAcceptedOrRefusedLikeAController) {
    const Bytes fo = forward_open(0x54, 4, 500);
    const std::pair<Bytes, std::string> cases[] = {
        {forward_open(0x54, 1, 504), opened(0xD4, 1)}, {forward_open(0x5B, 2, 4002), opened(0xDB, 2)},
        {forward_open(0x54, 3, 500, 100000, {0x20, 0x02, 0x24, 0x01}), opened(0xD4, 3)}, // no port segment
        {req(0x52, cls(0x06) + inst(1), Bytes{0x0A, 0x0E} + u16(uint32_t(fo.size())) + fo + Bytes{1, 0, 1, 0}),
         opened(0xD4, 4)}, // routed through Unconnected Send
        {forward_open(0x54, 5, 505), refused("d4 00 01 02 09 01 f8 01", 5)}, // the largest size allowed in the
        {forward_open(0x5B, 6, 4003), refused("db 00 01 02 09 01 a2 0f", 6)}, // second extended status word
        {forward_open(0x54, 7, 7), refused("d4 00 01 02 09 01 f8 01", 7)}, // too small for a reply
        {forward_open(0x54, 8, 500, 100000, {0x01, 0x05, 0x20, 0x02, 0x24, 0x01}), refused("d4 00 01 01 12 03", 8, 3)},
        {forward_open(0x54, 9, 500, 100000, {0x20, 0x01, 0x24, 0x01}), refused("d4 00 01 01 15 03", 9, 2)},
        {forward_open(0x54, 10, 500, 100000, kToRouter, 0x01), refused("d4 00 01 01 03 01", 10)}, // class 1
        {forward_open(0x54, 1, 500), refused("d4 00 01 01 00 01", 1)}, // duplicate triad
    };
    for (const auto& [request, reply] : cases)
        EXPECT_EQ(masked(ask(request), reply), reply);
    EXPECT_EQ(ask(forward_close(1)), refused("ce 00 00 00", 1));
    EXPECT_EQ(ask(forward_close(1)), refused("ce 00 01 01 07 01", 1)) << "closed once";
}

TEST_F(SimConnected, SendUnitDataEchoesSequenceCountsAndAnswersARepeatWithoutActingTwice) {
    uint32_t ot = open(0x54, 1, 500);
    ASSERT_NE(ot, 0u);
    EXPECT_EQ(unit(ot, 0, read("DintTag")), "cc 00 00 00 c4 00 40 e2 01 00");
    // A write at count 2, another write outside the connection, then count 2 again: the same
    // reply, and the second value stays.
    Bytes write111 = req(0x4D, sym("DintTag"), u16(0xC4) + u16(1) + u32(111));
    EXPECT_EQ(unit(ot, 2, write111), "cd 00 00 00");
    EXPECT_EQ(ask(req(0x4D, sym("DintTag"), u16(0xC4) + u16(1) + u32(222))), "cd 00 00 00");
    EXPECT_EQ(unit(ot, 2, write111), "cd 00 00 00");
    EXPECT_EQ(unit(ot, 3, read("DintTag")), "cc 00 00 00 c4 00 de 00 00 00");
    // Unknown ids, another session's connection, a closed connection: status 3, no data.
    EXPECT_EQ(unit(ot + 1000, 4, write111), "status 3, 24 bytes");
    RawClient other(server.port());
    EXPECT_EQ(unit(ot, 4, write111, &other, other.open()), "status 3, 24 bytes");
    EXPECT_EQ(ask(forward_close(1)), refused("ce 00 00 00", 1));
    EXPECT_EQ(unit(ot, 5, write111), "status 3, 24 bytes");
}

// The quirks of other devices' connected replies: naming the O->T id, or an id that is neither of
// the connection's (the T->O id plus one here); by default the T->O id. The reply is the same.
TEST_F(SimConnected, ConnectedRepliesNameTheIdTheQuirkAsksFor) {
    const uint32_t ot = open(0x54, 1, 500);
    ASSERT_NE(ot, 0u);
    const uint32_t to = connections[ot].first;
    uint16_t sequence = 1;
    for (const auto& [o2t, other, named] : {std::tuple{true, false, ot}, std::tuple{false, true, to + 1},
                                            std::tuple{true, true, to + 1}, std::tuple{false, false, to}}) {
        logixsim::Faults faults;
        faults.connected_reply_ot_id = o2t;
        faults.connected_reply_other_id = other;
        server.set_faults(faults);
        connections[ot].first = named; // what unit() expects the address item to name
        EXPECT_EQ(unit(ot, sequence++, read("DintTag")), "cc 00 00 00 c4 00 40 e2 01 00") << o2t << other;
    }
}

// Every connected service fits the connection (unit() checks each data item against its size),
// and a 4002-byte connection carries what a 500-byte one must split.
TEST_F(SimConnected, ConnectedRepliesAreSizedToTheirConnection) {
    uint16_t serial = 1;
    for (uint32_t size : {500u, 4002u}) {
        SCOPED_TRACE(size);
        const bool small = size == 500;
        uint32_t ot = open(small ? 0x54 : 0x5B, serial++, size);
        ASSERT_NE(ot, 0u);
        uint16_t seq = 0;
        auto status = [&](const Bytes& request) { return bytes(unit(ot, ++seq, request)).at(2); };
        EXPECT_EQ(status(req(0x55, cls(0x6B) + inst(0), u16(2) + u16(1) + u16(2))), small ? 6 : 0); // 4002: all
        EXPECT_EQ(unit(ot, ++seq, req(0x4C, sym("LargeArray"), u16(300))).size() + 1, 3 * (4 + 2 + (small ? 492 : 1200)));
        EXPECT_EQ(unit(ot, ++seq, req(0x52, sym("LargeArray"), u16(300) + u32(1196))), "d2 00 00 00 c4 00 00 00 00 00");
        const Bytes large = req(0x4C, sym("LargeArray"), u16(200));
        EXPECT_EQ(status(req(0x0A, cls(0x02) + inst(1), u16(2) + u16(6) + u16(22) + large + large)), small ? 0x11 : 0);
        // 40 packed reads, 648 bytes: over the unconnected limit, within the large connection.
        Bytes table = u16(40), reads;
        for (uint16_t i = 0; i < 40; ++i, reads = reads + read("DintTag"))
            table = table + u16(uint16_t(2 + 80 + i * 14));
        EXPECT_EQ(status(req(0x0A, cls(0x02) + inst(1), table + reads)), small ? 0x1A : 0);
    }
    uint32_t ot = open(0x54, serial, 9); // a SINT read and no more; one structure element does not fit
    EXPECT_EQ(unit(ot, 1, read("SintTag")) + ", " + unit(ot, 2, read("Motor1")), "cc 00 00 00 c2 00 f4, cc 00 11 00");
}

// The connection time-out is the O->T packet interval x 4 (multiplier 0) of idle time. Waits on
// the table: a duplicate Forward Open is refused for as long as the first one is open.
TEST_F(SimConnected, IdleConnectionsCloseAndSessionsTakeTheirConnectionsAlong) {
    uint32_t brief = open(0x54, 1, 500, 1000); // 4 ms
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSafetyMs);
    while (ask(forward_open(0x54, 1, 500, 1000)) == refused("d4 00 01 01 00 01", 1) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_EQ(unit(brief, 1, read("SintTag")), "status 3, 24 bytes");
    ask(forward_close(1)); // the one just opened in its place, if it has not timed out yet
    // 32 connections at most; a dropped TCP connection frees the places of its session's ones.
    auto holder = std::make_unique<RawClient>(server.port());
    uint32_t s = holder->open();
    for (uint16_t serial = 100; serial < 132; ++serial)
        ASSERT_EQ(hex(holder->cip(s, forward_open(0x54, serial, 500))).substr(0, 11), "d4 00 00 00") << serial;
    EXPECT_EQ(ask(forward_open(0x54, 200, 500)), refused("d4 00 01 01 13 01", 200));
    holder.reset();
    while (server.connection_count() > 1)
        std::this_thread::yield(); // the server ends its side once it reads the end
    EXPECT_NE(open(0x54, 200, 500), 0u);
}

// All symbol attributes, last first: external access (none for the first entry, a system one),
// dimensions, element size, software control, object address, address, type, name. Template
// attributes with their own status each; 3 answers with 16 bits like the others.
TEST_F(SimConnected, AttributeListsInAnyOrderAndTheWallClock) {
    const std::string first = "d5 00 xx 00 xx xx xx xx 03 00 00 00 00 00 00 00 00 00 00 00 00 xx xx 00 00 00 00 "
                              "xx xx xx xx xx xx xx xx xx xx 09 00 4d 61 70 3a 4c 6f 63 61 6c";
    const Bytes all = u16(8) + u16(10) + u16(8) + u16(7) + u16(6) + u16(5) + u16(3) + u16(2) + u16(1);
    EXPECT_EQ(masked(ask(req(0x55, cls(0x6B) + inst(0), all)).substr(0, first.size()), first), first);
    EXPECT_EQ(ask(req(0x03, cls(0x6C) + inst(0x0FCE), u16(6) + u16(5) + u16(3) + u16(1) + u16(2) + u16(4) + u16(9))),
              "83 00 0a 00 06 00 05 00 00 00 58 00 00 00 03 00 00 00 ce 0f 01 00 00 00 ce 0f 02 00 00 00 02 00 "
              "04 00 00 00 10 00 00 00 09 00 14 00");
    // The wall clock: attribute 0x0B is microseconds since 1970 (64 bits); attribute 5 year, month,
    // day, hour, minute, second, microsecond (32 bits each, UTC).
    const Bytes clock = cls(0x8B) + inst(1), single = clock + Bytes{0x30, 0x0B};
    const std::string y2k = "00 e0 37 3b 01 5d 03 00"; // 2000-01-01T00:00:00Z
    EXPECT_EQ(ask(req(0x04, clock, u16(1) + u16(0x0B) + bytes(y2k))), "84 00 00 00 01 00 0b 00 00 00");
    // Attribute 7 is not there; the time moved on by some seconds at most since it was set.
    const std::string list =
        "83 00 0a 00 03 00 05 00 00 00 d0 07 00 00 01 00 00 00 01 00 00 00 00 00 00 00 00 00 "
        "00 00 xx xx xx xx xx xx xx xx 07 00 14 00 0b 00 00 00 xx xx xx xx 01 5d 03 00";
    EXPECT_EQ(masked(ask(req(0x03, clock, u16(3) + u16(5) + u16(7) + u16(0x0B))), list), list);
    EXPECT_EQ(ask(req(0x04, clock, u16(1) + u16(0x0B) + u16(1))), "84 00 0a 00 01 00 0b 00 13 00") << "cut short";
    // The last microsecond of the year 9999 is the latest time that can be set.
    EXPECT_EQ(ask(req(0x10, single, bytes("00 60 73 cc 0c 44 84 03"))), "90 00 09 00");
    EXPECT_EQ(ask(req(0x10, single, bytes("ff 5f 73 cc 0c 44 84 03"))), "90 00 00 00");
    EXPECT_EQ(ask(req(0x10, single, bytes(y2k))), "90 00 00 00");
}

TEST_F(SimConnected, WritesAreReadBackAndCheckedLikeReads) {
    const Bytes status = sym("Motor1") + sym("Status"), string = u32(2) + Bytes{'O', 'K'} + Bytes(82, 0);
    // A path, what is written there (type, count, data), and what reads back.
    const std::tuple<Bytes, std::string, std::string> ok[] = {
        {sym("DintTag"), "c4 00 01 00 fe ff ff ff", "c4 00 fe ff ff ff"},
        {sym("RealTag"), "ca 00 01 00 db 0f 49 40", "ca 00 db 0f 49 40"}, {sym("BoolTag"), "c1 00 01 00 00", "c1 00 00"},
        {status + sym("Faulted"), "c1 00 01 00 01", "c1 00 ff"}, {status + sym("Running"), "c1 00 01 00 00", "c1 00 00"},
        {status + sym("Faulted"), "", "c1 00 ff"}, // the host byte's other bits stay
        {sym("DintArray") + elem8(8), "c4 00 02 00 50 00 00 00 5a 00 00 00", "c4 00 50 00 00 00"},
        {sym("DintArray") + elem8(9), "", "c4 00 5a 00 00 00"},
        {sym("Program:MainProgram") + sym("Step"), "c3 00 01 00 07 00", "c3 00 07 00"},
        {sym("Greeting"), "a0 02 ce 0f 01 00 " + hex(string), "a0 02 ce 0f " + hex(string)},
        {sym("LargeArray") + Bytes{0x29, 0, 0x2B, 1}, "", "c4 00 00 00 00 00"}, // [299] before its fragment
    };
    for (const auto& [path, write, value] : ok) {
        EXPECT_EQ(write.empty() ? "cd 00 00 00" : ask(req(0x4D, path, bytes(write))), "cd 00 00 00");
        EXPECT_EQ(ask(req(0x4C, path, u16(1))), kOk + value);
    }
    EXPECT_EQ(ask(req(0x53, sym("LargeArray"), u16(0xC4) + u16(300) + u32(1196) + u32(77))), "d3 00 00 00");
    EXPECT_EQ(ask(req(0x4C, sym("LargeArray") + Bytes{0x29, 0, 0x2B, 1}, u16(1))), kOk + "c4 00 4d 00 00 00");
    // Refusals, in the controller's error layout: service, reserved, status, extended words.
    const Bytes dint = sym("DintTag"), large = sym("LargeArray");
    const std::pair<Bytes, const char*> bad[] = {
        {req(0x4D, dint, u16(0xCA) + u16(1) + u32(0)), "cd 00 ff 01 07 21"},
        {req(0x4D, dint, u16(0xC3) + u16(1) + u32(0)), "cd 00 ff 01 07 21"},
        {req(0x4D, sym("Greeting"), u16(0x02A0) + u16(0x1234) + u16(1) + string), "cd 00 ff 01 07 21"},
        {req(0x4D, sym("DintArray") + elem8(9), u16(0xC4) + u16(2) + u32(0) + u32(0)), "cd 00 ff 01 05 21"},
        {req(0x4D, dint, u16(0xC4) + u16(1) + u16(0)), "cd 00 13 00"}, {req(0x4D, dint, u16(0xC4)), "cd 00 13 00"},
        {req(0x53, large, u16(0xC4) + u16(300) + u32(1200)), "d3 00 ff 01 05 21"},
        {req(0x53, large, u16(0xC4) + u16(300) + u32(1198) + u32(0)), "d3 00 ff 01 05 21"},
    };
    for (const auto& [request, reply] : bad)
        EXPECT_EQ(ask(request), reply);
    EXPECT_EQ(ask(read("DintTag")), kOk + "c4 00 fe ff ff ff") << "refused writes change nothing";
}

// ListIdentity over UDP: one item (0x0C, version 1), its socket
// address (family 2, the port, 127.0.0.1), the identity, the state (operational) last.
TEST_F(SimConnected, ListIdentityIsAnsweredOverUdpToo) {
    const Fd fd = open_socket(SOCK_DGRAM);
    sockaddr_in to = loopback(server.port());
    ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to); // the simulator's port alone answers
    send_to(fd, encap(0x0063, 0, {}));
    Bytes udp(512);
    udp.resize(readable(fd, kSafetyMs) ? size_t(std::max(recv_some(fd, udp.data(), 512), 0L)) : 0);
    close_socket(fd);
    EXPECT_EQ(hex(udp), "63 00 33 00 00 00 00 00 00 00 00 00 88 77 66 55 44 33 22 11 00 00 00 00 01 00 0c 00 2d 00 "
                        "01 00 00 02 " + hex(Bytes{uint8_t(server.port() >> 8), uint8_t(server.port())}) +
                        " 7f 00 00 01 00 00 00 00 00 00 00 00 01 00 0e 00 a6 00 21 0b 60 30 ee ff c0 00 0b 31 37 "
                        "35 36 2d 4c 38 33 45 2f 42 03");
}

} // namespace
