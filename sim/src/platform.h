// What differs between operating systems for the simulator: its sockets, the quit request that
// ends the executable, and UTC calendar time. One implementation per platform: platform_posix.cc
// (BSD sockets, signals) and platform_win32.cc (Winsock 2, console control events).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace logixsim::platform {

// A socket (or, for the waker, a pipe end) as a number wide enough for a Windows SOCKET.
using Socket = std::intptr_t;
inline constexpr Socket kNoSocket = -1;

// The listening sockets of a server: TCP and UDP on the same address and port.
struct Listeners {
    Socket tcp = kNoSocket;
    Socket udp = kNoSocket;
    uint16_t port = 0;
    uint32_t address = 0; // the IPv4 address listened on (host order); 0 for IPv6
};

// Resolves `host` and listens on `port` (0: a free port, then the socket tells which) for TCP,
// then binds UDP to the same address and port. Throws std::runtime_error saying what failed.
Listeners listen(const std::string& host, uint16_t port);

// Accepts a pending connection, with TCP_NODELAY set. kNoSocket when it failed; then
// *out_of_resources tells whether for want of descriptors or memory (the connection stays queued).
Socket accept(Socket listener, bool* out_of_resources);

// Waits until one of `count` sockets is readable, closed or failed, at most timeout_ms (-1: no
// limit); kNoSocket entries are skipped. Bit i of the result is set for sockets[i]; 0 when the
// time ran out; -1 when the wait itself failed.
int wait_readable(const Socket* sockets, int count, int timeout_ms);

// Receives up to n bytes: how many, 0 when the peer closed, -1 on failure.
long receive(Socket s, uint8_t* p, size_t n);

// Sends all n bytes; false when the connection failed (a closed peer never raises a signal).
bool send_all(Socket s, const uint8_t* p, size_t n);

// The sender of a datagram, opaque (room for any socket address).
struct Peer {
    alignas(8) unsigned char address[128] = {};
    int length = 0;
};

// One datagram, without waiting: its size, or -1 when none is there or it failed.
long receive_datagram(Socket s, uint8_t* p, size_t n, Peer* from);
// Sends one datagram to `to`, quietly.
void send_datagram(Socket s, const uint8_t* p, size_t n, const Peer& to);

// Ends both directions of a connection: the peer sees the close, a blocked send returns.
void shutdown(Socket s);
void close(Socket s);

// A waker: ends[0] becomes readable, for good, once wake(ends[1]) is called, so every wait that
// includes it returns. Throws std::runtime_error when it cannot be made.
void open_waker(Socket ends[2]);
void wake(Socket writer);

// Makes the quit requests (SIGINT and SIGTERM; Ctrl-C, Ctrl-Break and closing the console on
// Windows) wait for wait_for_quit instead of ending the process, and a write to a closed
// connection an error instead of a signal. Call before any thread starts.
void hold_quit_requests();
// Returns when a quit request arrives.
void wait_for_quit();

// The UTC calendar time of `seconds`, and back.
std::tm utc_time(std::time_t seconds);
std::time_t from_utc(std::tm* t);

} // namespace logixsim::platform
