// TCP transport: one non-blocking socket; every send, receive and connect waits with poll first.
#include "zelkc_cip.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

static const short kPollFailure = POLLERR | POLLHUP | POLLNVAL; // 0x38

zelkc_cip_tcp_transport* zelkc_cip_tcp_transport_create(void) {
    auto* transport = static_cast<zelkc_cip_tcp_transport*>(zelkc_cip_alloc(sizeof(zelkc_cip_tcp_transport)));
    if (transport == nullptr)
        return nullptr;
    transport->fd = -1;
    return transport;
}

void zelkc_cip_tcp_transport_close(zelkc_cip_tcp_transport* transport) {
    if (transport == nullptr)
        return;
    if (transport->fd != -1) {
        close(transport->fd);
        transport->fd = -1;
    }
}

void zelkc_cip_tcp_transport_destroy(zelkc_cip_tcp_transport* transport) {
    if (transport == nullptr)
        return;
    zelkc_cip_tcp_transport_close(transport);
    zelkc_cip_free(transport);
}

static bool in_progress(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == EINPROGRESS;
}

// One connect attempt to one resolved address. Returns the descriptor, or -1 with *error set to
// the error this attempt leaves behind (unchanged when the attempt gives up early).
static int connect_one(const struct addrinfo* ai, int32_t timeout_ms, uint8_t* error) {
    int fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (fd < 0)
        return -1;
    int one = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        close(fd);
        return -1;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        close(fd);
        return -1;
    }
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0)
        return fd;
    if (!in_progress(errno)) {
        close(fd);
        return -1;
    }
    if (timeout_ms < 0) {
        *error = ZELKC_CIP_TCP_ERR_INVALID_ARGUMENT;
        close(fd);
        return -1;
    }
    struct pollfd pfd = {fd, POLLOUT, 0};
    int ready = poll(&pfd, 1, timeout_ms);
    if (ready <= 0) {
        *error = ready == 0 ? ZELKC_CIP_TCP_ERR_TIMEOUT : ZELKC_CIP_TCP_ERR_IO;
        close(fd);
        return -1;
    }
    // A refused or unreachable connection shows up as POLLERR/POLLHUP with the reason in
    // SO_ERROR: that is a failed connect (3), not an I/O failure. Without a pending error the
    // poll condition itself is reported (6).
    int so_error = 0;
    socklen_t len = sizeof so_error;
    const bool have_error = getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) == 0;
    if (pfd.revents & kPollFailure) {
        *error = have_error && so_error != 0 ? ZELKC_CIP_TCP_ERR_CONNECT : ZELKC_CIP_TCP_ERR_IO;
        close(fd);
        return -1;
    }
    if (!have_error || so_error != 0) {
        *error = ZELKC_CIP_TCP_ERR_CONNECT;
        close(fd);
        return -1;
    }
    return fd;
}

uint8_t zelkc_cip_tcp_transport_connect(zelkc_cip_tcp_transport* transport, const char* host, uint32_t port,
                                        int32_t timeout_ms) {
    if (transport == nullptr || host == nullptr || host[0] == '\0' || port == 0)
        return ZELKC_CIP_TCP_ERR_INVALID_ARGUMENT;
    zelkc_cip_tcp_transport_close(transport);

    char port_text[16];
    snprintf(port_text, sizeof port_text, "%u", port);
    struct addrinfo hints = {};
    hints.ai_flags = 0;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    struct addrinfo* list = nullptr;
    if (getaddrinfo(host, port_text, &hints, &list) != 0)
        return ZELKC_CIP_TCP_ERR_RESOLVE;
    if (list == nullptr)
        return ZELKC_CIP_TCP_ERR_CONNECT;

    uint8_t last_error = ZELKC_CIP_TCP_ERR_CONNECT;
    for (const struct addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        int fd = connect_one(ai, timeout_ms, &last_error);
        if (fd >= 0) {
            transport->fd = fd;
            freeaddrinfo(list);
            return ZELKC_CIP_TCP_OK;
        }
    }
    freeaddrinfo(list);
    return last_error;
}

// The shared loop of send and receive: wait for readiness, move what the socket takes, repeat.
static uint8_t transfer(zelkc_cip_tcp_transport* transport, uint8_t* buffer, uint32_t length,
                        int32_t timeout_ms, bool sending) {
    if (transport == nullptr || (buffer == nullptr && length != 0))
        return ZELKC_CIP_TCP_ERR_INVALID_ARGUMENT;
    if (transport->fd == -1)
        return ZELKC_CIP_TCP_ERR_CLOSED;
    uint32_t done = 0;
    while (done < length) {
        if (transport->fd < 0 || timeout_ms < 0)
            return ZELKC_CIP_TCP_ERR_INVALID_ARGUMENT;
        struct pollfd pfd = {transport->fd, static_cast<short>(sending ? POLLOUT : POLLIN), 0};
        int ready = poll(&pfd, 1, timeout_ms);
        if (ready == 0)
            return ZELKC_CIP_TCP_ERR_TIMEOUT;
        if (ready < 0 || (pfd.revents & kPollFailure))
            return ZELKC_CIP_TCP_ERR_IO;
        ssize_t n = sending ? send(transport->fd, buffer + done, length - done, 0)
                            : recv(transport->fd, buffer + done, length - done, 0);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
        } else if (n == 0) {
            return ZELKC_CIP_TCP_ERR_CLOSED;
        } else if (!in_progress(errno)) {
            return ZELKC_CIP_TCP_ERR_IO;
        }
    }
    return ZELKC_CIP_TCP_OK;
}

uint8_t zelkc_cip_tcp_transport_send(zelkc_cip_tcp_transport* transport, const uint8_t* data, uint32_t length,
                                     int32_t timeout_ms) {
    // transfer() only reads from the buffer when sending.
    return transfer(transport, const_cast<uint8_t*>(data), length, timeout_ms, true);
}

uint8_t zelkc_cip_tcp_transport_recv_exact(zelkc_cip_tcp_transport* transport, uint8_t* buffer,
                                           uint32_t length, int32_t timeout_ms) {
    return transfer(transport, buffer, length, timeout_ms, false);
}
