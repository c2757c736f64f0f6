// TCP transport and EtherNet/IP session against a scripted peer on 127.0.0.1.
#include "cip_test_peer.h"
#include "zelkc_cip.h"

#include <gtest/gtest.h>

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <atomic>

using namespace cip_test;

namespace {

const uint32_t kSession = 0x11223344;

// Reads a RegisterSession request, checks its exact bytes and answers it; returns its sender context.
uint64_t accept_session(PeerConnection& conn, uint32_t session = kSession, uint32_t status = 0) {
    EncapMessage m;
    if (!read_message(conn, &m))
        return 0;
    EXPECT_EQ(m.raw, encap(0x0065, 0, 0, m.context, {0x01, 0x00, 0x00, 0x00}));
    conn.write(encap(0x0065, session, status, m.context, {0x01, 0x00, 0x00, 0x00}));
    return m.context;
}

std::pair<uint8_t, uint32_t> state(const zelkc_cip_client* client) {
    return {zelkc_cip_client_status(client), zelkc_cip_client_session_handle(client)};
}

// A port on 127.0.0.1 on which nothing listens.
uint16_t closed_port() {
    uint16_t port;
    close(listen_loopback(1, &port));
    return port;
}

} // namespace

// Connecting again closes the old socket; a reply arriving as 10 + 14 bytes is received whole; a
// peer closing mid-read ends it with the bytes so far; a closed or refused transport says so.
TEST(CipTransport, ReconnectSplitReplyAndClosedPeers) {
    std::atomic<int> client_fd{-1};
    bool first_closed = false;
    const Bytes reply = encap(0x006F, kSession, 0, 42, {});
    ScriptedPeer peer(
        [&](PeerConnection& conn, int index) {
            if (index == 0) {
                conn.read();
                first_closed = conn.saw_eof();
                return;
            }
            conn.write(Bytes(reply.begin(), reply.begin() + 10));
            // Continue only once the client has taken the first 10 bytes out of its socket, so the
            // receive really sees two pieces: first the data must have left our queue...
            int pending = 1, fd;
            while (ioctl(conn.fd(), SIOCOUTQ, &pending) == 0 && pending > 0)
                std::this_thread::yield();
            // ...then the client must have read it.
            while ((fd = client_fd.load()) < 0)
                std::this_thread::yield();
            while (ioctl(fd, FIONREAD, &pending) == 0 && pending > 0)
                std::this_thread::yield();
            conn.write(cat({Bytes(reply.begin() + 10, reply.end()), {1, 2, 3, 4, 5}}));
        },
        2);
    zelkc_cip_tcp_transport* t = zelkc_cip_tcp_transport_create();
    ASSERT_EQ(zelkc_cip_tcp_transport_connect(t, "127.0.0.1", peer.port(), 5000), ZELKC_CIP_TCP_OK);
    ASSERT_EQ(zelkc_cip_tcp_transport_connect(t, "127.0.0.1", peer.port(), 5000), ZELKC_CIP_TCP_OK);
    client_fd = t->fd;
    uint8_t got[24] = {};
    EXPECT_EQ(zelkc_cip_tcp_transport_recv_exact(t, got, 24, 5000), ZELKC_CIP_TCP_OK);
    EXPECT_EQ(Bytes(got, got + 24), reply);
    EXPECT_EQ(zelkc_cip_tcp_transport_recv_exact(t, got, 8, 5000), ZELKC_CIP_TCP_ERR_CLOSED);
    EXPECT_EQ(Bytes(got, got + 5), (Bytes{1, 2, 3, 4, 5}));
    peer.join();
    EXPECT_TRUE(first_closed);

    zelkc_cip_tcp_transport_close(t);
    EXPECT_EQ(t->fd, -1);
    EXPECT_EQ(zelkc_cip_tcp_transport_send(t, got, 4, 5000), ZELKC_CIP_TCP_ERR_CLOSED);
    EXPECT_EQ(zelkc_cip_tcp_transport_recv_exact(t, got, 4, 5000), ZELKC_CIP_TCP_ERR_CLOSED);
    EXPECT_EQ(zelkc_cip_tcp_transport_connect(t, "127.0.0.1", closed_port(), 5000),
              ZELKC_CIP_TCP_ERR_CONNECT);
    EXPECT_EQ(t->fd, -1);
    zelkc_cip_tcp_transport_destroy(t);
}

