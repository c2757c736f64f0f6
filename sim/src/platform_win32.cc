// The simulator's platform calls on Windows: Winsock 2 sockets waited on with select, a connected
// pair of loopback UDP sockets as the waker (select waits on sockets only), and the console's
// control events (Ctrl-C, Ctrl-Break, closing the console) as the quit request.
#include "platform.h"

// Winsock 2 before windows.h, which would otherwise bring in the old Winsock.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mswsock.h>
#include <windows.h>

#include <mutex>
#include <stdexcept>

namespace logixsim::platform {

namespace {

SOCKET handle_of(Socket s) {
    return static_cast<SOCKET>(s);
}

std::string error_text(int error) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out = n != 0 && text != nullptr ? std::string(text, n) : "error " + std::to_string(error);
    LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.'))
        out.pop_back();
    return out;
}

void start() {
    static std::once_flag once;
    static int error = 0;
    std::call_once(once, [] {
        WSADATA data;
        error = WSAStartup(MAKEWORD(2, 2), &data);
    });
    if (error != 0)
        throw std::runtime_error("logix-sim: cannot start Winsock: " + error_text(error));
}

// A socket that child processes do not inherit (as SOCK_CLOEXEC on POSIX).
SOCKET make_socket(int family, int type, int protocol) {
    return WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

HANDLE quit_event = nullptr;

BOOL WINAPI on_console_event(DWORD type) {
    SetEvent(quit_event);
    // The process ends as soon as this returns from a close, logoff or shutdown event: wait here
    // until main has stopped the server and returned (which ends the process).
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        Sleep(INFINITE);
    return TRUE;
}

} // namespace

Listeners listen(const std::string& host, uint16_t port) {
    start();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0)
        throw std::runtime_error("logix-sim: cannot resolve " + host + ": " + error_text(rc));
    std::string error = "no address";
    SOCKET fd = INVALID_SOCKET;
    // No SO_REUSEADDR: on Windows it would let another program take a port already listened on.
    for (addrinfo* a = found; a != nullptr && fd == INVALID_SOCKET; a = a->ai_next) {
        fd = make_socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd == INVALID_SOCKET) {
            error = error_text(WSAGetLastError());
            continue;
        }
        if (::bind(fd, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0 || ::listen(fd, SOMAXCONN) != 0) {
            error = error_text(WSAGetLastError());
            closesocket(fd);
            fd = INVALID_SOCKET;
        }
    }
    ::freeaddrinfo(found);
    if (fd == INVALID_SOCKET)
        throw std::runtime_error("logix-sim: cannot listen on " + host + ":" + service + ": " + error);
    Listeners l;
    sockaddr_storage bound{};
    int len = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    if (bound.ss_family == AF_INET6) {
        l.port = ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
    } else {
        l.port = ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        l.address = ntohl(reinterpret_cast<sockaddr_in*>(&bound)->sin_addr.s_addr);
    }
    const SOCKET udp = make_socket(bound.ss_family, SOCK_DGRAM, IPPROTO_UDP);
    // Non-blocking, so that receive_datagram never waits; and a datagram sent to a closed port
    // must not fail the next receive with WSAECONNRESET (the default on Windows).
    u_long nonblocking = 1;
    BOOL report_reset = FALSE;
    DWORD returned = 0;
    if (udp == INVALID_SOCKET || ::bind(udp, reinterpret_cast<sockaddr*>(&bound), len) != 0 ||
        ioctlsocket(udp, FIONBIO, &nonblocking) != 0 ||
        WSAIoctl(udp, SIO_UDP_CONNRESET, &report_reset, sizeof report_reset, nullptr, 0, &returned, nullptr,
                 nullptr) != 0) {
        error = error_text(WSAGetLastError());
        if (udp != INVALID_SOCKET)
            closesocket(udp);
        closesocket(fd);
        throw std::runtime_error("logix-sim: cannot listen for UDP on " + host + ":" +
                                 std::to_string(l.port) + ": " + error);
    }
    l.tcp = static_cast<Socket>(fd);
    l.udp = static_cast<Socket>(udp);
    return l;
}

Socket accept(Socket listener, bool* out_of_resources) {
    const SOCKET fd = ::accept(handle_of(listener), nullptr, nullptr);
    const int error = fd == INVALID_SOCKET ? WSAGetLastError() : 0;
    *out_of_resources = error == WSAEMFILE || error == WSAENOBUFS;
    if (fd == INVALID_SOCKET)
        return kNoSocket;
    BOOL one = TRUE;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return static_cast<Socket>(fd);
}

