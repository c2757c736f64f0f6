// The few socket calls the TCP transport makes, with one implementation per platform:
// zelkc_cip_net_posix.cpp (BSD sockets, poll) and zelkc_cip_net_win32.cpp (Winsock 2, select).
// Sockets are plain ints on both (Winsock handles are small numbers in practice; a handle that
// does not fit is closed and reported as a failed socket() call).
#pragma once

#include <stdint.h>

struct addrinfo;
struct zelkc_cip_cancel;

// What a failed call leaves behind, in the transport's terms.
enum zelkc_cip_net_error {
    ZELKC_CIP_NET_AGAIN = 1,       // would block or still in progress: wait and retry
    ZELKC_CIP_NET_INTERRUPTED = 2, // a signal arrived: retry at once
    ZELKC_CIP_NET_OTHER = 3,
};

// Starts the socket layer once per process (Winsock's WSAStartup); true when usable.
bool zelkc_cip_net_start(void);

// getaddrinfo for a TCP stream to host:port; 0 on success (free the list with freeaddrinfo).
int zelkc_cip_net_resolve(const char* host, const char* port, struct addrinfo** list);
void zelkc_cip_net_free(struct addrinfo* list);
// The entry after ai in a resolved list, or null.
const struct addrinfo* zelkc_cip_net_next(const struct addrinfo* ai);

// A new socket of the address's family, non-blocking with TCP_NODELAY; -1 on failure.
int zelkc_cip_net_socket(const struct addrinfo* ai);
// Starts a connect: 0 connected, -1 with zelkc_cip_net_last_error() telling why.
int zelkc_cip_net_connect(int fd, const struct addrinfo* ai);
// The pending error of a socket (SO_ERROR) in *error; false when it cannot be read.
bool zelkc_cip_net_pending_error(int fd, int* error);

// Waits up to timeout_ms (>= 0) for fd to become writable (for_write) or readable. Returns 1 when
// ready, 0 on time-out, -1 on failure; *failed tells that the socket reported an error or hang-up
// (a refused connect). A wait ends early, as ready, when `cancel` is requested: on POSIX the
// canceller's shutdown wakes poll; on Windows the wait looks at the switch between short slices.
int zelkc_cip_net_wait(int fd, bool for_write, int32_t timeout_ms, const zelkc_cip_cancel* cancel,
                       bool* failed);

// send (flags 0: the program ignores SIGPIPE) and recv: bytes moved, 0 when the peer closed (recv), -1 on
// failure.
int64_t zelkc_cip_net_send(int fd, const uint8_t* data, uint32_t length);
int64_t zelkc_cip_net_recv(int fd, uint8_t* buffer, uint32_t length);
// The last failure of a call above on this thread.
zelkc_cip_net_error zelkc_cip_net_last_error(void);

// Stops both directions (wakes a waiter); closes the socket.
void zelkc_cip_net_shutdown(int fd);
void zelkc_cip_net_close(int fd);

// A number that differs between the processes running at the same time.
uint32_t zelkc_cip_net_process_id(void);
