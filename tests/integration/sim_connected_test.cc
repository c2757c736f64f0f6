// logix-sim's class 3 connections and the services third-party clients ask for, over loopback
// TCP and UDP from hand-built messages: Forward Open / Large Forward Open / Forward Close,
// SendUnitData, connection-sized replies, writes, the wall clock, attribute lists, ListIdentity.
#include <chrono>
#include <thread>

#include "logixsim/server.h"
#include "sim_raw_client.h"

using namespace simtest;

namespace {

const Bytes kConnectionManager = cls(0x06) + inst(1);
const Bytes kToRouter = {0x01, 0x00, 0x20, 0x02, 0x24, 0x01}; // backplane slot 0, Message Router

// Forward Open (0x54, 16-bit parameters) or Large Forward Open (0x5B, 32-bit): O->T and T->O
// sizes alike, variable size, point to point; transport class 3.
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
Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
// The triad every Forward Open / Forward Close reply echoes.
Bytes triad(uint16_t serial) {
    return u16(serial) + u16(0x3333) + u32(0x1337);
}

class SimConnected : public ::testing::Test {
protected:
    std::unique_ptr<logixsim::Server> server;
    std::unique_ptr<RawClient> client;
    uint32_t session = 0;
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
    Reply cip(const Bytes& request) { return parse(client->cip(session, request)); }
    // Opens a connection; its O->T id (0 when refused).
    uint32_t open(uint8_t service, uint16_t serial, uint32_t size, uint32_t rpi_us = 100000) {
        Reply r = cip(forward_open(service, serial, size, rpi_us));
        return r.status == 0 && r.data.size() == 26 ? rd32(r.data, 0) : 0;
    }
    // SendUnitData: the reply's encapsulation status, and the CIP reply of its data item.
    struct Unit {
        uint32_t status = 0xDEAD;
        uint32_t to_id = 0;
        uint16_t sequence = 0;
        size_t item = 0; // connected data item length: sequence count plus the CIP reply
        Bytes cip;
    };
    Unit unit(uint32_t ot_id, uint16_t sequence, const Bytes& request, RawClient* via = nullptr,
              uint32_t in_session = 0) {
        Bytes cpf = u32(0) + u16(0) + u16(2) + u16(0xA1) + u16(4) + u32(ot_id) + u16(0xB1) +
                    u16(uint32_t(2 + request.size())) + u16(sequence) + request;
        RawClient& c = via ? *via : *client;
        c.send(encap(0x0070, in_session ? in_session : session, cpf));
        Bytes m = c.message();
        Unit u;
        if (m.size() < 24)
            return u;
        EXPECT_EQ(rd16(m, 0), 0x0070);
        u.status = rd32(m, 8);
        if (m.size() < 46)
            return u;
        EXPECT_EQ(Bytes(m.begin() + 24, m.begin() + 36), u32(0) + u16(0) + u16(2) + u16(0xA1) + u16(4));
        EXPECT_EQ(rd16(m, 40), 0xB1);
        u.to_id = rd32(m, 36);
        u.item = rd16(m, 42);
        u.sequence = rd16(m, 44);
        u.cip.assign(m.begin() + 46, m.end());
        EXPECT_EQ(u.item, u.cip.size() + 2);
        return u;
    }
    Bytes value(const std::string& tag) { return cip(req(0x4C, sym(tag), u16(1))).data; }
};

TEST_F(SimConnected, ForwardOpensAreAcceptedOrRefusedLikeAController) {
    const Bytes routed_path = {0x20, 0x02, 0x24, 0x01};
    const struct {
        const char* what;
        Bytes request;
        uint8_t status;
        std::vector<uint16_t> extended;
        uint8_t remaining;
    } cases[] = {
        {"504 bytes", forward_open(0x54, 1, 504), 0, {}, 0},
        {"4002 bytes, large", forward_open(0x5B, 2, 4002), 0, {}, 0},
        {"no port segment", forward_open(0x54, 3, 500, 100000, routed_path), 0, {}, 0},
        {"routed through Unconnected Send",
         req(0x52, kConnectionManager,
             Bytes{0x0A, 0x0E} + u16(uint32_t(forward_open(0x54, 4, 500).size())) +
                 forward_open(0x54, 4, 500) + Bytes{1, 0, 1, 0}),
         0,
         {},
         0},
        {"505 bytes", forward_open(0x54, 5, 505), 0x01, {0x0109, 504}, 0},
        {"4003 bytes, large", forward_open(0x5B, 6, 4003), 0x01, {0x0109, 4002}, 0},
        {"other slot",
         forward_open(0x54, 7, 500, 100000, {0x01, 0x05, 0x20, 0x02, 0x24, 0x01}),
         0x01,
         {0x0312},
         3},
        {"not the router", forward_open(0x54, 8, 500, 100000, {0x20, 0x01, 0x24, 0x01}), 0x01, {0x0315}, 2},
        {"class 1", forward_open(0x54, 9, 500, 100000, kToRouter, 0x01), 0x01, {0x0103}, 0},
        {"duplicate triad", forward_open(0x54, 1, 500), 0x01, {0x0100}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Reply r = cip(c.request);
        ASSERT_EQ(r.status, c.status);
        EXPECT_EQ(r.extended, c.extended);
        uint16_t serial = rd16(c.request, c.request[0] == 0x52 ? 26 : 16);
        if (c.status != 0) {
            EXPECT_EQ(r.data, triad(serial) + Bytes({c.remaining, 0}));
            continue;
        }
        // O->T id chosen here, T->O id, triad, both packet intervals echoed; no application reply.
        ASSERT_EQ(r.data.size(), 26u);
        EXPECT_NE(rd32(r.data, 0), 0u);
        EXPECT_EQ(rd32(r.data, 4), 0x7E570000u + serial);
        EXPECT_EQ(Bytes(r.data.begin() + 8, r.data.end()),
                  triad(serial) + u32(100000) + u32(100000) + u16(0));
    }
}

TEST_F(SimConnected, ThirtyTwoConnectionsAtMostAndForwardCloseFreesOne) {
    for (uint16_t serial = 1; serial <= 32; ++serial)
        ASSERT_NE(open(0x54, serial, 500), 0u) << serial;
    Reply full = cip(forward_open(0x54, 33, 500));
    EXPECT_EQ(full.status, 0x01);
    EXPECT_EQ(full.extended, (std::vector<uint16_t>{0x0113}));
    Reply closed = cip(forward_close(7));
    EXPECT_EQ(closed.status, 0);
    EXPECT_EQ(closed.data, triad(7) + Bytes(2, 0));
    EXPECT_NE(open(0x54, 33, 500), 0u);
    Reply again = cip(forward_close(7));
    EXPECT_EQ(again.status, 0x01);
    EXPECT_EQ(again.extended, (std::vector<uint16_t>{0x0107}));
    EXPECT_EQ(again.data, triad(7) + Bytes(2, 0));
}

TEST_F(SimConnected, SendUnitDataEchoesSequenceCountsAndAnswersARepeatWithoutActingTwice) {
    uint32_t ot = open(0x54, 1, 500);
    ASSERT_NE(ot, 0u);
    Unit u = unit(ot, 1, req(0x4C, sym("DintTag"), u16(1)));
    EXPECT_EQ(u.status, 0u);
    EXPECT_EQ(u.to_id, 0x7E570001u);
    EXPECT_EQ(u.sequence, 1);
    EXPECT_EQ(u.cip, Bytes({0xCC, 0, 0, 0}) + u16(0xC4) + u32(123456));
    // A write at count 2, another write outside the connection, then count 2 again: the same
    // reply, and the second value stays.
    Bytes write1 = req(0x4D, sym("DintTag"), u16(0xC4) + u16(1) + u32(111));
    EXPECT_EQ(unit(ot, 2, write1).cip, Bytes({0xCD, 0, 0, 0}));
    EXPECT_EQ(cip(req(0x4D, sym("DintTag"), u16(0xC4) + u16(1) + u32(222))).status, 0);
    Unit repeat = unit(ot, 2, write1);
    EXPECT_EQ(repeat.sequence, 2);
    EXPECT_EQ(repeat.cip, Bytes({0xCD, 0, 0, 0}));
    EXPECT_EQ(value("DintTag"), u16(0xC4) + u32(222));
    EXPECT_EQ(unit(ot, 3, req(0x4C, sym("DintTag"), u16(1))).cip,
              Bytes({0xCC, 0, 0, 0}) + u16(0xC4) + u32(222));

    // Unknown ids, another session's connection, a closed connection: status 3, no data.
    EXPECT_EQ(unit(ot + 1000, 4, write1).status, 3u);
    RawClient other(server->port());
    uint32_t other_session = other.open();
    EXPECT_EQ(unit(ot, 4, write1, &other, other_session).status, 3u);
    EXPECT_EQ(cip(forward_close(1)).status, 0);
    EXPECT_EQ(unit(ot, 5, write1).status, 3u);
}

// Every connected service fits the connection: the data item never exceeds the connection size,
// and a 4002-byte connection carries what a 500-byte one must split.
TEST_F(SimConnected, ConnectedRepliesAreSizedToTheirConnection) {
    uint16_t serial = 1;
    for (uint32_t size : {500u, 4002u}) {
        SCOPED_TRACE(size);
        uint32_t ot = open(size > 504 ? 0x5B : 0x54, serial++, size);
        ASSERT_NE(ot, 0u);
        uint16_t seq = 0;
        auto call = [&](const Bytes& request) {
            Unit u = unit(ot, ++seq, request);
            EXPECT_LE(u.item, size);
            return parse(u.cip);
        };
        Reply page = call(req(0x55, cls(0x6B) + inst(0), u16(2) + u16(1) + u16(2)));
        EXPECT_EQ(page.status, size == 500 ? 6 : 0) << "the whole demo scope fits 4002 bytes";
        EXPECT_GT(page.data.size(), size == 500 ? 400u : 500u);
        Reply whole = call(req(0x4C, sym("LargeArray"), u16(300)));
        EXPECT_EQ(whole.status, size == 500 ? 6 : 0);
        EXPECT_EQ(whole.data.size(), size == 500 ? 2u + 492 : 2u + 1200);
        Reply last = call(req(0x52, sym("LargeArray"), u16(300) + u32(1196)));
        EXPECT_EQ(last.status, 0);
        EXPECT_EQ(last.data.size(), 2u + 4);
        Reply tmpl = call(req(0x4C, cls(0x6C) + inst(0x0FCE), u32(0) + u16(1000)));
        EXPECT_EQ(tmpl.status, 0);
        Bytes two_reads = u16(2) + u16(6) + u16(22) + req(0x4C, sym("LargeArray"), u16(200)) +
                          req(0x4C, sym("LargeArray"), u16(200));
        EXPECT_EQ(call(req(0x0A, cls(0x02) + inst(1), two_reads)).status, size == 500 ? 0x11 : 0);
        EXPECT_EQ(call(req(0x01, cls(0x64) + inst(1))).data, u16(10) + text("OrvaneDemo"));
    }
}

TEST_F(SimConnected, TheSmallestConnectionRefusesWhatCannotBeCut) {
    EXPECT_EQ(cip(forward_open(0x54, 1, 7)).extended, (std::vector<uint16_t>{0x0109, 504}));
    uint32_t ot = open(0x54, 2, 9); // a SINT read and no more
    ASSERT_NE(ot, 0u);
    Unit u = unit(ot, 1, req(0x4C, sym("Motor1"), u16(1)));
    EXPECT_EQ(u.cip, Bytes({0xCC, 0, 0x11, 0})) << "one structure element does not fit 9 bytes";
    EXPECT_EQ(unit(ot, 2, req(0x4C, sym("SintTag"), u16(1))).cip, Bytes({0xCC, 0, 0, 0, 0xC2, 0, 0xF4}));
}

TEST_F(SimConnected, IdleConnectionsCloseAndSessionsTakeTheirConnectionsAlong) {
    uint32_t brief = open(0x54, 1, 500, 1000); // 1 ms x 4: idle for 4 ms closes it
    uint32_t lasting = open(0x54, 2, 500);     // 100 ms x 4
    ASSERT_NE(brief, 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(unit(brief, 1, req(0x01, cls(0x01) + inst(1))).status, 3u);
    EXPECT_EQ(unit(lasting, 1, req(0x01, cls(0x01) + inst(1))).status, 0u);

    // UnRegisterSession and a dropped TCP connection both free all 32 places.
    for (int way = 0; way < 2; ++way) {
        RawClient holder(server->port());
        uint32_t s = holder.open();
        for (uint16_t serial = 100; serial < 131; ++serial) {
            Reply r = parse(holder.cip(s, forward_open(0x54, serial, 500)));
            ASSERT_EQ(r.status, 0) << serial;
        }
        EXPECT_EQ(cip(forward_open(0x54, 200, 500)).extended, (std::vector<uint16_t>{0x0113}));
        if (way == 0) {
            holder.send(encap(0x0066, s, {}));
            EXPECT_TRUE(holder.drain().empty());
        } else {
            holder.shutdown_write();
            EXPECT_TRUE(holder.drain().empty());
            while (server->connection_count() > 1)
                std::this_thread::yield(); // the server ends its side once it reads the end
        }
        EXPECT_NE(open(0x54, 200, 500), 0u);
        EXPECT_EQ(cip(forward_close(200)).status, 0);
    }
}

TEST_F(SimConnected, SymbolAndTemplateAttributesInAnyOrder) {
    // All symbol attributes, last first: external access, dimensions, element size, software
    // control, object address, address, type, name.
    Reply r = cip(req(0x55, cls(0x6B) + inst(0),
                      u16(8) + u16(10) + u16(8) + u16(7) + u16(6) + u16(5) + u16(3) + u16(2) + u16(1)));
    ASSERT_TRUE(r.status == 0 || r.status == 6);
    ASSERT_GE(r.data.size(), 40u);
    EXPECT_EQ(r.data[4], 3) << "the first entry is a system entry: no access";
    size_t name_at = 4 + 1 + 12 + 2 + 4 + 4 + 4 + 2;
    std::string first(r.data.begin() + long(name_at + 2),
                      r.data.begin() + long(name_at + 2 + rd16(r.data, name_at)));
    EXPECT_EQ(first, "Map:Local");
    EXPECT_EQ(cip(req(0x55, cls(0x6B) + inst(0), u16(2) + u16(1) + u16(4))).data, Bytes{});
    EXPECT_EQ(cip(req(0x55, cls(0x6B) + inst(0), u16(2) + u16(1) + u16(4))).status, 0x14);
    // Template attributes with their own status each; 3 answers with 16 bits like the others.
    Reply t = cip(
        req(0x03, cls(0x6C) + inst(0x0FCE), u16(6) + u16(5) + u16(3) + u16(1) + u16(2) + u16(4) + u16(9)));
    EXPECT_EQ(t.status, 0x0A);
    EXPECT_EQ(t.data, u16(6) + u16(5) + u16(0) + u32(88) + u16(3) + u16(0) + u16(0x0FCE) + u16(1) + u16(0) +
                          u16(0x0FCE) + u16(2) + u16(0) + u16(2) + u16(4) + u16(0) + u32(16) + u16(9) +
                          u16(0x14));
    // After the STRING template's name: the marker, then 'A' and an access byte per member.
    Reply def = cip(req(0x4C, cls(0x6C) + inst(0x0FCE), u32(0) + u16(40)));
    EXPECT_EQ(std::string(def.data.begin() + 16, def.data.begin() + 28), "STRING;nACAC");
    // MotorStatus (the first declared type): its BOOL host member first, with no access.
    Reply motor = cip(req(0x4C, cls(0x6C) + inst(0x0100), u32(0) + u16(100)));
    ASSERT_GE(motor.data.size(), 56u + 27);
    EXPECT_EQ(std::string(motor.data.begin() + 56, motor.data.begin() + 83), "MotorStatus;nA@ACACACACACAC");
}

TEST_F(SimConnected, WallClockIsReadAndMovedThroughAttributeLists) {
    const Bytes clock = cls(0x8B) + inst(1);
    Reply now = cip(req(0x0E, clock + Bytes{0x30, 0x0B}));
    ASSERT_EQ(now.data.size(), 8u);
    EXPECT_GT(rd32(now.data, 4), 0x50000u) << "microseconds since 1970: after 2014";
    const uint64_t y2k = 946684800000000ull; // 2000-01-01T00:00:00Z
    Reply set = cip(req(0x04, clock, u16(1) + u16(0x0B) + u32(uint32_t(y2k)) + u32(uint32_t(y2k >> 32))));
    EXPECT_EQ(set.status, 0);
    EXPECT_EQ(set.data, u16(1) + u16(0x0B) + u16(0));
    Reply list = cip(req(0x03, clock, u16(3) + u16(5) + u16(7) + u16(0x0B)));
    EXPECT_EQ(list.status, 0x0A) << "attribute 7 is not there";
    ASSERT_EQ(list.data.size(), 2u + 4 + 28 + 4 + 4 + 8);
    EXPECT_EQ(Bytes(list.data.begin(), list.data.begin() + 26),
              u16(3) + u16(5) + u16(0) + u32(2000) + u32(1) + u32(1) + u32(0) + u32(0));
    EXPECT_EQ(Bytes(list.data.begin() + 34, list.data.begin() + 42), u16(7) + u16(0x14) + u16(0x0B) + u16(0));
    EXPECT_EQ(rd32(list.data, 46), uint32_t(y2k >> 32));
    EXPECT_EQ(cip(req(0x04, clock, u16(1) + u16(0x0B) + u16(1))).status, 0x0A) << "value cut short";
    const Bytes single = clock + Bytes{0x30, 0x0B};
    EXPECT_EQ(cip(req(0x10, single, u32(0xFFFFFFFF) + u32(0xFFFFFFFF))).status, 0x09) << "past the year 9999";
    EXPECT_EQ(cip(req(0x10, single, u32(uint32_t(y2k)) + u32(uint32_t(y2k >> 32)))).status, 0);
}

TEST_F(SimConnected, WritesAreReadBackAndCheckedLikeReads) {
    const struct {
        Bytes path, write, read;
    } ok[] = {
        {sym("DintTag"), u16(0xC4) + u16(1) + u32(0xFFFFFFFE), u16(0xC4) + u32(0xFFFFFFFE)},
        {sym("RealTag"), u16(0xCA) + u16(1) + u32(0x40490FDB), u16(0xCA) + u32(0x40490FDB)},
        {sym("BoolTag"), u16(0xC1) + u16(1) + Bytes{0}, u16(0xC1) + Bytes{0}},
        {sym("Motor1") + sym("Enabled"), u16(0xC1) + u16(1) + Bytes{0}, u16(0xC1) + Bytes{0}},
        {sym("Motor1") + sym("Status") + sym("Running"), u16(0xC1) + u16(1) + Bytes{1},
         u16(0xC1) + Bytes{0xFF}},
        {sym("DintArray") + elem8(8), u16(0xC4) + u16(2) + u32(80) + u32(90), u16(0xC4) + u32(80)},
        {sym("Program:MainProgram") + sym("Step"), u16(0xC3) + u16(1) + u16(7), u16(0xC3) + u16(7)},
    };
    for (const auto& c : ok) {
        EXPECT_EQ(cip(req(0x4D, c.path, c.write)).status, 0);
        EXPECT_EQ(cip(req(0x4C, c.path, u16(1))).data, c.read);
    }
    EXPECT_EQ(cip(req(0x4C, sym("DintArray") + elem8(9), u16(1))).data, u16(0xC4) + u32(90));
    EXPECT_EQ(cip(req(0x4C, sym("Motor1") + sym("Status") + sym("Faulted"), u16(1))).data,
              u16(0xC1) + Bytes{0})
        << "the other bits of the host byte stay";
    // A STRING written whole as its structure, then one fragment inside LargeArray.
    Bytes string = u32(2) + text("OK") + Bytes(82, 0);
    EXPECT_EQ(cip(req(0x4D, sym("Greeting"), u16(0x02A0) + u16(0x0FCE) + u16(1) + string)).status, 0);
    EXPECT_EQ(value("Greeting"), u16(0x02A0) + u16(0x0FCE) + string);
    EXPECT_EQ(cip(req(0x53, sym("LargeArray"), u16(0xC4) + u16(300) + u32(1196) + u32(77))).status, 0);
    EXPECT_EQ(cip(req(0x4C, sym("LargeArray") + elem16(299), u16(1))).data, u16(0xC4) + u32(77));

    using P = std::pair<uint8_t, std::vector<uint16_t>>;
    const struct {
        Bytes request;
        P status;
    } bad[] = {
        {req(0x4D, sym("DintTag"), u16(0xCA) + u16(1) + u32(0)), {0xFF, {0x2107}}},
        {req(0x4D, sym("Greeting"), u16(0x02A0) + u16(0x1234) + u16(1) + string), {0xFF, {0x2107}}},
        {req(0x4D, sym("DintArray") + elem8(9), u16(0xC4) + u16(2) + u32(0) + u32(0)), {0xFF, {0x2105}}},
        {req(0x4D, sym("DintTag"), u16(0xC4) + u16(1) + u16(0)), {0x13, {}}},
        {req(0x4D, sym("DintTag"), u16(0xC4) + u16(1) + u32(0) + u16(0)), {0x15, {}}},
        {req(0x4D, sym("DintTag"), u16(0xC4)), {0x13, {}}},
        {req(0x53, sym("LargeArray"), u16(0xC4) + u16(300) + u32(1200) + u32(0)), {0xFF, {0x2105}}},
        {req(0x53, sym("LargeArray"), u16(0xC4) + u16(300) + u32(1198) + u32(0)), {0xFF, {0x2105}}},
        {req(0x4D, sym("NoSuchTag"), u16(0xC4) + u16(1) + u32(0)), {0x04, {}}},
        {req(0x4C, sym("NoSuchTag"), u16(1)), {0x04, {}}},
        {req(0x4C, cls(0x6B) + inst(0xFFFF), u16(1)), {0x05, {}}},
    };
    for (const auto& c : bad) {
        Reply r = cip(c.request);
        EXPECT_EQ(P(r.status, r.extended), c.status) << int(c.request[0]) << " " << int(c.request[3]);
    }
    EXPECT_EQ(value("DintTag"), u16(0xC4) + u32(0xFFFFFFFE)) << "refused writes change nothing";
}

TEST_F(SimConnected, ListIdentityIsAnsweredOverUdpToo) {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(server->port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Bytes ask = encap(0x0063, 0, {});
    ASSERT_EQ(::sendto(fd, ask.data(), ask.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a),
              ssize_t(ask.size()));
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, kSafetyMs), 1);
    uint8_t buf[512];
    ssize_t got = ::recv(fd, buf, sizeof buf, 0);
    ::close(fd);
    Bytes udp(buf, buf + std::max<ssize_t>(got, 0));
    client->send(ask);
    Bytes tcp = client->message();
    EXPECT_EQ(udp, tcp) << "the same answer on both";
    ASSERT_GE(udp.size(), 24u + 6 + 16);
    EXPECT_EQ(rd16(udp, 26), 0x0C);
    EXPECT_EQ(Bytes(udp.begin() + 32, udp.begin() + 40),
              Bytes({0, 2, uint8_t(server->port() >> 8), uint8_t(server->port()), 127, 0, 0, 1}));
    EXPECT_EQ(udp.back(), 3) << "state: operational";
}

} // namespace
