// A raw TCP client of logix-sim for the loopback tests: whole encapsulation messages in and out,
// every wait bounded so that a lost reply fails a test instead of hanging it.
#pragma once

#include <algorithm>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "../unit/sim_testkit.h"
#include "logixsim/server.h"

namespace simtest {

// Generous bound on any single wait, so that a lost reply fails the test instead of hanging it.
inline constexpr int kSafetyMs = 20000;

// The few socket calls of these clients, on BSD sockets and on Winsock (the Windows build runs
// the same tests against the simulator's Winsock server under Wine).
#ifdef _WIN32
using Fd = SOCKET;
inline Fd open_socket(int type) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data); // counted: once per socket is harmless in a test
    return ::socket(AF_INET, type, 0);
}
inline void close_socket(Fd fd) {
    ::closesocket(fd);
}
inline bool readable(Fd fd, int ms) {
    WSAPOLLFD p{fd, POLLIN, 0};
    return WSAPoll(&p, 1, ms) == 1;
}
inline constexpr int kNoSignal = 0, kShutWrite = SD_SEND;
#else
using Fd = int;
inline Fd open_socket(int type) {
    return ::socket(AF_INET, type, 0);
}
inline void close_socket(Fd fd) {
    ::close(fd);
}
inline bool readable(Fd fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}
inline constexpr int kNoSignal = MSG_NOSIGNAL, kShutWrite = SHUT_WR;
#endif

inline sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}
inline long send_to(Fd fd, const Bytes& b) {
    return long(::send(fd, reinterpret_cast<const char*>(b.data()), int(b.size()), kNoSignal));
}
inline long recv_some(Fd fd, uint8_t* p, size_t n) {
    return long(::recv(fd, reinterpret_cast<char*>(p), int(n), 0));
}

class RawClient {
public:
    explicit RawClient(uint16_t port) : fd_(open_socket(SOCK_STREAM)) {
        sockaddr_in a = loopback(port);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawClient() { close_socket(fd_); }
    bool connected() const { return connected_; }
    void send(const Bytes& b) { send_to(fd_, b); }
    void shutdown_write() { ::shutdown(fd_, kShutWrite); }
    // Receives up to `n` bytes, fewer only when the peer closes (or the safety bound passes).
    Bytes recv(size_t n) {
        Bytes out;
        for (uint8_t buf[4096]; out.size() < n && readable(fd_, kSafetyMs);) {
            const long got = recv_some(fd_, buf, std::min(sizeof buf, n - out.size()));
            if (got <= 0)
                break;
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }
    Bytes drain() { return recv(SIZE_MAX); }
    // One complete encapsulation reply; empty when the connection ended first.
    Bytes message() {
        Bytes h = recv(24), d = h.size() == 24 ? recv(rd16(h, 2)) : Bytes{};
        return h.size() == 24 && d.size() == rd16(h, 2) ? h + d : Bytes{};
    }
    uint32_t open() {
        send(kRegisterSession);
        Bytes r = message();
        return r.size() == 28 && rd32(r, 8) == 0 ? rd32(r, 4) : 0;
    }
    // A CIP request through SendRRData; the CIP reply.
    Bytes cip(uint32_t session, const Bytes& request) {
        send(encap(0x006F, session, cpf(request)));
        Bytes r = message();
        return r.size() < 40 ? Bytes{} : Bytes(r.begin() + 40, r.end());
    }

private:
    Fd fd_;
    bool connected_ = false;
};

// The demo controller served on a free loopback port, and a client in a session with it.
struct SimFixture : ::testing::Test {
    logixsim::Server server{logixsim::demo_controller(), logixsim::Options{"127.0.0.1", 0, 0, {}, 0}};
    std::unique_ptr<RawClient> client;
    uint32_t session = 0;
    void SetUp() override {
        server.start();
        client = std::make_unique<RawClient>(server.port());
        session = client->open();
    }
    // A CIP request through SendRRData; the CIP reply in hex.
    std::string ask(const Bytes& request) { return hex(client->cip(session, request)); }
};

} // namespace simtest
