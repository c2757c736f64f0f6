// Internal helpers shared by the modules of zelkc_cip (not part of the public interface).
#ifndef ZELKC_CIP_INTERNAL_H
#define ZELKC_CIP_INTERNAL_H

#include "zelkc_cip.h"

#include <stdint.h>

// Little-endian reads and writes on plain byte pointers; the caller has checked the bounds.
static inline uint16_t zelkc_cip_get_u16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
static inline uint32_t zelkc_cip_get_u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
static inline void zelkc_cip_put_u16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
static inline void zelkc_cip_put_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
static inline void zelkc_cip_put_u64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Makes room for `extra` more bytes in `buffer`: an empty buffer starts at `first_capacity` and
// doubles until the needed size fits (exactly the needed size once doubling would reach 2^31).
// Returns 0, 1 (size overflow) or 2 (no memory; buffer unchanged). On success the caller writes
// at data + size and adds `extra` to size.
uint8_t zelkc_cip_buffer_reserve(zelkc_cip_buffer* buffer, uint32_t extra, uint32_t first_capacity);

// Appends `length` bytes to `buffer`, growing it as zelkc_cip_buffer_reserve does; the buffer is
// unchanged on failure. Returns 0, 1 or 2.
uint8_t zelkc_cip_buffer_append(zelkc_cip_buffer* buffer, const uint8_t* bytes, uint32_t length,
                                uint32_t first_capacity);

// Hands a fresh exact-size block (capacity 0) to `out`; a size of 0 leaves `out` empty.
// Returns 0 or 2.
uint8_t zelkc_cip_buffer_copy_exact(zelkc_cip_buffer* out, const uint8_t* bytes, uint32_t size);

// The single encapsulation exchange: sends one message (command, data) with the client's session
// handle and the next sender context, and reads the whole reply. Expects a connected transport.
// Any transport failure, mismatched reply (command or sender context) or reply-data allocation
// failure tears the connection down. Returns 0, 1, 2, 4, 5 or 7.
uint8_t zelkc_cip_client_send_internal(zelkc_cip_client* client, uint16_t command, const uint8_t* data,
                                       uint32_t length, zelkc_cip_eip_response* reply);

// Tears the connection down without UnRegisterSession (status 0, no transport, no class 3
// connection), as a failed exchange does.
void zelkc_cip_client_drop(zelkc_cip_client* client);

// Checks the arguments, encodes `request` and hands the bytes to `send` (the unconnected or the
// connected sender); `response` is zeroed first. With `need_connection`, a client without a
// class 3 connection gets ZELKC_CIP_ERR_NOT_CONNECTED. Returns what the checks, the encoding or
// `send` return.
uint8_t zelkc_cip_client_send_request(zelkc_cip_client* client, const zelkc_cip_request* request,
                                      zelkc_cip_response* response, bool need_connection,
                                      uint8_t (*send)(zelkc_cip_client*, const uint8_t*, uint32_t,
                                                      zelkc_cip_response*));

// True when the client holds a transport and is in status 2.
static inline bool zelkc_cip_client_ready(const zelkc_cip_client* client) {
    return client->transport != nullptr && client->status == ZELKC_CIP_STATUS_CONNECTED;
}

// Records what the device refused with (see zelkc_cip_refusal).
static inline void zelkc_cip_note_refusal(zelkc_cip_client* client, uint32_t encapsulation, uint8_t general,
                                          uint16_t extended) {
    client->refusal.encapsulation_status = encapsulation;
    client->refusal.general_status = general;
    client->refusal.extended_status = extended;
    client->refusal.by_route = 0;
    client->refusal.route_slot = -1;
}
// Records the general and first extended status of a reply.
static inline void zelkc_cip_note_reply_refusal(zelkc_cip_client* client, const zelkc_cip_response* reply) {
    const zelkc_cip_buffer& extra = reply->additional_status;
    zelkc_cip_note_refusal(client, 0, reply->general_status,
                           extra.size >= 2 ? zelkc_cip_get_u16(extra.data) : uint16_t(0));
}

// Maps a transport result onto a zelkc_cip result.
uint8_t zelkc_cip_map_tcp_result(uint8_t tcp_result);

#endif
