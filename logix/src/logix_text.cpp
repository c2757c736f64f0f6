// Plain-language text for result codes and CIP statuses: one table, so that every tool built on
// the library explains a failure in the same words.
#include <cstddef>
#include <cstdio>

#include "zelkc_logix.h"

namespace {

struct CipStatus {
    const char* name;   // the CIP name of the general status
    const char* reason; // what it means for a tag read
};

// Indexed by general status 0x00..0x26.
constexpr CipStatus kCipStatuses[] = {
    {"success", "no error"},
    {"connection failure", "the controller refused the connection"},
    {"resource unavailable", "the controller is out of resources for this request; try again"},
    {"invalid parameter value", "the request carried a value the controller does not accept"},
    {"path segment error", "no such tag"},
    {"path destination unknown", "no such tag"},
    {"partial transfer", "only part of the value arrived"},
    {"connection lost", "the connection to the controller was lost"},
    {"service not supported", "the controller does not support this request"},
    {"invalid attribute value", "the request carried an invalid attribute value"},
    {"attribute list error", "an attribute in the request is not valid"},
    {"already in requested mode/state", "the controller is already in the requested mode"},
    {"object state conflict", "the tag cannot be read in its current state"},
    {"object already exists", "the object already exists"},
    {"attribute not settable", "the attribute cannot be written"},
    {"privilege violation", "access denied"},
    {"device state conflict", "the controller's mode or state does not allow this request"},
    {"reply data too large", "the value is too large for one reply"},
    {"fragmentation of a primitive value", "the request would split an atomic value"},
    {"not enough data", "the request was too short"},
    {"attribute not supported", "the controller does not support the requested attribute"},
    {"too much data", "the request carried too much data"},
    {"object does not exist", "no such object in the controller"},
    {"service fragmentation sequence not in progress", "the fragmented transfer is out of sequence"},
    {"no stored attribute data", "the controller has no stored data for this attribute"},
    {"store operation failure", "the controller could not store the data"},
    {"routing failure, request packet too large", "the request was too large to route"},
    {"routing failure, response packet too large", "the reply was too large to route"},
    {"missing attribute list entry data", "an attribute list entry was missing its data"},
    {"invalid attribute value list", "the attribute value list was invalid"},
    {"embedded service error", "a request inside a packed batch failed"},
    {"vendor specific error", "the controller reported a vendor-specific error"},
    {"invalid parameter", "a request parameter is invalid"},
    {"write-once value or medium already written", "the value can be written only once"},
    {"invalid reply received", "the controller received an invalid reply"},
    {"buffer overflow", "the controller's buffer overflowed"},
    {"message format error", "the controller could not parse the request"},
    {"key failure in path", "the electronic key in the path does not match the device"},
    {"path size invalid", "the tag path is malformed"},
};

struct Extended {
    uint16_t code;
    const char* reason;
};

// The extended statuses a Logix controller gives with general status 0xFF for a read.
constexpr Extended kGeneralErrorReasons[] = {
    {0x2101, "not allowed in the controller's key switch position"},
    {0x2102, "not allowed in the controller's current mode"},
    {0x2104, "the offset is beyond the end of the tag"},
    {0x2105, "index or element count beyond the end of the tag"},
    {0x2106, "the data is in use by another request"},
    {0x2107, "the tag's data type does not match the request"},
};

// The extended statuses of a Connection Manager refusal (0x01): a Forward Open, or a route that
// leads nowhere.
constexpr Extended kConnectionFailureReasons[] = {
    {0x0100, "the connection is already in use"},
    {0x0103, "the controller does not support this kind of connection"},
    {0x0106, "the connection is owned by another client"},
    {0x0107, "the controller does not know the connection"},
    {0x0109, "the controller does not support the connection size asked for"},
    {0x0113, "the controller has no more connections free"},
    {0x0204, "the device on the route did not answer in time"},
    {0x0311, "the route names a port the device does not have"},
    {0x0312, "no device at that address or backplane slot"},
    {0x0315, "the route or connection path is invalid"},
};

struct EncapStatus {
    uint32_t code;
    const char* name;
};

constexpr EncapStatus kEncapStatuses[] = {
    {0x0001, "invalid or unsupported command"},
    {0x0002, "insufficient memory"},
    {0x0003, "incorrect data"},
    {0x0008, "unsupported command"},
    {0x0064, "invalid session handle"},
    {0x0065, "invalid length"},
    {0x0069, "unsupported protocol version"},
};

struct ResultText {
    uint8_t code;
    const char* text;
};

constexpr ResultText kResults[] = {
    {ZELKC_LOGIX_OK, "no error"},
    {ZELKC_LOGIX_ERR_INVALID_ARGUMENT, "invalid argument or malformed tag name"},
    {ZELKC_LOGIX_ERR_NO_MEMORY, "out of memory"},
    {ZELKC_LOGIX_ERR_CONNECT_FAILED, "the host did not resolve or did not accept the connection"},
    {ZELKC_LOGIX_ERR_TIMEOUT, "timed out waiting for the controller"},
    {ZELKC_LOGIX_ERR_BAD_REPLY, "the controller's reply was malformed"},
    {ZELKC_LOGIX_ERR_IO, "the connection failed or was closed"},
    {ZELKC_LOGIX_ERR_DEVICE, "the controller answered with an error status"},
    {ZELKC_LOGIX_ERR_NOT_CONNECTED, "not connected"},
    {ZELKC_LOGIX_ERR_UNKNOWN, "not read"},
    {ZELKC_LOGIX_ERR_SESSION_REFUSED, "the controller refused the session"},
    {ZELKC_LOGIX_ERR_TYPE_MISMATCH, "the tag's type does not match the read"},
    {ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE, "the tag's type cannot be read as a value"},
    {ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL, "the value is larger than expected"},
    {ZELKC_LOGIX_ERR_LIMIT, "too large: more than a message or a browse may hold"},
    {ZELKC_LOGIX_ERR_NOT_SUPPORTED, "not supported for this tag"},
    {ZELKC_LOGIX_ERR_CANCELLED, "cancelled"},
};

} // namespace

