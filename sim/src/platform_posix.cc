// The simulator's platform calls on Linux and other POSIX systems: BSD sockets, poll, a pipe as
// the waker, SIGINT and SIGTERM awaited with sigwait.
#include "platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

namespace logixsim::platform {

namespace {

int fd_of(Socket s) {
    return static_cast<int>(s);
}

sigset_t quit_signals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

} // namespace

Listeners listen(const std::string& host, uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0)
        throw std::runtime_error("logix-sim: cannot resolve " + host + ": " + ::gai_strerror(rc));
    std::string error = "no address";
    int fd = -1;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            error = std::strerror(errno);
            continue;
        }
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
            error = std::strerror(errno);
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd < 0)
        throw std::runtime_error("logix-sim: cannot listen on " + host + ":" + service + ": " + error);
    Listeners l;
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    if (bound.ss_family == AF_INET6) {
        l.port = ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
    } else {
        l.port = ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        l.address = ntohl(reinterpret_cast<sockaddr_in*>(&bound)->sin_addr.s_addr);
    }
    const int udp = ::socket(bound.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (udp < 0 || ::bind(udp, reinterpret_cast<sockaddr*>(&bound), len) != 0) {
        error = std::strerror(errno);
        if (udp >= 0)
            ::close(udp);
        ::close(fd);
        throw std::runtime_error("logix-sim: cannot listen for UDP on " + host + ":" +
                                 std::to_string(l.port) + ": " + error);
    }
    l.tcp = fd;
    l.udp = udp;
    return l;
}

Socket accept(Socket listener, bool* out_of_resources) {
    const int fd = ::accept(fd_of(listener), nullptr, nullptr);
    *out_of_resources = fd < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM);
    if (fd < 0)
        return kNoSocket;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

int wait_readable(const Socket* sockets, int count, int timeout_ms) {
    pollfd fds[8];
    if (count < 0 || count > 8)
        return -1;
    for (int i = 0; i < count; ++i)
        fds[i] = {sockets[i] == kNoSocket ? -1 : fd_of(sockets[i]), POLLIN, 0};
    for (;;) {
        const int n = ::poll(fds, static_cast<nfds_t>(count), timeout_ms);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? -1 : 0;
        int ready = 0;
        for (int i = 0; i < count; ++i)
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0)
                ready |= 1 << i;
        return ready;
    }
}

long receive(Socket s, uint8_t* p, size_t n) {
    for (;;) {
        const ssize_t got = ::recv(fd_of(s), p, n, 0);
        if (got < 0 && errno == EINTR)
            continue;
        return got < 0 ? -1 : static_cast<long>(got);
    }
}

bool send_all(Socket s, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t sent = ::send(fd_of(s), p, n, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        p += sent;
        n -= static_cast<size_t>(sent);
    }
    return true;
}

long receive_datagram(Socket s, uint8_t* p, size_t n, Peer* from) {
    socklen_t len = sizeof from->address;
    const ssize_t got =
        ::recvfrom(fd_of(s), p, n, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(from->address), &len);
    from->length = static_cast<int>(len);
    return got < 0 ? -1 : static_cast<long>(got);
}

void send_datagram(Socket s, const uint8_t* p, size_t n, const Peer& to) {
    ::sendto(fd_of(s), p, n, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(to.address),
             static_cast<socklen_t>(to.length));
}

void shutdown(Socket s) {
    ::shutdown(fd_of(s), SHUT_RDWR);
}

void close(Socket s) {
    if (s != kNoSocket)
        ::close(fd_of(s));
}

void open_waker(Socket ends[2]) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("logix-sim: pipe: ") + std::strerror(errno));
    ends[0] = fds[0];
    ends[1] = fds[1];
}

void wake(Socket writer) {
    const char byte = 0;
    while (::write(fd_of(writer), &byte, 1) < 0 && errno == EINTR) {
    }
}

void hold_quit_requests() {
    // Blocked in this thread and so in every thread started after it; sigwait takes them.
    const sigset_t signals = quit_signals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

void wait_for_quit() {
    const sigset_t signals = quit_signals();
    int received = 0;
    sigwait(&signals, &received);
}

std::tm utc_time(std::time_t seconds) {
    std::tm t{};
    gmtime_r(&seconds, &t);
    return t;
}

std::time_t from_utc(std::tm* t) {
    return timegm(t);
}

} // namespace logixsim::platform
