// AppState against the simulator on 127.0.0.1: revision counting, the status during and after
// connects, the PLC type, callPlc in every state, and the lock around it.
#include "AppState.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <logixsim/server.h>
#include <nlohmann/json.hpp>

namespace {

// A loopback TCP listener that accepts but never answers.
struct SilentListener {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    unsigned short port = 0;
    SilentListener() {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(fd, 4) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            throw std::runtime_error("cannot listen on loopback");
        }
        port = ntohs(addr.sin_port);
    }
    ~SilentListener() { ::close(fd); }
};

class AppStateTest : public ::testing::Test {
protected:
    void SetUp() override {
        logixsim::Options options;
        options.host = "127.0.0.1";
        options.port = 0;
        options.live_interval_ms = 0;
        server = std::make_unique<logixsim::Server>(logixsim::demo_controller(), options);
        server->start();
    }
    uint8_t connect() { return state.connect("127.0.0.1", server->port()); }
    // Revision, status and PLC type in one line.
    std::string summary() const {
        return std::to_string(state.connectionRevision()) + (state.getStatus() ? " up " : " down ") +
               state.plcType();
    }

    const std::string demoName = nlohmann::json::parse(logixsim::demo_controller_json())
                                     .at("identity")
                                     .at("product_name")
                                     .get<std::string>();
    std::unique_ptr<logixsim::Server> server;
    AppState state;
};

} // namespace

TEST_F(AppStateTest, RevisionCountsEveryConnectAndDisconnectAndPlcTypeFollowsTheResult) {
    EXPECT_EQ(summary(), "0 down ");
    EXPECT_EQ(connect(), 0);
    EXPECT_EQ(summary(), "1 up " + demoName);
    EXPECT_EQ(connect(), 0); // a connect while connected counts too
    EXPECT_EQ(summary(), "2 up " + demoName);
    state.disconnect();
    EXPECT_EQ(summary(), "3 down " + demoName); // the name of the last successful connect
    // A refused connect clears the type of the earlier success; a disconnect while closed counts.
    server->stop();
    EXPECT_EQ(connect(), ZELKC_LOGIX_ERR_CONNECT_FAILED);
    EXPECT_EQ(summary(), "4 down ");
    state.disconnect();
    EXPECT_EQ(summary(), "5 down ");
}

TEST_F(AppStateTest, StatusIsFalseWhileAConnectIsInProgress) {
    ASSERT_EQ(connect(), 0);
    SilentListener silent;
    std::atomic<int> result{-1};
    std::thread connecting([&] { result = state.connect("127.0.0.1", silent.port); });
    const int peer = ::accept(silent.fd, nullptr, nullptr); // the attempt waits for a reply
    ASSERT_GE(peer, 0);
    EXPECT_FALSE(state.getStatus()); // (the type is not read: the connecting thread may write it)
    EXPECT_EQ(state.connectionRevision(), 2u);
    EXPECT_EQ(result.load(), -1);
    ::close(peer); // the session request goes unanswered: the attempt fails
    connecting.join();
    EXPECT_NE(result.load(), 0);
    EXPECT_EQ(summary(), "2 down ");
}

TEST_F(AppStateTest, CallPlcRunsWhateverTheStateAndAThrowReleasesTheLock) {
    zelkc_logix_client* first = nullptr;
    bool connectedInside = true;
    auto probe = [&](zelkc_logix_client* client) {
        first = first != nullptr ? first : client;
        EXPECT_EQ(client, first) << "one client for the whole life of the state";
        connectedInside = zelkc_logix_client_is_connected(client);
    };
    state.callPlc(probe);
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(connectedInside);
    ASSERT_EQ(connect(), 0);
    state.callPlc(probe);
    EXPECT_TRUE(connectedInside);

    state.disconnect();
    uint8_t browse = 0;
    state.callPlc([&](zelkc_logix_client* client) {
        zelkc_logix_tag_info_list list{};
        browse = zelkc_logix_client_browse_global_tags(client, &list);
        zelkc_logix_tag_info_list_free(&list);
    });
    EXPECT_EQ(browse, ZELKC_LOGIX_ERR_NOT_CONNECTED);

    EXPECT_THROW(state.callPlc([](zelkc_logix_client*) { throw std::runtime_error("task failed"); }),
                 std::runtime_error);
    // Another thread gets the lock (it would wait forever if the lock were still held).
    bool ran = false;
    std::thread([&] { state.callPlc([&](zelkc_logix_client*) { ran = true; }); }).join();
    EXPECT_TRUE(ran);
    EXPECT_EQ(connect(), 0);
}

TEST_F(AppStateTest, ClientUseIsStrictlyOneAtATime) {
    constexpr int kThreads = 4, kCalls = 25;
    std::atomic<int> inside{0}, overlaps{0}, failures{0};
    ASSERT_EQ(connect(), 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                if (t == 0 && i % 10 == 5) { // reconnects interleave with the others' browses
                    failures += connect() != 0;
                    continue;
                }
                state.callPlc([&](zelkc_logix_client* client) {
                    overlaps += inside.fetch_add(1) != 0;
                    zelkc_logix_tag_info_list list{};
                    failures += zelkc_logix_client_browse_global_tags(client, &list) != 0;
                    zelkc_logix_tag_info_list_free(&list);
                    inside.fetch_sub(1);
                });
                (void)state.getStatus(); // a lock-free reader on the side
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(summary(), "3 up " + demoName); // the first connect and two reconnects
}
