// The Logix client handle: its session, the controller identity, the route path, and the two
// send operations through which every browse and read reaches the controller.
#include <cstring>

#include "logix_internal.h"

namespace {

constexpr uint8_t kServiceNotSupported = 0x08;

bool has_route(const zelkc_logix_client* client) {
    return client->route.size != 0;
}

bool has_connection(const zelkc_logix_client* client) {
    return client->cip->connection.size != 0;
}

// Starts an exchange: the refusal it may meet is its own.
void forget_refusal(zelkc_logix_client* client) {
    std::memset(&client->cip->refusal, 0, sizeof client->cip->refusal);
}

// A class 3 connection whose replies name neither of its ids (rc 5 with replies_name_other) is
// closed with a Forward Close, its answer not judged, and true is returned while the session holds:
// the request then goes again unconnected, as every later one does, the client holding no
// connection any more until the next connect.
bool leave_foreign_connection(zelkc_logix_client* client, uint8_t rc) {
    if (rc != ZELKC_CIP_ERR_BAD_REPLY || !has_connection(client) || client->cip->connection.replies_name_other == 0) {
        return false;
    }
    (void)zelkc_cip_client_close_connection(client->cip, has_route(client) ? &client->route : nullptr);
    forget_refusal(client);
    return zelkc_logix_client_is_connected(client);
}

uint8_t send_one(zelkc_logix_client* client, const zelkc_cip_request* request, zelkc_cip_response* response) {
    forget_refusal(client);
    uint8_t rc = ZELKC_CIP_ERR_NOT_CONNECTED;
    bool unconnected = !has_connection(client);
    if (!unconnected) {
        // The connection path holds the route: connected requests go straight to the controller.
        rc = zelkc_cip_client_send_connected(client->cip, request, response);
        unconnected = leave_foreign_connection(client, rc);
    }
    if (unconnected && !has_route(client)) {
        rc = zelkc_cip_client_send_unconnected(client->cip, request, response);
    } else if (unconnected) {
        // Priority/time tick 10, timeout ticks 14.
        rc = zelkc_cip_client_send_routed(client->cip, request, &client->route, response);
    }
    const uint8_t general = response->general_status;
    if (rc == ZELKC_CIP_OK && general != ZELKC_CIP_GENERAL_STATUS_SUCCESS &&
        general != ZELKC_CIP_GENERAL_STATUS_PARTIAL_TRANSFER) {
        // The caller judges the status; if it fails the operation, this says where it came from.
        const zelkc_cip_buffer& extra = response->additional_status;
        client->cip->refusal.general_status = general;
        client->cip->refusal.extended_status = extra.size >= 2 ? logix_le16(extra.data) : 0;
    }
    return zelkc_logix_convert_result(rc);
}

// Sends each request alone, for a controller that does not take Multiple Service Packets; the
// replies land in `out` as a packed send would leave them.
uint8_t send_each(zelkc_logix_client* client, const zelkc_cip_request* requests, uint32_t count,
                  zelkc_cip_multiple_response* out) {
    std::memset(out, 0, sizeof *out);
    out->responses = static_cast<zelkc_cip_response*>(zelkc_cip_alloc(sizeof(zelkc_cip_response) * (uint64_t)count));
    if (out->responses == nullptr) {
        return ZELKC_LOGIX_ERR_NO_MEMORY;
    }
    std::memset(out->responses, 0, sizeof(zelkc_cip_response) * (size_t)count);
    out->count = count;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t rc = send_one(client, &requests[i], &out->responses[i]);
        if (rc != ZELKC_LOGIX_OK) {
            zelkc_cip_multiple_response_free(out);
            return rc;
        }
    }
    return ZELKC_LOGIX_OK;
}

// Opens a class 3 connection along the route: 4002 bytes, then 504 (504 only when `small_only`).
// Returns the last attempt's result: 0 once one opens; an attempt that cost the session, or
// memory, ends the tries.
uint8_t open_connection(zelkc_logix_client* client, bool small_only) {
    static const uint16_t kSizes[] = {ZELKC_CIP_CONNECTION_SIZE_LARGE, ZELKC_CIP_CONNECTION_SIZE_SMALL};
    uint8_t rc = ZELKC_CIP_ERR_NOT_CONNECTED;
    for (uint32_t i = small_only ? 1 : 0; i < 2; ++i) {
        rc = zelkc_cip_client_open_connection(client->cip, has_route(client) ? &client->route : nullptr, kSizes[i]);
        if (rc == ZELKC_CIP_OK || rc == ZELKC_CIP_ERR_NO_MEMORY || !zelkc_logix_client_is_connected(client)) {
            break;
        }
    }
    return rc;
}

} // namespace

