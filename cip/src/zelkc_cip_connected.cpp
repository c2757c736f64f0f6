// Connected (class 3) messaging: Forward Open / Large Forward Open, Forward Close, and requests
// carried by SendUnitData with sequence counts over the open connection.
#include "zelkc_cip_internal.h"
#include "zelkc_cip_net.h"

#include <atomic>
#include <string.h>
#include <time.h>

static const uint8_t kRouterPath[4] = {0x20, 0x02, 0x24, 0x01};
static const uint32_t kMaxConnectionRoute = 500;
static const uint8_t kTransportClass3 = 0xA3; // server, application trigger, class 3
static const uint8_t kPriorityTimeTick = 0x0A;
static const uint8_t kTimeoutTicks = 0x0E;
static const uint16_t kVendorId = 0x4F56; // the originator vendor id this library sends
static const uint32_t kDefaultRpiUs = 2000000;
static const uint8_t kDefaultMultiplier = 7;
// Point to point, variable size, low priority; the size in the low bits.
static const uint16_t kSmallParameters = 0x4200;
static const uint32_t kLargeParameters = 0x42000000u;
static const uint32_t kForwardOpenReplySize = 26;
static const uint32_t kSequenceSize = 2;

// Checks the connection path's route and hands back its size.
static uint8_t route_size(const zelkc_cip_buffer* route, uint32_t* size) {
    *size = 0;
    if (route == nullptr || route->size == 0)
        return ZELKC_CIP_OK;
    if (route->data == nullptr || route->size % 2 != 0)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    if (route->size > kMaxConnectionRoute)
        return ZELKC_CIP_ERR_TOO_LARGE;
    *size = route->size;
    return ZELKC_CIP_OK;
}

// Writes path size in words, a reserved byte when asked, and the connection path at `p`.
static uint8_t* put_connection_path(uint8_t* p, const zelkc_cip_buffer* route, uint32_t size, bool reserved) {
    *p++ = static_cast<uint8_t>((size + sizeof kRouterPath) / 2);
    if (reserved)
        *p++ = 0;
    if (size != 0) {
        memcpy(p, route->data, size);
        p += size;
    }
    memcpy(p, kRouterPath, sizeof kRouterPath);
    return p + sizeof kRouterPath;
}

// Encodes a Connection Manager request with `data_size` bytes of data into out.
static uint8_t encode_manager_request(uint8_t service, const uint8_t* data, uint32_t data_size,
                                      zelkc_cip_buffer* out) {
    const zelkc_cip_request request = {service, zelkc_cip_connection_manager_path,
                                       sizeof zelkc_cip_connection_manager_path, data, data_size};
    return zelkc_cip_request_encode(&request, out);
}

