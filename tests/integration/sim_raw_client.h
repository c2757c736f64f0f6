// A raw TCP client of logix-sim for the loopback tests: whole encapsulation messages in and out,
// every wait bounded so that a lost reply fails a test instead of hanging it.
#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "../unit/sim_testkit.h"
#include "logixsim/server.h"

namespace simtest {

// Generous bound on any single wait, so that a lost reply fails the test instead of hanging it.
inline constexpr int kSafetyMs = 20000;

class RawClient {
public:
    explicit RawClient(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawClient() { ::close(fd_); }
    bool connected() const { return connected_; }
    void send(const Bytes& b) { ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL); }
    void shutdown_write() { ::shutdown(fd_, SHUT_WR); }
    // Receives up to `n` bytes, fewer only when the peer closes (or the safety bound passes).
    Bytes recv(size_t n) {
        Bytes out;
        pollfd p{fd_, POLLIN, 0};
        for (uint8_t buf[4096]; out.size() < n && ::poll(&p, 1, kSafetyMs) == 1;) {
            ssize_t got = ::recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
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
    int fd_;
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