int wait_readable(const Socket* sockets, int count, int timeout_ms) {
    fd_set readable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&failed);
    int listed = 0;
    for (int i = 0; i < count; ++i) {
        if (sockets[i] == kNoSocket)
            continue;
        FD_SET(handle_of(sockets[i]), &readable);
        FD_SET(handle_of(sockets[i]), &failed);
        ++listed;
    }
    if (listed == 0) { // select refuses empty sets
        Sleep(timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
        return 0;
    }
    timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    const int n = ::select(0, &readable, nullptr, &failed, timeout_ms < 0 ? nullptr : &tv);
    if (n <= 0)
        return n < 0 ? -1 : 0;
    int ready = 0;
    for (int i = 0; i < count; ++i)
        if (sockets[i] != kNoSocket &&
            (FD_ISSET(handle_of(sockets[i]), &readable) || FD_ISSET(handle_of(sockets[i]), &failed)))
            ready |= 1 << i;
    return ready;
}

long receive(Socket s, uint8_t* p, size_t n) {
    const int got =
        ::recv(handle_of(s), reinterpret_cast<char*>(p), static_cast<int>(n > INT32_MAX ? INT32_MAX : n), 0);
    return got == SOCKET_ERROR ? -1 : got;
}

bool send_all(Socket s, const uint8_t* p, size_t n) {
    while (n > 0) {
        const int sent = ::send(handle_of(s), reinterpret_cast<const char*>(p),
                                static_cast<int>(n > INT32_MAX ? INT32_MAX : n), 0);
        if (sent == SOCKET_ERROR || sent == 0)
            return false;
        p += sent;
        n -= static_cast<size_t>(sent);
    }
    return true;
}

long receive_datagram(Socket s, uint8_t* p, size_t n, Peer* from) {
    int len = sizeof from->address;
    const int got = ::recvfrom(handle_of(s), reinterpret_cast<char*>(p), static_cast<int>(n), 0,
                               reinterpret_cast<sockaddr*>(from->address), &len);
    from->length = len;
    return got == SOCKET_ERROR ? -1 : got;
}

void send_datagram(Socket s, const uint8_t* p, size_t n, const Peer& to) {
    ::sendto(handle_of(s), reinterpret_cast<const char*>(p), static_cast<int>(n), 0,
             reinterpret_cast<const sockaddr*>(to.address), to.length);
}

void shutdown(Socket s) {
    ::shutdown(handle_of(s), SD_BOTH);
}

void close(Socket s) {
    if (s != kNoSocket)
        closesocket(handle_of(s));
}

void open_waker(Socket ends[2]) {
    start();
    // Two UDP sockets on loopback, each connected to the other: the reader takes datagrams from
    // the writer only.
    SOCKET reader = make_socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    SOCKET writer = make_socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in reader_at{}, writer_at{};
    int reader_len = sizeof reader_at, writer_len = sizeof writer_at;
    const bool ok = reader != INVALID_SOCKET && writer != INVALID_SOCKET &&
                    ::bind(reader, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0 &&
                    ::bind(writer, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0 &&
                    ::getsockname(reader, reinterpret_cast<sockaddr*>(&reader_at), &reader_len) == 0 &&
                    ::getsockname(writer, reinterpret_cast<sockaddr*>(&writer_at), &writer_len) == 0 &&
                    ::connect(reader, reinterpret_cast<sockaddr*>(&writer_at), writer_len) == 0 &&
                    ::connect(writer, reinterpret_cast<sockaddr*>(&reader_at), reader_len) == 0;
    if (!ok) {
        const std::string error = error_text(WSAGetLastError());
        if (reader != INVALID_SOCKET)
            closesocket(reader);
        if (writer != INVALID_SOCKET)
            closesocket(writer);
        throw std::runtime_error("logix-sim: cannot make the waker: " + error);
    }
    ends[0] = static_cast<Socket>(reader);
    ends[1] = static_cast<Socket>(writer);
}

void wake(Socket writer) {
    const char byte = 0;
    ::send(handle_of(writer), &byte, 1, 0);
}

void hold_quit_requests() {
    quit_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void wait_for_quit() {
    WaitForSingleObject(quit_event, INFINITE);
}

std::tm utc_time(std::time_t seconds) {
    std::tm t{};
    gmtime_s(&t, &seconds);
    return t;
}

std::time_t from_utc(std::tm* t) {
    return _mkgmtime(t);
}

} // namespace logixsim::platform
