// The TCP side of the simulator: a listening socket, one thread per connection, the live-value
// ticker, and fault injection around each connection's request/reply loop.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <stdexcept>
#include <thread>

#include "handler.h"
#include "logixsim/server.h"
#include "model.h"
#include "platform.h"

namespace logixsim {

using detail::Bytes;
using platform::kNoSocket;
using platform::Socket;

namespace {

// Reads n bytes; false when the peer closes, the socket fails, the waker wakes (the server
// stops), or (with idle_ms >= 0) no byte came for idle_ms (then *idled is set).
bool recv_all(Socket fd, Socket waker, uint8_t* p, size_t n, int idle_ms = -1, bool* idled = nullptr) {
    while (n > 0) {
        const Socket both[2] = {fd, waker};
        const int ready = platform::wait_readable(both, 2, idle_ms);
        if (ready == 0 && idled != nullptr)
            *idled = true;
        if (ready <= 0 || (ready & 2) != 0)
            return false;
        const long got = platform::receive(fd, p, n);
        if (got <= 0)
            return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

detail::Limits limits_of(const Faults& f, int slot, uint16_t port = 44818, uint32_t address = 0x7F000001) {
    detail::Limits l;
    l.packet_limit = f.packet_limit;
    l.packet_limit_on_connections = f.packet_limit_on_connections;
    l.reply_limit = f.reply_limit;
    l.refused_templates = &f.refused_templates;
    l.no_multiple_service = f.no_multiple_service;
    l.connected_reply_ot_id = f.connected_reply_ot_id;
    l.connected_reply_other_id = f.connected_reply_other_id;
    l.no_symbol_object = f.no_symbol_object;
    l.refuse_writes = f.refuse_writes;
    l.malformed_error_replies = f.malformed_error_replies;
    l.fail_first_read_after_connect = f.fail_first_read_after_connect;
    l.encapsulation_refused_service = f.encapsulation_refused_service;
    l.no_unconnected_send = f.no_unconnected_send;
    l.strings = f.strings;
    l.slot = slot;
    l.port = port;
    l.address = address;
    return l;
}

} // namespace

struct Server::Impl {
    std::shared_ptr<const Controller> controller;
    Options options;
    detail::ValueStore store;
    detail::ConnectionTable connections;

    mutable std::mutex faults_mutex;
    Faults faults;

    struct Conn {
        Socket fd = kNoSocket; // guarded by Impl::mutex; kNoSocket once the connection thread closed it
        std::thread thread;
        bool done = false; // guarded by Impl::mutex
    };

    mutable std::mutex mutex;
    std::mutex service_mutex; // held while the controller works on a request (service_us)
    std::condition_variable wake_cv;
    bool stopping = false;
    bool running = false;
    std::list<std::unique_ptr<Conn>> conns;
    Socket listen_fd = kNoSocket;
    Socket udp_fd = kNoSocket; // ListIdentity over UDP on the same address and port
    uint32_t address = 0x7F000001;
    Socket waker[2] = {kNoSocket, kNoSocket}; // waker[0] is readable once the server stops
    uint16_t port = 0;
    std::thread acceptor;
    std::thread ticker;

    std::atomic<uint64_t> requests{0};
    std::atomic<uint64_t> idle_closes{0};
    std::atomic<uint64_t> accept_failures{0};
    std::atomic<uint64_t> accept_pauses{0};

    Impl(std::shared_ptr<const Controller> c, Options o)
        : controller(std::move(c)), options(std::move(o)), store(controller), faults(options.faults) {
        connections.set_idle_limit_us(int64_t{faults.drop_idle_connections_ms} * 1000);
        connections.set_limit(static_cast<size_t>(std::max(0, options.max_connections)));
    }

    Faults current_faults() const {
        std::lock_guard<std::mutex> lock(faults_mutex);
        return faults;
    }

    // Waits for `ms` milliseconds or until the server stops; false when it stops.
    bool pause(int ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return !wake_cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping; });
    }