TEST(CipTransport, ConnectTimesOutWhenTheHandshakeIsNeverAnswered) {
    // A listener with backlog 0 whose queue is filled and never accepted: further SYNs are
    // dropped, so a connect stays in progress until the time-out (all on loopback).
    uint16_t port;
    int listener = listen_loopback(0, &port);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    std::vector<int> fillers;
    for (int i = 0; i < 16; ++i) {
        fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        connect(fillers.back(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        pollfd pfd = {fillers.back(), POLLOUT, 0};
        if (poll(&pfd, 1, 1000) == 0)
            break; // this one hangs in the handshake: the queue is full
    }
    zelkc_cip_client* client = zelkc_cip_client_create();
    EXPECT_EQ(zelkc_cip_client_connect(client, "127.0.0.1", port, 100), ZELKC_CIP_ERR_TIMEOUT);
    EXPECT_EQ(zelkc_cip_client_status(client), ZELKC_CIP_STATUS_DISCONNECTED);
    EXPECT_EQ(client->transport, nullptr);
    zelkc_cip_client_destroy(client);
    for (int fd : fillers)
        close(fd);
    close(listener);
}

// Register, exchanges, reconnect (which unregisters the old session first) and disconnect, with
// the exact RegisterSession and UnRegisterSession messages and a sender context counting every exchange.
TEST(CipSession, SessionLifecycleAndSenderContexts) {
    std::vector<uint64_t> contexts;
    std::vector<Bytes> tails;
    int closed = 0;
    ScriptedPeer peer(
        [&](PeerConnection& conn, int index) {
            contexts.push_back(accept_session(conn));
            EncapMessage m;
            if (index == 0) {
                ASSERT_TRUE(read_message(conn, &m));
                EXPECT_EQ(m.raw, encap(0x0063, kSession, 0, m.context, {0xAB}));
                contexts.push_back(m.context);
                conn.write(encap(0x0063, 0x99, 3, m.context, {}, 0x77)); // no data
                ASSERT_TRUE(read_message(conn, &m));
                contexts.push_back(m.context); // after a refused over-long request
                conn.write(encap(0x0063, kSession, 0, m.context, {}));
            }
            tails.push_back(conn.read()); // UnRegisterSession, then close
            closed += conn.saw_eof();
        },
        2);
    zelkc_cip_client* client = zelkc_cip_client_create();
    EXPECT_EQ(zelkc_cip_client_status(client), ZELKC_CIP_STATUS_DISCONNECTED);
    ASSERT_EQ(zelkc_cip_client_connect(client, "127.0.0.1", peer.port(), 5000), ZELKC_CIP_OK);
    EXPECT_EQ(state(client), std::pair(uint8_t(ZELKC_CIP_STATUS_CONNECTED), kSession));
    zelkc_cip_eip_response reply;
    const uint8_t one = 0xAB;
    ASSERT_EQ(zelkc_cip_client_send_eip(client, 0x0063, &one, 1, &reply), ZELKC_CIP_OK);
    // Handle and status are copied, not judged, by the exchange.
    EXPECT_EQ(std::tuple(reply.command, reply.session_handle, reply.status, reply.options,
                         reply.sender_context[0], reply.data, reply.data_size),
              std::tuple(0x0063, 0x99u, 3u, 0x77u, 2, nullptr, 0u));
    zelkc_cip_eip_response_free(&reply);

    Bytes big(65536);
    EXPECT_EQ(zelkc_cip_client_send_eip(client, 0x0063, big.data(), 65536, &reply),
              ZELKC_CIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(zelkc_cip_client_status(client), ZELKC_CIP_STATUS_CONNECTED);
    ASSERT_EQ(zelkc_cip_client_send_eip(client, 0x0063, nullptr, 0, &reply), ZELKC_CIP_OK);

    ASSERT_EQ(zelkc_cip_client_connect(client, "127.0.0.1", peer.port(), 5000), ZELKC_CIP_OK);
    zelkc_cip_client_disconnect(client);
    EXPECT_EQ(state(client), std::pair(uint8_t(ZELKC_CIP_STATUS_DISCONNECTED), 0u));
    zelkc_cip_client_disconnect(client); // nothing more is sent, nor by destroy
    zelkc_cip_client_destroy(client);
    peer.join();
    EXPECT_EQ(contexts, (std::vector<uint64_t>{1, 2, 4, 5}));
    EXPECT_EQ(tails,
              std::vector<Bytes>(2, (Bytes{0x66, 0x00, 0x00, 0x00, 0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0,
                                           0,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0, 0})));
    EXPECT_EQ(closed, 2);
}

TEST(CipSession, RefusedRegistrationLeavesTheClientDisconnected) {
    std::vector<Bytes> after;
    ScriptedPeer peer(
        [&](PeerConnection& conn, int index) {
            accept_session(conn, index == 0 ? 0 : 5, index == 0 ? 0 : 1); // handle 0, then an error status
            after.push_back(conn.read());
        },
        2);
    zelkc_cip_client* client = zelkc_cip_client_create();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(zelkc_cip_client_connect(client, "127.0.0.1", peer.port(), 5000),
                  ZELKC_CIP_ERR_SESSION_REFUSED);
        EXPECT_EQ(zelkc_cip_client_status(client), ZELKC_CIP_STATUS_DISCONNECTED);
        EXPECT_EQ(client->transport, nullptr);
    }
    zelkc_cip_client_destroy(client);
    peer.join();
    EXPECT_EQ(after, (std::vector<Bytes>{{}, {}})); // no UnRegisterSession for a refused session
}

// Each fault on the reply to the first exchange (sender context 2) after a good registration: the
// result, and the client left disconnected without an UnRegisterSession. The peer writes the first
// `cut` bytes of `reply` and closes, or all of it and stays.
TEST(CipSession, AFaultyReplyDropsTheConnection) {
    const struct {
        const char* name;
        uint8_t result;
        Bytes reply;
        size_t cut;
    } faults[] = {
        {"wrong command", ZELKC_CIP_ERR_BAD_REPLY, encap(0x0070, kSession, 0, 2, {}), SIZE_MAX},
        {"wrong sender context", ZELKC_CIP_ERR_BAD_REPLY, encap(0x006F, kSession, 0, 3, {}), SIZE_MAX},
        {"closed mid-header", ZELKC_CIP_ERR_IO, encap(0x006F, kSession, 0, 2, {}), 10},
        {"closed mid-data", ZELKC_CIP_ERR_IO, encap(0x006F, kSession, 0, 2, Bytes(10, 0xEE)), 28},
        {"silent", ZELKC_CIP_ERR_TIMEOUT, {}, SIZE_MAX},
    };
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.name);
        Bytes tail;
        ScriptedPeer peer([&](PeerConnection& conn, int) {
            accept_session(conn);
            EncapMessage m;
            ASSERT_TRUE(read_message(conn, &m));
            conn.write(Bytes(fault.reply.begin(),
                             fault.reply.begin() + long(std::min(fault.cut, fault.reply.size()))));
            if (fault.cut != SIZE_MAX)
                conn.close();
            tail = conn.read();
        });
        zelkc_cip_client* client = zelkc_cip_client_create();
        ASSERT_EQ(zelkc_cip_client_connect(client, "127.0.0.1", peer.port(), 300), ZELKC_CIP_OK);
        zelkc_cip_eip_response reply;
        EXPECT_EQ(zelkc_cip_client_send_eip(client, 0x006F, nullptr, 0, &reply), fault.result);
        EXPECT_EQ(reply.data, nullptr);
        EXPECT_EQ(state(client), std::pair(uint8_t(ZELKC_CIP_STATUS_DISCONNECTED), 0u));
        EXPECT_EQ(zelkc_cip_client_send_eip(client, 0x006F, nullptr, 0, &reply), ZELKC_CIP_ERR_NOT_CONNECTED);
        zelkc_cip_client_destroy(client);
        peer.join();
        EXPECT_TRUE(tail.empty());
    }
}
