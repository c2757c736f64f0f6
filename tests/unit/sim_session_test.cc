// The encapsulation layer of one connection, fed as a byte stream: sessions, SendRRData with
// the Common Packet Format, stream reassembly and the encapsulation error statuses.
#include "logixsim/server.h"
#include "sim_testkit.h"

using namespace simtest;

namespace {

struct Header {
    uint16_t command, length;
    uint32_t session, status;
    Bytes context;
    uint32_t options;
    Bytes data;
};

// Splits a stream of replies into messages, failing on a truncated one.
std::vector<Header> split(const Bytes& stream) {
    std::vector<Header> out;
    size_t at = 0;
    while (at < stream.size()) {
        EXPECT_GE(stream.size() - at, 24u);
        if (stream.size() - at < 24)
            break;
        Header h;
        h.command = rd16(stream, at);
        h.length = rd16(stream, at + 2);
        h.session = rd32(stream, at + 4);
        h.status = rd32(stream, at + 8);
        h.context.assign(stream.begin() + long(at + 12), stream.begin() + long(at + 20));
        h.options = rd32(stream, at + 20);
        EXPECT_GE(stream.size() - at - 24, h.length);
        h.data.assign(stream.begin() + long(at + 24),
                      stream.begin() + long(std::min(stream.size(), at + 24 + h.length)));
        out.push_back(h);
        at += 24 + h.length;
    }
    return out;
}

class SimSession : public ::testing::Test {
protected:
    logixsim::Connection conn{logixsim::demo_controller()};
    std::vector<Header> feed(const Bytes& b) { return split(conn.feed(b.data(), b.size())); }
    uint32_t open() {
        auto r = feed(register_session());
        EXPECT_EQ(r.size(), 1u);
        return r.empty() ? 0 : r[0].session;
    }
};

const Bytes kContext = u32(0x55667788) + u32(0x11223344);

TEST_F(SimSession, RegisterSessionAnswersVersionOneWithAHandleAndTheSameContext) {
    auto r = feed(register_session());
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].command, 0x0065);
    EXPECT_EQ(r[0].length, 4);
    EXPECT_NE(r[0].session, 0u);
    EXPECT_EQ(r[0].status, 0u);
    EXPECT_EQ(r[0].context, kContext);
    EXPECT_EQ(r[0].options, 0u);
    EXPECT_EQ(r[0].data, Bytes({1, 0, 0, 0}));
    // One session per connection: a second registration is refused, the first stays valid.
    auto again = feed(register_session());
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].status, 0x0001u);
    Bytes read = cpf(req(0x4C, sym("DintTag"), u16(1)));
    auto still = feed(encap(0x006F, r[0].session, read));
    ASSERT_EQ(still.size(), 1u);
    EXPECT_EQ(still[0].status, 0u);
}

TEST_F(SimSession, SendRRDataCarriesTheCipReplyInAnUnconnectedDataItem) {
    uint32_t session = open();
    Bytes read = req(0x4C, sym("DintTag"), u16(1));
    auto r = feed(encap(0x006F, session, cpf(read), 42));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].command, 0x006F);
    EXPECT_EQ(r[0].session, session);
    EXPECT_EQ(r[0].status, 0u);
    EXPECT_EQ(r[0].context, u32(42) + u32(0));
    Bytes cip = conn.cip(read.data(), read.size());
    EXPECT_EQ(r[0].data,
              u32(0) + u16(0) + u16(2) + u16(0) + u16(0) + u16(0xB2) + u16(uint32_t(cip.size())) + cip);
    EXPECT_EQ(cip, Bytes({0xCC, 0, 0, 0}) + u16(0xC4) + u32(123456));
}

TEST_F(SimSession, MessagesAreReassembledFromAnySplitOfTheStream) {
    uint32_t session = 0x00010001; // the first handle of a fresh controller
    Bytes stream = register_session() + encap(0x006F, session, cpf(req(0x01, cls(0x01) + inst(1)))) +
                   encap(0x006F, session, cpf(req(0x4C, sym("IntTag"), u16(1))));
    Bytes whole = conn.feed(stream.data(), stream.size());
    ASSERT_EQ(split(whole).size(), 3u);
    ASSERT_EQ(split(whole)[0].session, session);
    logixsim::Connection bytewise(logixsim::demo_controller());
    Bytes dribbled;
    for (uint8_t b : stream) {
        Bytes out = bytewise.feed(&b, 1);
        dribbled.insert(dribbled.end(), out.begin(), out.end());
    }
    EXPECT_EQ(dribbled, whole);
}

TEST_F(SimSession, BadRequestsGetEncapsulationErrorStatuses) {
    auto status = [&](const Bytes& message) {
        auto r = feed(message);
        EXPECT_EQ(r.size(), 1u);
        return r.empty() ? 0xDEADu : r[0].status;
    };
    Bytes read = cpf(req(0x4C, sym("DintTag"), u16(1)));
    EXPECT_EQ(status(encap(0x006F, 0, read)), 0x64u) << "no session yet";
    uint32_t session = open();
    EXPECT_EQ(status(encap(0x006F, session + 1, read)), 0x64u) << "foreign handle";
    EXPECT_EQ(status(encap(0x0099, session, {})), 0x01u) << "unknown command";
    EXPECT_EQ(status(encap(0x0070, session, {})), 0x03u) << "SendUnitData without its items";
    EXPECT_EQ(status(encap(0x006F, session, Bytes{0, 0, 0})), 0x03u) << "CPF cut short";
    Bytes iface = read;
    iface[0] = 1;
    EXPECT_EQ(status(encap(0x006F, session, iface)), 0x03u) << "interface handle must be 0";
    Bytes past = read;
    past[14] = 0xFF; // unconnected item length beyond the data
    EXPECT_EQ(status(encap(0x006F, session, past)), 0x03u);
    EXPECT_EQ(status(encap(0x006F, session, u32(0) + u16(0) + u16(1) + u16(0) + u16(0))), 0x03u)
        << "no unconnected data item";
    EXPECT_EQ(status(encap(0x006F, session, read + Bytes{0})), 0x03u) << "bytes after the items";
    Bytes options = encap(0x006F, session, read);
    options[20] = 1;
    EXPECT_EQ(status(options), 0x03u);

    logixsim::Connection fresh(logixsim::demo_controller());
    auto fresh_status = [&](const Bytes& m) {
        auto r = split(fresh.feed(m.data(), m.size()));
        return r.empty() ? 0xDEADu : r[0].status;
    };
    EXPECT_EQ(fresh_status(encap(0x0065, 0, {1, 0})), 0x65u) << "RegisterSession data of 2 bytes";
    EXPECT_EQ(fresh_status(encap(0x0065, 0, {2, 0, 0, 0})), 0x69u) << "protocol version 2";
    // After those refusals a proper registration still works.
    EXPECT_EQ(fresh_status(register_session()), 0u);
}

TEST_F(SimSession, UnRegisterSessionEndsTheConnectionWithoutAReply) {
    uint32_t session = open();
    auto wrong = feed(encap(0x0066, session + 7, {}));
    ASSERT_EQ(wrong.size(), 1u) << "another session's handle is answered, not obeyed";
    EXPECT_EQ(wrong[0].status, 0x64u);
    EXPECT_FALSE(conn.closed());
    Bytes after = encap(0x006F, session, cpf(req(0x4C, sym("DintTag"), u16(1))));
    Bytes both = encap(0x0066, session, {}, 0) + after;
    EXPECT_TRUE(conn.feed(both.data(), both.size()).empty()) << "nothing after UnRegisterSession is answered";
    EXPECT_TRUE(conn.closed());
}

} // namespace
