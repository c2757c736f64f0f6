// logix-sim over TCP on loopback: sessions of several clients at once, every fault switch,
// garbage on the socket, shutdown with open connections, and the executable itself.
#include <atomic>
#include <filesystem>
#include <sys/wait.h>
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
        c.send(register_session());
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
    std::vector<uint32_t> sessions(8);
    const Bytes both = packet(kDint, req(0x4C, sym("Program:MainProgram") + sym("Counter"), u16(1)));
    const std::string two = "8a 00 00 00 02 00 06 00 10 00 " + kDintReply + " cc 00 00 00 c4 00 xx xx xx xx";
    for (size_t i = 0; i < 8; ++i) {
        clients.emplace_back([&, i] {
            RawClient c(server.port());
            sessions[i] = c.open();
            for (size_t k = 0; k < 100; ++k) {
                std::string r = hex(c.cip(sessions[i], (k + i) % 2 ? kDint : both));
                failures += (k + i) % 2 ? r != kDintReply : masked(r, two) != two;
            }
        });
    }
    for (auto& t : clients)
        t.join();
    done = true;
    ticker.join();
    EXPECT_EQ(failures, 0);
    std::sort(sessions.begin(), sessions.end());
    EXPECT_EQ(std::unique(sessions.begin(), sessions.end()) - sessions.begin(), 8) << "a session each";
    RawClient a(server.port()), b(server.port());
    uint32_t sa = a.open();
    b.open();
    b.send(encap(0x006F, sa, cpf(kDint)));
    EXPECT_EQ(rd32(b.message(), 8), 0x64u) << "A's handle is not B's";
}

TEST_F(SimServer, FaultSwitchesApplyToTheRequestsAfterThem) {
    set([](logixsim::Faults& f) { f.refuse_sessions = true; });
    EXPECT_EQ(first_reply(""), "65 00 04 00 00 00 00 00 02 00 00 00" + kRegistered.substr(35));
    set([](logixsim::Faults& f) { f.wrong_sender_context = true; });
    EXPECT_TRUE(server.faults().wrong_sender_context);
    EXPECT_EQ(first_reply(), kRegistered.substr(0, 36) + "89" + kRegistered.substr(38));
    set([](logixsim::Faults& f) { f.wrong_command = true; });
    EXPECT_EQ(first_reply(), "66" + kRegistered.substr(2));
    set([](logixsim::Faults& f) { f.close_mid_reply = true; });
    EXPECT_EQ(first_reply(), kRegistered.substr(0, 14 * 3 - 1));
    set([](logixsim::Faults& f) { f.close_after_requests = 0; });
    EXPECT_EQ(first_reply(), "");
    set([](logixsim::Faults& f) { f.close_after_requests = 2; });
    RawClient c(server.port());
    uint32_t s = c.open();
    ASSERT_NE(s, 0u) << "the first request is answered";
    c.send(encap(0x006F, s, cpf(kDint)));
    EXPECT_TRUE(c.drain().empty()) << "the second request ends the connection unanswered";

    // Limits change on an open connection.
    set([](logixsim::Faults&) {});
    RawClient d(server.port());
    s = d.open();
    const Bytes two = packet(kDint, kDint), motor_status = req(0x03, cls(0x6C) + inst(0x0100), u16(1) + u16(4));
    EXPECT_EQ(hex(d.cip(s, two)), "8a 00 00 00 02 00 06 00 10 00 " + kDintReply + " " + kDintReply);
    EXPECT_EQ(hex(d.cip(s, motor_status)), "83 00 00 00 01 00 04 00 00 00 2d 00 00 00");
    set([](logixsim::Faults& f) {
        f.packet_limit = 39; // one byte less than the packet
        f.reply_limit = 60;
        f.refused_templates = {"MotorStatus"};
    });
    EXPECT_EQ(hex(d.cip(s, two)), "8a 00 1a 00");
    EXPECT_EQ(hex(d.cip(s, motor_status)), "83 00 05 00");
    Bytes page = d.cip(s, req(0x55, cls(0x6B) + inst(0), u16(3) + u16(1) + u16(2) + u16(8)));
    EXPECT_EQ(page.at(2), 6);
    EXPECT_LE(page.size() - 4, 60u);
}

TEST_F(SimServer, SurvivesGarbageAndStopsWithConnectionsOpen) {
    uint64_t seed = 12345;
    auto next = [&] { return uint8_t((seed = seed * 6364136223846793005ull + 1442695040888963407ull) >> 56); };
    for (int round = 0; round < 4; ++round) {
        // Random bytes, or well-framed messages with random commands and contents; then a header
        // that promises more data than ever comes.
        Bytes junk;
        for (int m = 0; m < 200; ++m)
            junk = junk + (round % 2 ? encap(uint16_t(next() % 2 ? 0x006F : next()), m % 3 ? 0x00010001u : next(),
                                             Bytes(next() % 64, next()))
                                     : Bytes(100, next()));
        RawClient c(server.port());
        c.send(junk + u16(0x006F) + u16(0xFFFF) + Bytes(120, 0xAB));
        c.shutdown_write();
        c.drain();
    }
    set([](logixsim::Faults& f) { f.reply_delay_ms = 600000; });
    RawClient held(server.port());
    held.send(register_session());
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 2; ++i)
        idle.emplace_back(std::make_unique<RawClient>(server.port()));
    while (server.connection_count() < 3)
        std::this_thread::yield();
    server.stop();
    EXPECT_EQ(server.connection_count(), 0u);
    EXPECT_TRUE(held.drain().empty()) << "stopping does not wait for a delayed reply";
    for (auto& c : idle)
        EXPECT_TRUE(c->drain().empty());
    EXPECT_FALSE(RawClient(server.port()).connected());
}

// The executable's exit status and what it writes (both streams).
std::pair<int, std::string> run(const std::string& args) {
    FILE* f = ::popen((std::string(LOGIX_SIM_EXE) + " " + args + " 2>&1").c_str(), "r");
    std::string text;
    for (char buf[512]; std::fgets(buf, sizeof buf, f);)
        text += buf;
    int status = ::pclose(f);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

TEST(SimExecutable, RefusesBadFilesAndOptionsAndWritesGeneratedControllers) {
    const std::string file = std::filesystem::temp_directory_path() / ("sim_exe_" + std::to_string(::getpid()));
    std::ofstream(file) << R"({"tags": [{"name": "A", "type": "DINT", "value": 1.5}]})";
    auto [code, text] = run("--port 0 " + file);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(text.rfind(file + ": $.tags[0].value: ", 0), 0u) << text;
    EXPECT_EQ(run("--generate " + file + " --tags 40 --programs 2 --program-tags 5 --types 6").first, 0);
    EXPECT_NO_THROW(logixsim::load_controller(file));
    std::filesystem::remove(file);
    EXPECT_EQ(run("--port 70000").first, 2);
}

} // namespace