extern "C" {

const char* zelkc_logix_result_text(uint8_t result) {
    for (const ResultText& r : kResults) {
        if (r.code == result) {
            return r.text;
        }
    }
    return "unknown result code";
}

const char* zelkc_logix_cip_status_text(uint8_t general, uint16_t extended) {
    if (general == 0x01) {
        for (const Extended& e : kConnectionFailureReasons) {
            if (e.code == extended) {
                return e.reason;
            }
        }
    }
    if (general < sizeof kCipStatuses / sizeof kCipStatuses[0]) {
        return kCipStatuses[general].reason;
    }
    if (general == 0xFF) {
        for (const Extended& e : kGeneralErrorReasons) {
            if (e.code == extended) {
                return e.reason;
            }
        }
        return "the controller reported a general error";
    }
    return "the controller reported an unknown status";
}

const char* zelkc_logix_cip_status_name(uint8_t general) {
    if (general < sizeof kCipStatuses / sizeof kCipStatuses[0]) {
        return kCipStatuses[general].name;
    }
    return general == 0xFF ? "general error" : "unknown status";
}

const char* zelkc_logix_encapsulation_status_name(uint32_t status) {
    for (const EncapStatus& e : kEncapStatuses) {
        if (e.code == status) {
            return e.name;
        }
    }
    return "unknown status";
}

const zelkc_cip_refusal* zelkc_logix_client_refusal(const zelkc_logix_client* client) {
    return client == nullptr || client->cip == nullptr ? nullptr : &client->cip->refusal;
}

uint32_t zelkc_logix_failure_text(uint8_t result, const zelkc_cip_refusal* refusal, char* buf,
                                  uint32_t capacity) {
    const bool refused = result == ZELKC_LOGIX_ERR_DEVICE || result == ZELKC_LOGIX_ERR_SESSION_REFUSED ||
                         result == ZELKC_LOGIX_ERR_IO;
    int n;
    if (refused && refusal != nullptr && refusal->encapsulation_status != 0) {
        n = std::snprintf(buf, capacity, "%s (encapsulation status 0x%04X %s)", zelkc_logix_result_text(result),
                          (unsigned)refusal->encapsulation_status,
                          zelkc_logix_encapsulation_status_name(refusal->encapsulation_status));
    } else if (refused && result != ZELKC_LOGIX_ERR_IO && refusal != nullptr && refusal->general_status != 0) {
        const uint8_t g = refusal->general_status;
        const uint16_t x = refusal->extended_status;
        char extended[8] = "";
        if (x != 0) {
            std::snprintf(extended, sizeof extended, "/0x%04X", (unsigned)x);
        }
        // A refusal by the router on the way names the route, and for an unsupported service what
        // it was: the device does not forward requests to another slot.
        char route[40] = "";
        if (refusal->by_route != 0 && refusal->route_slot >= 0) {
            std::snprintf(route, sizeof route, "the route to slot %d: ", (int)refusal->route_slot);
        } else if (refusal->by_route != 0) {
            std::snprintf(route, sizeof route, "the route: ");
        }
        const char* what = refusal->by_route != 0 && g == 0x08
                               ? "the device does not route requests to a slot (Unconnected Send not supported)"
                               : zelkc_logix_cip_status_text(g, x);
        n = std::snprintf(buf, capacity, "%s%s (CIP 0x%02X%s %s)", route, what, (unsigned)g, extended,
                          zelkc_logix_cip_status_name(g));
    } else {
        n = std::snprintf(buf, capacity, "%s", zelkc_logix_result_text(result));
    }
    return n < 0 ? 0u : (uint32_t)n;
}

} // extern "C"
