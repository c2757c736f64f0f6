// EtherNet/IP session client: RegisterSession / UnRegisterSession and the request-reply exchange.
#include "zelkc_cip_internal.h"

#include <string.h>

uint8_t zelkc_cip_map_tcp_result(uint8_t tcp_result) {
    switch (tcp_result) {
    case ZELKC_CIP_TCP_OK:
        return ZELKC_CIP_OK;
    case ZELKC_CIP_TCP_ERR_INVALID_ARGUMENT:
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    case ZELKC_CIP_TCP_ERR_RESOLVE:
    case ZELKC_CIP_TCP_ERR_CONNECT:
        return ZELKC_CIP_ERR_CONNECT_FAILED;
    case ZELKC_CIP_TCP_ERR_TIMEOUT:
        return ZELKC_CIP_ERR_TIMEOUT;
    case ZELKC_CIP_TCP_ERR_CANCELLED:
        return ZELKC_CIP_ERR_CANCELLED;
    default: // closed, I/O error
        return ZELKC_CIP_ERR_IO;
    }
}

// Writes the 24-byte encapsulation header.
static void write_header(uint8_t* out, uint16_t command, uint16_t length, uint32_t session_handle,
                         uint64_t sender_context) {
    zelkc_cip_put_u16(out + 0, command);
    zelkc_cip_put_u16(out + 2, length);
    zelkc_cip_put_u32(out + 4, session_handle);
    zelkc_cip_put_u32(out + 8, 0);
    zelkc_cip_put_u64(out + 12, sender_context);
    zelkc_cip_put_u32(out + 20, 0);
}

// Drops the connection without UnRegisterSession (the stream is no longer trusted); a class 3
// connection ends with its session.
static void tear_down(zelkc_cip_client* client) {
    zelkc_cip_tcp_transport_destroy(client->transport);
    client->transport = nullptr;
    client->session_handle = 0;
    client->status = ZELKC_CIP_STATUS_DISCONNECTED;
    client->connection.size = 0;
}

void zelkc_cip_client_drop(zelkc_cip_client* client) {
    tear_down(client);
}

zelkc_cip_client* zelkc_cip_client_create(void) {
    auto* client = static_cast<zelkc_cip_client*>(zelkc_cip_alloc(sizeof(zelkc_cip_client)));
    if (client == nullptr)
        return nullptr;
    memset(client, 0, sizeof *client);
    return client;
}

void zelkc_cip_client_destroy(zelkc_cip_client* client) {
    if (client == nullptr)
        return;
    zelkc_cip_client_disconnect(client);
    zelkc_cip_free(client);
}

void zelkc_cip_client_disconnect(zelkc_cip_client* client) {
    if (client == nullptr)
        return;
    (void)zelkc_cip_client_close_connection(client, nullptr);
    // After a cancel nothing more goes out: the user asked for the connection to end now.
    if (client->transport != nullptr && client->session_handle != 0 && !zelkc_cip_client_cancelled(client)) {
        auto* message = static_cast<uint8_t*>(zelkc_cip_alloc(ZELKC_CIP_EIP_HEADER_SIZE));
        if (message != nullptr) {
            write_header(message, ZELKC_CIP_EIP_UNREGISTER_SESSION, 0, client->session_handle, 0);
            // No reply is awaited; a failed send changes nothing, the connection closes anyway.
            (void)zelkc_cip_tcp_transport_send(client->transport, message, ZELKC_CIP_EIP_HEADER_SIZE,
                                               static_cast<int32_t>(client->timeout_ms));
            zelkc_cip_free(message);
        }
    }
    tear_down(client);
}

void zelkc_cip_client_cancel(zelkc_cip_client* client) {
    if (client != nullptr)
        zelkc_cip_cancel_request(&client->cancel);
}

void zelkc_cip_client_cancel_clear(zelkc_cip_client* client) {
    if (client != nullptr)
        __atomic_store_n(&client->cancel.requested, 0, __ATOMIC_SEQ_CST);
}

bool zelkc_cip_client_cancelled(const zelkc_cip_client* client) {
    return client != nullptr && __atomic_load_n(&client->cancel.requested, __ATOMIC_SEQ_CST) != 0;
}

uint8_t zelkc_cip_client_status(const zelkc_cip_client* client) {
    return client == nullptr ? 0 : client->status;
}

uint32_t zelkc_cip_client_session_handle(const zelkc_cip_client* client) {
    return client == nullptr ? 0 : client->session_handle;
}

