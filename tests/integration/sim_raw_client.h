// A raw TCP client of logix-sim for the loopback tests: whole encapsulation messages in and out,
// every wait bounded so that a lost reply fails a test instead of hanging it.
#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "../unit/sim_testkit.h"

namespace simtest {

// Generous bound on any single wait, so that a lost reply fails the test instead of hanging it.
inline constexpr int kSafetyMs = 20000;

class RawClient {
public:
    explicit RawClient(uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawClient() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool connected() const { return connected_; }
    bool send(const Bytes& b) { return ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size()); }
    void shutdown_write() { ::shutdown(fd_, SHUT_WR); }
    bool readable(int ms) {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, ms) == 1;
    }
    // Receives up to `n` bytes, fewer only when the peer closes (or the safety bound passes).
    Bytes recv(size_t n) {
        Bytes out;
        while (out.size() < n && readable(kSafetyMs)) {
            uint8_t buf[4096];
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
        Bytes h = recv(24);
        if (h.size() < 24)
            return {};
        Bytes d = recv(rd16(h, 2));
        return d.size() == rd16(h, 2) ? h + d : Bytes{};
    }
    uint32_t open() {
        send(register_session());
        Bytes r = message();
        return r.size() == 28 && rd32(r, 8) == 0 ? rd32(r, 4) : 0;
    }
    // A CIP request through SendRRData; returns the CIP reply.
    Bytes cip(uint32_t session, const Bytes& request) {
        if (!send(encap(0x006F, session, cpf(request))))
            return {};
        Bytes r = message();
        if (r.size() < 40)
            return {};
        return Bytes(r.begin() + 40, r.end());
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

} // namespace simtest
