// A loopback relay between a client and logix-sim that counts the client's encapsulation
// requests (by CIP service, unconnected or connected) and the bytes in both directions.
#ifndef ORVANE_BENCH_COUNTING_RELAY_H
#define ORVANE_BENCH_COUNTING_RELAY_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

class CountingRelay {
public:
    explicit CountingRelay(uint16_t upstream) : upstream_(upstream) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listener_, 4) != 0) {
            throw std::runtime_error("relay: cannot listen");
        }
        socklen_t len = sizeof addr;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~CountingRelay() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    uint16_t port() const { return port_; }
    struct Counts {
        uint64_t exchanges = 0;
        uint64_t bytes_out = 0;
        uint64_t bytes_in = 0;
        std::map<uint8_t, uint64_t> by_service;
    };
    Counts take() {
        std::lock_guard<std::mutex> lock(mutex_);
        Counts c = counts_;
        counts_ = {};
        return c;
    }

private:
    void run() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) {
                continue;
            }
            int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0) {
                continue;
            }
            int up = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = htons(upstream_);
            if (::connect(up, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
                relay(client, up);
            }
            ::close(up);
            ::close(client);
        }
    }
    void relay(int client, int up) {
        std::vector<uint8_t> pending;
        std::vector<uint8_t> buf(65536);
        while (!stop_) {
            pollfd p[2] = {{client, POLLIN, 0}, {up, POLLIN, 0}};
            if (::poll(p, 2, 20) <= 0) {
                continue;
            }
            if (p[0].revents != 0) {
                ssize_t n = ::recv(client, buf.data(), buf.size(), 0);
                if (n <= 0) {
                    return;
                }
                pending.insert(pending.end(), buf.begin(), buf.begin() + n);
                frames(pending);
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    counts_.bytes_out += uint64_t(n);
                }
                if (::send(up, buf.data(), size_t(n), MSG_NOSIGNAL) != n) {
                    return;
                }
            }
            if (p[1].revents != 0) {
                ssize_t n = ::recv(up, buf.data(), buf.size(), 0);
                if (n <= 0) {
                    return;
                }
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    counts_.bytes_in += uint64_t(n);
                }
                if (::send(client, buf.data(), size_t(n), MSG_NOSIGNAL) != n) {
                    return;
                }
            }
        }
    }
    void frames(std::vector<uint8_t>& pending) {
        while (pending.size() >= 24) {
            size_t length = size_t(pending[2] | (pending[3] << 8));
            if (pending.size() < 24 + length) {
                return;
            }
            // The CIP service: after the CPF header of a SendRRData, or after the connected address
            // item and the sequence count of a SendUnitData.
            const uint16_t command = uint16_t(pending[0] | (pending[1] << 8));
            uint8_t service = length > 16 ? pending[24 + 16] : 0;
            if (command == 0x70) {
                service = length > 22 ? pending[24 + 22] : 0;
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ++counts_.exchanges;
                ++counts_.by_service[service];
            }
            pending.erase(pending.begin(), pending.begin() + long(24 + length));
        }
    }

    uint16_t upstream_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    Counts counts_;
};

} // namespace

#endif
