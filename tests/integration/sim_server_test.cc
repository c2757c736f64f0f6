// logix-sim over TCP on loopback: sessions of several clients at once, every fault switch,
// garbage on the socket, shutdown with open connections, and the executable itself.
#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "../unit/sim_testkit.h"
#include "logixsim/server.h"
#include "sim_raw_client.h"

extern char** environ;

using namespace simtest;

namespace {

class SimServer : public ::testing::Test {
protected:
    logixsim::Options options;
    std::unique_ptr<logixsim::Server> server;
    void SetUp() override {
        options.port = 0;
        options.live_interval_ms = 0;
    }
    void start() {
        server = std::make_unique<logixsim::Server>(logixsim::demo_controller(), options);
        server->start();
        ASSERT_NE(server->port(), 0);
    }
    Bytes in_process(const Bytes& request) {
        logixsim::Connection c(logixsim::demo_controller(), options);
        return c.cip(request.data(), request.size());
    }
};

TEST_F(SimServer, AnswersOverTcpExactlyAsInProcess) {
    start();
    RawClient a(server->port()), b(server->port());
    ASSERT_TRUE(a.connected() && b.connected());
    uint32_t sa = a.open(), sb = b.open();
    ASSERT_NE(sa, 0u);
    ASSERT_NE(sb, 0u);
    EXPECT_NE(sa, sb) << "each connection has its own session";
    for (const Bytes& request :
         {req(0x01, cls(0x01) + inst(1)), req(0x55, cls(0x6B) + inst(0), u16(3) + u16(1) + u16(2) + u16(8)),
          req(0x52, sym("LargeArray"), u16(300) + u32(0)),
          req(0x4C, sym("Program:Mixer") + sym("Level"), u16(1))})
        EXPECT_EQ(a.cip(sa, request), in_process(request));
    // A's handle is not B's.
    b.send(encap(0x006F, sa, cpf(req(0x01, cls(0x01) + inst(1)))));
    Bytes r = b.message();
    ASSERT_EQ(r.size(), 24u);
    EXPECT_EQ(rd32(r, 8), 0x64u);
}

TEST_F(SimServer, ServesManyClientsAtOnceWhileValuesMove) {
    start();
    constexpr int kClients = 8;
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    std::thread ticker([&] {
        while (!done)
            server->tick();
    });
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] {
            RawClient c(server->port());
            uint32_t s = c.open();
            if (s == 0) {
                ++failures;
                return;
            }
            Bytes steady = req(0x4C, sym("DintTag"), u16(1));
            Bytes moving = req(0x4C, sym("Program:MainProgram") + sym("Counter"), u16(1));
            Bytes packet = req(0x0A, cls(0x02) + inst(1),
                               u16(2) + u16(6) + u16(uint32_t(6 + steady.size())) + steady + moving);
            for (int k = 0; k < 100; ++k) {
                Bytes r = c.cip(s, (k + i) % 2 ? steady : packet);
                bool ok = (k + i) % 2 ? r == Bytes({0xCC, 0, 0, 0, 0xC4, 0, 0x40, 0xE2, 1, 0})
                                      : r.size() == 4 + 6 + 10 + 10 && r[0] == 0x8A && r[2] == 0;
                failures += ok ? 0 : 1;
            }
        });
    }
    for (auto& t : clients)
        t.join();
    done = true;
    ticker.join();
    EXPECT_EQ(failures, 0);
}

TEST_F(SimServer, RefusedSessionsWrongContextAndWrongCommand) {
    options.faults.refuse_sessions = true;
    start();
    {
        RawClient c(server->port());
        c.send(register_session());
        Bytes r = c.message();
        ASSERT_GE(r.size(), 24u);
        EXPECT_NE(rd32(r, 8), 0u) << "encapsulation status";
        EXPECT_EQ(rd32(r, 4), 0u) << "no handle";
    }
    logixsim::Faults f;
    f.wrong_sender_context = true;
    server->set_faults(f);
    EXPECT_TRUE(server->faults().wrong_sender_context);
    {
        RawClient c(server->port());
        Bytes sent = register_session();
        c.send(sent);
        Bytes r = c.message();
        ASSERT_EQ(r.size(), 28u);
        EXPECT_EQ(rd16(r, 0), 0x0065);
        EXPECT_NE(Bytes(r.begin() + 12, r.begin() + 20), Bytes(sent.begin() + 12, sent.begin() + 20));
    }
    f = {};
    f.wrong_command = true;
    server->set_faults(f);
    {
        RawClient c(server->port());
        Bytes sent = register_session();
        c.send(sent);
        Bytes r = c.message();
        ASSERT_EQ(r.size(), 28u);
        EXPECT_NE(rd16(r, 0), 0x0065);
        EXPECT_EQ(Bytes(r.begin() + 12, r.begin() + 20), Bytes(sent.begin() + 12, sent.begin() + 20));
    }
}

