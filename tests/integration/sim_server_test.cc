// logix-sim over TCP on loopback: sessions of several clients at once, every fault switch,
// garbage on the socket, shutdown with open connections.
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#endif

#include <atomic>
#include <thread>

#include "sim_raw_client.h"

using namespace simtest;

namespace {

const Bytes kDint = req(0x4C, sym("DintTag"), u16(1));
const std::string kDintReply = "cc 00 00 00 c4 00 40 e2 01 00";
const std::string kRegistered = "65 00 04 00 xx xx xx xx 00 00 00 00 88 77 66 55 44 33 22 11 00 00 00 00 01 00 00 00";

Bytes packet(const Bytes& a, const Bytes& b) {
    return req(0x0A, cls(0x02) + inst(1), u16(2) + u16(6) + u16(6 + uint32_t(a.size())) + a + b);
}

struct SimServer : SimFixture {
    void set(void (*change)(logixsim::Faults&)) {
        logixsim::Faults f;
        change(f);
        server.set_faults(f);
    }
    // What a new connection receives for a RegisterSession, in hex, "xx" where `want` has it.
    std::string first_reply(const std::string& want = kRegistered) {
        RawClient c(server.port());
        c.send(kRegisterSession);
        return masked(hex(c.recv(28)), want);
    }
};

// Each client in its own session, a packet of a steady and a moving value, while values tick.
TEST_F(SimServer, ServesManyClientsAtOnceWhileValuesMove) {
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    std::thread ticker([&] {
        while (!done)
            server.tick();
    });
    std::vector<std::thread> clients;
    const Bytes both = packet(kDint, req(0x4C, sym("Program:MainProgram") + sym("Counter"), u16(1)));
    const std::string two = "8a 00 00 00 02 00 06 00 10 00 " + kDintReply + " cc 00 00 00 c4 00 xx xx xx xx";
    for (size_t i = 0; i < 8; ++i) {
        clients.emplace_back([&, i] {
            RawClient c(server.port());
            for (size_t k = 0, s = c.open(); k < 100; ++k) {
                std::string r = hex(c.cip(uint32_t(s), (k + i) % 2 ? kDint : both));
                failures += (k + i) % 2 ? r != kDintReply : masked(r, two) != two;
            }
        });
    }
    for (auto& t : clients)
        t.join();
    done = true;
    ticker.join();
    EXPECT_EQ(failures, 0);
}

TEST_F(SimServer, FaultSwitchesApplyToTheRequestsAfterThem) {
    // Limits change on an open connection; the other switches on new ones.
    const Bytes two = packet(kDint, kDint), motor_status = req(0x03, cls(0x6C) + inst(0x0100), u16(1) + u16(4));
    EXPECT_EQ(ask(two), "8a 00 00 00 02 00 06 00 10 00 " + kDintReply + " " + kDintReply);
    EXPECT_EQ(ask(motor_status), "83 00 00 00 01 00 04 00 00 00 2d 00 00 00");
    set([](logixsim::Faults& f) {
        f.packet_limit = 39; // one byte less than the packet
        f.reply_limit = 60;
        f.refused_templates = {"MotorStatus"};
    });
    EXPECT_EQ(ask(two), "8a 00 1a 00");
    EXPECT_EQ(ask(motor_status), "83 00 05 00");
    const Bytes page = client->cip(session, req(0x55, cls(0x6B) + inst(0), u16(1) + u16(1)));
    EXPECT_EQ(hex(page).substr(0, 11), "d5 00 06 00");
    EXPECT_LE(page.size(), 64u);
    set([](logixsim::Faults& f) { f.refuse_sessions = true; });
    EXPECT_EQ(first_reply(""), "65 00 04 00 00 00 00 00 02 00 00 00" + kRegistered.substr(35));
    set([](logixsim::Faults& f) { f.wrong_sender_context = true; });
    EXPECT_EQ(first_reply(), kRegistered.substr(0, 36) + "89" + kRegistered.substr(38));
    set([](logixsim::Faults& f) { f.wrong_command = true; });
    EXPECT_EQ(first_reply(), "66" + kRegistered.substr(2));
    set([](logixsim::Faults& f) { f.close_mid_reply = true; });
    EXPECT_EQ(first_reply(), kRegistered.substr(0, 14 * 3 - 1));
    set([](logixsim::Faults& f) { f.close_after_requests = 0; });
    EXPECT_EQ(first_reply(), "");
    // The quirks of other devices: no Multiple Service Packet; STRINGs in a CIP form, in fragments.
    set([](logixsim::Faults& f) { f.no_multiple_service = true; });
    EXPECT_EQ(ask(two), "8a 00 08 00");
    set([](logixsim::Faults& f) { f.strings = logixsim::Faults::Strings::Short, f.reply_limit = 8; });
    EXPECT_EQ(ask(req(0x52, sym("Greeting"), u16(1) + u32(6))), "d2 00 06 00 da 00 2c 20 4f 72 76 61");
    set([](logixsim::Faults& f) { f.close_after_requests = 2; });
    RawClient c(server.port());
    uint32_t s = c.open();
    ASSERT_NE(s, 0u) << "the first request is answered";
    c.send(encap(0x006F, s, cpf(kDint)));
    EXPECT_TRUE(c.drain().empty()) << "the second request ends the connection unanswered";
}

TEST_F(SimServer, SurvivesGarbageAndStopsWithConnectionsOpen) {
    // Messages of unknown commands and foreign sessions, then a header promising more than comes.
    RawClient c(server.port());
    for (uint16_t command = 0; command < 0x100; command += 3)
        c.send(encap(command, command, Bytes(command % 64, uint8_t(command))));
    c.send(u16(0x006F) + u16(0xFFFF) + Bytes(120, 0xAB));
    c.shutdown_write();
    c.drain();
    EXPECT_EQ(ask(kDint), kDintReply);
    set([](logixsim::Faults& f) { f.reply_delay_ms = 600000; });
    RawClient held(server.port());
    held.send(kRegisterSession);
    while (server.connection_count() < 2)
        std::this_thread::yield();
    server.stop();
    EXPECT_EQ(server.connection_count(), 0u);
    EXPECT_TRUE(held.drain().empty()) << "stopping does not wait for a delayed reply";
    EXPECT_TRUE(client->drain().empty()) << "nor for an idle connection";
    EXPECT_FALSE(RawClient(server.port()).connected());
}

#ifndef _WIN32 // the shell and SIGTERM: the Windows stage sends logix-sim.exe a console Ctrl-C instead
// The executable's command line: a value out of an option's range is a usage error (exit 2, nothing
// served), never cut to fit; SIGTERM ends a serving simulator with status 0.
TEST(SimCommandLine, RangesAreCheckedAndSigtermEndsCleanly) {
    const std::string exe = std::string("'") + LOGIX_SIM_EXE + "'";
    for (const char* args : {"--port 70000", "--port 65536", "--port -1", "--slot 256", "--slot -1",
                             "--reply-limit 0", "--strings utf8", "--connected-reply-id x"}) {
        // `timeout` only ends a simulator that wrongly started serving (it then exits 0).
        EXPECT_EQ(std::system(("timeout 30 " + exe + " " + args + " >/dev/null 2>&1").c_str()), 2 << 8) << args;
    }
    const int status = std::system(("rm -f sim_cli.out; " + exe +
                                    " --port 0 --no-multiple-service >sim_cli.out & p=$!; "
                                    "until grep -q listening sim_cli.out || ! kill -0 $p; do :; done; "
                                    "kill -TERM $p; wait $p")
                                       .c_str());
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
}
#endif

} // namespace

