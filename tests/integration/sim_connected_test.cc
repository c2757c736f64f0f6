// logix-sim's class 3 connections and the services third-party clients ask for, over loopback
// TCP and UDP from hand-built messages: Forward Open / Large Forward Open / Forward Close,
// SendUnitData, connection-sized replies, writes, the wall clock, attribute lists, ListIdentity.
// Replies are compared as a protocol analyser shows them, "xx" marking a byte the simulator picks.
#include <chrono>
#include <map>
#include <thread>

#include "logixsim/server.h"
#include "sim_raw_client.h"

using namespace simtest;

namespace {

const Bytes kConnectionManager = cls(0x06) + inst(1);
const Bytes kToRouter = {0x01, 0x00, 0x20, 0x02, 0x24, 0x01}; // backplane slot 0, Message Router

// Forward Open (0x54, 16-bit parameters) or Large Forward Open (0x5B, 32-bit): O->T and T->O
// sizes alike, variable size, point to point; transport class 3; the T->O id 0x7E57 and serial.
Bytes forward_open(uint8_t service, uint16_t serial, uint32_t size, uint32_t rpi_us = 100000,
                   const Bytes& path = kToRouter, uint8_t trigger = 0xA3) {
    Bytes p = service == 0x5B ? u32(0x42000000u | size) : u16(0x4200 | size);
    Bytes d = Bytes{0x0A, 0x0E} + u32(0) + u32(0x7E570000u + serial) + u16(serial) + u16(0x3333) +
              u32(0x1337) + Bytes{0, 0, 0, 0} + u32(rpi_us) + p + u32(rpi_us) + p +
              Bytes{trigger, uint8_t(path.size() / 2)} + path;
    return req(service, kConnectionManager, d);
}
Bytes forward_close(uint16_t serial) {
    return req(0x4E, kConnectionManager,
               Bytes{0x0A, 0x0E} + u16(serial) + u16(0x3333) + u32(0x1337) + Bytes{3, 0} + kToRouter);
}
Bytes read(const std::string& tag) {
    return req(0x4C, sym(tag), u16(1));
}

// "cc 00 00 00": bytes as a protocol analyser shows them, and back.
std::string hex(const Bytes& b) {
    std::string s;
    for (uint8_t x : b)
        s += std::string(s.empty() ? "" : " ") + "0123456789abcdef"[x >> 4] + "0123456789abcdef"[x & 15];
    return s;
}
Bytes bytes(const std::string& hex) {
    Bytes b;
    for (size_t i = 0; i + 1 < hex.size(); i += 3)
        b.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return b;
}
// `got` with the bytes `want` marks "xx" taken from `want`: compare the result with `want`.
std::string masked(std::string got, const std::string& want) {
    for (size_t i = 0; i < got.size() && i < want.size(); ++i)
        if (want[i] == 'x')
            got[i] = 'x';
    return got;
}
// A refused Forward Open or Forward Close: the triad echoed, the remaining path size, a reserved byte.
std::string refused(const std::string& head, uint16_t serial, uint8_t remaining = 0) {
    return head + " " + hex(u16(serial) + u16(0x3333) + u32(0x1337) + Bytes{remaining, 0});
}
// An accepted one: O->T id, T->O id, triad, both packet intervals, no application reply.
std::string opened(uint8_t service, uint16_t serial) {
    return hex(Bytes{service, 0, 0, 0}) + " xx xx xx xx " +
           hex(u32(0x7E570000u + serial) + u16(serial) + u16(0x3333) + u32(0x1337) + u32(100000) +
               u32(100000) + u16(0));
}

class SimConnected : public ::testing::Test {
protected:
    std::unique_ptr<logixsim::Server> server;
    std::unique_ptr<RawClient> client;
    uint32_t session = 0;
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> connections; // O->T id: T->O id, size
    void SetUp() override {
        logixsim::Options options;
        options.port = 0;
        options.live_interval_ms = 0;
        server = std::make_unique<logixsim::Server>(logixsim::demo_controller(), options);
        server->start();
        client = std::make_unique<RawClient>(server->port());
        session = client->open();
        ASSERT_NE(session, 0u);
    }
    // A CIP request through SendRRData; the CIP reply in hex.
    std::string ask(const Bytes& request) { return hex(client->cip(session, request)); }
    Reply cip(const Bytes& request) { return parse(client->cip(session, request)); }
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
        const Bytes address = u32(0) + u16(0) + u16(2) + u16(0xA1) + u16(4);
        RawClient& c = via ? *via : *client;
        const uint32_t s = via ? in_session : session;
        c.send(encap(0x0070, s,
                     address + u32(ot) + u16(0xB1) + u16(uint32_t(2 + request.size())) + u16(sequence) +
                         request));
        Bytes m = c.message();
        if (m.size() < 46 || rd32(m, 8) != 0)
            return "status " + std::to_string(m.size() < 24 ? 0xDEAD : rd32(m, 8)) + ", " +
                   std::to_string(m.size()) + " bytes";
        const Bytes cip(m.begin() + 46, m.end());
        const auto [to_id, size] = connections[ot];
        EXPECT_EQ(hex(m), hex(encap(0x0070, s,
                                    address + u32(to_id) + u16(0xB1) + u16(uint32_t(2 + cip.size())) +
                                        u16(sequence) + cip)));
        EXPECT_LE(2 + cip.size(), size) << "the data item outgrows the connection";
        return hex(cip);
    }
};