TEST_F(SimServer, ClosesAfterNRequestsOrInTheMiddleOfAReply) {
    options.faults.close_after_requests = 2;
    start();
    {
        RawClient c(server->port());
        uint32_t s = c.open();
        ASSERT_NE(s, 0u) << "the first request is answered";
        c.send(encap(0x006F, s, cpf(req(0x01, cls(0x01) + inst(1)))));
        EXPECT_TRUE(c.drain().empty()) << "the second request ends the connection unanswered";
    }
    logixsim::Faults f;
    f.close_after_requests = 0;
    server->set_faults(f);
    {
        RawClient c(server->port());
        EXPECT_TRUE(c.drain().empty());
    }
    f = {};
    f.close_mid_reply = true;
    server->set_faults(f);
    {
        RawClient c(server->port());
        c.send(register_session());
        Bytes partial = c.drain();
        EXPECT_GT(partial.size(), 0u);
        EXPECT_LT(partial.size(), 28u) << "a whole RegisterSession reply is 28 bytes";
    }
}

TEST_F(SimServer, LimitsChangeOnAnOpenConnection) {
    start();
    RawClient c(server->port());
    uint32_t s = c.open();
    Bytes one = req(0x4C, sym("DintTag"), u16(1));
    Bytes data = u16(4);
    for (int i = 0; i < 4; ++i)
        data += u16(uint32_t(10 + i * one.size()));
    for (int i = 0; i < 4; ++i)
        data += one;
    Bytes packet = req(0x0A, cls(0x02) + inst(1), data);
    EXPECT_EQ(c.cip(s, packet).at(2), 0);
    logixsim::Faults f;
    f.packet_limit = packet.size() - 1;
    f.reply_limit = 60;
    server->set_faults(f);
    EXPECT_EQ(c.cip(s, packet), Bytes({0x8A, 0, 0x1A, 0}));
    Bytes page = c.cip(s, req(0x55, cls(0x6B) + inst(0), u16(3) + u16(1) + u16(2) + u16(8)));
    ASSERT_GE(page.size(), 4u);
    EXPECT_EQ(page[2], 6);
    EXPECT_LE(page.size() - 4, 60u);
}

TEST_F(SimServer, DelayedRepliesDoNotHoldUpStop) {
    options.faults.reply_delay_ms = 600000;
    start();
    RawClient c(server->port());
    c.send(register_session());
    EXPECT_FALSE(c.readable(100)) << "the reply is held back";
    server->stop();
    EXPECT_TRUE(c.drain().empty()) << "stopping closes the connection without the reply";
}

TEST_F(SimServer, SurvivesGarbageAndKeepsServing) {
    start();
    uint64_t seed = 12345;
    auto next = [&] {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        return uint8_t(seed >> 56);
    };
    for (int round = 0; round < 6; ++round) {
        RawClient c(server->port());
        Bytes junk;
        if (round % 2 == 0) {
            for (int i = 0; i < 20000; ++i)
                junk.push_back(next());
        } else {
            // Well-framed messages with random commands and contents, then a header that
            // promises more data than ever comes.
            for (int m = 0; m < 200; ++m) {
                Bytes body;
                for (int k = next() % 64; k > 0; --k)
                    body.push_back(next());
                junk += encap(uint16_t(next() % 2 ? 0x006F : next()), m % 3 ? 0x00010001u : next(), body);
            }
            junk += u16(0x006F) + u16(0xFFFF) + Bytes(20, 0) + Bytes(100, 0xAB);
        }
        c.send(junk);
        c.shutdown_write();
        c.drain();
    }
    RawClient healthy(server->port());
    uint32_t s = healthy.open();
    ASSERT_NE(s, 0u);
    Bytes identity = req(0x01, cls(0x01) + inst(1));
    EXPECT_EQ(healthy.cip(s, identity), in_process(identity));
}

