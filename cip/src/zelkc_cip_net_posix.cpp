// BSD sockets for the TCP transport (Linux, macOS).
#include "zelkc_cip.h"
#include "zelkc_cip_net.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

bool zelkc_cip_net_start(void) {
    return true;
}

int zelkc_cip_net_resolve(const char* host, const char* port, struct addrinfo** list) {
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
    int fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (fd < 0)
        return -1;
    int one = 1;
    int flags = fcntl(fd, F_GETFL);
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 || flags < 0 ||
        fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int zelkc_cip_net_connect(int fd, const struct addrinfo* ai) {
    return connect(fd, ai->ai_addr, ai->ai_addrlen) == 0 ? 0 : -1;
}

bool zelkc_cip_net_pending_error(int fd, int* error) {
    socklen_t len = sizeof *error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, error, &len) == 0;
}

int zelkc_cip_net_wait(int fd, bool for_write, int32_t timeout_ms, const zelkc_cip_cancel*, bool* failed) {
    struct pollfd pfd = {fd, static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
    const int ready = poll(&pfd, 1, timeout_ms);
    *failed = ready > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    return ready < 0 ? -1 : ready;
}

int64_t zelkc_cip_net_send(int fd, const uint8_t* data, uint32_t length) {
    return send(fd, data, length, 0);
}

int64_t zelkc_cip_net_recv(int fd, uint8_t* buffer, uint32_t length) {
    return recv(fd, buffer, length, 0);
}

zelkc_cip_net_error zelkc_cip_net_last_error(void) {
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK || err == EINPROGRESS)
        return ZELKC_CIP_NET_AGAIN;
    return err == EINTR ? ZELKC_CIP_NET_INTERRUPTED : ZELKC_CIP_NET_OTHER;
}

void zelkc_cip_net_shutdown(int fd) {
    shutdown(fd, SHUT_RDWR);
}

void zelkc_cip_net_close(int fd) {
    close(fd);
}

uint32_t zelkc_cip_net_process_id(void) {
    return static_cast<uint32_t>(getpid());
}
