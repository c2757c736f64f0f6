// TCP transport and EtherNet/IP session against a scripted peer on 127.0.0.1.
#include "cip_test_peer.h"
#include "zelkc_cip.h"

#include <gtest/gtest.h>

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <atomic>

using namespace cip_test;

// Connecting again closes the old socket; a reply arriving as 10 + 14 bytes is received whole; a
// peer closing mid-read ends it with the bytes so far; an unanswered or refused connect says so.
TEST(CipTransport, ReconnectSplitReplyClosedPeerTimeOutAndRefusal) {
    std::atomic<int> client_fd{-1};
    bool first_closed = false;
    const Bytes reply = hex("6F00 0000 44332211 00000000 2A00000000000000 00000000");
    ScriptedPeer peer(
        [&](int fd, int index) {
            if (index == 0)
                return (void)read_fd(fd, SIZE_MAX, &first_closed);
            write_fd(fd, Bytes(reply.begin(), reply.begin() + 10));
            // Continue only once the client has taken the first 10 bytes out of its socket, so that
            // its receive really sees two pieces: they must have left our queue, then been read.
            int pending = 1, client;
            while (ioctl(fd, SIOCOUTQ, &pending) == 0 && pending > 0)
                std::this_thread::yield();
            while ((client = client_fd) < 0 || (ioctl(client, FIONREAD, &pending) == 0 && pending > 0))
                std::this_thread::yield();
            write_fd(fd, cat({Bytes(reply.begin() + 10, reply.end()), hex("0102030405")}));
        },
        2);
    zelkc_cip_tcp_transport* t = zelkc_cip_tcp_transport_create();
    ASSERT_EQ(zelkc_cip_tcp_transport_connect(t, "127.0.0.1", peer.port, 5000), ZELKC_CIP_TCP_OK);
    ASSERT_EQ(zelkc_cip_tcp_transport_connect(t, "127.0.0.1", peer.port, 5000), ZELKC_CIP_TCP_OK);
    client_fd = t->fd;
    uint8_t got[24] = {};
    EXPECT_EQ(zelkc_cip_tcp_transport_recv_exact(t, got, 24, 5000), ZELKC_CIP_TCP_OK);
    EXPECT_EQ(Bytes(got, got + 24), reply);
    EXPECT_EQ(zelkc_cip_tcp_transport_recv_exact(t, got, 8, 5000), ZELKC_CIP_TCP_ERR_CLOSED);
    EXPECT_EQ(Bytes(got, got + 5), hex("0102030405"));
    peer.join();
    EXPECT_TRUE(first_closed);

    // A listener whose queue is full drops further SYNs: a connect stays in progress until the
    // time-out. Once the listener is gone, the port refuses.
    auto silent = std::make_unique<ScriptedPeer>([](int, int) {}, 0);
    const uint16_t port = silent->port;
    sockaddr_in addr{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    std::vector<int> fillers;
    for (pollfd pfd = {-1, POLLOUT, 0};
         fillers.size() < 32 && (fillers.empty() || poll(&pfd, 1, 1000) > 0);) {
        fillers.push_back(pfd.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        connect(pfd.fd, reinterpret_cast<sockaddr*>(&addr),
                sizeof addr); // the last one hangs in the handshake
    }
    EXPECT_EQ(zelkc_cip_tcp_transport_connect(t, "127.0.0.1", port, 100), ZELKC_CIP_TCP_ERR_TIMEOUT);
    for (int fd : fillers)
        close(fd);
    silent.reset();
    EXPECT_EQ(zelkc_cip_tcp_transport_connect(t, "127.0.0.1", port, 5000), ZELKC_CIP_TCP_ERR_CONNECT);
    zelkc_cip_tcp_transport_destroy(t);
}

// A session registered (with the exact RegisterSession message), one exchange and its reply, and
// the faults of either reply. A good reply is handed over as received (handle, status and options
// are not judged); an over-long request is refused without harm; the session ends with the exact
// UnRegisterSession. A faulty reply leaves the client disconnected, without UnRegisterSession and
// without a leaked block. The peer writes the first `cut` bytes of the reply and closes, or all of
// it and stays.
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
        {ZELKC_CIP_ERR_SESSION_REFUSED, encap(0x0065, 5, 1, 1, grant), {}}, // error status
        {ZELKC_CIP_ERR_BAD_REPLY, {}, encap(0x0070, session, 0, 2, {})},    // another command
        {ZELKC_CIP_ERR_BAD_REPLY, {}, encap(0x0063, session, 0, 3, {})},    // another sender context
        {ZELKC_CIP_ERR_IO, {}, encap(0x0063, session, 0, 2, {}), 10},
        {ZELKC_CIP_ERR_IO, {}, encap(0x0063, session, 0, 2, Bytes(10, 0xEE)), 28},
        {ZELKC_CIP_ERR_TIMEOUT, {}, {}}, // silence
    };
    for (const auto& c : cases) {
        Counting counting;
        Bytes tail;
        ScriptedPeer peer([&](int fd, int) {
            EncapMessage m;
            EXPECT_TRUE(read_message(fd, &m) && m.raw == encap(0x0065, 0, 0, 1, grant));
            write_fd(fd, c.registration.empty() ? encap(0x0065, session, 0, 1, grant) : c.registration);
            if (c.registration.empty() && read_message(fd, &m)) {
                EXPECT_EQ(m.raw, encap(0x0063, session, 0, 2, hex("00")));
                write_fd(fd, Bytes(c.reply.begin(), c.reply.begin() + std::min(c.cut, c.reply.size())));
            }
            if (c.cut != SIZE_MAX)
                shutdown(fd, SHUT_WR);
            tail = read_fd(fd);
        });
        zelkc_cip_client* client = zelkc_cip_client_create();
        zelkc_cip_eip_response reply = {};
        uint8_t rc = zelkc_cip_client_connect(client, "127.0.0.1", peer.port, 300);
        if (rc == ZELKC_CIP_OK)
            rc = zelkc_cip_client_send_eip(client, 0x0063, big.data(), 1, &reply); // big starts with 00
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(std::tuple(reply.command, reply.session_handle, reply.status, reply.options, reply.data),
                  c.rc == 0 ? std::tuple(0x63, 0x99u, 3u, 0x77u, nullptr)
                            : std::tuple(0, 0u, 0u, 0u, nullptr));
        EXPECT_EQ(zelkc_cip_client_send_eip(client, 0x0063, big.data(), 65536, &reply),
                  c.rc == 0 ? ZELKC_CIP_ERR_INVALID_ARGUMENT : ZELKC_CIP_ERR_NOT_CONNECTED);
        zelkc_cip_client_destroy(client);
        peer.join();
        EXPECT_EQ(
            std::pair(tail, counting.live),
            std::pair(c.rc == 0 ? hex("6600 0000 44332211 00000000 0000000000000000 00000000") : Bytes{},
                      0L));
    }
}