TEST_F(SimConnected, ForwardOpensAreAcceptedOrRefusedLikeAController) {
    const Bytes fo = forward_open(0x54, 4, 500);
    const std::pair<Bytes, std::string> cases[] = {
        {forward_open(0x54, 1, 504), opened(0xD4, 1)},
        {forward_open(0x5B, 2, 4002), opened(0xDB, 2)},
        {forward_open(0x54, 3, 500, 100000, {0x20, 0x02, 0x24, 0x01}), opened(0xD4, 3)}, // no port segment
        {req(0x52, kConnectionManager, Bytes{0x0A, 0x0E} + u16(uint32_t(fo.size())) + fo + Bytes{1, 0, 1, 0}),
         opened(0xD4, 4)}, // routed through Unconnected Send
        {forward_open(0x54, 5, 505), refused("d4 00 01 02 09 01 f8 01", 5)},
        {forward_open(0x5B, 6, 4003), refused("db 00 01 02 09 01 a2 0f", 6)},
        {forward_open(0x54, 7, 7), refused("d4 00 01 02 09 01 f8 01", 7)}, // too small for a reply
        {forward_open(0x54, 8, 500, 100000, {0x01, 0x05, 0x20, 0x02, 0x24, 0x01}),
         refused("d4 00 01 01 12 03", 8, 3)}, // other slot
        {forward_open(0x54, 9, 500, 100000, {0x20, 0x01, 0x24, 0x01}), refused("d4 00 01 01 15 03", 9, 2)},
        {forward_open(0x54, 10, 500, 100000, kToRouter, 0x01), refused("d4 00 01 01 03 01", 10)}, // class 1
        {forward_open(0x54, 1, 500), refused("d4 00 01 01 00 01", 1)}, // duplicate triad
    };
    for (const auto& [request, reply] : cases)
        EXPECT_EQ(masked(ask(request), reply), reply);
}

TEST_F(SimConnected, ThirtyTwoConnectionsAtMostAndForwardCloseFreesOne) {
    for (uint16_t serial = 1; serial <= 32; ++serial)
        ASSERT_NE(open(0x54, serial, 500), 0u) << serial;
    EXPECT_EQ(ask(forward_open(0x54, 33, 500)), refused("d4 00 01 01 13 01", 33));
    EXPECT_EQ(ask(forward_close(7)), refused("ce 00 00 00", 7));
    EXPECT_NE(open(0x54, 33, 500), 0u);
    EXPECT_EQ(ask(forward_close(7)), refused("ce 00 01 01 07 01", 7));
}

