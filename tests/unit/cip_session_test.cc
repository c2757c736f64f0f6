// TCP transport and EtherNet/IP session against a scripted peer on 127.0.0.1.
#include "cip_test_peer.h"
#include "zelkc_cip.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

using namespace cip_test;

namespace {

const uint32_t kSession = 0x11223344;

// The exact RegisterSession request for a sender context.
Bytes register_request(uint64_t context) {
    return encap(0x0065, 0, 0, context, {0x01, 0x00, 0x00, 0x00});
}

// Reads a RegisterSession request and answers it; returns the request's sender context.
uint64_t accept_session(PeerConnection& conn, uint32_t session = kSession, uint32_t status = 0) {
    EncapMessage m;
    if (!read_message(conn, &m))
        return 0;
    EXPECT_EQ(m.raw, register_request(m.context));
    conn.write(encap(0x0065, session, status, m.context, {0x01, 0x00, 0x00, 0x00}));
    return m.context;
}

// A port on 127.0.0.1 on which nothing listens.
uint16_t closed_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

} // namespace

TEST(CipTransport, ReceivesExactlyWhenTheReplyArrivesInPieces) {
    std::atomic<int> client_fd{-1};
    const Bytes reply = encap(0x006F, kSession, 0, 42, {});
    ScriptedPeer peer([&](PeerConnection& conn, int) {
        conn.write(Bytes(reply.begin(), reply.begin() + 10));
        // Continue only once the client has taken the first 10 bytes out of its socket, so the
        // receive really sees two pieces: first the data must have left our queue...
        int pending = 1;
        while (ioctl(conn.fd(), SIOCOUTQ, &pending) == 0 && pending > 0)
            std::this_thread::yield();
        // ...then the client must have read it.
        int fd;
        while ((fd = client_fd.load()) < 0)
            std::this_thread::yield();
        while (ioctl(fd, FIONREAD, &pending) == 0 && pending > 0)
            std::this_thread::yield();
        conn.write(Bytes(reply.begin() + 10, reply.end()));
        conn.read_until_closed();
    });
    zelkc_cip_tcp_transport* t = zelkc_cip_tcp_transport_create();
    ASSERT_EQ(zelkc_cip_tcp_transport_connect(t, "127.0.0.1", peer.port(), 5000), ZELKC_CIP_TCP_OK);
    client_fd = t->fd;
    uint8_t got[24] = {};
    EXPECT_EQ(zelkc_cip_tcp_transport_recv_exact(t, got, 24, 5000), ZELKC_CIP_TCP_OK);
    EXPECT_EQ(Bytes(got, got + 24), reply);
    zelkc_cip_tcp_transport_destroy(t);
}

