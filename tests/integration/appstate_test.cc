// AppState against the simulator on 127.0.0.1: revision counting, the status during and after
// connects, the PLC type, callPlc in every state, and the lock around it.
#include "AppState.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <logixsim/server.h>
#include <nlohmann/json.hpp>

namespace {

// A loopback TCP listener that accepts but never answers: a connect to it stays in progress
// until the test closes the accepted socket.
class SilentListener {
public:
    SilentListener() {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        socklen_t len = sizeof addr;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(fd, 4) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            throw std::runtime_error("cannot listen on loopback");
        }
        port = ntohs(addr.sin_port);
    }
    ~SilentListener() { closeListener(); }
    int acceptOne() { return ::accept(fd, nullptr, nullptr); }
    void closeListener() {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
    unsigned short port = 0;

private:
    int fd = -1;
};

std::string demoProductName() {
    std::ifstream in(DEMO_CONTROLLER_JSON);
    return nlohmann::json::parse(in).at("identity").at("product_name").get<std::string>();
}

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

    // A loopback port on which nothing listens: connecting is refused.
    static unsigned short closedPort() {
        SilentListener listener;
        const unsigned short port = listener.port;
        listener.closeListener();
        return port;
    }

    std::unique_ptr<logixsim::Server> server;
    AppState state;
};

} // namespace

TEST_F(AppStateTest, RevisionCountsEveryConnectAndDisconnect) {
    EXPECT_EQ(state.connectionRevision(), 0u);
    EXPECT_FALSE(state.getStatus());
    EXPECT_EQ(state.plcType(), "");

    EXPECT_EQ(state.connect("127.0.0.1", server->port()), 0);
    EXPECT_EQ(state.connectionRevision(), 1u);
    EXPECT_TRUE(state.getStatus());
    EXPECT_EQ(state.plcType(), demoProductName());

    // Two connects in a row: +2.
    EXPECT_EQ(state.connect("127.0.0.1", server->port()), 0);
    EXPECT_EQ(state.connectionRevision(), 2u);
    EXPECT_TRUE(state.getStatus());

    state.disconnect();
    EXPECT_EQ(state.connectionRevision(), 3u);
    EXPECT_FALSE(state.getStatus());

    // A failed connect and a disconnect of a closed connection count too.
    const uint8_t refused = state.connect("127.0.0.1", closedPort());
    EXPECT_NE(refused, 0);
    EXPECT_EQ(refused, ZELKC_LOGIX_ERR_CONNECT_FAILED);
    EXPECT_EQ(state.connectionRevision(), 4u);
    EXPECT_FALSE(state.getStatus());
    state.disconnect();
    EXPECT_EQ(state.connectionRevision(), 5u);
    EXPECT_FALSE(state.getStatus());
}

TEST_F(AppStateTest, FailedConnectAfterSuccessClearsThePlcType) {
    ASSERT_EQ(state.connect("127.0.0.1", server->port()), 0);
    ASSERT_EQ(state.plcType(), demoProductName());

    logixsim::Faults faults;
    faults.refuse_sessions = true;
    server->set_faults(faults);
    EXPECT_NE(state.connect("127.0.0.1", server->port()), 0);
    EXPECT_FALSE(state.getStatus());
    EXPECT_EQ(state.plcType(), "");

    server->set_faults(logixsim::Faults());
    EXPECT_EQ(state.connect("127.0.0.1", server->port()), 0);
    EXPECT_EQ(state.plcType(), demoProductName());
}

TEST_F(AppStateTest, StatusIsFalseWhileAConnectIsInProgress) {
    ASSERT_EQ(state.connect("127.0.0.1", server->port()), 0);
    ASSERT_TRUE(state.getStatus());
    const uint64_t before = state.connectionRevision();

    SilentListener silent;
    std::atomic<int> result{-1};
    std::thread connecting([&] { result = state.connect("127.0.0.1", silent.port); });
    const int peer = silent.acceptOne(); // the attempt has reached the wire and waits for a reply
    ASSERT_GE(peer, 0);
    EXPECT_FALSE(state.getStatus());
    EXPECT_EQ(state.connectionRevision(), before + 1);
    EXPECT_EQ(result.load(), -1);
    ::close(peer); // the session request goes unanswered: the attempt fails
    connecting.join();
    EXPECT_NE(result.load(), 0);
    EXPECT_FALSE(state.getStatus());
    EXPECT_EQ(state.plcType(), "");
    EXPECT_EQ(state.connectionRevision(), before + 1);
}

TEST_F(AppStateTest, CallPlcRunsWhateverTheConnectionState) {
    zelkc_logix_client* seen = nullptr;
    bool connectedInside = true;
    state.callPlc([&](zelkc_logix_client* client) {
        seen = client;
        connectedInside = zelkc_logix_client_is_connected(client);
    });
    ASSERT_NE(seen, nullptr);
    EXPECT_FALSE(connectedInside);

    ASSERT_EQ(state.connect("127.0.0.1", server->port()), 0);
    zelkc_logix_client* again = nullptr;
    state.callPlc([&](zelkc_logix_client* client) {
        again = client;
        connectedInside = zelkc_logix_client_is_connected(client);
    });
    EXPECT_EQ(again, seen) << "one client for the whole life of the state";
    EXPECT_TRUE(connectedInside);

    state.disconnect();
    uint8_t browse = 0;
    state.callPlc([&](zelkc_logix_client* client) {
        zelkc_logix_tag_info_list list{};
        browse = zelkc_logix_client_browse_global_tags(client, &list);
        zelkc_logix_tag_info_list_free(&list);
    });
    EXPECT_EQ(browse, ZELKC_LOGIX_ERR_NOT_CONNECTED);
}

TEST_F(AppStateTest, ThrowingOrEmptyFunctionReleasesTheLock) {
    EXPECT_THROW(state.callPlc([](zelkc_logix_client*) { throw std::runtime_error("task failed"); }),
                 std::runtime_error);
    EXPECT_THROW(state.callPlc(std::function<void(zelkc_logix_client*)>()), std::bad_function_call);
    // Another thread gets the lock (it would wait forever if the lock were still held).
    bool ran = false;
    std::thread other([&] { state.callPlc([&](zelkc_logix_client*) { ran = true; }); });
    other.join();
    EXPECT_TRUE(ran);
    EXPECT_EQ(state.connect("127.0.0.1", server->port()), 0);
}

TEST_F(AppStateTest, ClientUseIsStrictlyOneAtATime) {
    constexpr int kThreads = 4;
    constexpr int kCalls = 25;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> failures{0};
    ASSERT_EQ(state.connect("127.0.0.1", server->port()), 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                if (t == 0 && i % 10 == 5) {
                    // Reconnects interleave with the reads of the other threads.
                    if (state.connect("127.0.0.1", server->port()) != 0) {
                        ++failures;
                    }
                    continue;
                }
                state.callPlc([&](zelkc_logix_client* client) {
                    if (inside.fetch_add(1) != 0) {
                        ++overlaps;
                    }
                    zelkc_logix_tag_info_list list{};
                    if (zelkc_logix_client_browse_global_tags(client, &list) != 0) {
                        ++failures;
                    }
                    zelkc_logix_tag_info_list_free(&list);
                    inside.fetch_sub(1);
                });
                // Lock-free readers on the side.
                (void)state.getStatus();
                (void)state.connectionRevision();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(state.getStatus());
    EXPECT_EQ(state.connectionRevision(), 1u + 2u); // the first connect and two reconnects
}