TEST_F(SimConnected, SendUnitDataEchoesSequenceCountsAndAnswersARepeatWithoutActingTwice) {
    uint32_t ot = open(0x54, 1, 500);
    ASSERT_NE(ot, 0u);
    EXPECT_EQ(unit(ot, 1, read("DintTag")), "cc 00 00 00 c4 00 40 e2 01 00");
    // A write at count 2, another write outside the connection, then count 2 again: the same
    // reply, and the second value stays.
    Bytes write111 = req(0x4D, sym("DintTag"), u16(0xC4) + u16(1) + u32(111));
    EXPECT_EQ(unit(ot, 2, write111), "cd 00 00 00");
    EXPECT_EQ(ask(req(0x4D, sym("DintTag"), u16(0xC4) + u16(1) + u32(222))), "cd 00 00 00");
    EXPECT_EQ(unit(ot, 2, write111), "cd 00 00 00");
    EXPECT_EQ(unit(ot, 3, read("DintTag")), "cc 00 00 00 c4 00 de 00 00 00");
    // Unknown ids, another session's connection, a closed connection: status 3, no data.
    EXPECT_EQ(unit(ot + 1000, 4, write111), "status 3, 24 bytes");
    RawClient other(server->port());
    EXPECT_EQ(unit(ot, 4, write111, &other, other.open()), "status 3, 24 bytes");
    EXPECT_EQ(ask(forward_close(1)), refused("ce 00 00 00", 1));
    EXPECT_EQ(unit(ot, 5, write111), "status 3, 24 bytes");
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
        auto call = [&](const Bytes& request) { return parse(bytes(unit(ot, ++seq, request))); };
        Reply page = call(req(0x55, cls(0x6B) + inst(0), u16(2) + u16(1) + u16(2)));
        EXPECT_EQ(page.status, small ? 6 : 0) << "the whole demo scope fits 4002 bytes";
        EXPECT_GT(page.data.size(), small ? 400u : 500u);
        Reply whole = call(req(0x4C, sym("LargeArray"), u16(300)));
        EXPECT_EQ(whole.status, small ? 6 : 0);
        EXPECT_EQ(whole.data.size(), small ? 2u + 492 : 2u + 1200);
        EXPECT_EQ(unit(ot, ++seq, req(0x52, sym("LargeArray"), u16(300) + u32(1196))),
                  "d2 00 00 00 c4 00 00 00 00 00");
        EXPECT_EQ(call(req(0x4C, cls(0x6C) + inst(0x0FCE), u32(0) + u16(1000))).status, 0);
        Bytes two_reads = u16(2) + u16(6) + u16(22) + req(0x4C, sym("LargeArray"), u16(200)) +
                          req(0x4C, sym("LargeArray"), u16(200));
        EXPECT_EQ(call(req(0x0A, cls(0x02) + inst(1), two_reads)).status, small ? 0x11 : 0);
        // 40 packed reads, 642 bytes: over the unconnected limit, within the large connection.
        Bytes packed = u16(40);
        const Bytes one = read("DintTag");
        for (uint16_t i = 0; i < 40; ++i)
            packed = packed + u16(uint16_t(2 + 80 + i * one.size()));
        for (int i = 0; i < 40; ++i)
            packed = packed + one;
        EXPECT_EQ(call(req(0x0A, cls(0x02) + inst(1), packed)).status, small ? 0x1A : 0);
        EXPECT_EQ(unit(ot, ++seq, req(0x01, cls(0x64) + inst(1))),
                  "81 00 00 00 0a 00 4f 72 76 61 6e 65 44 65 6d 6f");
    }
    uint32_t ot = open(0x54, serial, 9); // a SINT read and no more
    ASSERT_NE(ot, 0u);
    EXPECT_EQ(unit(ot, 1, read("Motor1")), "cc 00 11 00") << "one structure element does not fit 9 bytes";
    EXPECT_EQ(unit(ot, 2, read("SintTag")), "cc 00 00 00 c2 00 f4");
}