extern "C" {

uint32_t logix_packet_size(const zelkc_logix_client* client) {
    const uint16_t size = client->cip->connection.size;
    return size > 2 ? size - 2u : ZELKC_CIP_MULTIPLE_PACKET_LIMIT;
}

uint32_t zelkc_logix_client_packet_size(const zelkc_logix_client* client) {
    return client == nullptr ? 0 : logix_packet_size(client);
}

uint8_t zelkc_logix_client_connect_mode(zelkc_logix_client* client, const char* host, uint32_t port,
                                        uint32_t timeout_ms, uint8_t mode) {
    if (client == nullptr || host == nullptr || mode > ZELKC_LOGIX_MODE_SMALL) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    const uint8_t result = zelkc_logix_client_connect(client, host, port, timeout_ms);
    // A connection open already is the only way to the slot (see zelkc_logix_client_connect).
    if (result != ZELKC_LOGIX_OK || mode == ZELKC_LOGIX_MODE_UNCONNECTED || has_connection(client)) {
        return result;
    }
    const uint8_t rc = open_connection(client, mode != ZELKC_LOGIX_MODE_AUTO);
    if (rc != ZELKC_CIP_OK && !zelkc_logix_client_is_connected(client)) {
        return zelkc_logix_convert_result(rc); // the exchange failed: the session is gone
    }
    if (rc == ZELKC_CIP_ERR_NO_MEMORY) {
        zelkc_logix_client_disconnect(client);
        return ZELKC_LOGIX_ERR_NO_MEMORY;
    }
    // Open, or refused at both sizes (or answered with something else): unconnected messaging.
    return ZELKC_LOGIX_OK;
}

uint8_t zelkc_logix_convert_result(uint8_t cip_code) {
    static const uint8_t table[16] = {0, 1, 2, 3, 4, 5, 19, 6, 7, 8, 9, 10, 11, 12, 17, 18};
    if (cip_code == ZELKC_CIP_ERR_CANCELLED) {
        return ZELKC_LOGIX_ERR_CANCELLED;
    }
    if (cip_code > 15) {
        return ZELKC_LOGIX_ERR_UNKNOWN;
    }
    return table[cip_code];
}

zelkc_logix_client* zelkc_logix_client_create(void) {
    auto* client = static_cast<zelkc_logix_client*>(zelkc_cip_alloc(sizeof(zelkc_logix_client)));
    if (client == nullptr) {
        return nullptr;
    }
    std::memset(client, 0, sizeof *client);
    client->cip = zelkc_cip_client_create();
    if (client->cip == nullptr) {
        zelkc_cip_free(client);
        return nullptr;
    }
    zelkc_cip_path_init(&client->route);
    return client;
}

void zelkc_logix_client_destroy(zelkc_logix_client* client) {
    if (client == nullptr) {
        return;
    }
    if (client->cip != nullptr && client->route.size != 0) {
        (void)zelkc_cip_client_close_connection(client->cip, &client->route);
    }
    zelkc_cip_client_destroy(client->cip); // disconnects first
    client->cip = nullptr;
    logix_templates_release(client);
    zelkc_cip_identity_object_free(&client->identity);
    zelkc_cip_path_free(&client->route);
    zelkc_cip_free(client);
}

uint8_t zelkc_logix_client_connect(zelkc_logix_client* client, const char* host, uint32_t port,
                                   uint32_t timeout_ms) {
    if (client == nullptr || host == nullptr) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    logix_templates_release(client); // templates are read again on every connection
    client->single_requests = 0;     // and what the last controller would not take is asked again
    forget_refusal(client);
    // A connection still open is closed along the route it was opened on.
    (void)zelkc_cip_client_close_connection(client->cip, has_route(client) ? &client->route : nullptr);
    client->cip->connection.replies_name_other = 0; // one given up on is tried again on the next
    uint8_t rc = zelkc_cip_client_connect(client->cip, host, port, timeout_ms);
    if (rc != ZELKC_CIP_OK) {
        return zelkc_logix_convert_result(rc);
    }
    const zelkc_cip_request* request = zelkc_cip_identity_object_request();
    if (request == nullptr) {
        zelkc_cip_client_disconnect(client->cip);
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    zelkc_cip_response response;
    std::memset(&response, 0, sizeof response);
    uint8_t result = send_one(client, request, &response);
    if (result == ZELKC_LOGIX_OK && client->cip->refusal.by_route != 0 &&
        response.general_status == kServiceNotSupported) {
        // The device does not forward unconnected requests to a slot; a Forward Open with the slot
        // in its connection path may still reach the controller, and the Identity is then read
        // over that connection (which every later request uses).
        const zelkc_cip_refusal refused = client->cip->refusal;
        (void)open_connection(client, false);
        if (has_connection(client)) {
            zelkc_cip_response_free(&response);
            result = send_one(client, request, &response);
        } else if (zelkc_logix_client_is_connected(client)) {
            // The open's refusal says more about the route (no device at that slot, say) unless the
            // device does not take Forward Opens either; it is the route's refusal in both cases.
            const uint8_t open_status = client->cip->refusal.general_status;
            if (open_status == 0 || open_status == kServiceNotSupported) {
                client->cip->refusal = refused;
            }
            client->cip->refusal.by_route = 1;
            client->cip->refusal.route_slot = refused.route_slot;
        } else {
            result = ZELKC_LOGIX_ERR_IO;
        }
    }
    if (result != ZELKC_LOGIX_OK) {
        zelkc_cip_response_free(&response);
        zelkc_cip_client_disconnect(client->cip);
        return result;
    }
    zelkc_cip_identity identity;
    std::memset(&identity, 0, sizeof identity);
    rc = zelkc_cip_identity_object_parse(&response, &identity);
    zelkc_cip_response_free(&response);
    if (rc != ZELKC_CIP_OK) {
        zelkc_cip_identity_object_free(&identity);
        zelkc_cip_client_disconnect(client->cip);
        return zelkc_logix_convert_result(rc);
    }
    zelkc_cip_identity_object_free(&client->identity);
    client->identity = identity;
    return ZELKC_LOGIX_OK;
}

uint8_t zelkc_logix_client_connect_to_slot(zelkc_logix_client* client, const char* host, uint32_t port,
                                           uint32_t timeout_ms, uint8_t slot) {
    if (client == nullptr) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    if (zelkc_cip_route_path_add_backplane_slot(&client->route, slot) != ZELKC_CIP_OK) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    return zelkc_logix_client_connect(client, host, port, timeout_ms);
}

void zelkc_logix_client_disconnect(zelkc_logix_client* client) {
    if (client == nullptr) {
        return;
    }
    (void)zelkc_cip_client_close_connection(client->cip, has_route(client) ? &client->route : nullptr);
    zelkc_cip_client_disconnect(client->cip);
    logix_templates_release(client);
}

bool zelkc_logix_client_is_connected(const zelkc_logix_client* client) {
    return client != nullptr && zelkc_cip_client_status(client->cip) == 2;
}

const char* zelkc_logix_client_plc_type(const zelkc_logix_client* client) {
    return client == nullptr ? nullptr : client->identity.product_name;
}

uint8_t zelkc_logix_send_cip_internal(zelkc_logix_client* client, const zelkc_cip_request* request,
                                      zelkc_cip_response* response) {
    if (client == nullptr || request == nullptr || response == nullptr) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    return send_one(client, request, response);
}

uint8_t zelkc_logix_send_multiple_cip_internal(zelkc_logix_client* client, const zelkc_cip_request* requests,
                                               uint32_t count, zelkc_cip_multiple_response* responses) {
    if (client == nullptr || requests == nullptr || responses == nullptr || count == 0) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    if (client->single_requests != 0) {
        return send_each(client, requests, count, responses);
    }
    forget_refusal(client);
    uint8_t rc = ZELKC_CIP_ERR_NOT_CONNECTED;
    bool unconnected = !has_connection(client);
    if (!unconnected) {
        rc = zelkc_cip_client_send_multiple_connected(client->cip, requests, count, responses);
        unconnected = leave_foreign_connection(client, rc);
    }
    if (unconnected && !has_route(client)) {
        rc = zelkc_cip_client_send_multiple_unconnected(client->cip, requests, count, responses);
    } else if (unconnected) {
        rc = zelkc_cip_client_send_multiple_routed(client->cip, requests, count, &client->route, responses);
    }
    if (rc == ZELKC_CIP_ERR_DEVICE && client->cip->refusal.encapsulation_status == 0 &&
        client->cip->refusal.general_status == kServiceNotSupported) {
        // The controller does not take packed requests: from now on it gets them one by one.
        client->single_requests = 1;
        return send_each(client, requests, count, responses);
    }
    return zelkc_logix_convert_result(rc);
}

} // extern "C"
