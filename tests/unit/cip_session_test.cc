// TCP transport and EtherNet/IP session against a scripted peer on 127.0.0.1.
#include "cip_test_peer.h"
#include "zelkc_cip.h"

#include <gtest/gtest.h>

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <atomic>

using namespace cip_test;

// Connecting again closes the old socket; a peer closing mid-read ends it with the bytes so far;
// an unanswered connect times out, and a port nobody listens on refuses.
TEST(CipTransport, ReconnectClosedPeerTimeOutAndRefusal) {
    std::atomic<int> first_closed{-1}; // -1 until the first peer has read all there was
    auto first = std::make_unique<ScriptedPeer>([&](int fd) {
        bool eof = false;
        read_fd(fd, SIZE_MAX, &eof);
        first_closed = eof;
    });
    auto peer = std::make_unique<ScriptedPeer>([](int fd) { write_fd(fd, hex("0102030405")); });
    zelkc_cip_tcp_transport* t = zelkc_cip_tcp_transport_create();
    ASSERT_EQ(zelkc_cip_tcp_transport_connect(t, "127.0.0.1", first->port, 5000), ZELKC_CIP_TCP_OK);
    ASSERT_EQ(zelkc_cip_tcp_transport_connect(t, "127.0.0.1", peer->port, 5000), ZELKC_CIP_TCP_OK);
    uint8_t got[8] = {};
    EXPECT_EQ(zelkc_cip_tcp_transport_recv_exact(t, got, 8, 5000), ZELKC_CIP_TCP_ERR_CLOSED);
    EXPECT_EQ(Bytes(got, got + 8), hex("0102030405 000000"));
    while (first_closed < 0)
        std::this_thread::yield();
    EXPECT_EQ(first_closed, 1);

    // A listener whose queue is full drops further SYNs: a connect stays in progress until the
    // time-out. Once the listener is gone, the port refuses.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof addr;
    bind(listener, reinterpret_cast<sockaddr*>(&addr), length);
    listen(listener, 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
    std::vector<int> queue;
    for (pollfd pfd = {-1, POLLOUT, 0}; queue.size() < 32 && (queue.empty() || poll(&pfd, 1, 1000) > 0);) {
        queue.push_back(pfd.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        connect(pfd.fd, reinterpret_cast<sockaddr*>(&addr), length); // the last one hangs in the handshake
    }
    const uint16_t port = ntohs(addr.sin_port);
    EXPECT_EQ(zelkc_cip_tcp_transport_connect(t, "127.0.0.1", port, 100), ZELKC_CIP_TCP_ERR_TIMEOUT);
    for (int fd : queue)
        close(fd);
    close(listener);
    EXPECT_EQ(zelkc_cip_tcp_transport_connect(t, "127.0.0.1", port, 5000), ZELKC_CIP_TCP_ERR_CONNECT);
    zelkc_cip_tcp_transport_destroy(t);
}

// A session registered (with the exact RegisterSession message), one exchange and its reply, and
// the faults of either reply. A good reply arrives in two pieces (10 + 14 bytes) and is handed over
// as received (handle, status and options are not judged); an over-long request is refused without
// harm; the session ends with the exact UnRegisterSession. A faulty reply leaves the client
// disconnected, without UnRegisterSession and without a leaked block. The peer writes the first
// `cut` bytes of the reply and closes, or all of it and stays.
TEST(CipSession, RegistrationExchangeAndFaultyReplies) {
    const uint32_t session = 0x11223344;
    const Bytes grant = hex("01000000"), big(65536);
    const struct {
        uint8_t rc;
        Bytes registration, reply;
        size_t cut = SIZE_MAX;
    } cases[] = {
        {ZELKC_CIP_OK, {}, encap(0x0063, 0x99, 3, 2, {}, 0x77)},
        {ZELKC_CIP_ERR_SESSION_REFUSED, encap(0x0065, 0, 0, 1, grant), {}}, // handle 0
        {ZELKC_CIP_ERR_SESSION_REFUSED, encap(0x0065, 0, 2, 0, grant), {}}, // refused, context not echoed
        {ZELKC_CIP_ERR_BAD_REPLY, encap(0x0065, session, 0, 0, grant), {}}, // granted to another context
        {ZELKC_CIP_ERR_BAD_REPLY, {}, encap(0x0063, session, 0, 3, {})},    // another sender context
        {ZELKC_CIP_ERR_IO, {}, encap(0x0063, session, 0, 2, Bytes(10, 0xEE)), 28},
        {ZELKC_CIP_ERR_TIMEOUT, {}, {}}, // silence
    };
    for (const auto& c : cases) {
        Counting counting;
        Bytes tail;
        std::atomic<int> client_fd{-1};
        auto peer = std::make_unique<ScriptedPeer>([&](int fd) {
            EXPECT_EQ(read_message(fd), encap(0x0065, 0, 0, 1, grant));
            write_fd(fd, c.registration.empty() ? encap(0x0065, session, 0, 1, grant) : c.registration);
            if (c.registration.empty() && read_message(fd) == encap(0x0063, session, 0, 2, hex("00"))) {
                const size_t first = std::min<size_t>(c.cut == SIZE_MAX ? 10 : c.cut, c.reply.size());
                write_fd(fd, Bytes(c.reply.begin(), c.reply.begin() + first));
                // Once the client has taken these bytes out of its socket (they left our queue, then
                // were read), the rest, so that its receive really sees two pieces.
                int pending = 1;
                while (ioctl(fd, SIOCOUTQ, &pending) == 0 && pending > 0)
                    std::this_thread::yield();
                while (ioctl(client_fd, FIONREAD, &pending) == 0 && pending > 0)
                    std::this_thread::yield();
                write_fd(fd, c.cut == SIZE_MAX ? Bytes(c.reply.begin() + first, c.reply.end()) : Bytes{});
            }
            if (c.cut != SIZE_MAX)
                shutdown(fd, SHUT_WR);
            tail = read_fd(fd);
        });
        zelkc_cip_client* client = zelkc_cip_client_create();
        zelkc_cip_eip_response reply = {};
        uint8_t rc = zelkc_cip_client_connect(client, "127.0.0.1", peer->port, 300);
        if (rc == ZELKC_CIP_OK && (client_fd = client->transport->fd) >= 0)
            rc = zelkc_cip_client_send_eip(client, 0x0063, big.data(), 1, &reply); // big starts with 00
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(client->refusal.encapsulation_status, c.registration.empty() ? 0 : get(&c.registration[8], 4));
        EXPECT_EQ(std::tuple(reply.command, reply.session_handle, reply.status, reply.options, reply.data),
                  c.rc == 0 ? std::tuple(0x63, 0x99u, 3u, 0x77u, nullptr)
                            : std::tuple(0, 0u, 0u, 0u, nullptr));
        EXPECT_EQ(zelkc_cip_client_send_eip(client, 0x0063, big.data(), 65536, &reply),
                  c.rc == 0 ? ZELKC_CIP_ERR_INVALID_ARGUMENT : ZELKC_CIP_ERR_NOT_CONNECTED);
        zelkc_cip_client_destroy(client);
        peer.reset();
        EXPECT_EQ(
            std::pair(tail, counting.live),
            std::pair(c.rc == 0 ? hex("6600 0000 44332211 00000000 0000000000000000 00000000") : Bytes{},
                      0L));
    }
}
