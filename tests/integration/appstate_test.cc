// AppState against the simulator on 127.0.0.1: the revision and status around connects and disconnects,
// the PLC type, callPlc in every state, and the one lock around the client.
#include "AppState.h"

#include "../support/hostile_device.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <logixsim/server.h>

namespace {

class AppStateTest : public ::testing::Test {
protected:
    void SetUp() override { server.start(); }
    uint8_t connect() { return state.connect("127.0.0.1", server.port()); }
    // Revision, status and PLC type in one line.
    std::string summary() const {
        return std::to_string(state.connectionRevision()) + (state.getStatus() ? " up " : " down ") +
               state.plcType();
    }
    logixsim::Server server{logixsim::demo_controller(), {.port = 0, .faults = {}, .live_interval_ms = 0}};
    AppState state;
};

TEST_F(AppStateTest, EveryConnectAndDisconnectCountsAndThePlcTypeFollowsTheResult) {
    EXPECT_EQ(summary(), "0 down ");
    EXPECT_EQ(connect(), 0);
    EXPECT_EQ(connect(), 0); // a connect while connected counts too
    EXPECT_EQ(summary(), "2 up 1756-L83E/B");
    state.disconnect();
    EXPECT_EQ(summary(), "3 down 1756-L83E/B"); // the name of the last successful connect
    server.stop(); // a refused connect clears it; a disconnect while closed counts
    EXPECT_EQ(connect(), ZELKC_LOGIX_ERR_CONNECT_FAILED);
    EXPECT_EQ(summary(), "4 down ");
    state.disconnect();
    EXPECT_EQ(summary(), "5 down ");
    logixsim::Faults refuse;
    refuse.refuse_sessions = true; // a refusal names its status
    server.set_faults(refuse);
    server.start();
    EXPECT_EQ(connect(), ZELKC_LOGIX_ERR_SESSION_REFUSED);
    EXPECT_EQ(state.snapshot().reason.rfind("session refused (encapsulation status 0x", 0), 0u)
        << state.snapshot().reason;
}

TEST_F(AppStateTest, StatusIsDownWhileAConnectWaitsForItsReply) {
    ASSERT_EQ(connect(), 0);
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0); // accepts, never answers
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    ASSERT_TRUE(::bind(listener, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
                ::listen(listener, 1) == 0 &&
                ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0);
    std::atomic<int> result{-1};
    std::thread connecting([&] { result = state.connect("127.0.0.1", ntohs(addr.sin_port)); });
    const int peer = ::accept(listener, nullptr, nullptr); // the attempt now waits for a reply
    // (not the type: the connecting thread writes it)
    EXPECT_EQ(std::to_string(state.connectionRevision()) + (state.getStatus() ? " up" : " down"), "2 down");
    EXPECT_EQ(result.load(), -1);
    ::close(peer); // unanswered: the attempt fails
    connecting.join();
    EXPECT_NE(result.load(), 0);
    EXPECT_EQ(summary(), "2 down ");
    ::close(listener);
}

// A client in every state; a throw releases the lock; concurrent callers never overlap on one client,
// and reconnects never wait for them.
TEST_F(AppStateTest, CallPlcRunsInEveryStateOneAtATime) {
    zelkc_logix_client* first = nullptr;
    state.callPlc([&](zelkc_logix_client* client) { first = client; });
    EXPECT_FALSE(zelkc_logix_client_is_connected(first));
    EXPECT_THROW(state.callPlc([](zelkc_logix_client*) { throw std::runtime_error("task failed"); }),
                 std::runtime_error);
    ASSERT_EQ(connect(), 0);
    std::atomic<int> overlaps{0}, failures{0};
    std::mutex activeMutex; // the clients with an exchange running: never two on one client
    std::set<zelkc_logix_client*> active;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                if (t == 0 && i % 10 == 5) { // reconnects interleave with the others' browses
                    failures += connect() != 0;
                    continue;
                }
                // An exchange started under a revision that a reconnect replaced is refused, or cut
                // short if it was running, never run on the new connection or overlapping it.
                const uint64_t at = state.connectionRevision();
                if (!state.getStatus())
                    continue; // while a reconnect runs there is nothing to exchange on
                const uint8_t rc = state.exchange(
                    [&](zelkc_logix_client* client) {
                        {
                            std::lock_guard<std::mutex> lock(activeMutex);
                            overlaps += !active.insert(client).second;
                        }
                        zelkc_logix_tag_info_list list{};
                        const uint8_t r = zelkc_logix_client_browse_global_tags(client, &list);
                        zelkc_logix_tag_info_list_free(&list);
                        {
                            std::lock_guard<std::mutex> lock(activeMutex);
                            active.erase(client);
                        }
                        return r;
                    },
                    at);
                failures +=
                    rc != 0 && !((rc == ZELKC_LOGIX_ERR_NOT_CONNECTED || rc == ZELKC_LOGIX_ERR_CANCELLED) &&
                                 state.connectionRevision() != at);
                (void)state.getStatus(); // a lock-free reader on the side
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(overlaps.load() * 1000 + failures.load(), 0);
    EXPECT_EQ(summary(), "3 up 1756-L83E/B"); // the first connect and two reconnects
}

// The supervision on a fake clock, background work run at once: a loss noticed by an exchange, the
// reconnect schedule, a controller back on its port, keep-alives while idle, and the user's disconnect.
// A dropped connection is reopened quietly and the exchange run again, unless the exchange must
// never be repeated (a write): then it runs once and the connection counts as lost.
TEST_F(AppStateTest, AnExchangeThatMustNotRepeatRunsOnceAndLosesTheConnection) {
    for (const auto repeat : {AppState::Repeat::AfterQuietReconnect, AppState::Repeat::Never}) {
        ASSERT_EQ(connect(), 0);
        int runs = 0;
        const uint8_t rc = state.exchange(
            [&runs](zelkc_logix_client* client) -> uint8_t {
                zelkc_logix_value value{};
                const uint8_t read = zelkc_logix_client_read_atomic_value(client, "DintTag", &value);
                if (++runs == 1) {
                    zelkc_logix_client_disconnect(client); // the reply never came: the link is gone
                    return ZELKC_LOGIX_ERR_IO;
                }
                return read;
            },
            state.connectionRevision(), repeat);
        if (repeat == AppState::Repeat::Never) {
            EXPECT_EQ(runs, 1);
            EXPECT_EQ(rc, ZELKC_LOGIX_ERR_IO);
            EXPECT_EQ(state.snapshot().state, LinkState::Lost);
        } else {
            EXPECT_EQ(runs, 2);
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(state.snapshot().state, LinkState::Connected);
        }
    }
}

// An AppState on a fake clock whose background work runs only in drain(), and a read of DintTag
// through its supervised exchange.
struct FakeClockState {
    static inline int64_t now = 1'000'000'000;
    std::vector<std::function<void()>> queued;
    AppState state{[this](std::function<void()> task) { queued.push_back(std::move(task)); }, [] { return now; }};
    void drain() {
        while (!queued.empty()) {
            auto task = std::move(queued.front());
            queued.erase(queued.begin());
            task();
        }
    }
    uint8_t read() {
        return state.exchange(
            [](zelkc_logix_client* client) {
                zelkc_logix_value value{};
                return zelkc_logix_client_read_atomic_value(client, "DintTag", &value);
            },
            state.connectionRevision());
    }
};

TEST(AppStateSupervision, LossReconnectScheduleKeepAliveAndDisconnect) {
    FakeClockState fake;
    int64_t& now = FakeClockState::now;
    AppState& state = fake.state;
    auto drain = [&] { fake.drain(); };
    auto server = std::make_unique<logixsim::Server>(logixsim::demo_controller(),
                                                     logixsim::Options{.port = 0, .faults = {}, .live_interval_ms = 0});
    server->start();
    const uint16_t port = server->port();
    ASSERT_EQ(state.connect("127.0.0.1", port), 0);
    const uint64_t epoch = state.snapshot().controllerEpoch;
    auto read = [&] { return fake.read(); };
    auto line = [&] {
        const LinkSnapshot s = state.snapshot();
        const char* names[] = {"disconnected", "connecting", "connected", "lost", "reconnecting"};
        return std::string(names[static_cast<int>(s.state)]) + " " + s.reason +
               (s.state == LinkState::Lost ? " +" + std::to_string((s.nextAttemptNs - now) / 1'000'000) : "");
    };
    ASSERT_EQ(read(), 0);

    // Idle: nothing for 30 s, then one keep-alive, which finds the controller answering.
    const uint64_t requests = server->request_count();
    now += AppState::keepAliveNs - 1;
    state.supervise();
    EXPECT_EQ(server->request_count(), requests);
    now += 1;
    state.supervise();
    drain();
    EXPECT_EQ(server->request_count(), requests + 1);
    EXPECT_EQ(line(), "connected ");
    // The keep-alive counts as traffic, and so do the watch's reads: each postpones the next by 30 s;
    // later keep-alives go out as the first did. {seconds on, a read first, requests sent}
    for (const auto& [wait, reads, sent] : {std::tuple{29, false, 0}, {1, false, 1}, {20, true, 1}, {29, false, 0},
                                            {1, false, 1}, {30, false, 1}}) {
        const uint64_t before = server->request_count();
        now += int64_t{wait} * 1'000'000'000;
        if (reads) {
            ASSERT_EQ(read(), 0);
        }
        state.supervise();
        drain();
        EXPECT_EQ(server->request_count() - before, uint64_t(sent)) << wait << " s on";
    }

    // Killed: the next exchange finds it gone (its quiet retry is refused); attempts follow the schedule.
    server->stop();
    EXPECT_NE(read(), 0);
    drain();
    EXPECT_FALSE(state.getStatus());
    EXPECT_EQ(line(), "lost connection dropped by the controller +500");
    EXPECT_EQ(read(), ZELKC_LOGIX_ERR_NOT_CONNECTED) << "nothing runs on a lost connection";
    for (int64_t wait : {500, 1000, 2000, 4000, 5000, 5000}) {
        now += (wait - 1) * 1'000'000;
        state.supervise();
        EXPECT_EQ(line().rfind("lost", 0), 0u) << "not before " << wait << " ms";
        now += 1'000'000;
        state.supervise();
        drain(); // the attempt runs here and is refused
        const int64_t next = wait == 500 ? 1000 : wait == 1000 ? 2000 : wait == 2000 ? 4000 : 5000;
        EXPECT_EQ(line(), "lost nothing listening at 127.0.0.1:" + std::to_string(port) + " +" + std::to_string(next));
    }

    // Back on the same port: connected again, the same controller (the epoch stays).
    server = std::make_unique<logixsim::Server>(logixsim::demo_controller(),
                                                logixsim::Options{.port = port, .faults = {}, .live_interval_ms = 0});
    server->start();
    state.reconnectNow();
    state.supervise();
    drain();
    EXPECT_EQ(line(), "connected ");
    EXPECT_EQ(state.snapshot().controllerEpoch, epoch);
    EXPECT_EQ(read(), 0);

    // A user's disconnect, then a loss can no longer happen and nothing reconnects.
    state.disconnect();
    server->stop();
    now += 60'000'000'000;
    state.supervise();
    drain();
    EXPECT_EQ(line(), "disconnected ");
}

// A controller that stops answering: the read's time-out is the loss, shown at once; no quiet
// reconnect asks it again first (that would show the loss only after twice the time-out).
TEST(AppStateSupervision, ASilentControllerIsLostAfterOneTimeOut) {
    FakeClockState fake;
    logixsim::Server server(logixsim::demo_controller(), logixsim::Options{.port = 0, .faults = {}, .live_interval_ms = 0});
    server.start();
    fake.state.setTimeoutMs(300);
    ASSERT_EQ(fake.state.connect("127.0.0.1", server.port()), 0);
    ASSERT_EQ(fake.read(), 0);
    logixsim::Faults hang;
    hang.stall_after_requests = static_cast<int>(server.request_count());
    server.set_faults(hang);
    const uint64_t before = server.request_count();
    EXPECT_EQ(fake.read(), ZELKC_LOGIX_ERR_TIMEOUT);
    const LinkSnapshot s = fake.state.snapshot();
    EXPECT_EQ(std::to_string(static_cast<int>(s.state)) + " " + s.reason,
              std::to_string(static_cast<int>(LinkState::Lost)) + " no answer within the time-out");
    EXPECT_EQ(server.request_count() - before, 1u) << "the read only: no new session asked of a silent controller";
    server.set_faults({});
    fake.drain();
}

// A device that accepts every connection and fails its first read: each reconnect that does not
// hold doubles the wait up to 30 s (six attempts in the first minute instead of over a hundred), the
// reason says so, and once the device is well and the link has held, the schedule starts again.
TEST(AppStateSupervision, ReconnectsThatDoNotHoldBackOffToThirtySeconds) {
    FakeClockState fake;
    int64_t& now = FakeClockState::now;
    AppState& state = fake.state;
    auto drain = [&] { fake.drain(); };
    logixsim::Server server(logixsim::demo_controller(), logixsim::Options{.port = 0, .faults = {}, .live_interval_ms = 0});
    server.start();
    ASSERT_EQ(state.connect("127.0.0.1", server.port()), 0);
    auto read = [&] { return fake.read(); };
    logixsim::Faults faults;
    faults.fail_first_read_after_connect = true;
    server.set_faults(faults);
    ASSERT_EQ(state.connect("127.0.0.1", server.port()), 0);
    EXPECT_NE(read(), 0);
    drain();
    const int64_t start = now;
    std::vector<int64_t> waits;
    while (now - start < 60'000'000'000) {
        const LinkSnapshot s = state.snapshot();
        ASSERT_EQ(s.state, LinkState::Lost);
        waits.push_back((s.nextAttemptNs - now) / 1'000'000);
        now = s.nextAttemptNs;
        state.supervise();
        drain(); // connects
        ASSERT_TRUE(state.getStatus());
        EXPECT_NE(read(), 0); // and fails at once
        drain();
    }
    EXPECT_EQ(waits, (std::vector<int64_t>{500, 1000, 2000, 4000, 8000, 16000, 30000}));
    const LinkSnapshot s = state.snapshot();
    EXPECT_TRUE(s.flapping);
    EXPECT_EQ(s.reason.rfind("reconnected, but the first read failed: ", 0), 0u) << s.reason;

    // Well again: the link holds for the last wait, and the next loss starts from 0.5 s.
    server.set_faults({});
    now = s.nextAttemptNs;
    state.supervise();
    drain();
    EXPECT_EQ(read(), 0);
    now += 29'000'000'000;
    EXPECT_EQ(read(), 0);
    EXPECT_TRUE(state.snapshot().flapping) << "held 29 s of a 30 s wait: not yet";
    now += 1'000'000'000;
    EXPECT_EQ(read(), 0);
    EXPECT_FALSE(state.snapshot().flapping);
    server.set_faults(faults);
    state.exchange([](zelkc_logix_client* client) { return zelkc_logix_client_disconnect(client), uint8_t(ZELKC_LOGIX_ERR_IO); },
                   state.connectionRevision(), AppState::Repeat::Never);
    drain();
    EXPECT_EQ((state.snapshot().nextAttemptNs - now) / 1'000'000, 500);
}

// The user's disconnect and the application's shutdown end an exchange (or a connect) that a device
// trickles under a one-minute time-out within a byte or two of its trickle, so neither the pool nor
// the exit waits for the network. Background work runs on threads the destructor waits for.
TEST(AppStateHostile, DisconnectAndShutdownEndATrickledExchangeAtOnce) {
    enum class Cut { Disconnect, Shutdown, ShutdownWhileConnecting };
    for (const Cut cut : {Cut::Disconnect, Cut::Shutdown, Cut::ShutdownWhileConnecting}) {
        // Requests: RegisterSession, Identity, then the exchange; a connect trickles its Identity.
        hostile::Device device(
            {.drip_request = cut == Cut::ShutdownWhileConnecting ? 2 : 3, .drip_ms = 50, .drip_claim = 600});
        auto state = std::make_unique<AppState>();
        state->setConnectionMode(ZELKC_LOGIX_MODE_UNCONNECTED);
        state->setTimeoutMs(60000);
        uint8_t result = 0;
        std::thread user([&] {
            if (cut == Cut::ShutdownWhileConnecting) {
                result = state->connect("127.0.0.1", device.port());
                return;
            }
            ASSERT_EQ(state->connect("127.0.0.1", device.port()), 0);
            result = state->exchange(
                [](zelkc_logix_client* client) {
                    zelkc_cip_response response{};
                    const uint8_t rc =
                        zelkc_logix_send_cip_internal(client, zelkc_cip_identity_object_request(), &response);
                    zelkc_cip_response_free(&response);
                    return rc;
                },
                state->connectionRevision());
        });
        const int at_cut = device.wait_dripped(3);
        if (cut == Cut::Disconnect)
            state->disconnect();
        else
            state->shutdown();
        user.join();
        state.reset();
        device.wait_drip_over();
        EXPECT_EQ(result, ZELKC_LOGIX_ERR_CANCELLED) << int(cut);
        EXPECT_TRUE(device.client_gave_up()) << int(cut);
        EXPECT_LE(device.dripped() - at_cut, 2) << "bytes trickled after the cut " << int(cut);
    }
}

} // namespace