    void serve(Conn* conn, Socket fd) {
        detail::EncapSession session(store, connections);
        size_t received = 0;
        Faults f = current_faults();
        if (f.close_after_requests != 0) {
            Bytes message;
            bool idled = false;
            for (;;) {
                // Until a session is registered, a client that sends nothing for idle_close_ms is
                // dropped; with a session the client's own supervision decides.
                const int idle =
                    session.session() == 0 && options.idle_close_ms > 0 ? options.idle_close_ms : -1;
                message.resize(detail::kEncapHeaderSize);
                if (!recv_all(fd, waker[0], message.data(), message.size(), idle, &idled))
                    break;
                size_t length = detail::get_u16(message.data() + 2);
                message.resize(detail::kEncapHeaderSize + length);
                if (length > 0 &&
                    !recv_all(fd, waker[0], message.data() + detail::kEncapHeaderSize, length, idle, &idled))
                    break;
                ++received;
                const uint64_t total = ++requests;
                f = current_faults();
                if (f.close_after_requests >= 0 && received >= static_cast<size_t>(f.close_after_requests))
                    break;
                if (f.stall_after_requests >= 0 && total > static_cast<uint64_t>(f.stall_after_requests))
                    continue; // hung: read, never answered
                const auto arrived = std::chrono::steady_clock::now();
                auto outcome = [&] {
                    if (options.service_us <= 0)
                        return session.handle(message.data(), message.size(),
                                              limits_of(f, options.slot, port, address), f.refuse_sessions);
                    // One controller working one request at a time, whichever connection it came on.
                    std::lock_guard<std::mutex> serial(service_mutex);
                    const auto busy_until =
                        std::chrono::steady_clock::now() + std::chrono::microseconds(options.service_us);
                    auto o = session.handle(message.data(), message.size(),
                                            limits_of(f, options.slot, port, address), f.refuse_sessions);
                    std::this_thread::sleep_until(busy_until);
                    return o;
                }();
                if (outcome.has_reply && options.rtt_ms > 0) {
                    const auto due = arrived + std::chrono::milliseconds(options.rtt_ms);
                    const auto now = std::chrono::steady_clock::now();
                    if (due > now &&
                        !pause(int(std::chrono::ceil<std::chrono::milliseconds>(due - now).count())))
                        break;
                }
                if (outcome.has_reply) {
                    Bytes& r = outcome.reply;
                    if (f.reply_delay_ms > 0 && !pause(f.reply_delay_ms))
                        break;
                    if (f.wrong_command)
                        detail::set_u16(r.data(), static_cast<uint16_t>(detail::get_u16(r.data()) + 1));
                    if (f.wrong_sender_context) {
                        uint64_t context = detail::get_u64(r.data() + 12) + 1;
                        for (int i = 0; i < 8; ++i)
                            r[12 + static_cast<size_t>(i)] = static_cast<uint8_t>(context >> (8 * i));
                    }
                    if (f.close_mid_reply) {
                        platform::send_all(fd, r.data(), std::max<size_t>(1, r.size() / 2));
                        break;
                    }
                    if (!platform::send_all(fd, r.data(), r.size()))
                        break;
                }
                if (outcome.close)
                    break;
            }
            if (idled)
                ++idle_closes;
        }
        // The session's class 3 connections close before the TCP connection counts as closed.
        session.close();
        std::lock_guard<std::mutex> lock(mutex);
        platform::shutdown(fd);
        platform::close(fd);
        conn->fd = kNoSocket;
        conn->done = true;
    }

    void reap_locked(std::list<std::unique_ptr<Conn>>& finished) {
        for (auto it = conns.begin(); it != conns.end();) {
            if ((*it)->done) {
                finished.push_back(std::move(*it));
                it = conns.erase(it);
            } else {
                ++it;
            }
        }
    }

