// Multiple Service Packet: encoding, reply parsing, and the packing send with splitting on 0x1A.
#include "zelkc_cip_internal.h"

#include <string.h>

static const uint8_t kMultipleService = 0x0A;
static const uint8_t kMultipleReply = 0x8A;
static const uint32_t kMaxServicesPerEncoding = 32763;
static const uint32_t kMaxPacketData = 65529;
static const uint32_t kMaxServicesPerPacket = 65535;
static const uint32_t kMaxPathSize = 510;
static const uint32_t kMaxRouteSize = 510;
// Service, path size, the 4-byte Message Router path and the service count.
static const uint32_t kPacketOverhead = 8;
// Unconnected Send around a packet: service, path size, 4-byte path, two ticks, message length,
// route size and reserved byte.
static const uint32_t kUnconnectedSendOverhead = 12;
// The route option that sends packets over the client's class 3 connection.
static const uint8_t kOverConnection = 2;
static const uint8_t kStatusReplyTooLarge = 0x11;

// The checks zelkc_cip_request_encode makes, and the size of the encoded request.
static uint8_t encoded_size(const zelkc_cip_request* request, uint32_t* size) {
    if ((request->path_size != 0 && request->path == nullptr) || request->path_size % 2 != 0 ||
        (request->data_size != 0 && request->data == nullptr))
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    if (request->path_size > kMaxPathSize || request->data_size > 0xFFFFFFFDu - request->path_size)
        return ZELKC_CIP_ERR_TOO_LARGE;
    *size = 2 + request->path_size + request->data_size;
    return ZELKC_CIP_OK;
}

// Writes a request checked by encoded_size: service, path size in words, path, data.
static void encode_into(uint8_t* out, const zelkc_cip_request* request) {
    out[0] = request->service;
    out[1] = static_cast<uint8_t>(request->path_size / 2);
    if (request->path_size != 0)
        memcpy(out + 2, request->path, request->path_size);
    if (request->data_size != 0)
        memcpy(out + 2 + request->path_size, request->data, request->data_size);
}

uint8_t zelkc_cip_multiple_request_encode(const zelkc_cip_request* requests, uint32_t count,
                                          zelkc_cip_buffer* out) {
    if (out == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    zelkc_cip_path_init(out);
    if (requests == nullptr || count == 0)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    if (count > kMaxServicesPerEncoding)
        return ZELKC_CIP_ERR_TOO_LARGE;

    // First every request is checked and measured, then the whole packet is written into one block:
    // the Multiple Service Packet request to the Message Router, its offset table, the requests.
    const uint32_t table_end = 2 + 2 * count;
    uint32_t size = table_end;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t request_size = 0;
        uint8_t rc = encoded_size(&requests[i], &request_size);
        if (rc == ZELKC_CIP_OK && request_size > kMaxPacketData - size)
            rc = ZELKC_CIP_ERR_TOO_LARGE;
        if (rc != ZELKC_CIP_OK)
            return rc;
        size += request_size;
    }

    const uint32_t header = 2 + sizeof zelkc_cip_message_router_path;
    auto* block = static_cast<uint8_t*>(zelkc_cip_alloc(header + size));
    if (block == nullptr)
        return ZELKC_CIP_ERR_NO_MEMORY;
    block[0] = kMultipleService;
    block[1] = static_cast<uint8_t>(sizeof zelkc_cip_message_router_path / 2);
    memcpy(block + 2, zelkc_cip_message_router_path, sizeof zelkc_cip_message_router_path);
    uint8_t* data = block + header;
    zelkc_cip_put_u16(data, static_cast<uint16_t>(count));
    uint32_t position = table_end;
    for (uint32_t i = 0; i < count; ++i) {
        zelkc_cip_put_u16(data + 2 + 2 * i, static_cast<uint16_t>(position));
        encode_into(data + position, &requests[i]);
        position += 2 + requests[i].path_size + requests[i].data_size;
    }
    out->data = block;
    out->size = header + size;
    return ZELKC_CIP_OK;
}

static void free_responses(zelkc_cip_response* responses, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i)
        zelkc_cip_response_free(&responses[i]);
    zelkc_cip_free(responses);
}

