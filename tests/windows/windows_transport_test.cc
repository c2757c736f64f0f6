// The Winsock side of the cip transport under Wine: connects, refusals, time-outs, a peer's close
// and a cancel from another thread, against Winsock listeners of the test's own on 127.0.0.1, and
// the handshake with the simulator given by ORVANE_SIM_PORT (the Linux logix-sim).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include "zelkc_cip.h"

namespace {

// A listener on 127.0.0.1 whose one accepted connection is handed to `serve` on a thread.
class Peer {
public:
    explicit Peer(std::function<void(SOCKET)> serve) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(listen(listener_, 4), 0);
        int len = sizeof addr;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this, serve = std::move(serve)] {
            SOCKET s = accept(listener_, nullptr, nullptr);
            if (s != INVALID_SOCKET) {
                serve(s);
                closesocket(s);
            }
        });
    }
    ~Peer() {
        closesocket(listener_); // ends an accept still waiting
        thread_.join();
    }
    uint16_t port() const { return port_; }

private:
    SOCKET listener_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    std::thread thread_;
};

// A loopback port nobody listens on: bound, read, closed.
uint16_t closedPort() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    int len = sizeof addr;
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    closesocket(s);
    return ntohs(addr.sin_port);
}

struct Transport {
    zelkc_cip_cancel cancel{};
    zelkc_cip_tcp_transport* t = zelkc_cip_tcp_transport_create();
    Transport() { t->cancel = &cancel; }
    ~Transport() { zelkc_cip_tcp_transport_destroy(t); }
};

TEST(WindowsTransport, ConnectOutcomes) {
    Peer idle([](SOCKET) {});
    const struct {
        const char* name;
        const char* host;
        uint32_t port;
        uint8_t expected;
    } cases[] = {
        {"listening", "127.0.0.1", idle.port(), ZELKC_CIP_TCP_OK},
        {"refused", "127.0.0.1", closedPort(), ZELKC_CIP_TCP_ERR_CONNECT},
        {"empty host", "", 44818, ZELKC_CIP_TCP_ERR_INVALID_ARGUMENT},
        {"port 0", "127.0.0.1", 0, ZELKC_CIP_TCP_ERR_INVALID_ARGUMENT},
        {"unresolvable", "no-such-host.invalid", 44818, ZELKC_CIP_TCP_ERR_RESOLVE},
    };
    for (const auto& c : cases) {
        Transport tr;
        EXPECT_EQ(zelkc_cip_tcp_transport_connect(tr.t, c.host, c.port, 5000), c.expected) << c.name;
        EXPECT_EQ(tr.t->fd != -1, c.expected == ZELKC_CIP_TCP_OK) << c.name;
    }
}

// A reply in two pieces arrives whole; the peer's close after it reads as CLOSED, not as I/O.
TEST(WindowsTransport, PiecesThenClose) {
    Peer peer([](SOCKET s) {
        char buffer[4];
        recv(s, buffer, 4, MSG_WAITALL);
        send(s, "\x01\x02", 2, 0);
        Sleep(20);
        send(s, "\x03", 1, 0);
    });
    Transport tr;
    ASSERT_EQ(zelkc_cip_tcp_transport_connect(tr.t, "127.0.0.1", peer.port(), 5000), ZELKC_CIP_TCP_OK);
    const uint8_t request[4] = {0x65, 0x00, 0x04, 0x00};
    ASSERT_EQ(zelkc_cip_tcp_transport_send(tr.t, request, sizeof request, 5000), ZELKC_CIP_TCP_OK);
    uint8_t reply[3] = {};
    ASSERT_EQ(zelkc_cip_tcp_transport_recv_exact(tr.t, reply, sizeof reply, 5000), ZELKC_CIP_TCP_OK);
    EXPECT_EQ(std::memcmp(reply, "\x01\x02\x03", 3), 0);
    uint8_t more = 0;
    EXPECT_EQ(zelkc_cip_tcp_transport_recv_exact(tr.t, &more, 1, 5000), ZELKC_CIP_TCP_ERR_CLOSED);
}

// A peer that never answers: the wait ends with TIMEOUT at a short deadline, and with CANCELLED
// when another thread cancels a wait whose deadline is far away.
TEST(WindowsTransport, SilentPeerTimesOutOrIsCancelled) {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Peer peer([release](SOCKET) { WaitForSingleObject(release, 60000); });
    Transport tr;
    ASSERT_EQ(zelkc_cip_tcp_transport_connect(tr.t, "127.0.0.1", peer.port(), 5000), ZELKC_CIP_TCP_OK);
    uint8_t byte = 0;
    EXPECT_EQ(zelkc_cip_tcp_transport_recv_exact(tr.t, &byte, 1, 100), ZELKC_CIP_TCP_ERR_TIMEOUT);

    std::thread canceller([&tr] {
        Sleep(100);
        zelkc_cip_cancel_request(&tr.cancel);
    });
    EXPECT_EQ(zelkc_cip_tcp_transport_recv_exact(tr.t, &byte, 1, 600000), ZELKC_CIP_TCP_ERR_CANCELLED);
    canceller.join();
    SetEvent(release);
    CloseHandle(release);
}

// The simulator answers a RegisterSession through the Winsock transport with a session handle.
TEST(WindowsTransport, SimulatorSession) {
    const char* port = std::getenv("ORVANE_SIM_PORT");
    if (port == nullptr) {
        GTEST_SKIP() << "ORVANE_SIM_PORT not set";
    }
    Transport tr;
    ASSERT_EQ(
        zelkc_cip_tcp_transport_connect(tr.t, "127.0.0.1", static_cast<uint32_t>(std::atoi(port)), 5000),
        ZELKC_CIP_TCP_OK);
    // RegisterSession: command 0x65, length 4, protocol version 1, options 0.
    uint8_t request[28] = {0x65, 0x00, 0x04, 0x00};
    request[24] = 0x01;
    ASSERT_EQ(zelkc_cip_tcp_transport_send(tr.t, request, sizeof request, 5000), ZELKC_CIP_TCP_OK);
    uint8_t reply[28] = {};
    ASSERT_EQ(zelkc_cip_tcp_transport_recv_exact(tr.t, reply, sizeof reply, 5000), ZELKC_CIP_TCP_OK);
    EXPECT_EQ(reply[0], 0x65);
    EXPECT_EQ(reply[2], 0x04);
    uint32_t status = 0, session = 0;
    std::memcpy(&status, reply + 8, 4);
    std::memcpy(&session, reply + 4, 4);
    EXPECT_EQ(status, 0u);
    EXPECT_NE(session, 0u);
}

} // namespace
