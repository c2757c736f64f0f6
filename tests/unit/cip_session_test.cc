// TCP transport and EtherNet/IP session against a scripted peer on 127.0.0.1.
#include "cip_test_peer.h"
#include "zelkc_cip.h"

#include <gtest/gtest.h>

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <atomic>
#include <memory>

using namespace cip_test;

namespace {

const uint32_t kSession = 0x11223344;

// Reads a RegisterSession request, checks its exact bytes and answers it with `reply` (by default
// a grant of kSession); returns its sender context.
uint64_t accept_session(int fd, const Bytes& reply = {}) {
    EncapMessage m;
    read_message(fd, &m);
    EXPECT_EQ(m.raw, encap(0x0065, 0, 0, m.context, hex("01000000")));
    write_fd(fd, reply.empty() ? encap(0x0065, kSession, 0, m.context, hex("01000000")) : reply);
    return m.context;
}

} // namespace

// Connecting again closes the old socket; a reply arriving as 10 + 14 bytes is received whole; a
// peer closing mid-read ends it with the bytes so far; an unanswered or refused connect says so.
TEST(CipTransport, ReconnectSplitReplyClosedPeerTimeOutAndRefusal) {
    std::atomic<int> client_fd{-1};
    bool first_closed = false;
    const Bytes reply = encap(0x006F, kSession, 0, 42, {});
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
    EXPECT_EQ(zelkc_cip_tcp_transport_send(t, got, 4, 5000), ZELKC_CIP_TCP_ERR_CLOSED);
    zelkc_cip_tcp_transport_destroy(t);
}

// Register, exchanges, reconnect (which unregisters the old session first) and disconnect, with
// the exact messages and a sender context counting every exchange.
TEST(CipSession, SessionLifecycleAndSenderContexts) {
    std::vector<uint64_t> contexts;
    std::vector<Bytes> tails;
    ScriptedPeer peer(
        [&](int fd, int index) {
            contexts.push_back(accept_session(fd));
            EncapMessage m;
            for (int i = 0; index == 0 && i < 2 && read_message(fd, &m); ++i) {
                EXPECT_EQ(m.raw, encap(0x0063, kSession, 0, m.context, i == 0 ? hex("AB") : Bytes{}));
                contexts.push_back(m.context); // the second after a refused over-long request
                write_fd(fd, encap(0x0063, 0x99, 3, m.context, {}, 0x77));
            }
            bool eof = false;
            tails.push_back(read_fd(fd, SIZE_MAX, &eof)); // UnRegisterSession, then close
            EXPECT_TRUE(eof);
        },
        2);
    zelkc_cip_client* client = zelkc_cip_client_create();
    ASSERT_EQ(zelkc_cip_client_connect(client, "127.0.0.1", peer.port, 5000), ZELKC_CIP_OK);
    EXPECT_EQ(zelkc_cip_client_session_handle(client), kSession);
    zelkc_cip_eip_response reply;
    const Bytes one = hex("AB"), big(65536);
    ASSERT_EQ(zelkc_cip_client_send_eip(client, 0x0063, one.data(), 1, &reply), ZELKC_CIP_OK);
    // Handle and status are copied, not judged, by the exchange.
    EXPECT_EQ(std::tuple(reply.command, reply.session_handle, reply.status, reply.options,
                         reply.sender_context[0], reply.data),
              std::tuple(0x0063, 0x99u, 3u, 0x77u, 2, nullptr));
    EXPECT_EQ(zelkc_cip_client_send_eip(client, 0x0063, big.data(), 65536, &reply),
              ZELKC_CIP_ERR_INVALID_ARGUMENT);
    ASSERT_EQ(zelkc_cip_client_send_eip(client, 0x0063, nullptr, 0, &reply), ZELKC_CIP_OK);
    ASSERT_EQ(zelkc_cip_client_connect(client, "127.0.0.1", peer.port, 5000), ZELKC_CIP_OK);
    zelkc_cip_client_disconnect(client);
    zelkc_cip_client_disconnect(client); // nothing more is sent, nor by destroy
    EXPECT_EQ(std::tuple(zelkc_cip_client_status(client), zelkc_cip_client_session_handle(client)),
              std::tuple(0, 0u));
    zelkc_cip_client_destroy(client);
    peer.join();
    EXPECT_EQ(contexts, (std::vector<uint64_t>{1, 2, 4, 5}));
    EXPECT_EQ(tails, std::vector<Bytes>(2, hex("6600 0000 44332211 00000000 0000000000000000 00000000")));
}

// Each fault on the reply to the registration or to the first exchange (sender context 2): the
// result, and the client left disconnected without an UnRegisterSession and without a leaked
// block. The peer writes the first `cut` bytes of the reply and closes, or all of it and stays.
TEST(CipSession, ARefusedOrFaultyReplyDropsTheConnection) {
    const struct {
        uint8_t result;
        Bytes reply;
        size_t cut = SIZE_MAX;
    } faults[] = {
        {ZELKC_CIP_ERR_SESSION_REFUSED, encap(0x0065, 0, 0, 1, hex("01000000"))}, // handle 0
        {ZELKC_CIP_ERR_SESSION_REFUSED, encap(0x0065, 5, 1, 1, hex("01000000"))}, // error status
        {ZELKC_CIP_ERR_BAD_REPLY, encap(0x0070, kSession, 0, 2, {})},             // another command
        {ZELKC_CIP_ERR_BAD_REPLY, encap(0x006F, kSession, 0, 3, {})},             // another sender context
        {ZELKC_CIP_ERR_IO, encap(0x006F, kSession, 0, 2, {}), 10},
        {ZELKC_CIP_ERR_IO, encap(0x006F, kSession, 0, 2, Bytes(10, 0xEE)), 28},
        {ZELKC_CIP_ERR_TIMEOUT, {}}, // silence
    };
    for (const auto& fault : faults) {
        const bool registration = !fault.reply.empty() && fault.reply[0] == 0x65;
        Counting counting;
        Bytes tail;
        ScriptedPeer peer([&](int fd, int) {
            EncapMessage m;
            accept_session(fd, registration ? fault.reply : Bytes{});
            if (!registration && read_message(fd, &m))
                write_fd(fd, Bytes(fault.reply.begin(),
                                   fault.reply.begin() + std::min(fault.cut, fault.reply.size())));
            if (fault.cut != SIZE_MAX)
                shutdown(fd, SHUT_WR);
            tail = read_fd(fd);
        });
        zelkc_cip_client* client = zelkc_cip_client_create();
        zelkc_cip_eip_response reply = {};
        const uint8_t rc = zelkc_cip_client_connect(client, "127.0.0.1", peer.port, 300);
        EXPECT_EQ(registration ? rc : zelkc_cip_client_send_eip(client, 0x006F, nullptr, 0, &reply),
                  fault.result);
        EXPECT_EQ(
            std::tuple(reply.data, zelkc_cip_client_status(client), zelkc_cip_client_session_handle(client)),
            std::tuple(nullptr, 0, 0u));
        EXPECT_EQ(zelkc_cip_client_send_eip(client, 0x006F, nullptr, 0, &reply), ZELKC_CIP_ERR_NOT_CONNECTED);
        zelkc_cip_client_destroy(client);
        peer.join();
        EXPECT_EQ(std::pair(tail, counting.live), std::pair(Bytes{}, 0L)) << int(fault.result);
    }
}