uint8_t zelkc_cip_multiple_response_data_parse(const uint8_t* bytes, uint32_t length,
                                               zelkc_cip_multiple_response* out) {
    if (out == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    memset(out, 0, sizeof *out);
    if (bytes == nullptr && length != 0)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    if (length < 2)
        return ZELKC_CIP_ERR_BAD_REPLY;
    const uint32_t count = zelkc_cip_get_u16(bytes);
    const uint32_t table_end = 2 + 2 * count;
    if (count == 0 || table_end > length)
        return ZELKC_CIP_ERR_BAD_REPLY;

    auto* responses = static_cast<zelkc_cip_response*>(zelkc_cip_alloc(sizeof(zelkc_cip_response) * count));
    if (responses == nullptr)
        return ZELKC_CIP_ERR_NO_MEMORY;
    memset(responses, 0, sizeof(zelkc_cip_response) * count);

    uint32_t previous_start = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t start = zelkc_cip_get_u16(bytes + 2 + 2 * i);
        const uint32_t end = i + 1 < count ? zelkc_cip_get_u16(bytes + 2 + 2 * (i + 1)) : length;
        uint8_t rc = ZELKC_CIP_ERR_BAD_REPLY;
        if (start >= table_end && start >= previous_start && end >= start && end <= length)
            rc = zelkc_cip_response_parse(bytes + start, end - start, &responses[i]);
        if (rc != ZELKC_CIP_OK) {
            free_responses(responses, i);
            return rc;
        }
        previous_start = start;
    }
    out->responses = responses;
    out->count = count;
    return ZELKC_CIP_OK;
}

