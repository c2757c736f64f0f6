// The encapsulation layer of one connection, fed as a byte stream: sessions, SendRRData with
// the Common Packet Format, stream reassembly and the encapsulation error statuses.
#include "handler.h"
#include "logixsim/server.h"
#include "sim_testkit.h"

using namespace simtest;

namespace {

constexpr uint32_t kSession = 0x00010001; // the first handle of a fresh controller
const std::string kContext = "88 77 66 55 44 33 22 11";

// Header of a reply: command, length, session handle, status, the request's context, options 0.
std::string header(const char* command_and_length, uint32_t session, uint32_t status) {
    return std::string(command_and_length) + " " + hex(u32(session) + u32(status)) + " " + kContext + " 00 00 00 00";
}

struct SimSession : ::testing::Test {
    logixsim::Connection conn{logixsim::demo_controller()};
    std::string feed(const Bytes& b) { return hex(conn.feed(b.data(), b.size())); }
};

TEST_F(SimSession, SessionsAndRequestsAreAnsweredMessageByMessage) {
    const Bytes read = req(0x4C, sym("DintTag"), u16(1)), cpf_read = cpf(read);
    const std::string rr_reply = " 00 00 00 00 00 00 02 00 00 00 00 00 b2 00 0a 00 cc 00 00 00 c4 00 40 e2 01 00";
    const std::pair<Bytes, std::string> script[] = {
        {encap(0x006F, 0, cpf_read), header("6f 00 00 00", 0, 0x64)}, // no session yet
        {encap(0x0065, 0, {1, 0}), header("65 00 00 00", 0, 0x65)},
        {encap(0x0065, 0, {1, 0, 0, 0, 0, 0}), header("65 00 00 00", 0, 0x65)},
        {encap(0x0065, 0, {2, 0, 0, 0}), header("65 00 04 00", 0, 0x69) + " 01 00 00 00"},
        {encap(0x0065, 0, {1, 0, 1, 0}), header("65 00 04 00", 0, 0x03) + " 01 00 00 00"},
        {kRegisterSession, header("65 00 04 00", kSession, 0) + " 01 00 00 00"},
        {kRegisterSession, header("65 00 04 00", kSession, 0x01) + " 01 00 00 00"}, // one per connection
        {encap(0x006F, kSession, cpf_read), header("6f 00 1a 00", kSession, 0) + rr_reply},
        {encap(0x006F, kSession + 1, cpf_read), header("6f 00 00 00", kSession + 1, 0x64)},
        {encap(0x0099, kSession, {}), header("99 00 00 00", kSession, 0x01)},
        {encap(0x0070, kSession, {}), header("70 00 00 00", kSession, 0x03)},
        {encap(0x006F, kSession, Bytes{0, 0, 0}), header("6f 00 00 00", kSession, 0x03)},
        {encap(0x006F, kSession, Bytes{1} + Bytes(cpf_read.begin() + 1, cpf_read.end())),
         header("6f 00 00 00", kSession, 0x03)}, // interface handle other than 0
        {encap(0x006F, kSession, cpf(read) + Bytes{0}), header("6f 00 00 00", kSession, 0x03)},
        {encap(0x006F, kSession, u32(0) + u16(0) + u16(2) + u16(0) + u16(0) + u16(0xB2) + u16(0xFF) + read),
         header("6f 00 00 00", kSession, 0x03)}, // item length beyond the data
        {encap(0x006F, kSession, u32(0) + u16(0) + u16(1) + u16(0) + u16(0)), header("6f 00 00 00", kSession, 0x03)},
        {encap(0x0066, kSession + 7, {}), header("66 00 00 00", kSession + 7, 0x64)},
        {encap(0x0000, kSession, {1, 2}), ""}, // NOP: never answered
    };
    Bytes stream;
    std::string replies;
    for (const auto& [request, reply] : script) {
        EXPECT_EQ(feed(request), reply) << hex(request);
        stream = stream + request;
        replies += (replies.empty() || reply.empty() ? "" : " ") + reply;
    }
    // Messages are reassembled from any split of the stream: the same replies a byte at a time.
    logixsim::Connection bytewise(logixsim::demo_controller());
    Bytes dribbled;
    for (uint8_t b : stream)
        dribbled = dribbled + bytewise.feed(&b, 1);
    EXPECT_EQ(hex(dribbled), replies);
    Bytes options = encap(0x006F, kSession, cpf_read);
    options[20] = 1;
    EXPECT_EQ(feed(options), header("6f 00 00 00", kSession, 0x03));
    // UnRegisterSession ends the connection without a reply; nothing after it is answered.
    EXPECT_EQ(feed(encap(0x0066, kSession, {}) + encap(0x006F, kSession, cpf_read)), "");
    EXPECT_TRUE(conn.closed());
}

// The idle rule on the simulator's own clock: a connection is closed once it has gone a whole
// time-out (1000 us here) without a request, so one kept busy outlives its time-out many times over.
TEST(SimConnectionTable, TrafficKeepsAConnectionOpenAndSilenceClosesIt) {
    int64_t now = 0;
    logixsim::detail::ConnectionTable table([&now] { return now; });
    logixsim::detail::CipConnection busy{0, 0, 1, 0, 0, 7, 0, 0, 1000}, quiet{0, 0, 2, 0, 0, 7, 0, 0, 1000};
    ASSERT_EQ(table.open(busy) + table.open(quiet), 0);
    logixsim::detail::ConnectionTable::Use use;
    std::string open;
    for (int64_t at : {900, 1800, 2700, 3600, 4500, 5400, 6300, 7200, 8100, 9000, 10000, 11001}) { // busy only
        now = at;
        open += std::to_string(table.use(busy.ot_id, 7, uint16_t(at), use)) + std::to_string(table.size()) + " ";
    }
    EXPECT_EQ(open, "12 11 11 11 11 11 11 11 11 11 11 00 ") << "exactly the time-out is not past it";
}

} // namespace
