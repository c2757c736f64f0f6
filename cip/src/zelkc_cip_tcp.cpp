// TCP transport: one non-blocking socket; every send, receive and connect waits for readiness first.
// Waits are bounded by a deadline for the whole transfer, and end at once when the transport's
// cancel switch is set (the canceller shuts the socket down, which wakes the wait). The socket
// calls themselves are the platform's (zelkc_cip_net_*.cpp).
#include "zelkc_cip.h"
#include "zelkc_cip_net.h"

#include <stdint.h>
#include <stdio.h>

#include <chrono>
#include <thread>

int64_t zelkc_cip_clock_ms(void) {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

static bool cancel_requested(const zelkc_cip_cancel* cancel) {
    return cancel != nullptr && __atomic_load_n(&cancel->requested, __ATOMIC_SEQ_CST) != 0;
}

void zelkc_cip_cancel_request(zelkc_cip_cancel* cancel) {
    if (cancel == nullptr)
        return;
    __atomic_store_n(&cancel->requested, 1, __ATOMIC_SEQ_CST);
    // While busy is raised the owner does not close the published descriptor, so the number
    // shut down here is still the transport's socket.
    __atomic_add_fetch(&cancel->busy, 1, __ATOMIC_SEQ_CST);
    const int32_t fd = __atomic_load_n(&cancel->fd_plus_one, __ATOMIC_SEQ_CST) - 1;
    if (fd >= 0)
        zelkc_cip_net_shutdown(fd);
    __atomic_sub_fetch(&cancel->busy, 1, __ATOMIC_SEQ_CST);
}

// Makes fd the socket a cancel shuts down. Published before the cancel flag is read again, so
// that either the canceller sees the socket or the owner sees the flag.
static void publish(zelkc_cip_cancel* cancel, int fd) {
    if (cancel != nullptr)
        __atomic_store_n(&cancel->fd_plus_one, fd + 1, __ATOMIC_SEQ_CST);
}

// Closes fd after withdrawing it from the cancel switch and waiting out a cancel that may hold
// its number (a shutdown call: never long).
static void close_published(zelkc_cip_cancel* cancel, int fd) {
    if (cancel != nullptr && __atomic_load_n(&cancel->fd_plus_one, __ATOMIC_SEQ_CST) == fd + 1) {
        __atomic_store_n(&cancel->fd_plus_one, 0, __ATOMIC_SEQ_CST);
        while (__atomic_load_n(&cancel->busy, __ATOMIC_SEQ_CST) != 0)
            std::this_thread::yield();
    }
    zelkc_cip_net_close(fd);
}

zelkc_cip_tcp_transport* zelkc_cip_tcp_transport_create(void) {
    auto* transport = static_cast<zelkc_cip_tcp_transport*>(zelkc_cip_alloc(sizeof(zelkc_cip_tcp_transport)));
    if (transport == nullptr)
        return nullptr;
    transport->fd = -1;
    transport->cancel = nullptr;
    return transport;
}

void zelkc_cip_tcp_transport_close(zelkc_cip_tcp_transport* transport) {
    if (transport == nullptr)
        return;
    if (transport->fd != -1) {
        close_published(transport->cancel, transport->fd);
        transport->fd = -1;
    }
}

void zelkc_cip_tcp_transport_destroy(zelkc_cip_tcp_transport* transport) {
    if (transport == nullptr)
        return;
    zelkc_cip_tcp_transport_close(transport);
    zelkc_cip_free(transport);
}

// One connect on a fresh socket: 0 when connected, else -1 with *error set to the error this
// attempt leaves behind (unchanged when it gives up early). Never closes fd.
static int connect_attempt(int fd, const struct addrinfo* ai, int32_t timeout_ms,
                           const zelkc_cip_cancel* cancel, uint8_t* error) {
    if (zelkc_cip_net_connect(fd, ai) == 0)
        return 0;
    if (zelkc_cip_net_last_error() != ZELKC_CIP_NET_AGAIN)
        return -1;
    if (timeout_ms < 0) {
        *error = ZELKC_CIP_TCP_ERR_INVALID_ARGUMENT;
        return -1;
    }
    bool failed = false;
    int ready = zelkc_cip_net_wait(fd, true, timeout_ms, cancel, &failed);
    if (ready <= 0) {
        *error = ready == 0 ? ZELKC_CIP_TCP_ERR_TIMEOUT : ZELKC_CIP_TCP_ERR_IO;
        return -1;
    }
    // A refused or unreachable connection shows up as a failed wait with the reason in
    // SO_ERROR: that is a failed connect (3), not an I/O failure. Without a pending error the
    // wait's condition itself is reported (6).
    int so_error = 0;
    const bool have_error = zelkc_cip_net_pending_error(fd, &so_error);
    if (failed) {
        *error = have_error && so_error != 0 ? ZELKC_CIP_TCP_ERR_CONNECT : ZELKC_CIP_TCP_ERR_IO;
        return -1;
    }
    if (!have_error || so_error != 0) {
        *error = ZELKC_CIP_TCP_ERR_CONNECT;
        return -1;
    }
    return 0;
}

// One connect attempt to one resolved address. Returns the descriptor, or -1 with *error set to
// the error this attempt leaves behind (unchanged when the attempt gives up early).
static int connect_one(const struct addrinfo* ai, int32_t timeout_ms, zelkc_cip_cancel* cancel,
                       uint8_t* error) {
    int fd = zelkc_cip_net_socket(ai);
    if (fd < 0)
        return -1;
    publish(cancel, fd);
    int result = -1;
    // A shutdown of a socket still in the handshake aborts it, which ends the wait in the attempt.
    if (!cancel_requested(cancel))
        result = connect_attempt(fd, ai, timeout_ms, cancel, error);
    if (cancel_requested(cancel)) {
        *error = ZELKC_CIP_TCP_ERR_CANCELLED;
        result = -1;
    }
    if (result < 0) {
        close_published(cancel, fd);
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
    struct addrinfo* list = nullptr;
    if (zelkc_cip_net_resolve(host, port_text, &list) != 0)
        return ZELKC_CIP_TCP_ERR_RESOLVE;
    if (list == nullptr)
        return ZELKC_CIP_TCP_ERR_CONNECT;

    uint8_t last_error = ZELKC_CIP_TCP_ERR_CONNECT;
    for (const struct addrinfo* ai = list; ai != nullptr && last_error != ZELKC_CIP_TCP_ERR_CANCELLED;
         ai = zelkc_cip_net_next(ai)) {
        int fd = connect_one(ai, timeout_ms, transport->cancel, &last_error);
        if (fd >= 0) {
            transport->fd = fd;
            zelkc_cip_net_free(list);
            return ZELKC_CIP_TCP_OK;
        }
    }
    zelkc_cip_net_free(list);
    return last_error;
}

// The shared loop of send and receive: wait for readiness until the deadline, move what the
// socket takes, repeat. A cancel wins over whatever the wait or the call then reported (the
// canceller's shutdown shows up as a closed or failed socket).
static uint8_t transfer(zelkc_cip_tcp_transport* transport, uint8_t* buffer, uint32_t length,
                        int64_t deadline_ms, bool sending) {
    if (transport == nullptr || (buffer == nullptr && length != 0))
        return ZELKC_CIP_TCP_ERR_INVALID_ARGUMENT;
    if (transport->fd == -1)
        return ZELKC_CIP_TCP_ERR_CLOSED;
    uint32_t done = 0;
    uint8_t result = ZELKC_CIP_TCP_OK;
    while (done < length && result == ZELKC_CIP_TCP_OK) {
        if (transport->fd < 0)
            return ZELKC_CIP_TCP_ERR_INVALID_ARGUMENT;
        if (cancel_requested(transport->cancel))
            return ZELKC_CIP_TCP_ERR_CANCELLED;
        const int64_t left = deadline_ms - zelkc_cip_clock_ms();
        const int wait = left <= 0 ? 0 : left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
        bool failed = false;
        int ready = zelkc_cip_net_wait(transport->fd, sending, wait, transport->cancel, &failed);
        if (ready == 0) {
            result = ZELKC_CIP_TCP_ERR_TIMEOUT;
            break;
        }
        if (ready < 0 && zelkc_cip_net_last_error() == ZELKC_CIP_NET_INTERRUPTED)
            continue;
        if (ready < 0 || failed) {
            result = ZELKC_CIP_TCP_ERR_IO;
            break;
        }
        if (cancel_requested(transport->cancel))
            return ZELKC_CIP_TCP_ERR_CANCELLED;
        int64_t n = sending ? zelkc_cip_net_send(transport->fd, buffer + done, length - done)
                            : zelkc_cip_net_recv(transport->fd, buffer + done, length - done);
        if (n > 0)
            done += static_cast<uint32_t>(n);
        else if (n == 0)
            result = ZELKC_CIP_TCP_ERR_CLOSED;
        else if (zelkc_cip_net_last_error() == ZELKC_CIP_NET_OTHER)
            result = ZELKC_CIP_TCP_ERR_IO;
    }
    return cancel_requested(transport->cancel) && result != ZELKC_CIP_TCP_OK ? ZELKC_CIP_TCP_ERR_CANCELLED
                                                                             : result;
}

// The deadline of a call bounded by timeout_ms; -1 stands for a negative (refused) time-out.
static bool deadline_of(int32_t timeout_ms, int64_t* deadline) {
    *deadline = zelkc_cip_clock_ms() + timeout_ms;
    return timeout_ms >= 0;
}

uint8_t zelkc_cip_tcp_transport_send(zelkc_cip_tcp_transport* transport, const uint8_t* data, uint32_t length,
                                     int32_t timeout_ms) {
    int64_t deadline = 0;
    if (!deadline_of(timeout_ms, &deadline) && transport != nullptr && transport->fd != -1 && length != 0)
        return ZELKC_CIP_TCP_ERR_INVALID_ARGUMENT;
    return zelkc_cip_tcp_transport_send_by(transport, data, length, deadline);
}

uint8_t zelkc_cip_tcp_transport_recv_exact(zelkc_cip_tcp_transport* transport, uint8_t* buffer,
                                           uint32_t length, int32_t timeout_ms) {
    int64_t deadline = 0;
    if (!deadline_of(timeout_ms, &deadline) && transport != nullptr && transport->fd != -1 && length != 0)
        return ZELKC_CIP_TCP_ERR_INVALID_ARGUMENT;
    return zelkc_cip_tcp_transport_recv_exact_by(transport, buffer, length, deadline);
}

uint8_t zelkc_cip_tcp_transport_send_by(zelkc_cip_tcp_transport* transport, const uint8_t* data,
                                        uint32_t length, int64_t deadline_ms) {
    // transfer() only reads from the buffer when sending.
    return transfer(transport, const_cast<uint8_t*>(data), length, deadline_ms, true);
}

uint8_t zelkc_cip_tcp_transport_recv_exact_by(zelkc_cip_tcp_transport* transport, uint8_t* buffer,
                                              uint32_t length, int64_t deadline_ms) {
    return transfer(transport, buffer, length, deadline_ms, false);
}
