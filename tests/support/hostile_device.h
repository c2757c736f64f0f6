// A hostile EtherNet/IP device on loopback for the tests: it speaks just enough (sessions, unconnected
// messages, the Identity, one symbol page, Read Tag of a DINT) for a real client to reach the part
// under test, and misbehaves as each case scripts: it trickles a reply one byte at a time, names its
// product and tags with control characters, or claims absurd array dimensions. It frames everything
// itself, sharing no code with the libraries, and keeps its own accounts (bytes trickled, when the
// client hung up) so that a test judges the client by what the device saw, not by the clock.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace hostile {

using Bytes = std::vector<uint8_t>;

struct Tag {
    std::string name;
    uint16_t type = 0xC4; // DINT
    uint32_t dims[3] = {0, 0, 0};
};

struct Script {
    std::string product = "1756-L83E/B";
    std::vector<Tag> tags = {{"Counter", 0xC4, {0, 0, 0}}};
    int32_t value = 7; // every Read Tag answers this DINT
    // The reply to the encapsulation request with this number (1: RegisterSession, counted over all
    // connections) goes out one byte every drip_ms, its length field claiming drip_claim data bytes
    // of which only the real ones ever come; 0: no reply trickles.
    int drip_request = 0;
    int drip_ms = 20;
    uint16_t drip_claim = 0;
    // Instead of by number: the reply to the first SendRRData carrying this CIP service trickles.
    uint8_t drip_service = 0;
};

class Device {
public:
    explicit Device(Script script) : script_(std::move(script)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), length);
        ::listen(listener_, 8);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~Device() {
        stopping_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    uint16_t port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

    // Bytes of the trickled reply sent so far, and whether the client hung up during it.
    int dripped() const { return dripped_.load(); }
    bool client_gave_up() const { return gave_up_.load(); }
    // Blocks until `n` bytes have been trickled (or the trickle ended); returns the count then.
    int wait_dripped(int n) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return dripped_ >= n || drip_over_; });
        return dripped_;
    }
    // Blocks until the trickled reply is due: its request has come in.
    void wait_trickling() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return trickling_; });
    }
    // Blocks until the trickle has ended: the client hung up or every byte went out.
    void wait_drip_over() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return drip_over_; });
    }