uint8_t zelkc_cip_client_connect(zelkc_cip_client* client, const char* host, uint32_t port,
                                 uint32_t timeout_ms) {
    if (client == nullptr || host == nullptr || port == 0 || host[0] == '\0')
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    zelkc_cip_client_disconnect(client);
    client->status = ZELKC_CIP_STATUS_CONNECTING;
    client->timeout_ms = timeout_ms;

    client->transport = zelkc_cip_tcp_transport_create();
    if (client->transport == nullptr) {
        tear_down(client);
        return ZELKC_CIP_ERR_NO_MEMORY;
    }
    client->transport->cancel = &client->cancel;
    uint8_t tcp =
        zelkc_cip_tcp_transport_connect(client->transport, host, port, static_cast<int32_t>(timeout_ms));
    if (tcp != ZELKC_CIP_TCP_OK) {
        tear_down(client);
        return zelkc_cip_map_tcp_result(tcp);
    }

    static const uint8_t kRegisterData[4] = {0x01, 0x00, 0x00, 0x00}; // protocol version 1, options 0
    zelkc_cip_eip_response reply;
    uint8_t rc = zelkc_cip_client_send_internal(client, ZELKC_CIP_EIP_REGISTER_SESSION, kRegisterData,
                                                sizeof kRegisterData, &reply);
    if (rc != ZELKC_CIP_OK) {
        // The exchange tears down on transport and reply failures; make sure of it for the rest.
        tear_down(client);
        return rc;
    }
    if (reply.status == 0 && reply.session_handle != 0) {
        client->session_handle = reply.session_handle;
        client->status = ZELKC_CIP_STATUS_CONNECTED;
        zelkc_cip_eip_response_free(&reply);
        return ZELKC_CIP_OK;
    }
    zelkc_cip_note_refusal(client, reply.status, 0, 0);
    zelkc_cip_eip_response_free(&reply);
    tear_down(client);
    return ZELKC_CIP_ERR_SESSION_REFUSED;
}

uint8_t zelkc_cip_client_send_internal(zelkc_cip_client* client, uint16_t command, const uint8_t* data,
                                       uint32_t length, zelkc_cip_eip_response* reply) {
    memset(reply, 0, sizeof *reply);
    uint64_t context = ++client->sender_context;
    if (length >= 65536 || (data == nullptr && length != 0))
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;

    auto* message = static_cast<uint8_t*>(zelkc_cip_alloc(ZELKC_CIP_EIP_HEADER_SIZE + length));
    if (message == nullptr)
        return ZELKC_CIP_ERR_NO_MEMORY;
    write_header(message, command, static_cast<uint16_t>(length), client->session_handle, context);
    if (length != 0)
        memcpy(message + ZELKC_CIP_EIP_HEADER_SIZE, data, length);
    // One deadline for the whole exchange: a peer that trickles its reply cannot stretch it.
    const int64_t deadline = zelkc_cip_clock_ms() + static_cast<int32_t>(client->timeout_ms);
    uint8_t tcp = static_cast<int32_t>(client->timeout_ms) < 0
                      ? ZELKC_CIP_TCP_ERR_INVALID_ARGUMENT
                      : zelkc_cip_tcp_transport_send_by(client->transport, message,
                                                        ZELKC_CIP_EIP_HEADER_SIZE + length, deadline);
    zelkc_cip_free(message);
    if (tcp != ZELKC_CIP_TCP_OK) {
        tear_down(client);
        return zelkc_cip_map_tcp_result(tcp);
    }

    uint8_t header[ZELKC_CIP_EIP_HEADER_SIZE];
    tcp = zelkc_cip_tcp_transport_recv_exact_by(client->transport, header, sizeof header, deadline);
    if (tcp != ZELKC_CIP_TCP_OK) {
        tear_down(client);
        return zelkc_cip_map_tcp_result(tcp);
    }
    reply->command = zelkc_cip_get_u16(header + 0);
    reply->session_handle = zelkc_cip_get_u32(header + 4);
    reply->status = zelkc_cip_get_u32(header + 8);
    memcpy(reply->sender_context, header + 12, 8);
    reply->options = zelkc_cip_get_u32(header + 20);

    uint8_t sent_context[8];
    zelkc_cip_put_u64(sent_context, context);
    // A refusal (non-zero status) is taken whatever sender context it carries: devices that refuse
    // a session do not always echo it, and the refusal is what the caller must learn.
    const bool refused = reply->command == command && reply->status != 0;
    if (reply->command != command || (!refused && memcmp(reply->sender_context, sent_context, 8) != 0)) {
        tear_down(client);
        memset(reply, 0, sizeof *reply);
        return ZELKC_CIP_ERR_BAD_REPLY;
    }

    uint16_t reply_length = zelkc_cip_get_u16(header + 2);
    if (reply_length == 0)
        return ZELKC_CIP_OK;
    auto* buffer = static_cast<uint8_t*>(zelkc_cip_alloc(reply_length));
    if (buffer == nullptr) {
        tear_down(client);
        memset(reply, 0, sizeof *reply);
        return ZELKC_CIP_ERR_NO_MEMORY;
    }
    tcp = zelkc_cip_tcp_transport_recv_exact_by(client->transport, buffer, reply_length, deadline);
    if (tcp != ZELKC_CIP_TCP_OK) {
        zelkc_cip_free(buffer);
        tear_down(client);
        memset(reply, 0, sizeof *reply);
        return zelkc_cip_map_tcp_result(tcp);
    }
    reply->data = buffer;
    reply->data_size = reply_length;
    return ZELKC_CIP_OK;
}

uint8_t zelkc_cip_client_send_eip(zelkc_cip_client* client, uint16_t command, const uint8_t* data,
                                  uint32_t length, zelkc_cip_eip_response* reply) {
    if (reply == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    memset(reply, 0, sizeof *reply);
    if (client == nullptr || (data == nullptr && length != 0))
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    if (!zelkc_cip_client_ready(client))
        return ZELKC_CIP_ERR_NOT_CONNECTED;
    return zelkc_cip_client_send_internal(client, command, data, length, reply);
}

void zelkc_cip_eip_response_free(zelkc_cip_eip_response* reply) {
    if (reply == nullptr)
        return;
    zelkc_cip_free(reply->data);
    memset(reply, 0, sizeof *reply);
}
