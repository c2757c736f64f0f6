// Unconnected (UCMM) messaging over SendRRData, and routing through Unconnected Send.
#include "zelkc_cip_internal.h"

#include <string.h>

static const uint32_t kCpfHeaderSize = 16;
static const uint32_t kFirstRouteCapacity = 8;
static const uint32_t kMaxRouteSize = 510;
static const uint8_t kUnconnectedSend = 0x52;
static const uint8_t kReplyBit = 0x80;

uint8_t zelkc_cip_cpf_build_rr_data(const uint8_t* data, uint32_t length, uint16_t timeout,
                                    zelkc_cip_buffer* out) {
    if (out == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    zelkc_cip_path_init(out);
    if (data == nullptr && length != 0)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    if (length >= 65536)
        return ZELKC_CIP_ERR_TOO_LARGE;
    const uint32_t size = kCpfHeaderSize + length;
    auto* block = static_cast<uint8_t*>(zelkc_cip_alloc(size));
    if (block == nullptr)
        return ZELKC_CIP_ERR_NO_MEMORY;
    zelkc_cip_put_u32(block + 0, 0); // interface handle
    zelkc_cip_put_u16(block + 4, timeout);
    zelkc_cip_put_u16(block + 6, 2); // item count
    zelkc_cip_put_u16(block + 8, ZELKC_CIP_CPF_NULL_ADDRESS_ITEM);
    zelkc_cip_put_u16(block + 10, 0);
    zelkc_cip_put_u16(block + 12, ZELKC_CIP_CPF_UNCONNECTED_DATA_ITEM);
    zelkc_cip_put_u16(block + 14, static_cast<uint16_t>(length));
    if (length != 0)
        memcpy(block + kCpfHeaderSize, data, length);
    out->data = block;
    out->size = size;
    return ZELKC_CIP_OK;
}

// Finds the unconnected data item of a SendRRData reply's CPF block: its offset and length in
// `bytes`, without copying.
static uint8_t find_unconnected_item(const uint8_t* bytes, uint32_t length, uint32_t* item_offset,
                                     uint32_t* item_size) {
    if (length < 8 || zelkc_cip_get_u32(bytes) != 0)
        return ZELKC_CIP_ERR_BAD_REPLY;
    const uint16_t item_count = zelkc_cip_get_u16(bytes + 6);
    if (item_count == 0 || length < 12)
        return ZELKC_CIP_ERR_BAD_REPLY;

    uint32_t offset = 8;
    uint32_t seen = 0;
    for (;;) {
        // Invariant: at least 4 bytes (one item header) remain at offset.
        const uint16_t type = zelkc_cip_get_u16(bytes + offset);
        const uint16_t item_length = zelkc_cip_get_u16(bytes + offset + 2);
        const uint32_t body = offset + 4;
        if (length - body < item_length)
            return ZELKC_CIP_ERR_BAD_REPLY;
        if (type == ZELKC_CIP_CPF_UNCONNECTED_DATA_ITEM) {
            *item_offset = body;
            *item_size = item_length;
            return ZELKC_CIP_OK;
        }
        offset = body + item_length;
        if (++seen >= item_count || length - offset < 4)
            return ZELKC_CIP_ERR_BAD_REPLY;
    }
}

uint8_t zelkc_cip_cpf_extract_unconnected_data(const uint8_t* bytes, uint32_t length, zelkc_cip_buffer* out) {
    if (out == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    zelkc_cip_path_init(out);
    if (bytes == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    uint32_t offset = 0;
    uint32_t size = 0;
    const uint8_t rc = find_unconnected_item(bytes, length, &offset, &size);
    if (rc != ZELKC_CIP_OK)
        return rc;
    return zelkc_cip_buffer_copy_exact(out, bytes + offset, size);
}

uint8_t zelkc_cip_client_send_encoded_unconnected(zelkc_cip_client* client, const uint8_t* bytes,
                                                  uint32_t length, zelkc_cip_response* response) {
    if (response == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    memset(response, 0, sizeof *response);

    zelkc_cip_buffer block;
    uint8_t rc = zelkc_cip_cpf_build_rr_data(bytes, length, 0, &block);
    if (rc != ZELKC_CIP_OK)
        return rc;
    if (client == nullptr || !zelkc_cip_client_ready(client)) {
        zelkc_cip_path_free(&block);
        return client == nullptr ? ZELKC_CIP_ERR_INVALID_ARGUMENT : ZELKC_CIP_ERR_NOT_CONNECTED;
    }

    zelkc_cip_eip_response reply;
    rc = zelkc_cip_client_send_internal(client, ZELKC_CIP_EIP_SEND_RR_DATA, block.data, block.size, &reply);
    zelkc_cip_path_free(&block);
    if (rc != ZELKC_CIP_OK)
        return rc;
    if (reply.status != 0) {
        zelkc_cip_note_refusal(client, reply.status, 0, 0);
        zelkc_cip_eip_response_free(&reply);
        return ZELKC_CIP_ERR_DEVICE;
    }
    if (reply.session_handle != client->session_handle) {
        // A reply for another session, with status 0: not a refusal (no status to report), a reply
        // that does not belong to this request.
        zelkc_cip_note_refusal(client, 0, 0, 0);
        zelkc_cip_eip_response_free(&reply);
        return ZELKC_CIP_ERR_BAD_REPLY;
    }

    // The CIP reply is parsed where it lies in the encapsulation data (the parser copies what it
    // keeps). A reply without data cannot hold a CPF block; treat it like any other short reply.
    uint32_t item_offset = 0;
    uint32_t item_size = 0;
    rc = reply.data != nullptr ? find_unconnected_item(reply.data, reply.data_size, &item_offset, &item_size)
                               : ZELKC_CIP_ERR_BAD_REPLY;
    if (rc == ZELKC_CIP_OK) {
        // An empty item still needs a pointer for the parser, which reports it as short.
        static const uint8_t kNothing = 0;
        rc = zelkc_cip_response_parse(item_size != 0 ? reply.data + item_offset : &kNothing, item_size,
                                      response);
    }
    zelkc_cip_eip_response_free(&reply);
    return rc;
}

uint8_t zelkc_cip_client_send_request(zelkc_cip_client* client, const zelkc_cip_request* request,
                                      zelkc_cip_response* response, bool need_connection,
                                      uint8_t (*send)(zelkc_cip_client*, const uint8_t*, uint32_t,
                                                      zelkc_cip_response*)) {
    if (response == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    memset(response, 0, sizeof *response);
    if (client == nullptr || request == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    if (!zelkc_cip_client_ready(client) || (need_connection && client->connection.size == 0))
        return ZELKC_CIP_ERR_NOT_CONNECTED;
    zelkc_cip_buffer encoded;
    uint8_t rc = zelkc_cip_request_encode(request, &encoded);
    if (rc != ZELKC_CIP_OK)
        return rc;
    rc = send(client, encoded.data, encoded.size, response);
    zelkc_cip_path_free(&encoded);
    return rc;
}

uint8_t zelkc_cip_client_send_unconnected(zelkc_cip_client* client, const zelkc_cip_request* request,
                                          zelkc_cip_response* response) {
    return zelkc_cip_client_send_request(client, request, response, false,
                                         zelkc_cip_client_send_encoded_unconnected);
}

// Grows the route by `length` bytes (empty routes start at 8) and appends the segment.
static uint8_t route_append(zelkc_cip_buffer* route, const uint8_t* segment, uint32_t length) {
    return zelkc_cip_buffer_append(route, segment, length, kFirstRouteCapacity);
}

uint8_t zelkc_cip_route_path_add_port(zelkc_cip_buffer* route, uint32_t port, const uint8_t* link_address,
                                      uint32_t link_address_length) {
    if (route == nullptr || port > 14 || link_address_length > 255 ||
        (link_address == nullptr && link_address_length != 0))
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    uint8_t segment[2 + 255 + 1];
    uint32_t length;
    if (link_address_length == 1) {
        segment[0] = static_cast<uint8_t>(port);
        segment[1] = link_address[0];
        length = 2;
    } else {
        segment[0] = static_cast<uint8_t>(port | 0x10);
        segment[1] = static_cast<uint8_t>(link_address_length);
        if (link_address_length != 0)
            memcpy(segment + 2, link_address, link_address_length);
        length = 2 + link_address_length;
        if (link_address_length % 2 != 0)
            segment[length++] = 0x00;
    }
    return route_append(route, segment, length);
}

uint8_t zelkc_cip_route_path_add_backplane_slot(zelkc_cip_buffer* route, uint8_t slot) {
    if (route == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    const uint8_t segment[2] = {0x01, slot};
    return route_append(route, segment, sizeof segment);
}

uint8_t zelkc_cip_routed_request_encode(const zelkc_cip_request* request, const zelkc_cip_buffer* route,
                                        uint8_t priority_time_tick, uint8_t timeout_ticks,
                                        zelkc_cip_buffer* out) {
    if (out == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    zelkc_cip_path_init(out);
    if (request == nullptr || route == nullptr || route->size == 0 || route->size % 2 != 0 ||
        route->data == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    if (route->size > kMaxRouteSize)
        return ZELKC_CIP_ERR_TOO_LARGE;

    zelkc_cip_buffer embedded;
    uint8_t rc = zelkc_cip_request_encode(request, &embedded);
    if (rc != ZELKC_CIP_OK)
        return rc;
    const uint32_t message_length = embedded.size;
    if (message_length >= 65536) {
        zelkc_cip_path_free(&embedded);
        return ZELKC_CIP_ERR_TOO_LARGE;
    }
    const uint32_t pad = message_length % 2;
    const uint32_t size = 6 + message_length + pad + route->size;
    if (size >= 65530) {
        zelkc_cip_path_free(&embedded);
        return ZELKC_CIP_ERR_TOO_LARGE;
    }
    auto* data = static_cast<uint8_t*>(zelkc_cip_alloc(size));
    if (data == nullptr) {
        zelkc_cip_path_free(&embedded);
        return ZELKC_CIP_ERR_NO_MEMORY;
    }
    data[0] = priority_time_tick;
    data[1] = timeout_ticks;
    zelkc_cip_put_u16(data + 2, static_cast<uint16_t>(message_length));
    memcpy(data + 4, embedded.data, message_length);
    uint32_t at = 4 + message_length;
    if (pad != 0)
        data[at++] = 0x00;
    data[at++] = static_cast<uint8_t>(route->size / 2);
    data[at++] = 0x00;
    memcpy(data + at, route->data, route->size);
    zelkc_cip_path_free(&embedded);

    const zelkc_cip_request send = {kUnconnectedSend, zelkc_cip_connection_manager_path,
                                    sizeof zelkc_cip_connection_manager_path, data, size};
    rc = zelkc_cip_request_encode(&send, out);
    zelkc_cip_free(data);
    return rc;
}

uint8_t zelkc_cip_client_send_routed_ex(zelkc_cip_client* client, const zelkc_cip_request* request,
                                        const zelkc_cip_buffer* route, uint8_t priority_time_tick,
                                        uint8_t timeout_ticks, zelkc_cip_response* response) {
    if (response == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    memset(response, 0, sizeof *response);
    if (client == nullptr || request == nullptr || route == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    if (!zelkc_cip_client_ready(client))
        return ZELKC_CIP_ERR_NOT_CONNECTED;

    zelkc_cip_buffer encoded;
    uint8_t rc = zelkc_cip_routed_request_encode(request, route, priority_time_tick, timeout_ticks, &encoded);
    if (rc != ZELKC_CIP_OK)
        return rc;
    zelkc_cip_response reply;
    rc = zelkc_cip_client_send_encoded_unconnected(client, encoded.data, encoded.size, &reply);
    zelkc_cip_path_free(&encoded);
    if (rc != ZELKC_CIP_OK)
        return rc;

    // A controller behind a communication module answers a successful Unconnected Send with its
    // own reply to the embedded request; only a routing failure comes back as an Unconnected Send
    // reply (service 0xD2 with an error status), which the steps below handle.
    const uint8_t target_reply = static_cast<uint8_t>(request->service | kReplyBit);
    if (reply.service == target_reply) {
        *response = reply; // the caller now owns its blocks
        return ZELKC_CIP_OK;
    }
    if (reply.service != (kUnconnectedSend | kReplyBit)) {
        zelkc_cip_response_free(&reply);
        return ZELKC_CIP_ERR_BAD_REPLY;
    }
    if (reply.general_status != 0) {
        *response = reply; // the routing failure, for the caller to inspect
        zelkc_cip_note_reply_refusal(client, &reply);
        client->refusal.by_route = 1;
        // A route of one backplane hop (port 1, link address N) names slot N.
        if (route->size == 2 && route->data[0] == 0x01)
            client->refusal.route_slot = route->data[1];
        return ZELKC_CIP_OK;
    }
    if (reply.data.size <= 3) {
        zelkc_cip_response_free(&reply);
        return ZELKC_CIP_ERR_BAD_REPLY;
    }
    rc = zelkc_cip_response_parse(reply.data.data, reply.data.size, response);
    zelkc_cip_response_free(&reply);
    return rc;
}

uint8_t zelkc_cip_client_send_routed(zelkc_cip_client* client, const zelkc_cip_request* request,
                                     const zelkc_cip_buffer* route, zelkc_cip_response* response) {
    return zelkc_cip_client_send_routed_ex(client, request, route, 10, 14, response);
}

uint8_t zelkc_cip_client_send_to_backplane_slot(zelkc_cip_client* client, uint8_t slot,
                                                const zelkc_cip_request* request,
                                                zelkc_cip_response* response) {
    if (response == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    memset(response, 0, sizeof *response);
    zelkc_cip_buffer route;
    zelkc_cip_path_init(&route);
    uint8_t rc = zelkc_cip_route_path_add_backplane_slot(&route, slot);
    if (rc == ZELKC_CIP_OK)
        rc = zelkc_cip_client_send_routed_ex(client, request, &route, 10, 14, response);
    zelkc_cip_path_free(&route);
    return rc;
}