private:
    static void put(Bytes& out, uint64_t v, int n) {
        for (int i = 0; i < n; ++i)
            out.push_back(uint8_t(v >> (8 * i)));
    }
    static uint64_t get(const uint8_t* p, int n) {
        uint64_t v = 0;
        for (int i = n - 1; i >= 0; --i)
            v = v << 8 | p[i];
        return v;
    }
    // Reads exactly n bytes unless the client closes or the device stops.
    bool read_exact(int fd, uint8_t* out, size_t n) {
        for (size_t done = 0; done < n;) {
            pollfd pfd = {fd, POLLIN, 0};
            if (stopping_ || ::poll(&pfd, 1, 100) < 0)
                return false;
            if ((pfd.revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                continue;
            const ssize_t r = ::recv(fd, out + done, n - done, 0);
            if (r <= 0)
                return false;
            done += size_t(r);
        }
        return true;
    }

    // The CIP reply to one unconnected request (service, path, data).
    Bytes answer(const uint8_t* cip, size_t size) {
        Bytes out;
        if (size < 2)
            return {0x80, 0, 0x04, 0};
        const uint8_t service = cip[0];
        const size_t path_size = 2u * cip[1];
        const uint8_t* path = cip + 2;
        out = {uint8_t(service | 0x80), 0, 0, 0};
        if (service == 0x01 && path_size == 4 && path[1] == 0x01) { // Identity
            put(out, 1, 2), put(out, 0x0E, 2), put(out, 166, 2), out.push_back(33), out.push_back(11);
            put(out, 0x3060, 2), put(out, 0xC0FFEE, 4);
            out.push_back(uint8_t(script_.product.size()));
            out.insert(out.end(), script_.product.begin(), script_.product.end());
        } else if (service == 0x55 && path_size >= 4 && path[0] == 0x20 && path[1] == 0x6B) {
            // One page holding every scripted symbol, whatever instance it starts from.
            uint32_t instance = 1;
            for (const Tag& t : script_.tags) {
                put(out, instance++, 4), put(out, t.name.size(), 2);
                out.insert(out.end(), t.name.begin(), t.name.end());
                put(out, t.type, 2), put(out, t.dims[0], 4), put(out, t.dims[1], 4), put(out, t.dims[2], 4);
            }
        } else if (service == 0x4C) {
            put(out, 0xC4, 2), put(out, uint32_t(script_.value), 4);
        } else {
            return {uint8_t(service | 0x80), 0, 0x08, 0}; // Forward Open and the rest: not supported
        }
        return out;
    }

    // Serves one connection until the client closes or the device stops.
    void serve(int fd) {
        for (;;) {
            uint8_t header[24];
            if (!read_exact(fd, header, 24))
                return;
            Bytes data(get(header + 2, 2));
            if (!read_exact(fd, data.data(), data.size()))
                return;
            const uint16_t command = uint16_t(get(header, 2));
            const int number = ++requests_;
            Bytes body;
            uint32_t session = uint32_t(get(header + 4, 4));
            if (command == 0x65) {
                session = 0x0BADF00D;
                body = {1, 0, 0, 0};
            } else if (command == 0x66) {
                return;
            } else if (command == 0x6F && data.size() >= 16) {
                const size_t cip_size = get(&data[14], 2);
                const Bytes reply =
                    data.size() >= 16 + cip_size ? answer(&data[16], cip_size) : Bytes{0x80, 0, 4, 0};
                body = {0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0xB2, 0};
                put(body, reply.size(), 2);
                body.insert(body.end(), reply.begin(), reply.end());
            } else {
                return;
            }
            Bytes message;
            const bool by_service = command == 0x6F && script_.drip_service != 0 && data.size() > 16 &&
                                    data[16] == script_.drip_service && !drip_started_.exchange(true);
            const bool drip = number == script_.drip_request || by_service;
            put(message, command, 2), put(message, drip ? script_.drip_claim : body.size(), 2);
            put(message, session, 4), put(message, 0, 4);
            message.insert(message.end(), header + 12, header + 20);
            put(message, 0, 4);
            message.insert(message.end(), body.begin(), body.end());
            if (!drip) {
                ::send(fd, message.data(), message.size(), MSG_NOSIGNAL);
                continue;
            }
            trickle(fd, message);
            return;
        }
    }

    // One byte every drip_ms until the message is out or the client hangs up (a failed send, or its
    // end of the socket readable: closed or shut down).
    void trickle(int fd, const Bytes& message) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            trickling_ = true;
            cv_.notify_all();
        }
        for (size_t i = 0; i < message.size() && !stopping_; ++i) {
            pollfd pfd = {fd, POLLIN, 0};
            if (::poll(&pfd, 1, script_.drip_ms) > 0) {
                gave_up_ = true;
                break;
            }
            if (::send(fd, &message[i], 1, MSG_NOSIGNAL) != 1) {
                gave_up_ = true;
                break;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            ++dripped_;
            cv_.notify_all();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        drip_over_ = true;
        cv_.notify_all();
    }

    void run() {
        std::vector<std::thread> connections;
        while (!stopping_) {
            pollfd pfd = {listener_, POLLIN, 0};
            if (::poll(&pfd, 1, 100) <= 0)
                continue;
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0)
                continue;
            connections.emplace_back([this, fd] {
                serve(fd);
                ::close(fd);
            });
        }
        for (std::thread& t : connections)
            t.join();
        std::lock_guard<std::mutex> lock(mutex_);
        drip_over_ = true;
        cv_.notify_all();
    }

    Script script_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> requests_{0};
    std::atomic<int> dripped_{0};
    std::atomic<bool> gave_up_{false};
    std::atomic<bool> drip_started_{false};
    bool drip_over_ = false;
    bool trickling_ = false;
    std::mutex mutex_;
    std::condition_variable cv_;
};

} // namespace hostile
