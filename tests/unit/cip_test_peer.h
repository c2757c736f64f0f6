// A scripted TCP peer on loopback for the zelkc_cip tests, written independently of the library
// (which it only reads records of): it frames EtherNet/IP messages itself so that a misreading in
// the library is not mirrored here. Messages are written as hex text, as a protocol analyser
// shows them.
#pragma once

#include "../support/hex.h"
#include "zelkc_cip.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace cip_test {

using Bytes = std::vector<uint8_t>;

constexpr int kSafetyMs = 20000; // only guards against a hung test; no result depends on it

inline void put(Bytes& out, uint64_t v, int n) { // little-endian, n bytes
    for (int i = 0; i < n; ++i)
        out.push_back(uint8_t(v >> (8 * i)));
}
inline uint64_t get(const uint8_t* p, int n) {
    return n == 0 ? 0 : p[0] | get(p + 1, n - 1) << 8;
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

// The allocator in use while it lives: counts live blocks and fails the fail_at-th call.
struct Counting {
    long live = 0, calls = 0, fail_at = 0;
    zelkc_cip_allocator hooks = {alloc, realloc, free, this};
    Counting() { zelkc_cip_allocator_set_default(&hooks); }
    ~Counting() { zelkc_cip_allocator_set_default(nullptr); }
    static void* realloc(void* self, void* block, uint64_t size) {
        auto* c = static_cast<Counting*>(self);
        void* p = ++c->calls == c->fail_at ? nullptr : std::realloc(block, size);
        c->live += block == nullptr && p != nullptr;
        return p;
    }
    static void* alloc(void* self, uint64_t size) { return realloc(self, nullptr, size); }
    static void free(void* self, void* block) {
        static_cast<Counting*>(self)->live -= block != nullptr;
        std::free(block);
    }
};

// Up to n bytes from fd, fewer when the client closes first (*eof tells); by default all until it closes.
inline Bytes read_fd(int fd, size_t n = SIZE_MAX, bool* eof = nullptr) {
    Bytes out;
    uint8_t chunk[512];
    pollfd pfd = {fd, POLLIN, 0};
    for (ssize_t r = 1; out.size() < n && r > 0 && poll(&pfd, 1, kSafetyMs) > 0;) {
        r = ::recv(fd, chunk, std::min(sizeof chunk, n - out.size()), 0);
        out.insert(out.end(), chunk, chunk + std::max<ssize_t>(r, 0));
        if (eof != nullptr)
            *eof = r == 0;
    }
    return out;
}
inline void write_fd(int fd, const Bytes& b) {
    ::send(fd, b.data(), b.size(), MSG_NOSIGNAL);
}

// One encapsulation message (header and data) from fd; empty when the client closed first.
inline Bytes read_message(int fd) {
    Bytes m = read_fd(fd, 24);
    return m.size() < 24 ? Bytes{} : cat({m, read_fd(fd, get(&m[2], 2))});
}
inline uint64_t context_of(const Bytes& message) {
    return get(&message[12], 8);
}
inline Bytes encap(uint16_t command, uint32_t session, uint32_t status, uint64_t context, const Bytes& data,
                   uint32_t options = 0) {
    Bytes out;
    put(out, command, 2), put(out, data.size(), 2), put(out, session, 4), put(out, status, 4);
    put(out, context, 8), put(out, options, 4);
    return cat({out, data});
}
// A SendRRData CPF block: null address item and an unconnected data item holding `cip`.
inline Bytes cpf_reply(const Bytes& cip) {
    return cat(
        {hex("00000000 0000 0200 0000 0000 B200"), {uint8_t(cip.size()), uint8_t(cip.size() >> 8)}, cip});
}

// The embedded requests of a Multiple Service Packet request (none for any other request).
inline std::vector<Bytes> unpack_multiple(const Bytes& cip) {
    std::vector<Bytes> out;
    const size_t count = cip.size() < 8 || cip[0] != 0x0A ? 0 : get(&cip[6], 2);
    for (size_t i = 0; i < count; ++i)
        out.emplace_back(cip.begin() + 6 + get(&cip[8 + 2 * i], 2),
                         i + 1 < count ? cip.begin() + 6 + get(&cip[10 + 2 * i], 2) : cip.end());
    return out;
}
// A Multiple Service Packet reply (status 0) echoing each embedded request's data (after its path).
inline Bytes echo_multiple(const std::vector<Bytes>& requests) {
    Bytes table, replies;
    put(table, requests.size(), 2);
    for (const Bytes& r : requests) {
        put(table, 2 + 2 * requests.size() + replies.size(), 2);
        replies.insert(replies.end(), {uint8_t(r[0] | 0x80), 0x00, 0x00, 0x00});
        replies.insert(replies.end(), r.begin() + 2 + 2 * r[1], r.end());
    }
    return cat({{0x8A, 0x00, 0x00, 0x00}, table, replies});
}

// Listens on 127.0.0.1 at an ephemeral port and runs handler(fd) on the first connection it
// accepts, on a thread, closing it afterwards. The destructor waits for the thread.
struct ScriptedPeer {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    uint16_t port = 0;
    std::thread thread;
    explicit ScriptedPeer(std::function<void(int fd)> handler) {
        sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof addr;
        ::bind(listener, reinterpret_cast<sockaddr*>(&addr), length);
        ::listen(listener, 8);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
        port = ntohs(addr.sin_port);
        thread = std::thread([this, handler] {
            pollfd pfd = {listener, POLLIN, 0};
            const int fd = poll(&pfd, 1, kSafetyMs) > 0 ? ::accept(listener, nullptr, nullptr) : -1;
            if (fd >= 0)
                handler(fd), ::close(fd);
        });
    }
    ~ScriptedPeer() {
        ::shutdown(listener, SHUT_RDWR); // wakes a thread still waiting for a client that never came
        thread.join();
        ::close(listener);
    }
};

// `count` requests of `size` encoded bytes (service 0x4C, path 20 6B 24 01) whose data starts with
// their index.
struct Requests {
    const Bytes path = hex("206B2401");
    std::vector<Bytes> data;
    std::vector<zelkc_cip_request> list;
    Requests(size_t count, size_t size) : data(count, Bytes(size - 6)) {
        for (size_t i = 0; i < count; ++i)
            data[i][0] = uint8_t(i),
            list.push_back({0x4C, path.data(), 4, data[i].data(), uint32_t(size - 6)});
    }
};
// Checks a multiple send of `count` requests of Requests answered in order by echo_multiple, and
// releases its responses.
inline void expect_in_order(uint8_t rc, zelkc_cip_multiple_response* out, uint32_t count) {
    ASSERT_EQ(std::pair(rc, out->count), std::pair(uint8_t(ZELKC_CIP_OK), count));
    for (uint32_t i = 0; i < count; ++i)
        EXPECT_EQ(out->responses[i].data.data[0], i);
    zelkc_cip_multiple_response_free(out);
}

// A client with a session to a device on a scripted peer. The device grants sessions (handle
// kSession) and answers every other message with on_message(message) until UnRegisterSession or
// close; it keeps every message after the registration but before UnRegisterSession in `log` (read
// it after finish()).
struct DeviceTest : testing::Test {
    static constexpr uint32_t kSession = 0x01020304;
    std::function<Bytes(const Bytes& message)> on_message;
    std::vector<Bytes> log;
    std::unique_ptr<ScriptedPeer> peer;
    zelkc_cip_client* client = nullptr;

    void start() {
        log.clear();
        peer = std::make_unique<ScriptedPeer>([this](int fd) {
            for (Bytes m; (m = read_message(fd)).size() >= 24 && m[0] != 0x66;) {
                if (m[0] != 0x65)
                    log.push_back(m);
                write_fd(fd, m[0] == 0x65 ? encap(0x0065, kSession, 0, context_of(m), hex("01000000"))
                                          : on_message(m));
            }
            read_fd(fd);
        });
        client = zelkc_cip_client_create();
        ASSERT_EQ(zelkc_cip_client_connect(client, "127.0.0.1", peer->port, 5000), ZELKC_CIP_OK);
    }
    void finish() { // disconnects and waits for the device, so that its records are complete
        zelkc_cip_client_destroy(client);
        client = nullptr;
        peer.reset();
    }
    void TearDown() override { zelkc_cip_client_destroy(client); }
    // The CIP request a SendRRData message carries, and a SendRRData reply to it carrying `cip`.
    static Bytes cip_of(const Bytes& m) { return Bytes(m.begin() + std::min<size_t>(40, m.size()), m.end()); }
    static Bytes rr_reply(const Bytes& m, const Bytes& cip) {
        return encap(0x006F, kSession, 0, context_of(m), cpf_reply(cip));
    }
};

} // namespace cip_test