    void accept_loop() {
        // After an accept that failed for want of descriptors (or memory) the pending connection
        // stays in the queue and the listener stays readable: polling it again at once would spin.
        // The listener rests for a pause (50 ms doubling to 1 s) while the rest goes on.
        int pause_ms = 0;
        bool resting = false;
        for (;;) {
            // The listener (unless resting), the waker, the UDP socket: bits 1, 2 and 4 of `ready`.
            const Socket sockets[3] = {resting ? kNoSocket : listen_fd, waker[0], udp_fd};
            const int ready = platform::wait_readable(sockets, 3, resting ? pause_ms : -1);
            if (ready < 0 || (ready & 2) != 0)
                return;
            if (resting && ready == 0) {
                resting = false;
                ++accept_pauses;
                continue;
            }
            if ((ready & 4) != 0)
                answer_datagram();
            std::list<std::unique_ptr<Conn>> finished;
            if ((ready & 1) != 0) {
                bool out_of_resources = false;
                const Socket fd = platform::accept(listen_fd, &out_of_resources);
                if (out_of_resources) {
                    ++accept_failures;
                    pause_ms = std::min(1000, std::max(50, pause_ms * 2));
                    resting = true;
                } else if (fd != kNoSocket) {
                    pause_ms = 0;
                }
                if (fd != kNoSocket) {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (stopping) {
                        platform::close(fd);
                        return;
                    }
                    auto conn = std::make_unique<Conn>();
                    conn->fd = fd;
                    Conn* raw = conn.get();
                    conns.push_back(std::move(conn));
                    raw->thread = std::thread([this, raw, fd] { serve(raw, fd); });
                }
            }
            {
                std::lock_guard<std::mutex> lock(mutex);
                reap_locked(finished);
            }
            for (auto& c : finished)
                c->thread.join();
        }
    }

    // One datagram: ListIdentity and ListServices are answered to the sender; anything else,
    // or anything malformed, is dropped as a controller does.
    void answer_datagram() {
        uint8_t buf[1024];
        platform::Peer from;
        const long got = platform::receive_datagram(udp_fd, buf, sizeof buf, &from);
        if (got < static_cast<long>(detail::kEncapHeaderSize))
            return;
        size_t size = static_cast<size_t>(got);
        uint16_t command = detail::get_u16(buf);
        if ((command != 0x0063 && command != 0x0004) ||
            detail::kEncapHeaderSize + detail::get_u16(buf + 2) != size)
            return;
        detail::EncapSession session(store, connections);
        Faults f = current_faults();
        auto outcome = session.handle(buf, size, limits_of(f, options.slot, port, address), false);
        if (outcome.has_reply)
            platform::send_datagram(udp_fd, outcome.reply.data(), outcome.reply.size(), from);
    }

    void tick_loop() {
        while (pause(options.live_interval_ms))
            store.tick();
    }
};

Server::Server(std::shared_ptr<const Controller> controller, Options options) {
    if (!controller)
        throw std::runtime_error("logix-sim: no controller given");
    impl_ = std::make_unique<Impl>(std::move(controller), std::move(options));
}

Server::~Server() {
    stop();
}

void Server::start() {
    Impl& s = *impl_;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.running)
            return;
    }
    const platform::Listeners listeners = platform::listen(s.options.host, s.options.port);
    try {
        platform::open_waker(s.waker);
    } catch (...) {
        platform::close(listeners.tcp);
        platform::close(listeners.udp);
        throw;
    }
    s.port = listeners.port;
    s.address = listeners.address;
    s.udp_fd = listeners.udp;
    s.listen_fd = listeners.tcp;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.stopping = false;
        s.running = true;
    }
    s.acceptor = std::thread([&s] { s.accept_loop(); });
    if (s.options.live_interval_ms > 0)
        s.ticker = std::thread([&s] { s.tick_loop(); });
}

uint16_t Server::port() const {
    return impl_->port;
}

