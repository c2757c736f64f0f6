// A scripted TCP peer on loopback for the zelkc_cip tests, written independently of the library
// (which it only reads records of): it frames EtherNet/IP messages itself so that a misreading in the library
// is not mirrored here.
#pragma once

#include "zelkc_cip.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace cip_test {

using Bytes = std::vector<uint8_t>;

// Only guards against a hung test; no result depends on it.
constexpr int kSafetyMs = 20000;

// Little-endian fields of n bytes.
inline void put(Bytes& out, uint64_t v, int n) {
    for (int i = 0; i < n; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline uint64_t get(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}
inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes bytes_of(const zelkc_cip_buffer& b) {
    return b.size == 0 ? Bytes{} : Bytes(b.data, b.data + b.size);
}
// A parsed reply written back in its wire form, so that one comparison checks every field.
inline Bytes flat(const zelkc_cip_response& r) {
    return cat({{r.service, r.reserved, r.general_status, uint8_t(r.additional_status.size / 2)},
                bytes_of(r.additional_status),
                bytes_of(r.data)});
}

// One accepted connection; reads and writes block (up to the safety limit).
class PeerConnection {
public:
    explicit PeerConnection(int fd) : fd_(fd) {}
    ~PeerConnection() { close(); }
    PeerConnection(const PeerConnection&) = delete;
    PeerConnection& operator=(const PeerConnection&) = delete;

    // n bytes, or fewer when the client closed first; without n, everything until the client closes.
    Bytes read(size_t n = SIZE_MAX) {
        Bytes out;
        uint8_t chunk[512];
        while (out.size() < n && fd_ >= 0) {
            pollfd pfd = {fd_, POLLIN, 0};
            if (poll(&pfd, 1, kSafetyMs) <= 0)
                break;
            ssize_t r = ::recv(fd_, chunk, std::min(sizeof chunk, n - out.size()), 0);
            eof_ = r == 0;
            if (r <= 0)
                break;
            out.insert(out.end(), chunk, chunk + r);
        }
        return out;
    }
    bool write(const Bytes& bytes) {
        return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }
    bool saw_eof() const { return eof_; } // the last read ended at the client's orderly close
    void close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }

private:
    int fd_;
    bool eof_ = false;
};

// One encapsulation message as the peer sees it.
struct EncapMessage {
    uint16_t command = 0;
    uint64_t context = 0;
    Bytes data;
    Bytes raw; // header and data as received
};

// Reads one header and its data; false when the client closed first.
inline bool read_message(PeerConnection& conn, EncapMessage* m) {
    Bytes header = conn.read(24);
    if (header.size() != 24)
        return false;
    m->command = static_cast<uint16_t>(get(&header[0], 2));
    m->context = get(&header[12], 8);
    const size_t length = get(&header[2], 2);
    m->data = conn.read(length);
    m->raw = cat({header, m->data});
    return m->data.size() == length;
}

// The 24-byte header and the data.
inline Bytes encap(uint16_t command, uint32_t session, uint32_t status, uint64_t context, const Bytes& data,
                   uint32_t options = 0) {
    Bytes out;
    for (auto [v, n] : {std::pair<uint64_t, int>{command, 2},
                        {data.size(), 2},
                        {session, 4},
                        {status, 4},
                        {context, 8},
                        {options, 4}})
        put(out, v, n);
    return cat({out, data});
}

// A SendRRData CPF block: null address item and an unconnected data item holding `cip`.
inline Bytes cpf_reply(const Bytes& cip) {
    Bytes out = {0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0xB2, 0};
    put(out, cip.size(), 2);
    return cat({out, cip});
}

// A socket listening on 127.0.0.1 at an ephemeral port, with the given backlog.
inline int listen_loopback(int backlog, uint16_t* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, backlog) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("listen");
    *port = ntohs(addr.sin_port);
    return fd;
}

// Listens on 127.0.0.1 (ephemeral port) and runs `handler` on each of `connections` accepted
// connections in turn, on one thread. join() waits for it; the destructor joins too.
class ScriptedPeer {
public:
    using Handler = std::function<void(PeerConnection&, int index)>;
    explicit ScriptedPeer(Handler handler, int connections = 1) : listener_(listen_loopback(8, &port_)) {
        // Listening before the thread starts: the client may connect as soon as the constructor returns.
        thread_ = std::thread([this, handler = std::move(handler), connections] {
            for (int i = 0; i < connections; ++i) {
                pollfd pfd = {listener_, POLLIN, 0};
                int fd = poll(&pfd, 1, kSafetyMs) > 0 ? ::accept(listener_, nullptr, nullptr) : -1;
                if (fd < 0)
                    return;
                PeerConnection conn(fd);
                handler(conn, i);
            }
        });
    }
    ~ScriptedPeer() {
        ::shutdown(listener_, SHUT_RDWR); // wakes a thread still waiting for a client that never came
        join();
        ::close(listener_);
    }
    uint16_t port() const { return port_; }
    void join() {
        if (thread_.joinable())
            thread_.join();
    }

private:
    uint16_t port_ = 0;
    int listener_;
    std::thread thread_;
};

// A device on top of ScriptedPeer: registers sessions (handle `session`), answers each SendRRData
// with on_message(request) or else on_cip(CIP request) in a CPF block, and stops at UnRegisterSession
// or close. Each SendRRData is appended to `wire` and its CIP request to `seen` (read after join()).
struct Device {
    static constexpr uint32_t session = 0x01020304;
    std::function<Bytes(const Bytes& cip)> on_cip;
    std::function<Bytes(const EncapMessage&)> on_message;
    std::vector<Bytes> seen, wire;

    ScriptedPeer::Handler handler() {
        return [this](PeerConnection& conn, int) {
            EncapMessage m;
            while (read_message(conn, &m) && (m.command == 0x0065 || m.command == 0x006F)) {
                if (m.command == 0x0065) {
                    conn.write(encap(0x0065, session, 0, m.context, {0x01, 0x00, 0x00, 0x00}));
                    continue;
                }
                wire.push_back(m.raw);
                // The CIP request after the 16 bytes of CPF header and items (their layout is checked
                // byte for byte by the tests of the unconnected send).
                seen.push_back(m.data.size() < 16 ? Bytes{} : Bytes(m.data.begin() + 16, m.data.end()));
                conn.write(on_message ? on_message(m)
                                      : encap(0x006F, session, 0, m.context, cpf_reply(on_cip(seen.back()))));
            }
            conn.read();
        };
    }
};

} // namespace cip_test