TEST_F(SimServer, UnRegisterSessionAndStopCloseConnections) {
    start();
    RawClient a(server->port());
    uint32_t s = a.open();
    a.send(encap(0x0066, s, {}, 0));
    EXPECT_TRUE(a.drain().empty());

    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 3; ++i) {
        idle.push_back(std::make_unique<RawClient>(server->port()));
        ASSERT_NE(idle.back()->open(), 0u);
    }
    EXPECT_GE(server->connection_count(), 3u);
    server->stop();
    EXPECT_EQ(server->connection_count(), 0u);
    for (auto& c : idle)
        EXPECT_TRUE(c->drain().empty());
    RawClient late(server->port());
    EXPECT_FALSE(late.connected());
}

// Runs the executable with its output in pipes.
struct Child {
    pid_t pid = -1;
    FILE* out = nullptr;
    FILE* err = nullptr;
    explicit Child(std::vector<std::string> args) {
        int o[2], e[2];
        EXPECT_EQ(::pipe(o), 0);
        EXPECT_EQ(::pipe(e), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, o[1], 1);
        posix_spawn_file_actions_adddup2(&fa, e[1], 2);
        posix_spawn_file_actions_addclose(&fa, o[0]);
        posix_spawn_file_actions_addclose(&fa, e[0]);
        args.insert(args.begin(), LOGIX_SIM_EXE);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&pid, LOGIX_SIM_EXE, &fa, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&fa);
        ::close(o[1]);
        ::close(e[1]);
        out = ::fdopen(o[0], "r");
        err = ::fdopen(e[0], "r");
    }
    std::string line(FILE* f) {
        char buf[512];
        return std::fgets(buf, sizeof buf, f) ? std::string(buf) : std::string();
    }
    int wait() {
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    ~Child() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            wait();
        }
        std::fclose(out);
        std::fclose(err);
    }
};

TEST(SimExecutable, PrintsItsPortServesAndStopsOnSigterm) {
    Child sim({"--port", "0", "--live-interval-ms", "0"});
    std::string ready = sim.line(sim.out);
    const std::string prefix = "logix-sim listening on 127.0.0.1:";
    ASSERT_EQ(ready.rfind(prefix, 0), 0u) << ready;
    int port = std::stoi(ready.substr(prefix.size()));
    ASSERT_GT(port, 0);
    RawClient c{uint16_t(port)};
    uint32_t s = c.open();
    ASSERT_NE(s, 0u);
    Bytes r = c.cip(s, req(0x01, cls(0x01) + inst(1)));
    std::string name = demo_json()["identity"]["product_name"];
    EXPECT_NE(std::string(r.begin(), r.end()).find(name), std::string::npos);
    ::kill(sim.pid, SIGTERM);
    EXPECT_EQ(sim.wait(), 0);
    EXPECT_EQ(sim.line(sim.out), "logix-sim stopped\n");
}

TEST(SimExecutable, RefusesABadControllerFileAndWritesGeneratedOnes) {
    auto dir = std::filesystem::temp_directory_path();
    std::string bad = (dir / ("sim_bad_" + std::to_string(::getpid()) + ".json")).string();
    std::ofstream(bad) << R"({"tags": [{"name": "A", "type": "DINT", "value": 1.5}]})";
    {
        Child sim({"--port", "0", bad});
        EXPECT_EQ(sim.wait(), 1);
        std::string message = sim.line(sim.err);
        EXPECT_EQ(message.rfind(bad + ": $.tags[0].value: ", 0), 0u) << message;
        EXPECT_EQ(sim.line(sim.out), "") << "it does not start";
    }
    std::filesystem::remove(bad);
    std::string out = (dir / ("sim_gen_" + std::to_string(::getpid()) + ".json")).string();
    {
        Child gen({"--generate", out, "--tags", "40", "--programs", "2", "--program-tags", "5", "--types",
                   "6", "--depth", "2"});
        EXPECT_EQ(gen.wait(), 0);
    }
    EXPECT_NO_THROW(logixsim::load_controller(out));
    std::filesystem::remove(out);
    Child usage({"--port", "70000"});
    EXPECT_EQ(usage.wait(), 2);
}

} // namespace