TEST(CipTransport, ClosedPeersAndHandlesAndBadArguments) {
    ScriptedPeer peer([](PeerConnection& conn, int) {
        conn.write({1, 2, 3, 4, 5});
        conn.close();
    });
    zelkc_cip_tcp_transport* t = zelkc_cip_tcp_transport_create();
    ASSERT_EQ(zelkc_cip_tcp_transport_connect(t, "127.0.0.1", peer.port(), 5000), ZELKC_CIP_TCP_OK);
    uint8_t got[8];
    EXPECT_EQ(zelkc_cip_tcp_transport_recv_exact(t, got, 0, 5000), ZELKC_CIP_TCP_OK);
    EXPECT_EQ(zelkc_cip_tcp_transport_recv_exact(t, got, 8, -1), ZELKC_CIP_TCP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(zelkc_cip_tcp_transport_recv_exact(t, got, 8, 5000), ZELKC_CIP_TCP_ERR_CLOSED);
    EXPECT_EQ(Bytes(got, got + 5), (Bytes{1, 2, 3, 4, 5}));

    zelkc_cip_tcp_transport_close(t);
    EXPECT_EQ(t->fd, -1);
    EXPECT_EQ(zelkc_cip_tcp_transport_send(t, got, 4, 5000), ZELKC_CIP_TCP_ERR_CLOSED);
    EXPECT_EQ(zelkc_cip_tcp_transport_recv_exact(t, got, 4, 5000), ZELKC_CIP_TCP_ERR_CLOSED);
    EXPECT_EQ(zelkc_cip_tcp_transport_connect(t, "127.0.0.1", 0, 5000), ZELKC_CIP_TCP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(zelkc_cip_tcp_transport_connect(t, "", 44818, 5000), ZELKC_CIP_TCP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(zelkc_cip_tcp_transport_connect(t, "127.0.0.1", closed_port(), 5000),
              ZELKC_CIP_TCP_ERR_CONNECT);
    EXPECT_EQ(t->fd, -1);
    zelkc_cip_tcp_transport_destroy(t);
    zelkc_cip_tcp_transport_destroy(nullptr);
}

TEST(CipTransport, ConnectingAgainClosesTheOldSocket) {
    bool first_closed = false;
    ScriptedPeer peer(
        [&](PeerConnection& conn, int index) {
            conn.read_until_closed();
            if (index == 0)
                first_closed = conn.saw_eof();
        },
        2);
    zelkc_cip_tcp_transport* t = zelkc_cip_tcp_transport_create();
    ASSERT_EQ(zelkc_cip_tcp_transport_connect(t, "127.0.0.1", peer.port(), 5000), ZELKC_CIP_TCP_OK);
    ASSERT_EQ(zelkc_cip_tcp_transport_connect(t, "127.0.0.1", peer.port(), 5000), ZELKC_CIP_TCP_OK);
    zelkc_cip_tcp_transport_destroy(t);
    peer.join();
    EXPECT_TRUE(first_closed);
    EXPECT_EQ(peer.accepted(), 2);
}

TEST(CipTransport, ConnectTimesOutWhenTheHandshakeIsNeverAnswered) {
    // A listener with backlog 0 whose queue is filled and never accepted: further SYNs are
    // dropped, so a connect stays in progress until the time-out (all on loopback).
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    std::vector<int> fillers;
    for (int i = 0; i < 16; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        fillers.push_back(fd);
        connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        pollfd pfd = {fd, POLLOUT, 0};
        if (poll(&pfd, 1, 1000) == 0)
            break; // this one hangs in the handshake: the queue is full
    }
    zelkc_cip_client* client = zelkc_cip_client_create();
    EXPECT_EQ(zelkc_cip_client_connect(client, "127.0.0.1", ntohs(addr.sin_port), 100),
              ZELKC_CIP_ERR_TIMEOUT);
    EXPECT_EQ(zelkc_cip_client_status(client), ZELKC_CIP_STATUS_DISCONNECTED);
    EXPECT_EQ(client->transport, nullptr);
    zelkc_cip_client_destroy(client);
    for (int fd : fillers)
        close(fd);
    close(listener);
}

TEST(CipSession, RegistersAndUnregistersWithExactMessages) {
    Bytes unregister;
    bool closed = false;
    ScriptedPeer peer([&](PeerConnection& conn, int) {
        EXPECT_EQ(accept_session(conn), 1u);
        unregister = conn.read(24);
        closed = conn.read_until_closed().empty() && conn.saw_eof();
    });
    zelkc_cip_client* client = zelkc_cip_client_create();
    EXPECT_EQ(zelkc_cip_client_status(client), ZELKC_CIP_STATUS_DISCONNECTED);
    ASSERT_EQ(zelkc_cip_client_connect(client, "127.0.0.1", peer.port(), 5000), ZELKC_CIP_OK);
    EXPECT_EQ(zelkc_cip_client_status(client), ZELKC_CIP_STATUS_CONNECTED);
    EXPECT_EQ(zelkc_cip_client_session_handle(client), kSession);
    zelkc_cip_client_disconnect(client);
    EXPECT_EQ(zelkc_cip_client_status(client), ZELKC_CIP_STATUS_DISCONNECTED);
    EXPECT_EQ(zelkc_cip_client_session_handle(client), 0u);
    zelkc_cip_client_disconnect(client); // nothing more is sent
    peer.join();
    EXPECT_EQ(unregister, (Bytes{0x66, 0x00, 0x00, 0x00, 0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0,
                                 0,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0, 0}));
    EXPECT_TRUE(closed);
    zelkc_cip_client_destroy(client);
    EXPECT_EQ(zelkc_cip_client_status(nullptr), 0);
}

TEST(CipSession, SenderContextCountsEveryExchangeAcrossReconnects) {
    std::vector<uint64_t> contexts;
    Bytes first_connection_tail;
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
                first_connection_tail = conn.read_until_closed(); // UnRegisterSession, then close
            } else {
                conn.read_until_closed();
            }
        },
        2);
    zelkc_cip_client* client = zelkc_cip_client_create();
    ASSERT_EQ(zelkc_cip_client_connect(client, "127.0.0.1", peer.port(), 5000), ZELKC_CIP_OK);
    zelkc_cip_eip_response reply;
    const uint8_t one = 0xAB;
    ASSERT_EQ(zelkc_cip_client_send_eip(client, 0x0063, &one, 1, &reply), ZELKC_CIP_OK);
    EXPECT_EQ(reply.command, 0x0063);
    EXPECT_EQ(reply.session_handle, 0x99u); // copied, not judged, by the exchange
    EXPECT_EQ(reply.status, 3u);
    EXPECT_EQ(reply.options, 0x77u);
    EXPECT_EQ(reply.sender_context[0], 2);
    EXPECT_EQ(reply.data, nullptr);
    EXPECT_EQ(reply.data_size, 0u);
    zelkc_cip_eip_response_free(&reply);

    Bytes big(65536);
    EXPECT_EQ(zelkc_cip_client_send_eip(client, 0x0063, big.data(), 65536, &reply),
              ZELKC_CIP_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(zelkc_cip_client_status(client), ZELKC_CIP_STATUS_CONNECTED);
    ASSERT_EQ(zelkc_cip_client_send_eip(client, 0x0063, nullptr, 0, &reply), ZELKC_CIP_OK);
    EXPECT_EQ(zelkc_cip_client_send_eip(client, 0x0063, nullptr, 1, &reply), ZELKC_CIP_ERR_INVALID_ARGUMENT);

    // Connecting a connected client unregisters the old session first; the count goes on.
    ASSERT_EQ(zelkc_cip_client_connect(client, "127.0.0.1", peer.port(), 5000), ZELKC_CIP_OK);
    zelkc_cip_client_destroy(client);
    peer.join();
    EXPECT_EQ(contexts, (std::vector<uint64_t>{1, 2, 4, 5}));
    EXPECT_EQ(first_connection_tail, encap(0x0066, kSession, 0, 0, {}));
}

TEST(CipSession, RefusedRegistrationLeavesTheClientDisconnected) {
    std::vector<Bytes> after;
    ScriptedPeer peer(
        [&](PeerConnection& conn, int index) {
            if (index == 0)
                accept_session(conn, 0, 0); // handle 0
            else
                accept_session(conn, 5, 1); // error status
            after.push_back(conn.read_until_closed());
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

// Each fault on the reply to one exchange after a good registration: the result, and the client
// left disconnected without an UnRegisterSession.
struct ReplyFault {
    const char* name;
    uint8_t result;
    std::function<void(PeerConnection&, const EncapMessage&)> answer;
};

class CipSessionFault : public testing::TestWithParam<ReplyFault> {};

TEST_P(CipSessionFault, DropsTheConnection) {
    Bytes tail;
    ScriptedPeer peer([&](PeerConnection& conn, int) {
        accept_session(conn);
        EncapMessage m;
        ASSERT_TRUE(read_message(conn, &m));
        GetParam().answer(conn, m);
        tail = conn.read_until_closed();
    });
    zelkc_cip_client* client = zelkc_cip_client_create();
    ASSERT_EQ(zelkc_cip_client_connect(client, "127.0.0.1", peer.port(), 300), ZELKC_CIP_OK);
    zelkc_cip_eip_response reply;
    EXPECT_EQ(zelkc_cip_client_send_eip(client, 0x006F, nullptr, 0, &reply), GetParam().result);
    EXPECT_EQ(reply.data, nullptr);
    EXPECT_EQ(zelkc_cip_client_status(client), ZELKC_CIP_STATUS_DISCONNECTED);
    EXPECT_EQ(zelkc_cip_client_session_handle(client), 0u);
    EXPECT_EQ(zelkc_cip_client_send_eip(client, 0x006F, nullptr, 0, &reply), ZELKC_CIP_ERR_NOT_CONNECTED);
    zelkc_cip_client_destroy(client);
    peer.join();
    EXPECT_TRUE(tail.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CipSessionFault,
    testing::Values(ReplyFault{"WrongCommand", ZELKC_CIP_ERR_BAD_REPLY,
                               [](PeerConnection& c, const EncapMessage& m) {
                                   c.write(encap(0x0070, kSession, 0, m.context, {}));
                               }},
                    ReplyFault{"WrongSenderContext", ZELKC_CIP_ERR_BAD_REPLY,
                               [](PeerConnection& c, const EncapMessage& m) {
                                   c.write(encap(0x006F, kSession, 0, m.context + 1, {}));
                               }},
                    ReplyFault{"ClosedMidHeader", ZELKC_CIP_ERR_IO,
                               [](PeerConnection& c, const EncapMessage& m) {
                                   Bytes r = encap(0x006F, kSession, 0, m.context, {});
                                   c.write(Bytes(r.begin(), r.begin() + 10));
                                   c.close();
                               }},
                    ReplyFault{"ClosedMidData", ZELKC_CIP_ERR_IO,
                               [](PeerConnection& c, const EncapMessage& m) {
                                   Bytes r = encap(0x006F, kSession, 0, m.context, Bytes(10, 0xEE));
                                   c.write(Bytes(r.begin(), r.begin() + 28));
                                   c.close();
                               }},
                    ReplyFault{"Silent", ZELKC_CIP_ERR_TIMEOUT, [](PeerConnection&, const EncapMessage&) {}}),
    [](const testing::TestParamInfo<ReplyFault>& info) { return info.param.name; });