void Server::stop() {
    Impl& s = *impl_;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.running)
            return;
        s.stopping = true;
    }
    s.wake_cv.notify_all();
    platform::wake(s.waker[1]);
    if (s.acceptor.joinable())
        s.acceptor.join();
    if (s.ticker.joinable())
        s.ticker.join();
    std::list<std::unique_ptr<Impl::Conn>> all;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        for (auto& c : s.conns)
            if (c->fd != kNoSocket)
                platform::shutdown(c->fd);
        all.swap(s.conns);
    }
    for (auto& c : all)
        c->thread.join();
    for (Socket* fd : {&s.listen_fd, &s.udp_fd, &s.waker[0], &s.waker[1]}) {
        platform::close(*fd);
        *fd = kNoSocket;
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    s.running = false;
    s.stopping = false;
}

void Server::set_faults(const Faults& faults) {
    std::lock_guard<std::mutex> lock(impl_->faults_mutex);
    impl_->faults = faults;
    impl_->connections.set_idle_limit_us(int64_t{faults.drop_idle_connections_ms} * 1000);
}

uint64_t Server::request_count() const {
    return impl_->requests.load();
}

uint64_t Server::idle_closes() const {
    return impl_->idle_closes.load();
}

uint64_t Server::accept_failures() const {
    return impl_->accept_failures.load();
}

uint64_t Server::accept_pauses() const {
    return impl_->accept_pauses.load();
}

Faults Server::faults() const {
    return impl_->current_faults();
}

void Server::tick() {
    impl_->store.tick();
}

size_t Server::connection_count() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    size_t n = 0;
    for (const auto& c : impl_->conns)
        n += c->done ? 0 : 1;
    return n;
}

struct Connection::Impl {
    std::shared_ptr<const Controller> controller;
    Options options;
    detail::ValueStore store;
    detail::ConnectionTable connections;
    detail::EncapSession session;
    Bytes pending;
    bool closed = false;
    Impl(std::shared_ptr<const Controller> c, Options o)
        : controller(std::move(c)), options(std::move(o)), store(controller), session(store, connections) {}
};

Connection::Connection(std::shared_ptr<const Controller> controller, Options options) {
    if (!controller)
        throw std::runtime_error("logix-sim: no controller given");
    impl_ = std::make_unique<Impl>(std::move(controller), std::move(options));
}

Connection::~Connection() = default;

std::vector<uint8_t> Connection::feed(const uint8_t* data, size_t size) {
    Impl& c = *impl_;
    Bytes out;
    if (c.closed || size == 0)
        return out;
    c.pending.insert(c.pending.end(), data, data + size);
    size_t pos = 0;
    while (!c.closed && c.pending.size() - pos >= detail::kEncapHeaderSize) {
        size_t total = detail::kEncapHeaderSize + detail::get_u16(c.pending.data() + pos + 2);
        if (c.pending.size() - pos < total)
            break;
        const Faults& f = c.options.faults;
        auto outcome =
            c.session.handle(c.pending.data() + pos, total, limits_of(f, c.options.slot), f.refuse_sessions);
        pos += total;
        if (outcome.has_reply)
            out.insert(out.end(), outcome.reply.begin(), outcome.reply.end());
        if (outcome.close)
            c.closed = true;
    }
    if (c.closed)
        c.pending.clear();
    else
        c.pending.erase(c.pending.begin(), c.pending.begin() + static_cast<long>(pos));
    return out;
}

bool Connection::closed() const {
    return impl_->closed;
}

std::vector<uint8_t> Connection::cip(const uint8_t* data, size_t size) {
    const Faults& f = impl_->options.faults;
    detail::Env env{impl_->store, impl_->connections, 0};
    return detail::handle_cip(env, data, size, limits_of(f, impl_->options.slot));
}

} // namespace logixsim

namespace logixsim {
void Connection::tick() {
    impl_->store.tick();
}
} // namespace logixsim