uint8_t zelkc_cip_multiple_response_parse(const uint8_t* bytes, uint32_t length,
                                          zelkc_cip_multiple_response* out) {
    if (out == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    memset(out, 0, sizeof *out);
    if (bytes == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    zelkc_cip_response outer;
    uint8_t rc = zelkc_cip_response_parse(bytes, length, &outer);
    if (rc != ZELKC_CIP_OK)
        return rc;
    if (outer.service != kMultipleReply)
        rc = ZELKC_CIP_ERR_BAD_REPLY;
    else if (outer.general_status != ZELKC_CIP_GENERAL_STATUS_SUCCESS &&
             outer.general_status != ZELKC_CIP_GENERAL_STATUS_EMBEDDED_FAILURE)
        rc = ZELKC_CIP_ERR_DEVICE;
    else
        rc = zelkc_cip_multiple_response_data_parse(outer.data.data, outer.data.size, out);
    zelkc_cip_response_free(&outer);
    return rc;
}

void zelkc_cip_multiple_response_free(zelkc_cip_multiple_response* multiple) {
    if (multiple == nullptr)
        return;
    if (multiple->responses != nullptr)
        free_responses(multiple->responses, multiple->count);
    memset(multiple, 0, sizeof *multiple);
}

// Sends one encoded packet directly or along the options' route; the reply lands in `reply`.
static uint8_t send_packet(zelkc_cip_client* client, const zelkc_cip_buffer* packet,
                           const zelkc_cip_route* options, zelkc_cip_response* reply) {
    if (options->routed == kOverConnection)
        return zelkc_cip_client_send_encoded_connected(client, packet->data, packet->size, reply);
    if (options->routed == 0) {
        if (client == nullptr)
            return ZELKC_CIP_ERR_INVALID_ARGUMENT;
        if (!zelkc_cip_client_ready(client))
            return ZELKC_CIP_ERR_NOT_CONNECTED;
        return zelkc_cip_client_send_encoded_unconnected(client, packet->data, packet->size, reply);
    }
    // View the encoded packet again as a request record: service, path (word count at byte 1), data.
    const uint32_t path_size = 2u * packet->data[1];
    const zelkc_cip_request record = {packet->data[0], packet->data + 2, path_size,
                                      packet->data + 2 + path_size, packet->size - 2 - path_size};
    return zelkc_cip_client_send_routed_ex(client, &record, options->route, options->priority_time_tick,
                                           options->timeout_ticks, reply);
}

uint8_t zelkc_cip_client_send_multiple_range(zelkc_cip_client* client, const zelkc_cip_request* requests,
                                             uint32_t count, const zelkc_cip_route* options,
                                             zelkc_cip_response* responses) {
    if (options == nullptr || responses == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    zelkc_cip_buffer packet;
    uint8_t rc = zelkc_cip_multiple_request_encode(requests, count, &packet);
    if (rc != ZELKC_CIP_OK)
        return rc;
    zelkc_cip_response reply;
    rc = send_packet(client, &packet, options, &reply);
    zelkc_cip_path_free(&packet);
    if (rc != ZELKC_CIP_OK)
        return rc;

    uint8_t status = reply.general_status;
    // Over a connection the replies must fit it as well: a packet whose replies would not is
    // split like one that is too large.
    if (options->routed == kOverConnection && status == kStatusReplyTooLarge)
        status = ZELKC_CIP_GENERAL_STATUS_TOO_MUCH_DATA;
    if (status == ZELKC_CIP_GENERAL_STATUS_TOO_MUCH_DATA && count >= 2) {
        zelkc_cip_response_free(&reply);
        const uint32_t first = count / 2;
        rc = zelkc_cip_client_send_multiple_range(client, requests, first, options, responses);
        if (rc != ZELKC_CIP_OK)
            return rc;
        return zelkc_cip_client_send_multiple_range(client, requests + first, count - first, options,
                                                    responses + first);
    }
    if (status == ZELKC_CIP_GENERAL_STATUS_TOO_MUCH_DATA ||
        status == ZELKC_CIP_GENERAL_STATUS_NOT_ENOUGH_DATA) {
        zelkc_cip_response_free(&reply);
        return ZELKC_CIP_ERR_TOO_LARGE;
    }
    if (status != ZELKC_CIP_GENERAL_STATUS_SUCCESS && status != ZELKC_CIP_GENERAL_STATUS_EMBEDDED_FAILURE) {
        zelkc_cip_note_reply_refusal(client, &reply);
        zelkc_cip_response_free(&reply);
        return ZELKC_CIP_ERR_DEVICE;
    }
    if (reply.service != kMultipleReply) {
        zelkc_cip_response_free(&reply);
        return ZELKC_CIP_ERR_BAD_REPLY;
    }
    zelkc_cip_multiple_response parsed;
    rc = zelkc_cip_multiple_response_data_parse(reply.data.data, reply.data.size, &parsed);
    zelkc_cip_response_free(&reply);
    if (rc != ZELKC_CIP_OK)
        return rc;
    if (parsed.count != count) {
        zelkc_cip_multiple_response_free(&parsed);
        return ZELKC_CIP_ERR_BAD_REPLY;
    }
    memcpy(responses, parsed.responses, sizeof(zelkc_cip_response) * count); // the slots own the blocks now
    zelkc_cip_free(parsed.responses);
    return ZELKC_CIP_OK;
}

// The size on the wire of a packet whose running size (packet overhead, offsets and embedded
// requests) is `running`: itself, or wrapped in an Unconnected Send along the route.
static uint64_t wire_size(uint32_t running, const zelkc_cip_route* options) {
    if (options->routed != 1)
        return running;
    return static_cast<uint64_t>(running) + running % 2 + options->route->size + kUnconnectedSendOverhead;
}

// The largest packet sent: 500 bytes, or over a connection what it carries besides the sequence count.
static uint32_t packet_limit(const zelkc_cip_client* client, const zelkc_cip_route* options) {
    if (options->routed == kOverConnection)
        return client->connection.size > 2 ? client->connection.size - 2u : 0u;
    return ZELKC_CIP_MULTIPLE_PACKET_LIMIT;
}

static bool fits_alone(uint32_t size, const zelkc_cip_route* options, uint32_t limit) {
    return size <= limit && wire_size(kPacketOverhead + size + 2, options) <= limit;
}

uint8_t zelkc_cip_client_send_multiple(zelkc_cip_client* client, const zelkc_cip_request* requests,
                                       uint32_t count, const zelkc_cip_route* options,
                                       zelkc_cip_multiple_response* out) {
    if (out != nullptr)
        memset(out, 0, sizeof *out);
    if (client == nullptr || requests == nullptr || options == nullptr || out == nullptr || count == 0)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    if (options->routed > kOverConnection)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    if (options->routed == 1) {
        const zelkc_cip_buffer* route = options->route;
        if (route == nullptr || route->data == nullptr || route->size == 0 || route->size % 2 != 0)
            return ZELKC_CIP_ERR_INVALID_ARGUMENT;
        if (route->size > kMaxRouteSize)
            return ZELKC_CIP_ERR_TOO_LARGE;
    }
    if (!zelkc_cip_client_ready(client) ||
        (options->routed == kOverConnection && client->connection.size == 0))
        return ZELKC_CIP_ERR_NOT_CONNECTED;
    const uint32_t limit = packet_limit(client, options);

    auto* sizes = static_cast<uint32_t*>(zelkc_cip_alloc(sizeof(uint32_t) * static_cast<uint64_t>(count)));
    if (sizes == nullptr)
        return ZELKC_CIP_ERR_NO_MEMORY;
    for (uint32_t i = 0; i < count; ++i) {
        const zelkc_cip_request& r = requests[i];
        uint8_t rc = ZELKC_CIP_OK;
        if ((r.path_size != 0 && r.path == nullptr) || r.path_size % 2 != 0 ||
            (r.data_size != 0 && r.data == nullptr))
            rc = ZELKC_CIP_ERR_INVALID_ARGUMENT;
        else if (r.path_size > kMaxPathSize || r.data_size >= 0xFFFFFFFEu - r.path_size)
            rc = ZELKC_CIP_ERR_TOO_LARGE;
        if (rc != ZELKC_CIP_OK) {
            zelkc_cip_free(sizes);
            return rc;
        }
        sizes[i] = r.path_size + r.data_size + 2;
        // A request that cannot fit even alone in a packet fails the whole send before any packet
        // goes out, so that no earlier packet is executed by the device for a send that fails.
        if (!fits_alone(sizes[i], options, limit)) {
            zelkc_cip_free(sizes);
            return ZELKC_CIP_ERR_TOO_LARGE;
        }
    }

    const uint64_t array_size = sizeof(zelkc_cip_response) * static_cast<uint64_t>(count);
    out->responses = static_cast<zelkc_cip_response*>(zelkc_cip_alloc(array_size));
    if (out->responses == nullptr) {
        zelkc_cip_free(sizes);
        return ZELKC_CIP_ERR_NO_MEMORY;
    }
    memset(out->responses, 0, static_cast<size_t>(array_size));
    out->count = count;

    uint32_t next = 0;
    while (next < count) {
        const uint32_t left = count - next;
        const uint32_t cap = left < kMaxServicesPerPacket ? left : kMaxServicesPerPacket;
        uint32_t taken = 0;
        uint32_t running = kPacketOverhead;
        while (taken < cap) {
            const uint32_t entry = sizes[next + taken];
            if (entry > UINT32_MAX - 2 || entry + 2 > UINT32_MAX - running)
                break;
            const uint32_t grown = running + entry + 2;
            if (wire_size(grown, options) > limit)
                break;
            running = grown;
            ++taken;
        }
        uint8_t rc = taken == 0 ? ZELKC_CIP_ERR_TOO_LARGE
                                : zelkc_cip_client_send_multiple_range(client, requests + next, taken,
                                                                       options, out->responses + next);
        if (rc != ZELKC_CIP_OK) {
            zelkc_cip_free(sizes);
            zelkc_cip_multiple_response_free(out);
            return rc;
        }
        next += taken;
    }
    zelkc_cip_free(sizes);
    return ZELKC_CIP_OK;
}

uint8_t zelkc_cip_client_send_multiple_unconnected(zelkc_cip_client* client,
                                                   const zelkc_cip_request* requests, uint32_t count,
                                                   zelkc_cip_multiple_response* out) {
    const zelkc_cip_route options = {nullptr, 10, 14, 0};
    return zelkc_cip_client_send_multiple(client, requests, count, &options, out);
}

uint8_t zelkc_cip_client_send_multiple_routed_ex(zelkc_cip_client* client, const zelkc_cip_request* requests,
                                                 uint32_t count, const zelkc_cip_buffer* route,
                                                 uint8_t priority_time_tick, uint8_t timeout_ticks,
                                                 zelkc_cip_multiple_response* out) {
    const zelkc_cip_route options = {route, priority_time_tick, timeout_ticks, 1};
    return zelkc_cip_client_send_multiple(client, requests, count, &options, out);
}

uint8_t zelkc_cip_client_send_multiple_routed(zelkc_cip_client* client, const zelkc_cip_request* requests,
                                              uint32_t count, const zelkc_cip_buffer* route,
                                              zelkc_cip_multiple_response* out) {
    return zelkc_cip_client_send_multiple_routed_ex(client, requests, count, route, 10, 14, out);
}

uint8_t zelkc_cip_client_send_multiple_connected(zelkc_cip_client* client, const zelkc_cip_request* requests,
                                                 uint32_t count, zelkc_cip_multiple_response* out) {
    const zelkc_cip_route options = {nullptr, 10, 14, kOverConnection};
    return zelkc_cip_client_send_multiple(client, requests, count, &options, out);
}