uint8_t zelkc_cip_forward_open_encode(const zelkc_cip_connection* connection, uint8_t large,
                                      const zelkc_cip_buffer* route, zelkc_cip_buffer* out) {
    if (out == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    zelkc_cip_path_init(out);
    if (connection == nullptr || connection->size < 3 || (large == 0 && connection->size > 0x1FF))
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    uint32_t rsize = 0;
    uint8_t rc = route_size(route, &rsize);
    if (rc != ZELKC_CIP_OK)
        return rc;
    uint8_t data[36 + 4 + kMaxConnectionRoute + sizeof kRouterPath];
    uint8_t* p = data;
    *p++ = kPriorityTimeTick;
    *p++ = kTimeoutTicks;
    zelkc_cip_put_u32(p, 0); // O->T id: the target chooses
    zelkc_cip_put_u32(p + 4, connection->to_id);
    zelkc_cip_put_u16(p + 8, connection->serial);
    zelkc_cip_put_u16(p + 10, connection->vendor_id);
    zelkc_cip_put_u32(p + 12, connection->originator_serial);
    p[16] = connection->timeout_multiplier;
    p[17] = p[18] = p[19] = 0;
    p += 20;
    for (int direction = 0; direction < 2; ++direction) {
        zelkc_cip_put_u32(p, connection->rpi_us);
        p += 4;
        if (large != 0) {
            zelkc_cip_put_u32(p, kLargeParameters | connection->size);
            p += 4;
        } else {
            zelkc_cip_put_u16(p, static_cast<uint16_t>(kSmallParameters | connection->size));
            p += 2;
        }
    }
    *p++ = kTransportClass3;
    p = put_connection_path(p, route, rsize, false);
    const uint8_t service =
        large != 0 ? ZELKC_CIP_SERVICE_LARGE_FORWARD_OPEN : ZELKC_CIP_SERVICE_FORWARD_OPEN;
    return encode_manager_request(service, data, static_cast<uint32_t>(p - data), out);
}

uint8_t zelkc_cip_forward_open_reply_accept(const zelkc_cip_response* reply,
                                            zelkc_cip_connection* connection) {
    if (reply == nullptr || connection == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    if (reply->service != (ZELKC_CIP_SERVICE_FORWARD_OPEN | 0x80) &&
        reply->service != (ZELKC_CIP_SERVICE_LARGE_FORWARD_OPEN | 0x80))
        return ZELKC_CIP_ERR_BAD_REPLY;
    if (reply->general_status != ZELKC_CIP_GENERAL_STATUS_SUCCESS)
        return ZELKC_CIP_ERR_DEVICE;
    const uint8_t* d = reply->data.data;
    if (d == nullptr || reply->data.size < kForwardOpenReplySize)
        return ZELKC_CIP_ERR_BAD_REPLY;
    if (zelkc_cip_get_u16(d + 8) != connection->serial ||
        zelkc_cip_get_u16(d + 10) != connection->vendor_id ||
        zelkc_cip_get_u32(d + 12) != connection->originator_serial)
        return ZELKC_CIP_ERR_BAD_REPLY;
    connection->ot_id = zelkc_cip_get_u32(d);
    connection->to_id = zelkc_cip_get_u32(d + 4);
    return ZELKC_CIP_OK;
}

uint8_t zelkc_cip_forward_close_encode(const zelkc_cip_connection* connection, const zelkc_cip_buffer* route,
                                       zelkc_cip_buffer* out) {
    if (out == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    zelkc_cip_path_init(out);
    if (connection == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    uint32_t rsize = 0;
    uint8_t rc = route_size(route, &rsize);
    if (rc != ZELKC_CIP_OK)
        return rc;
    uint8_t data[12 + kMaxConnectionRoute + sizeof kRouterPath];
    uint8_t* p = data;
    *p++ = kPriorityTimeTick;
    *p++ = kTimeoutTicks;
    zelkc_cip_put_u16(p, connection->serial);
    zelkc_cip_put_u16(p + 2, connection->vendor_id);
    zelkc_cip_put_u32(p + 4, connection->originator_serial);
    p = put_connection_path(p + 8, route, rsize, true);
    return encode_manager_request(ZELKC_CIP_SERVICE_FORWARD_CLOSE, data, static_cast<uint32_t>(p - data),
                                  out);
}

uint8_t zelkc_cip_cpf_build_unit_data(uint32_t ot_id, uint16_t sequence, const uint8_t* data, uint32_t length,
                                      zelkc_cip_buffer* out) {
    if (out == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    zelkc_cip_path_init(out);
    if (data == nullptr && length != 0)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    if (length > 65535 - 24)
        return ZELKC_CIP_ERR_TOO_LARGE;
    const uint32_t size = 22 + length;
    auto* block = static_cast<uint8_t*>(zelkc_cip_alloc(size));
    if (block == nullptr)
        return ZELKC_CIP_ERR_NO_MEMORY;
    zelkc_cip_put_u32(block, 0);     // interface handle
    zelkc_cip_put_u16(block + 4, 0); // timeout
    zelkc_cip_put_u16(block + 6, 2);
    zelkc_cip_put_u16(block + 8, ZELKC_CIP_CPF_CONNECTED_ADDRESS_ITEM);
    zelkc_cip_put_u16(block + 10, 4);
    zelkc_cip_put_u32(block + 12, ot_id);
    zelkc_cip_put_u16(block + 16, ZELKC_CIP_CPF_CONNECTED_DATA_ITEM);
    zelkc_cip_put_u16(block + 18, static_cast<uint16_t>(kSequenceSize + length));
    zelkc_cip_put_u16(block + 20, sequence);
    if (length != 0)
        memcpy(block + 22, data, length);
    out->data = block;
    out->size = size;
    out->capacity = 0;
    return ZELKC_CIP_OK;
}

// The CPF walk behind zelkc_cip_cpf_find_connected_data; the address item may name either id,
// and *named_other tells that it named `other_id` rather than `to_id`; *foreign that it named a
// third id (the result is then 5).
static uint8_t find_connected_data(const uint8_t* bytes, uint32_t length, uint32_t to_id, uint32_t other_id,
                                   bool* named_other, bool* foreign, uint16_t* sequence, uint32_t* offset,
                                   uint32_t* size) {
    if (length < 8 || zelkc_cip_get_u32(bytes) != 0)
        return ZELKC_CIP_ERR_BAD_REPLY;
    const uint32_t items = zelkc_cip_get_u16(bytes + 6);
    bool addressed = false;
    bool found = false;
    uint32_t at = 8;
    for (uint32_t i = 0; i < items; ++i) {
        if (length - at < 4)
            return ZELKC_CIP_ERR_BAD_REPLY;
        const uint16_t type = zelkc_cip_get_u16(bytes + at);
        const uint32_t item_size = zelkc_cip_get_u16(bytes + at + 2);
        at += 4;
        if (length - at < item_size)
            return ZELKC_CIP_ERR_BAD_REPLY;
        if (type == ZELKC_CIP_CPF_CONNECTED_ADDRESS_ITEM) {
            const uint32_t id = item_size >= 4 ? zelkc_cip_get_u32(bytes + at) : 0;
            if (item_size != 4)
                return ZELKC_CIP_ERR_BAD_REPLY;
            if (id != to_id && id != other_id) {
                *foreign = true;
                return ZELKC_CIP_ERR_BAD_REPLY;
            }
            *named_other = id != to_id;
            addressed = true;
        } else if (type == ZELKC_CIP_CPF_CONNECTED_DATA_ITEM && !found) {
            if (item_size < kSequenceSize)
                return ZELKC_CIP_ERR_BAD_REPLY;
            *sequence = zelkc_cip_get_u16(bytes + at);
            *offset = at + kSequenceSize;
            *size = item_size - kSequenceSize;
            found = true;
        }
        at += item_size;
    }
    return addressed && found ? ZELKC_CIP_OK : ZELKC_CIP_ERR_BAD_REPLY;
}

uint8_t zelkc_cip_cpf_find_connected_data(const uint8_t* bytes, uint32_t length, uint32_t to_id,
                                          uint16_t* sequence, uint32_t* offset, uint32_t* size) {
    if (bytes == nullptr || sequence == nullptr || offset == nullptr || size == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    bool other = false;
    bool foreign = false;
    return find_connected_data(bytes, length, to_id, to_id, &other, &foreign, sequence, offset, size);
}

// A serial number no other connection of this process has, and differing between processes.
static uint32_t next_originator_number() {
    static std::atomic<uint32_t> counter{0};
    const uint32_t n = ++counter;
    const uint32_t seed = zelkc_cip_net_process_id() * 2654435761u ^ static_cast<uint32_t>(time(nullptr));
    return seed + n * 0x9E3779B9u;
}

uint8_t zelkc_cip_client_open_connection(zelkc_cip_client* client, const zelkc_cip_buffer* route,
                                         uint16_t size) {
    if (client == nullptr || size < 3 || size > ZELKC_CIP_CONNECTION_SIZE_LARGE)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    if (!zelkc_cip_client_ready(client) || client->connection.size != 0)
        return ZELKC_CIP_ERR_NOT_CONNECTED;
    zelkc_cip_connection c = client->connection;
    const uint32_t n = next_originator_number();
    c.to_id = n;
    c.serial = static_cast<uint16_t>(n ^ (n >> 16));
    c.vendor_id = kVendorId;
    c.originator_serial = n * 2246822519u + 1;
    if (c.rpi_us == 0) {
        c.rpi_us = kDefaultRpiUs;
        c.timeout_multiplier = kDefaultMultiplier;
    }
    c.sequence = 0;
    c.size = size;
    c.replies_name_ot = 0;
    c.replies_name_other = 0;
    zelkc_cip_buffer request;
    uint8_t rc = zelkc_cip_forward_open_encode(&c, size > 0x1FF ? 1 : 0, route, &request);
    if (rc != ZELKC_CIP_OK)
        return rc;
    zelkc_cip_response reply;
    rc = zelkc_cip_client_send_encoded_unconnected(client, request.data, request.size, &reply);
    zelkc_cip_path_free(&request);
    if (rc == ZELKC_CIP_OK)
        rc = zelkc_cip_forward_open_reply_accept(&reply, &c);
    if (rc == ZELKC_CIP_ERR_DEVICE && reply.general_status != 0)
        zelkc_cip_note_reply_refusal(client, &reply);
    zelkc_cip_response_free(&reply);
    if (rc != ZELKC_CIP_OK)
        return rc;
    client->connection = c;
    return ZELKC_CIP_OK;
}

uint8_t zelkc_cip_client_close_connection(zelkc_cip_client* client, const zelkc_cip_buffer* route) {
    if (client == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    if (client->connection.size == 0)
        return ZELKC_CIP_OK;
    const zelkc_cip_connection c = client->connection;
    client->connection.size = 0;
    if (!zelkc_cip_client_ready(client))
        return ZELKC_CIP_OK;
    zelkc_cip_buffer request;
    uint8_t rc = zelkc_cip_forward_close_encode(&c, route, &request);
    if (rc != ZELKC_CIP_OK)
        return rc;
    zelkc_cip_response reply;
    rc = zelkc_cip_client_send_encoded_unconnected(client, request.data, request.size, &reply);
    zelkc_cip_path_free(&request);
    zelkc_cip_response_free(&reply);
    return rc;
}

uint8_t zelkc_cip_client_send_encoded_connected(zelkc_cip_client* client, const uint8_t* bytes,
                                                uint32_t length, zelkc_cip_response* response) {
    if (response == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    memset(response, 0, sizeof *response);
    if (client == nullptr || bytes == nullptr || length == 0)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    if (!zelkc_cip_client_ready(client) || client->connection.size == 0)
        return ZELKC_CIP_ERR_NOT_CONNECTED;
    if (length > client->connection.size - kSequenceSize)
        return ZELKC_CIP_ERR_TOO_LARGE;
    const uint16_t sequence = ++client->connection.sequence;
    zelkc_cip_buffer block;
    uint8_t rc = zelkc_cip_cpf_build_unit_data(client->connection.ot_id, sequence, bytes, length, &block);
    if (rc != ZELKC_CIP_OK)
        return rc;
    zelkc_cip_eip_response reply;
    rc = zelkc_cip_client_send_internal(client, ZELKC_CIP_EIP_SEND_UNIT_DATA, block.data, block.size, &reply);
    zelkc_cip_path_free(&block);
    if (rc != ZELKC_CIP_OK)
        return rc;
    // Status 0x0001 or 0x0008 refuses this one request's command or service (the device lacks it):
    // the connection is kept, as for a CIP refusal.
    if (reply.session_handle == client->session_handle && (reply.status == 0x0001 || reply.status == 0x0008)) {
        zelkc_cip_note_refusal(client, reply.status, 0, 0);
        zelkc_cip_eip_response_free(&reply);
        return ZELKC_CIP_ERR_DEVICE;
    }
    // The device no longer knows the connection (idle time-out, closed): the session ends.
    if (reply.status != 0 || reply.session_handle != client->session_handle) {
        // Only a status the device sent is reported; a foreign handle with status 0 names none.
        zelkc_cip_note_refusal(client, reply.status, 0, 0);
        zelkc_cip_eip_response_free(&reply);
        zelkc_cip_client_drop(client);
        return ZELKC_CIP_ERR_IO;
    }
    uint16_t echoed = 0;
    uint32_t offset = 0;
    uint32_t size = 0;
    bool named_ot = false;
    bool foreign = false;
    // The reply should name the T->O id; a target that names the O->T id instead still answers
    // on our connection, and is remembered doing so.
    rc = reply.data != nullptr ? find_connected_data(reply.data, reply.data_size, client->connection.to_id,
                                                     client->connection.ot_id, &named_ot, &foreign, &echoed,
                                                     &offset, &size)
                               : ZELKC_CIP_ERR_BAD_REPLY;
    if (rc == ZELKC_CIP_OK && named_ot)
        client->connection.replies_name_ot = 1;
    if (foreign) {
        // Framed as an answer to this request, but naming a connection that is not ours: the
        // session still holds, the connection cannot be trusted.
        client->connection.replies_name_other = 1;
        zelkc_cip_eip_response_free(&reply);
        return ZELKC_CIP_ERR_BAD_REPLY;
    }
    if (rc == ZELKC_CIP_OK && echoed != sequence)
        rc = ZELKC_CIP_ERR_BAD_REPLY; // a reply to another request: the stream is not trusted
    if (rc == ZELKC_CIP_OK) {
        static const uint8_t kNothing = 0;
        rc = zelkc_cip_response_parse(size != 0 ? reply.data + offset : &kNothing, size, response);
    }
    zelkc_cip_eip_response_free(&reply);
    if (rc == ZELKC_CIP_ERR_BAD_REPLY)
        zelkc_cip_client_drop(client);
    return rc;
}

uint8_t zelkc_cip_client_send_connected(zelkc_cip_client* client, const zelkc_cip_request* request,
                                        zelkc_cip_response* response) {
    return zelkc_cip_client_send_request(client, request, response, true,
                                         zelkc_cip_client_send_encoded_connected);
}