namespace {

// A connection that registers no session and sends nothing (or half a header) for the idle time is
// closed, and counted; one with a session, idle for longer (it was opened first), still answers.
TEST(SimLimits, IdleConnectionsWithoutASessionAreClosedAndSessionsStay) {
    logixsim::Server server{logixsim::demo_controller(), logixsim::Options{"127.0.0.1", 0, 0, {}, 0, 50}};
    server.start();
    RawClient with_session(server.port());
    const uint32_t session = with_session.open();
    ASSERT_NE(session, 0u);
    RawClient silent(server.port()), partial(server.port());
    partial.send(Bytes(10, 0x65));
    EXPECT_TRUE(silent.drain().empty());
    EXPECT_TRUE(partial.drain().empty());
    EXPECT_EQ(server.idle_closes(), 2u);
    EXPECT_EQ(hex(with_session.cip(session, kDint)), kDintReply);
}

#ifndef _WIN32 // a descriptor limit is POSIX's (setrlimit): Windows has none to lower
// Out of descriptors: the accept fails, and the listener rests (every failure is followed by a pause,
// so the acceptor does not spin) while the connection already open is served; once a descriptor is
// free the waiting client is accepted and registers.
TEST(SimLimits, OutOfDescriptorsTheListenerRestsAndOpenConnectionsAreServed) {
    logixsim::Server server{logixsim::demo_controller(), logixsim::Options{"127.0.0.1", 0, 0, {}, 0}};
    server.start();
    RawClient open(server.port());
    const uint32_t session = open.open();
    ASSERT_NE(session, 0u);
    const int waiting = ::socket(AF_INET, SOCK_STREAM, 0);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    // The lowest free descriptor number becomes the limit: no new descriptor can be made.
    const int lowest = ::dup(0);
    ::close(lowest);
    rlimit none = saved;
    none.rlim_cur = rlim_t(lowest);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    sockaddr_in a{AF_INET, htons(server.port()), {htonl(INADDR_LOOPBACK)}, {}};
    const bool connected = ::connect(waiting, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    while (server.accept_failures() < 3)
        std::this_thread::yield();
    const std::string reply = hex(open.cip(session, kDint));
    const uint64_t failures = server.accept_failures(), pauses = server.accept_pauses();
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_TRUE(connected);
    EXPECT_EQ(reply, kDintReply);
    EXPECT_LE(failures - pauses, 1u) << failures << " failed accepts, " << pauses << " pauses";
    ::send(waiting, kRegisterSession.data(), kRegisterSession.size(), MSG_NOSIGNAL);
    pollfd p{waiting, POLLIN, 0};
    uint8_t got[28] = {};
    EXPECT_EQ(::poll(&p, 1, kSafetyMs), 1);
    EXPECT_EQ(::recv(waiting, got, sizeof got, MSG_WAITALL), 28);
    ::close(waiting);
}

#endif

} // namespace
