// Winsock 2 for the TCP transport (Windows). Waits use select, which reports a refused
// non-blocking connect through the exception set; a cancel is noticed between 50 ms slices
// because a shutdown from another thread is not guaranteed to wake a waiting select.
#include "zelkc_cip.h"
#include "zelkc_cip_net.h"

// Winsock 2 before windows.h, which would otherwise bring in the old Winsock.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <mutex>

static const int32_t kSliceMs = 50;

bool zelkc_cip_net_start(void) {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return started;
}

int zelkc_cip_net_resolve(const char* host, const char* port, struct addrinfo** list) {
    if (!zelkc_cip_net_start())
        return EAI_FAIL;
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    return getaddrinfo(host, port, &hints, list);
}

void zelkc_cip_net_free(struct addrinfo* list) {
    freeaddrinfo(list);
}

const struct addrinfo* zelkc_cip_net_next(const struct addrinfo* ai) {
    return ai->ai_next;
}

int zelkc_cip_net_socket(const struct addrinfo* ai) {
    SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (s == INVALID_SOCKET)
        return -1;
    u_long nonblocking = 1;
    BOOL one = TRUE;
    if (s > static_cast<SOCKET>(INT32_MAX - 1) || ioctlsocket(s, FIONBIO, &nonblocking) != 0 ||
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one) != 0) {
        closesocket(s);
        return -1;
    }
    return static_cast<int>(s);
}

int zelkc_cip_net_connect(int fd, const struct addrinfo* ai) {
    return connect(static_cast<SOCKET>(fd), ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0 ? 0 : -1;
}

bool zelkc_cip_net_pending_error(int fd, int* error) {
    int len = sizeof *error;
    return getsockopt(static_cast<SOCKET>(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(error), &len) ==
           0;
}

static bool cancelled(const zelkc_cip_cancel* cancel) {
    return cancel != nullptr && __atomic_load_n(&cancel->requested, __ATOMIC_SEQ_CST) != 0;
}

int zelkc_cip_net_wait(int fd, bool for_write, int32_t timeout_ms, const zelkc_cip_cancel* cancel,
                       bool* failed) {
    *failed = false;
    const SOCKET s = static_cast<SOCKET>(fd);
    int32_t left = timeout_ms;
    for (;;) {
        const int32_t slice = left < kSliceMs ? left : kSliceMs;
        fd_set ready_set, error_set;
        FD_ZERO(&ready_set);
        FD_ZERO(&error_set);
        FD_SET(s, &ready_set);
        FD_SET(s, &error_set);
        struct timeval tv = {slice / 1000, (slice % 1000) * 1000};
        const int n =
            select(0, for_write ? nullptr : &ready_set, for_write ? &ready_set : nullptr, &error_set, &tv);
        if (n == SOCKET_ERROR)
            return -1;
        if (n > 0) {
            *failed = FD_ISSET(s, &error_set) != 0;
            return 1;
        }
        left -= slice;
        if (cancelled(cancel))
            return 1;
        if (left <= 0)
            return 0;
    }
}

int64_t zelkc_cip_net_send(int fd, const uint8_t* data, uint32_t length) {
    const int n = send(static_cast<SOCKET>(fd), reinterpret_cast<const char*>(data),
                       static_cast<int>(length > INT32_MAX ? INT32_MAX : length), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int64_t zelkc_cip_net_recv(int fd, uint8_t* buffer, uint32_t length) {
    const int n = recv(static_cast<SOCKET>(fd), reinterpret_cast<char*>(buffer),
                       static_cast<int>(length > INT32_MAX ? INT32_MAX : length), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

zelkc_cip_net_error zelkc_cip_net_last_error(void) {
    const int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK || err == WSAEINPROGRESS || err == WSAEALREADY)
        return ZELKC_CIP_NET_AGAIN;
    return err == WSAEINTR ? ZELKC_CIP_NET_INTERRUPTED : ZELKC_CIP_NET_OTHER;
}

void zelkc_cip_net_shutdown(int fd) {
    shutdown(static_cast<SOCKET>(fd), SD_BOTH);
}

void zelkc_cip_net_close(int fd) {
    closesocket(static_cast<SOCKET>(fd));
}

uint32_t zelkc_cip_net_process_id(void) {
    return static_cast<uint32_t>(GetCurrentProcessId());
}