TEST_F(SimConnected, IdleConnectionsCloseAndSessionsTakeTheirConnectionsAlong) {
    uint32_t brief = open(0x54, 1, 500, 1000); // 1 ms x 4: idle for 4 ms closes it
    uint32_t lasting = open(0x54, 2, 500);     // 100 ms x 4
    ASSERT_NE(brief, 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(unit(brief, 1, read("SintTag")), "status 3, 24 bytes");
    EXPECT_EQ(unit(lasting, 1, read("SintTag")), "cc 00 00 00 c2 00 f4");
    // UnRegisterSession and a dropped TCP connection both free all 32 places.
    for (int way = 0; way < 2; ++way) {
        RawClient holder(server->port());
        uint32_t s = holder.open();
        for (uint16_t serial = 100; serial < 131; ++serial)
            ASSERT_EQ(hex(holder.cip(s, forward_open(0x54, serial, 500))).substr(0, 11), "d4 00 00 00")
                << serial;
        EXPECT_EQ(ask(forward_open(0x54, 200, 500)), refused("d4 00 01 01 13 01", 200));
        if (way == 0)
            holder.send(encap(0x0066, s, {}));
        else
            holder.shutdown_write();
        EXPECT_TRUE(holder.drain().empty());
        while (way == 1 && server->connection_count() > 1)
            std::this_thread::yield(); // the server ends its side once it reads the end
        EXPECT_NE(open(0x54, 200, 500), 0u);
        EXPECT_EQ(ask(forward_close(200)), refused("ce 00 00 00", 200));
    }
}

TEST_F(SimConnected, SymbolAndTemplateAttributesInAnyOrder) {
    // All symbol attributes, last first: external access (none for the first entry, a system
    // one), dimensions, element size, software control, object address, address, type, name.
    const std::string first =
        "d5 00 xx 00 xx xx xx xx 03 00 00 00 00 00 00 00 00 00 00 00 00 xx xx 00 00 00 00 "
        "xx xx xx xx xx xx xx xx xx xx 09 00 4d 61 70 3a 4c 6f 63 61 6c";
    const std::string got =
        ask(req(0x55, cls(0x6B) + inst(0),
                u16(8) + u16(10) + u16(8) + u16(7) + u16(6) + u16(5) + u16(3) + u16(2) + u16(1)));
    EXPECT_EQ(masked(got.substr(0, first.size()), first), first);
    EXPECT_TRUE(got[7] == '0' || got[7] == '6') << "status 0, or 6 with more to come";
    EXPECT_EQ(ask(req(0x55, cls(0x6B) + inst(0), u16(2) + u16(1) + u16(4))), "d5 00 14 00");
    // Template attributes with their own status each; 3 answers with 16 bits like the others.
    EXPECT_EQ(
        ask(req(0x03, cls(0x6C) + inst(0x0FCE),
                u16(6) + u16(5) + u16(3) + u16(1) + u16(2) + u16(4) + u16(9))),
        "83 00 0a 00 06 00 05 00 00 00 58 00 00 00 03 00 00 00 ce 0f 01 00 00 00 ce 0f 02 00 00 00 02 00 "
        "04 00 00 00 10 00 00 00 09 00 14 00");
    // After the STRING template's name: the marker, then 'A' and an access byte per member.
    Reply def = cip(req(0x4C, cls(0x6C) + inst(0x0FCE), u32(0) + u16(40)));
    EXPECT_EQ(std::string(def.data.begin() + 16, def.data.begin() + 28), "STRING;nACAC");
    // MotorStatus (the first declared type): its BOOL host member first, with no access.
    Reply motor = cip(req(0x4C, cls(0x6C) + inst(0x0100), u32(0) + u16(100)));
    ASSERT_GE(motor.data.size(), 56u + 27);
    EXPECT_EQ(std::string(motor.data.begin() + 56, motor.data.begin() + 83), "MotorStatus;nA@ACACACACACAC");
}

TEST_F(SimConnected, WallClockIsReadAndMovedThroughAttributeLists) {
    const Bytes clock = cls(0x8B) + inst(1), single = clock + Bytes{0x30, 0x0B};
    Reply now = cip(req(0x0E, single));
    ASSERT_EQ(now.data.size(), 8u);
    EXPECT_GT(rd32(now.data, 4), 0x50000u) << "microseconds since 1970: after 2014";
    const std::string y2k = "00 e0 37 3b 01 5d 03 00"; // 2000-01-01T00:00:00Z in microseconds
    EXPECT_EQ(ask(req(0x04, clock, u16(1) + u16(0x0B) + bytes(y2k))), "84 00 00 00 01 00 0b 00 00 00");
    // Attribute 7 is not there; the time moved on by some seconds at most since it was set.
    const std::string list =
        "83 00 0a 00 03 00 05 00 00 00 d0 07 00 00 01 00 00 00 01 00 00 00 00 00 00 00 00 00 "
        "00 00 xx xx xx xx xx xx xx xx 07 00 14 00 0b 00 00 00 xx xx xx xx 01 5d 03 00";
    EXPECT_EQ(masked(ask(req(0x03, clock, u16(3) + u16(5) + u16(7) + u16(0x0B))), list), list);
    EXPECT_EQ(ask(req(0x04, clock, u16(1) + u16(0x0B) + u16(1))), "84 00 0a 00 01 00 0b 00 13 00")
        << "cut short";
    EXPECT_EQ(ask(req(0x10, single, u32(0xFFFFFFFF) + u32(0xFFFFFFFF))), "90 00 09 00")
        << "past the year 9999";
    EXPECT_EQ(ask(req(0x10, single, bytes(y2k))), "90 00 00 00");
}

TEST_F(SimConnected, WritesAreReadBackAndCheckedLikeReads) {
    // A path, what is written there, and what reads back.
    const std::tuple<Bytes, std::string, std::string> ok[] = {
        {sym("DintTag"), "c4 00 01 00 fe ff ff ff", "c4 00 fe ff ff ff"},
        {sym("RealTag"), "ca 00 01 00 db 0f 49 40", "ca 00 db 0f 49 40"},
        {sym("BoolTag"), "c1 00 01 00 00", "c1 00 00"},
        {sym("Motor1") + sym("Enabled"), "c1 00 01 00 00", "c1 00 00"},
        {sym("Motor1") + sym("Status") + sym("Running"), "c1 00 01 00 01", "c1 00 ff"},
        {sym("DintArray") + elem8(8), "c4 00 02 00 50 00 00 00 5a 00 00 00", "c4 00 50 00 00 00"},
        {sym("Program:MainProgram") + sym("Step"), "c3 00 01 00 07 00", "c3 00 07 00"},
    };
    for (const auto& [path, write, value] : ok) {
        EXPECT_EQ(ask(req(0x4D, path, bytes(write))), "cd 00 00 00");
        EXPECT_EQ(ask(req(0x4C, path, u16(1))), "cc 00 00 00 " + value);
    }
    EXPECT_EQ(ask(req(0x4C, sym("DintArray") + elem8(9), u16(1))), "cc 00 00 00 c4 00 5a 00 00 00");
    EXPECT_EQ(ask(req(0x4C, sym("Motor1") + sym("Status") + sym("Faulted"), u16(1))), "cc 00 00 00 c1 00 00")
        << "the host byte's other bits stay";
    // A STRING written whole as its structure, then one fragment inside LargeArray.
    const Bytes string = u32(2) + Bytes{'O', 'K'} + Bytes(82, 0);
    EXPECT_EQ(ask(req(0x4D, sym("Greeting"), u16(0x02A0) + u16(0x0FCE) + u16(1) + string)), "cd 00 00 00");
    EXPECT_EQ(ask(read("Greeting")), "cc 00 00 00 " + hex(u16(0x02A0) + u16(0x0FCE) + string));
    EXPECT_EQ(ask(req(0x53, sym("LargeArray"), u16(0xC4) + u16(300) + u32(1196) + u32(77))), "d3 00 00 00");
    EXPECT_EQ(ask(req(0x4C, sym("LargeArray") + elem16(299), u16(1))), "cc 00 00 00 c4 00 4d 00 00 00");
    // Refusals, in the controller's error layout: service, reserved, status, extended words.
    const std::pair<Bytes, const char*> bad[] = {
        {req(0x4D, sym("DintTag"), u16(0xCA) + u16(1) + u32(0)), "cd 00 ff 01 07 21"},
        {req(0x4D, sym("Greeting"), u16(0x02A0) + u16(0x1234) + u16(1) + string), "cd 00 ff 01 07 21"},
        {req(0x4D, sym("DintArray") + elem8(9), u16(0xC4) + u16(2) + u32(0) + u32(0)), "cd 00 ff 01 05 21"},
        {req(0x4D, sym("DintTag"), u16(0xC4) + u16(1) + u16(0)), "cd 00 13 00"},
        {req(0x4D, sym("DintTag"), u16(0xC4) + u16(1) + u32(0) + u16(0)), "cd 00 15 00"},
        {req(0x4D, sym("DintTag"), u16(0xC4)), "cd 00 13 00"},
        {req(0x53, sym("LargeArray"), u16(0xC4) + u16(300) + u32(1200) + u32(0)), "d3 00 ff 01 05 21"},
        {req(0x53, sym("LargeArray"), u16(0xC4) + u16(300) + u32(1198) + u32(0)), "d3 00 ff 01 05 21"},
        {req(0x4D, sym("NoSuchTag"), u16(0xC4) + u16(1) + u32(0)), "cd 00 04 00"},
        {read("NoSuchTag"), "cc 00 04 00"},
        {req(0x4C, cls(0x6B) + inst(0xFFFF), u16(1)), "cc 00 05 00"},
    };
    for (const auto& [request, reply] : bad)
        EXPECT_EQ(ask(request), reply);
    EXPECT_EQ(ask(read("DintTag")), "cc 00 00 00 c4 00 fe ff ff ff") << "refused writes change nothing";
}

// The same ListIdentity answer over UDP as over TCP: one item (0x0C, version 1), its socket
// address (family 2, the port, 127.0.0.1), the identity, the state (operational) last.
TEST_F(SimConnected, ListIdentityIsAnsweredOverUdpToo) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{AF_INET, htons(server->port()), {htonl(INADDR_LOOPBACK)}, {}};
    const Bytes list = encap(0x0063, 0, {});
    ASSERT_EQ(::sendto(fd, list.data(), list.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 24);
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, kSafetyMs), 1);
    Bytes udp(512);
    udp.resize(size_t(std::max<ssize_t>(::recv(fd, udp.data(), udp.size(), 0), 0)));
    ::close(fd);
    client->send(list);
    EXPECT_EQ(hex(udp), hex(client->message()));
    ASSERT_GE(udp.size(), 40u);
    const std::string item = "01 00 0c 00 xx xx 01 00 00 02 " +
                             hex(Bytes{uint8_t(server->port() >> 8), uint8_t(server->port())}) +
                             " 7f 00 00 01";
    EXPECT_EQ(masked(hex(Bytes(udp.begin() + 24, udp.begin() + 40)), item), item);
    EXPECT_EQ(udp.back(), 3);
}

} // namespace
