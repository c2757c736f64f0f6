/*
 * zelkc_cip — EtherNet/IP encapsulation and CIP messaging over TCP.
 *
 * A plain C-style library: records, free functions, unsigned 8-bit result codes (0 is success).
 *
 * Conventions that hold for every operation unless its comment says otherwise:
 *  - Output records are passed in by the caller and zeroed on entry.
 *  - Whatever an operation allocates for its caller is released with the matching release
 *    operation (zelkc_cip_path_free, zelkc_cip_response_free, zelkc_cip_eip_response_free,
 *    zelkc_cip_multiple_response_free, zelkc_cip_identity_object_free), which zeroes the record so
 *    that a second release does nothing.
 *  - Every heap block goes through zelkc_cip_alloc / zelkc_cip_realloc / zelkc_cip_free.
 *  - Wire integers are little-endian. Time-outs are milliseconds and bound a whole exchange: from
 *    the first byte of the request sent to the last byte of the reply received, however slowly a
 *    peer trickles its bytes (one deadline per exchange, not per wait).
 *  - zelkc_cip_client_cancel is the one operation that may be called from another thread (or a
 *    signal handler) while the client is in use: it ends the exchange under way at once.
 *  - A failed network exchange closes the session (the client drops to status 0).
 *  - The library never logs, never starts threads and takes no locks. A client (and its transport)
 *    must be used by one thread at a time (zelkc_cip_client_cancel excepted).
 *  - Sends use flags 0 and no socket option guards against SIGPIPE: the embedding program must
 *    ignore SIGPIPE so that a peer closing its socket yields an error code.
 */
#ifndef ZELKC_CIP_H
#define ZELKC_CIP_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ======================================================================================
 * Allocation hooks
 * ====================================================================================== */

/* One replaceable allocator. user_data is passed unchanged as the first argument. */
typedef struct zelkc_cip_allocator {
    void* (*alloc)(void* user_data, uint64_t size);                /* null on failure */
    void* (*realloc)(void* user_data, void* block, uint64_t size); /* null on failure */
    void (*free)(void* user_data, void* block);                    /* block may be null */
    void* user_data;
} zelkc_cip_allocator;

/* Forward to the allocator in use. alloc/realloc return null when there is no allocator or the
 * allocator lacks the function; free then does nothing. A null block is passed on to free. */
void* zelkc_cip_alloc(uint64_t size);
void* zelkc_cip_realloc(void* block, uint64_t size);
void zelkc_cip_free(void* block);

/* The allocator record in use (initially the built-in system allocator). */
const zelkc_cip_allocator* zelkc_cip_allocator_get_default(void);

/* Installs an allocator. Null re-installs the system allocator; a record with a null alloc,
 * realloc or free is ignored (the record in use stays). The record is not copied: the caller
 * keeps it alive while it is installed. Not thread-safe: call it while no other thread uses the
 * library. */
void zelkc_cip_allocator_set_default(const zelkc_cip_allocator* allocator);

/* The system allocator's functions. Size 0 yields null; realloc to size 0 yields null and leaves
 * the old block untouched (not freed). */
void* zelkc_cip_alloc_system(void* user_data, uint64_t size);
void* zelkc_cip_realloc_system(void* user_data, void* block, uint64_t size);
void zelkc_cip_free_system(void* user_data, void* block);

/* ======================================================================================
 * TCP transport
 * ====================================================================================== */

/* A cancel switch shared by a client and its transport. All fields are accessed atomically; zero
 * is the idle state, so a zeroed record needs no set-up.
 *  requested: 1 once a cancel was asked for; every wait then ends with ZELKC_CIP_TCP_ERR_CANCELLED.
 *  fd_plus_one: the socket in use plus one (0: none), so that a cancel can shut it down.
 *  busy: cancels running now; a socket is closed only when none is, so a cancel never shuts down
 *        a descriptor number that was closed and reused meanwhile. */
typedef struct zelkc_cip_cancel {
    int32_t requested;
    int32_t fd_plus_one;
    int32_t busy;
} zelkc_cip_cancel;

/* One connected, non-blocking TCP socket (TCP_NODELAY), or none (fd == -1). `cancel` (borrowed,
 * may be null) is the switch that ends this transport's waits; a client sets it to its own. */
typedef struct zelkc_cip_tcp_transport {
    int32_t fd;
    zelkc_cip_cancel* cancel;
} zelkc_cip_tcp_transport;

/* Transport result codes (returned as uint8_t). */
#define ZELKC_CIP_TCP_OK 0
#define ZELKC_CIP_TCP_ERR_INVALID_ARGUMENT                                                                   \
    1                               /* null handle/buffer, empty host, port 0, negative fd or time-out */
#define ZELKC_CIP_TCP_ERR_RESOLVE 2 /* getaddrinfo failed */
#define ZELKC_CIP_TCP_ERR_CONNECT 3 /* no address could be connected */
#define ZELKC_CIP_TCP_ERR_TIMEOUT 4 /* a poll wait ran out */
#define ZELKC_CIP_TCP_ERR_CLOSED 5  /* no socket, or the peer closed the connection */
#define ZELKC_CIP_TCP_ERR_IO 6      /* poll failed or reported an error; send/recv failed */
#define ZELKC_CIP_TCP_ERR_CANCELLED 7 /* the transport's cancel switch was set */

/* Milliseconds of a monotonic clock (never goes back, unaffected by the wall clock's changes):
 * the time base of the deadlines below. */
int64_t zelkc_cip_clock_ms(void);

/* A closed handle (fd -1), allocated through zelkc_cip_alloc; null when the allocation fails.
 * Release it with zelkc_cip_tcp_transport_destroy. */
zelkc_cip_tcp_transport* zelkc_cip_tcp_transport_create(void);
/* Closes the socket if any, then frees the handle. Null is ignored. */
void zelkc_cip_tcp_transport_destroy(zelkc_cip_tcp_transport* transport);
/* Closes the socket if any and sets fd to -1; the handle may be connected again. Null ignored. */
void zelkc_cip_tcp_transport_close(zelkc_cip_tcp_transport* transport);

/* Connects to host (name or numeric IPv4/IPv6 address) and port, trying every resolved address in
 * order; timeout_ms bounds each address attempt. A cancel ends the attempt under way with 7 and
 * tries no further address. Any previous socket is closed first. Returns 0,
 * 1 (null handle/host, empty host, port 0), 2 (resolution failed), 3 (refused/unreachable/empty
 * list), 4 (time-out) or 6 (poll failure/error); for several addresses, the last attempt's error.
 * On failure the handle is left closed and no socket leaks. */
uint8_t zelkc_cip_tcp_transport_connect(zelkc_cip_tcp_transport* transport, const char* host, uint32_t port,
                                        int32_t timeout_ms);

/* Sends all length bytes, waiting with poll before each send; timeout_ms bounds the whole call
 * (a peer that takes one byte at a time does not stretch it). Returns 0, 1 (null handle, null data
 * with length > 0, negative time-out), 4, 5 (no socket or the peer closed), 6 or 7 (cancelled).
 * Length 0 on an open handle returns 0 without touching the socket. Never closes the socket. */
uint8_t zelkc_cip_tcp_transport_send(zelkc_cip_tcp_transport* transport, const uint8_t* data, uint32_t length,
                                     int32_t timeout_ms);

/* Receives exactly length bytes into buffer; same bound and result codes as send. */
uint8_t zelkc_cip_tcp_transport_recv_exact(zelkc_cip_tcp_transport* transport, uint8_t* buffer,
                                           uint32_t length, int32_t timeout_ms);

/* The same two, bounded by an absolute deadline on zelkc_cip_clock_ms instead, so that several
 * calls share one bound. A deadline already passed gives 4 unless the socket has the bytes (or
 * the room) at once. */
uint8_t zelkc_cip_tcp_transport_send_by(zelkc_cip_tcp_transport* transport, const uint8_t* data,
                                        uint32_t length, int64_t deadline_ms);
uint8_t zelkc_cip_tcp_transport_recv_exact_by(zelkc_cip_tcp_transport* transport, uint8_t* buffer,
                                              uint32_t length, int64_t deadline_ms);

/* Sets the switch and shuts down the socket it knows (if any), so that a wait under way on
 * another thread ends at once with 7. Safe from any thread and from a signal handler (atomic
 * operations and shutdown only); the record must outlive the call. */
void zelkc_cip_cancel_request(zelkc_cip_cancel* cancel);

/* ======================================================================================
 * Result codes (returned as uint8_t by every operation below)
 * ====================================================================================== */

#define ZELKC_CIP_OK 0
#define ZELKC_CIP_ERR_INVALID_ARGUMENT 1 /* null pointer, zero count/length, odd path size, empty string */
#define ZELKC_CIP_ERR_NO_MEMORY 2        /* an allocation through the hooks failed */
#define ZELKC_CIP_ERR_CONNECT_FAILED 3   /* the host did not resolve or no address accepted */
#define ZELKC_CIP_ERR_TIMEOUT 4          /* a connect, send or receive wait ran out */
#define ZELKC_CIP_ERR_BAD_REPLY 5 /* malformed/short reply, or one not belonging to the request or session */
#define ZELKC_CIP_ERR_IO 7               /* the connection failed or was closed by the peer */
/* non-zero encapsulation status, multiple-service status not 0 / 0x1E */
#define ZELKC_CIP_ERR_DEVICE 8
#define ZELKC_CIP_ERR_NOT_CONNECTED 9    /* no transport, or client status is not 2 */
#define ZELKC_CIP_ERR_SESSION_REFUSED 11 /* RegisterSession reply with non-zero status or handle 0 */
#define ZELKC_CIP_ERR_TOO_LARGE 15       /* a message, path, symbol or count exceeds a wire limit */
#define ZELKC_CIP_ERR_CANCELLED 16       /* zelkc_cip_client_cancel ended the exchange */
/* The values 6, 10, 12, 13 and 14 belong to the code space but are never returned. */

/* ======================================================================================
 * Session client
 * ====================================================================================== */

/* Client status values. */
#define ZELKC_CIP_STATUS_DISCONNECTED 0
#define ZELKC_CIP_STATUS_CONNECTING 1
#define ZELKC_CIP_STATUS_CONNECTED 2

/* Encapsulation commands sent by the library. */
#define ZELKC_CIP_EIP_REGISTER_SESSION 0x0065u
#define ZELKC_CIP_EIP_UNREGISTER_SESSION 0x0066u
#define ZELKC_CIP_EIP_SEND_RR_DATA 0x006Fu
/* Size of the encapsulation header in front of every message. */
#define ZELKC_CIP_EIP_HEADER_SIZE 24u

/* One class 3 (connected) CIP connection to a Message Router, carried by a session. The
 * originator's fields (to_id, serial, vendor_id, originator_serial, rpi_us, timeout_multiplier)
 * are chosen before the Forward Open; ot_id comes from its reply. */
typedef struct zelkc_cip_connection {
    uint32_t ot_id;             /* chosen by the target; names the connection in every request */
    uint32_t to_id;             /* chosen here; the target names it in every reply */
    uint16_t serial;            /* connection serial number */
    uint16_t vendor_id;         /* originator vendor id */
    uint32_t originator_serial; /* originator serial number */
    uint32_t rpi_us;            /* requested packet interval, both directions */
    uint8_t timeout_multiplier; /* 0..7: the target drops the connection after rpi x 4 x 2^n idle */
    uint16_t sequence;          /* sequence count of the last request sent */
    uint16_t size;              /* connection size in bytes (sequence count included); 0: none open */
    uint8_t replies_name_ot;    /* 1 once the target named ot_id instead of to_id in a reply */
    uint8_t replies_name_other; /* 1 once a reply named neither id: the connection is of no use,
                                   the session is (see zelkc_cip_client_send_encoded_connected) */
} zelkc_cip_connection;

/* What the device answered when it refused: set by every operation that returns
 * ZELKC_CIP_ERR_DEVICE or ZELKC_CIP_ERR_SESSION_REFUSED because of a status in a reply (and by a
 * refused Forward Open, and by callers that find an error status in a reply they received), so that
 * the failure can be explained with the status it came from. It keeps its value until the next
 * refusal; read it right after the failing call. */
typedef struct zelkc_cip_refusal {
    uint32_t encapsulation_status; /* non-zero: refused in the encapsulation header */
    uint8_t general_status;        /* else the CIP general status (0: none) */
    uint16_t extended_status;      /* and its first extended status word (0: none) */
    uint8_t by_route;              /* non-zero: the router on the way refused the Unconnected Send
                                      (a reply of service 0xD2), not the target its request */
    int16_t route_slot;            /* with by_route: the slot when the route is one backplane hop,
                                      else -1 */
} zelkc_cip_refusal;

/* One EtherNet/IP encapsulation session over one TCP connection. */
typedef struct zelkc_cip_client {
    zelkc_cip_tcp_transport* transport; /* null when there is no connection; owned by the client */
    uint8_t status;                     /* 0 disconnected, 1 connecting, 2 connected */
    uint32_t session_handle;            /* from the RegisterSession reply; 0 when none */
    uint32_t timeout_ms;                /* time-out of the last connect; bounds every exchange */
    uint64_t sender_context;            /* incremented before every exchange; never reset */
    zelkc_cip_connection connection;    /* the open class 3 connection (size != 0), if any; it ends
                                           with the session */
    zelkc_cip_refusal refusal;          /* the status behind the last refusal */
    zelkc_cip_cancel cancel;            /* see zelkc_cip_client_cancel */
} zelkc_cip_client;

/* One received encapsulation reply. data is owned by the record: release with
 * zelkc_cip_eip_response_free. */
typedef struct zelkc_cip_eip_response {
    uint16_t command;
    uint32_t session_handle;
    uint32_t status;
    uint8_t sender_context[8]; /* as received */
    uint32_t options;
    uint8_t* data;      /* null when the reply had no data */
    uint32_t data_size; /* the header's length field */
} zelkc_cip_eip_response;

/* A zeroed client (status 0), or null when the allocation fails. */
zelkc_cip_client* zelkc_cip_client_create(void);
/* Disconnects (see zelkc_cip_client_disconnect), then frees the client. Null ignored. */
void zelkc_cip_client_destroy(zelkc_cip_client* client);

/* Disconnects any earlier session, connects TCP with timeout_ms and registers a session.
 * Returns 0 (status 2, non-zero session handle), 1 (null client/host, empty host, port 0),
 * 2 (no memory), 3 (resolve/connect failed), 4 (time-out), 5 (reply of another command or sender
 * context), 7 (I/O or peer closed) or 11 (session refused). On failure the client is in status 0
 * with no transport (16 when cancelled). timeout_ms bounds each exchange of this client (request
 * sent to reply received) until the next connect; it is
 * handed to poll as a signed 32-bit value, so values above INT32_MAX act as a negative time-out
 * and are refused with 1. */
uint8_t zelkc_cip_client_connect(zelkc_cip_client* client, const char* host, uint32_t port,
                                 uint32_t timeout_ms);

/* Closes an open class 3 connection with Forward Close (awaiting its reply), sends UnRegisterSession
 * (without awaiting a reply) when there is a session, then closes the connection: status 0, no
 * transport, session handle 0, no class 3 connection. Null ignored. */
void zelkc_cip_client_disconnect(zelkc_cip_client* client);

/* Ends the connect or exchange under way on another thread at once: its socket is shut down and
 * the operation returns 16 (the client is then disconnected). Until zelkc_cip_client_cancel_clear,
 * every later operation of the client that would touch the network returns 16 without waiting,
 * and zelkc_cip_client_disconnect sends nothing (no Forward Close, no UnRegisterSession). Safe from
 * any thread and from a signal handler; the client must stay allocated during the call. Null is
 * ignored. */
void zelkc_cip_client_cancel(zelkc_cip_client* client);
/* Lets the client connect and exchange again after a cancel. Call it on the thread that uses the
 * client. Null ignored. */
void zelkc_cip_client_cancel_clear(zelkc_cip_client* client);
/* True once zelkc_cip_client_cancel was called and not cleared; false for null. */
bool zelkc_cip_client_cancelled(const zelkc_cip_client* client);

/* The client's status (0 for null) and session handle (0 for null). */
uint8_t zelkc_cip_client_status(const zelkc_cip_client* client);
uint32_t zelkc_cip_client_session_handle(const zelkc_cip_client* client);

/* One encapsulation exchange: sends command with length data bytes and reads the whole reply
 * into the caller-owned reply (zeroed first; filled on success, release with
 * zelkc_cip_eip_response_free). Returns 0, 1 (null reply/client, null data with length > 0,
 * length >= 65536), 2, 4 (the reply was not complete within the client's time-out, counted
 * from the start of the send), 5 (reply with another command, or with another sender context and
 * status 0), 7, 9 (not connected) or 16 (cancelled). The reply's status and session handle are not checked (a
 * reply with a non-zero status is handed over even when its sender context differs). Any failure other
 * than 1 and 9 disconnects the client (without UnRegisterSession). */
uint8_t zelkc_cip_client_send_eip(zelkc_cip_client* client, uint16_t command, const uint8_t* data,
                                  uint32_t length, zelkc_cip_eip_response* reply);

/* Frees data and zeroes the record. Null ignored. */
void zelkc_cip_eip_response_free(zelkc_cip_eip_response* reply);

/* ======================================================================================
 * Buffers, EPATHs, requests and responses
 * ====================================================================================== */

/* A growable byte buffer: EPATHs, route paths, encoded messages. Release with
 * zelkc_cip_path_free whatever it holds. capacity is 0 for a buffer produced by an encoder
 * (which allocates exactly size bytes). */
typedef struct zelkc_cip_buffer {
    uint8_t* data; /* null when empty */
    uint32_t size;
    uint32_t capacity;
} zelkc_cip_buffer;

/* One CIP request to encode. path and data are borrowed, not owned. */
typedef struct zelkc_cip_request {
    uint8_t service;
    const uint8_t* path; /* EPATH */
    uint32_t path_size;  /* bytes; must be even, at most 510 */
    const uint8_t* data;
    uint32_t data_size;
} zelkc_cip_request;

/* One parsed CIP reply. Owned by the caller; release with zelkc_cip_response_free. The record may
 * be moved by copying it (the blocks then belong to the copy). */
typedef struct zelkc_cip_response {
    uint8_t service;  /* as received (request service | 0x80) */
    uint8_t reserved; /* second reply byte, as received */
    uint8_t general_status;
    zelkc_cip_buffer additional_status; /* raw 16-bit words as received; empty when none */
    zelkc_cip_buffer data;              /* reply data after the status; empty when none */
} zelkc_cip_response;

/* Base logical segment bytes. */
#define ZELKC_CIP_SEGMENT_CLASS 0x20u
#define ZELKC_CIP_SEGMENT_INSTANCE 0x24u
#define ZELKC_CIP_SEGMENT_ELEMENT 0x28u
#define ZELKC_CIP_SEGMENT_ATTRIBUTE 0x30u

/* CIP general status values the library acts on. */
#define ZELKC_CIP_GENERAL_STATUS_SUCCESS 0x00u
#define ZELKC_CIP_GENERAL_STATUS_PARTIAL_TRANSFER 0x06u
#define ZELKC_CIP_GENERAL_STATUS_TOO_MUCH_DATA 0x1Au
#define ZELKC_CIP_GENERAL_STATUS_NOT_ENOUGH_DATA 0x1Bu /* not used as a split trigger; gives 15 */
#define ZELKC_CIP_GENERAL_STATUS_EMBEDDED_FAILURE 0x1Eu

/* Fixed 4-byte paths: 20 02 24 01 (Message Router) and 20 06 24 01 (Connection Manager). */
extern const uint8_t zelkc_cip_message_router_path[4];
extern const uint8_t zelkc_cip_connection_manager_path[4];

/* Sets the buffer empty without freeing (data null, size 0, capacity 0). Null ignored. */
void zelkc_cip_path_init(zelkc_cip_buffer* path);
/* Frees data and sets the buffer empty. Null ignored. */
void zelkc_cip_path_free(zelkc_cip_buffer* path);

/* Append one logical segment: value < 256 -> t v; < 65536 -> t+1 00 v16; else t+2 00 v32.
 * Return 0, 1 (null path, size overflow) or 2 (no memory). A failed append leaves the buffer
 * exactly as it was. */
uint8_t zelkc_cip_path_add_logical(zelkc_cip_buffer* path, uint8_t segment_type, uint32_t value);
uint8_t zelkc_cip_path_add_class(zelkc_cip_buffer* path, uint32_t class_id);
uint8_t zelkc_cip_path_add_instance(zelkc_cip_buffer* path, uint32_t instance);
uint8_t zelkc_cip_path_add_element(zelkc_cip_buffer* path, uint32_t element);
uint8_t zelkc_cip_path_add_attribute(zelkc_cip_buffer* path, uint32_t attribute);

/* Appends an ANSI extended symbol segment: 91, length, the name bytes, a 00 pad when the length is
 * odd. Returns 0, 1 (null path or name, empty name, size overflow), 2 or 15 (name longer than
 * 255 bytes). A failed append leaves the buffer as it was. */
uint8_t zelkc_cip_path_add_ansi_symbol(zelkc_cip_buffer* path, const char* name);

/* Encodes service, path word count, path, data into a new exact-size buffer out (capacity 0;
 * release with zelkc_cip_path_free). Returns 0, 1 (null out/request, null path or data with a
 * non-zero size, odd path size), 2 or 15 (path above 510 bytes, sizes too large). */
uint8_t zelkc_cip_request_encode(const zelkc_cip_request* request, zelkc_cip_buffer* out);

/* Parses a Message Router reply of length bytes into response (copies; never reads past
 * bytes + length). Returns 0, 1 (null response or bytes), 2 (nothing allocated stays) or
 * 5 (shorter than 4 bytes or than its additional status). Neither the reply bit nor the general
 * status is checked. */
uint8_t zelkc_cip_response_parse(const uint8_t* bytes, uint32_t length, zelkc_cip_response* response);

/* Frees both buffers and zeroes the record. Null ignored. */
void zelkc_cip_response_free(zelkc_cip_response* response);

/* True when general_status is 0 (success) or 6 (partial transfer); false for null. */
bool zelkc_cip_response_is_success(const zelkc_cip_response* response);

/* ======================================================================================
 * Unconnected messaging and routing
 * ====================================================================================== */

/* CPF item types. */
#define ZELKC_CIP_CPF_NULL_ADDRESS_ITEM 0x0000u
#define ZELKC_CIP_CPF_UNCONNECTED_DATA_ITEM 0x00B2u

/* Builds the SendRRData CPF block (interface handle 0, timeout, 2 items: null address and
 * unconnected data of length bytes) into out (exact size; release with zelkc_cip_path_free).
 * Returns 0, 1 (null out, null data with length > 0), 2 or 15 (length >= 65536). */
uint8_t zelkc_cip_cpf_build_rr_data(const uint8_t* data, uint32_t length, uint16_t timeout,
                                    zelkc_cip_buffer* out);

/* Finds the unconnected data item of a SendRRData reply's CPF block and copies its data into out
 * (empty for an item of length 0; release with zelkc_cip_path_free). Never reads past
 * bytes + length. Returns 0, 1 (null out or bytes), 2 or 5 (malformed: short, non-zero interface
 * handle, item count 0, an item running past the end, no unconnected data item). */
uint8_t zelkc_cip_cpf_extract_unconnected_data(const uint8_t* bytes, uint32_t length, zelkc_cip_buffer* out);

/* Encodes request and sends it directly (UCMM over SendRRData); the target's reply is parsed into
 * the caller-owned response (zeroed first; release with zelkc_cip_response_free). The reply
 * service and general status are not checked. Returns 0, 1, 2, 4, 5 (also: a reply naming another
 * session with status 0; the refusal is then cleared, no status is claimed, the client stays
 * connected), 7, 8 (non-zero encapsulation status, noted as the refusal; client stays connected),
 * 9 or 15. */
uint8_t zelkc_cip_client_send_unconnected(zelkc_cip_client* client, const zelkc_cip_request* request,
                                          zelkc_cip_response* response);

/* As zelkc_cip_client_send_unconnected, for an already encoded CIP request of length bytes. */
uint8_t zelkc_cip_client_send_encoded_unconnected(zelkc_cip_client* client, const uint8_t* bytes,
                                                  uint32_t length, zelkc_cip_response* response);

/* Appends a port segment to a route path: "port addr" for a 1-byte link address, otherwise
 * "port|0x10 len addr [00]". port 0..14, link_address_length 0..255. Returns 0, 1 (null route,
 * port > 14, length > 255, null address with length > 0, size overflow) or 2 (route unchanged).
 * An empty route grows to capacity 8 first. */
uint8_t zelkc_cip_route_path_add_port(zelkc_cip_buffer* route, uint32_t port, const uint8_t* link_address,
                                      uint32_t link_address_length);

/* Appends the backplane segment 01 slot. Returns 0, 1 (null route, size overflow) or 2. */
uint8_t zelkc_cip_route_path_add_backplane_slot(zelkc_cip_buffer* route, uint8_t slot);

/* Encodes an Unconnected Send (0x52 to the Connection Manager) carrying the encoded request along
 * route, into out (release with zelkc_cip_path_free). Returns 0, 1 (null arguments; route empty,
 * odd or without data), 2 or 15 (route above 510 bytes; message too large). */
uint8_t zelkc_cip_routed_request_encode(const zelkc_cip_request* request, const zelkc_cip_buffer* route,
                                        uint8_t priority_time_tick, uint8_t timeout_ticks,
                                        zelkc_cip_buffer* out);

/* Sends request through route. The caller-owned response (zeroed first) receives the target's
 * reply; a routing failure reported by the device gives result 0 and a response of service 0xD2
 * carrying the Unconnected Send's error status, which the caller must check. Returns 0, 1, 2, 4,
 * 5 (reply neither the target's nor an Unconnected Send reply, or a truncated one), 7, 8, 9, 15. */
uint8_t zelkc_cip_client_send_routed_ex(zelkc_cip_client* client, const zelkc_cip_request* request,
                                        const zelkc_cip_buffer* route, uint8_t priority_time_tick,
                                        uint8_t timeout_ticks, zelkc_cip_response* response);
/* zelkc_cip_client_send_routed_ex with ticks 10 and 14. */
uint8_t zelkc_cip_client_send_routed(zelkc_cip_client* client, const zelkc_cip_request* request,
                                     const zelkc_cip_buffer* route, zelkc_cip_response* response);
/* Routes through the one-segment path 01 slot (ticks 10 and 14). */
uint8_t zelkc_cip_client_send_to_backplane_slot(zelkc_cip_client* client, uint8_t slot,
                                                const zelkc_cip_request* request,
                                                zelkc_cip_response* response);

/* ======================================================================================
 * Multiple Service Packet
 * ====================================================================================== */

/* Largest encoded packet sent (the 0x0A request, or the Unconnected Send that wraps it). */
#define ZELKC_CIP_MULTIPLE_PACKET_LIMIT 500u

/* One response per request, in request order. Release with zelkc_cip_multiple_response_free. */
typedef struct zelkc_cip_multiple_response {
    zelkc_cip_response* responses; /* array of count records, allocated through zelkc_cip_alloc */
    uint32_t count;
} zelkc_cip_multiple_response;

/* Routing options of one multiple send. */
typedef struct zelkc_cip_route {
    const zelkc_cip_buffer* route; /* route path; used only when routed is 1 */
    uint8_t priority_time_tick;
    uint8_t timeout_ticks;
    uint8_t routed; /* 1: wrap each packet in an Unconnected Send along route; 0: direct;
                       2: over the client's open class 3 connection */
} zelkc_cip_route;

/* Encodes count requests as one Multiple Service Packet request (0x0A to the Message Router) into
 * out (release with zelkc_cip_path_free). Returns 0, 1 (null out/requests, count 0, a bad request),
 * 2 or 15 (count above 32763, data above 65529 bytes, a path above 510 bytes). */
uint8_t zelkc_cip_multiple_request_encode(const zelkc_cip_request* requests, uint32_t count,
                                          zelkc_cip_buffer* out);

/* Parses the data of a 0x8A reply (count, offsets, embedded replies) into out (zeroed first).
 * Never reads past bytes + length. Returns 0, 1 (null out, null bytes with length > 0), 2 or 5
 * (short, count 0, offsets outside the data or going backwards, a malformed embedded reply). */
uint8_t zelkc_cip_multiple_response_data_parse(const uint8_t* bytes, uint32_t length,
                                               zelkc_cip_multiple_response* out);

/* Parses a complete reply that should be a Multiple Service Packet reply. Returns as
 * zelkc_cip_multiple_response_data_parse, plus 5 (service not 0x8A) and 8 (general status
 * neither 0 nor 0x1E). */
uint8_t zelkc_cip_multiple_response_parse(const uint8_t* bytes, uint32_t length,
                                          zelkc_cip_multiple_response* out);

/* Frees every response, the array, and zeroes the record. Null ignored. */
void zelkc_cip_multiple_response_free(zelkc_cip_multiple_response* multiple);

/* Sends any number of requests packed greedily into packets of at most 500 bytes, in order, and
 * fills out (zeroed first) with one response per request, in request order. A packet answered
 * with 0x1A is split in halves down to single services. All or nothing: on failure out is empty.
 * Returns 0 (each response carries its own status; 0x1E is not an error), 1, 2, 4, 5 (service or
 * count mismatch, malformed reply), 7, 8 (packet status other than 0/0x1A/0x1E, or an encapsulation
 * error), 9, or 15 (0x1A on a single service; 0x1B; a request that cannot fit in a packet even
 * alone, which is refused before any packet is sent). */
uint8_t zelkc_cip_client_send_multiple(zelkc_cip_client* client, const zelkc_cip_request* requests,
                                       uint32_t count, const zelkc_cip_route* options,
                                       zelkc_cip_multiple_response* out);

/* Sends count requests as one packet (split on 0x1A) and stores count responses in the caller's
 * array responses (whose slots must be empty; on success each slot owns its blocks). On failure
 * slots already filled by a successful half stay filled: the caller frees them. Results as
 * zelkc_cip_client_send_multiple. */
uint8_t zelkc_cip_client_send_multiple_range(zelkc_cip_client* client, const zelkc_cip_request* requests,
                                             uint32_t count, const zelkc_cip_route* options,
                                             zelkc_cip_response* responses);

/* zelkc_cip_client_send_multiple sent directly (routed 0). */
uint8_t zelkc_cip_client_send_multiple_unconnected(zelkc_cip_client* client,
                                                   const zelkc_cip_request* requests, uint32_t count,
                                                   zelkc_cip_multiple_response* out);
/* zelkc_cip_client_send_multiple routed along route with the given ticks. */
uint8_t zelkc_cip_client_send_multiple_routed_ex(zelkc_cip_client* client, const zelkc_cip_request* requests,
                                                 uint32_t count, const zelkc_cip_buffer* route,
                                                 uint8_t priority_time_tick, uint8_t timeout_ticks,
                                                 zelkc_cip_multiple_response* out);
/* The same with ticks 10 and 14. */
uint8_t zelkc_cip_client_send_multiple_routed(zelkc_cip_client* client, const zelkc_cip_request* requests,
                                              uint32_t count, const zelkc_cip_buffer* route,
                                              zelkc_cip_multiple_response* out);

/* ======================================================================================
 * Connected (class 3) messaging
 * ====================================================================================== */

#define ZELKC_CIP_EIP_SEND_UNIT_DATA 0x0070u
#define ZELKC_CIP_CPF_CONNECTED_ADDRESS_ITEM 0x00A1u
#define ZELKC_CIP_CPF_CONNECTED_DATA_ITEM 0x00B1u
#define ZELKC_CIP_SERVICE_FORWARD_OPEN 0x54u
#define ZELKC_CIP_SERVICE_LARGE_FORWARD_OPEN 0x5Bu
#define ZELKC_CIP_SERVICE_FORWARD_CLOSE 0x4Eu
/* Connection sizes (bytes, sequence count included): the largest a Forward Open can ask for, and
 * the size asked for with Large Forward Open. */
#define ZELKC_CIP_CONNECTION_SIZE_SMALL 504u
#define ZELKC_CIP_CONNECTION_SIZE_LARGE 4002u

/* Encodes the Forward Open request (service 0x54, or 0x5B when `large` is 1) to the Connection
 * Manager for `connection` (its size both ways, point to point, variable size, low priority,
 * transport class 3 with application trigger) into out (release with zelkc_cip_path_free). The
 * connection path is `route` (null or empty: none) followed by the Message Router path 20 02 24 01.
 * Returns 0, 1 (null out or connection, odd route, size below 3, or above 511 without `large`),
 * 2 or 15 (route above 500 bytes). */
uint8_t zelkc_cip_forward_open_encode(const zelkc_cip_connection* connection, uint8_t large,
                                      const zelkc_cip_buffer* route, zelkc_cip_buffer* out);

/* Takes a parsed Forward Open reply (service 0xD4 or 0xDB) for `connection`: on success stores the
 * target's O->T id (and the T->O id as granted) in it. Never reads past the reply's data. Returns
 * 0, 1 (null argument), 5 (another service, data shorter than 26 bytes, or a reply for another
 * connection: serial, vendor or originator serial differ) or 8 (the target refused: a general
 * status other than 0; connection unchanged). */
uint8_t zelkc_cip_forward_open_reply_accept(const zelkc_cip_response* reply,
                                            zelkc_cip_connection* connection);

/* Encodes the Forward Close request (0x4E) for `connection` along `route` (as Forward Open) into
 * out. Returns 0, 1, 2 or 15 as zelkc_cip_forward_open_encode. */
uint8_t zelkc_cip_forward_close_encode(const zelkc_cip_connection* connection, const zelkc_cip_buffer* route,
                                       zelkc_cip_buffer* out);

/* Builds the SendUnitData CPF block (interface handle 0, timeout 0, 2 items: connected address
 * with ot_id, connected data holding `sequence` and length bytes) into out (exact size; release
 * with zelkc_cip_path_free). Returns 0, 1 (null out, null data with length > 0), 2 or
 * 15 (length above 65511). */
uint8_t zelkc_cip_cpf_build_unit_data(uint32_t ot_id, uint16_t sequence, const uint8_t* data, uint32_t length,
                                      zelkc_cip_buffer* out);

/* Finds, in a SendUnitData reply's CPF block, the connected address item (it must name to_id) and
 * the connected data item, whose sequence count goes to `sequence` and whose remaining bytes are
 * the CIP reply: `offset` and `size` locate them within bytes (nothing is copied). Never reads
 * past bytes + length. Returns 0, 1 (null argument) or 5 (malformed: short, non-zero interface
 * handle, an item running past the end, a missing item, another connection id, a data item
 * shorter than its sequence count). */
uint8_t zelkc_cip_cpf_find_connected_data(const uint8_t* bytes, uint32_t length, uint32_t to_id,
                                          uint16_t* sequence, uint32_t* offset, uint32_t* size);

/* Opens a class 3 connection of `size` bytes (3..4002; above 511 with Large Forward Open) to the
 * Message Router at the end of `route` (null or empty: the device itself), sent as an unconnected
 * message to the device's own Connection Manager. The originator's fields of client->connection
 * are filled here (rpi_us and timeout_multiplier are kept when rpi_us is not 0; else 2 s and 7).
 * Returns 0 (client->connection.size is `size`), 1, 2, 4, 5, 7, 9 (not connected, or a connection
 * is already open), 15, or 8 (refused by the device: the session stays, without a connection).
 * Transport failures close the session as every failed exchange does. */
uint8_t zelkc_cip_client_open_connection(zelkc_cip_client* client, const zelkc_cip_buffer* route,
                                         uint16_t size);

/* Closes the open class 3 connection with Forward Close along `route` and awaits the reply (its
 * status is not checked); the client then has no connection. Returns 0 (also when none was open),
 * or the failure of the exchange (which closes the session). */
uint8_t zelkc_cip_client_close_connection(zelkc_cip_client* client, const zelkc_cip_buffer* route);

/* Sends an encoded CIP request of length bytes over the open connection (SendUnitData with the
 * next sequence count) and parses the reply into the caller-owned response (zeroed first; release
 * with zelkc_cip_response_free). The reply must name this connection, by its T->O id or (as some
 * targets do) its O->T id, and echo the sequence count.
 * Returns 0, 1, 2, 4, 5, 7, 8, 9 (no session or no connection) or 15 (longer than the connection
 * carries). Encapsulation status 0x0001 or 0x0008 refuses this request's command (noted as the
 * refusal, the connection stays open): 8. Any other non-zero encapsulation status (the device no
 * longer knows the connection) or any malformed reply closes the session: 7 and 5. A well-framed reply whose
 * connected address item names neither id of the connection gives 5 with
 * client->connection.replies_name_other set and leaves the session and the connection open: the
 * caller may close the connection and go on with unconnected messages. */
uint8_t zelkc_cip_client_send_encoded_connected(zelkc_cip_client* client, const uint8_t* bytes,
                                                uint32_t length, zelkc_cip_response* response);
/* Encodes request and sends it as zelkc_cip_client_send_encoded_connected. */
uint8_t zelkc_cip_client_send_connected(zelkc_cip_client* client, const zelkc_cip_request* request,
                                        zelkc_cip_response* response);

/* zelkc_cip_client_send_multiple over the open connection (route option routed 2): packets of at
 * most the connection size minus the sequence count; a packet answered with 0x1A or 0x11 (its
 * replies would not fit) is split in halves as for 0x1A. */
uint8_t zelkc_cip_client_send_multiple_connected(zelkc_cip_client* client, const zelkc_cip_request* requests,
                                                 uint32_t count, zelkc_cip_multiple_response* out);

/* ======================================================================================
 * Identity object
 * ====================================================================================== */

/* The Identity object (class 0x01, instance 1). product_name belongs to the record: release it
 * with zelkc_cip_identity_object_free. */
typedef struct zelkc_cip_identity {
    uint16_t vendor_id;
    uint16_t device_type;
    uint16_t product_code;
    uint8_t revision_major;
    uint8_t revision_minor;
    uint16_t status;
    uint32_t serial_number;
    char* product_name; /* NUL-terminated, allocated through zelkc_cip_alloc */
} zelkc_cip_identity;

/* The constant Get Attributes All request (service 0x01, path 20 01 24 01, no data). */
const zelkc_cip_request* zelkc_cip_identity_object_request(void);

/* Fills identity from the data of a parsed reply. A reply with a general status other than 0 is a
 * refusal, whatever its data: 8, identity unchanged (a routed request whose route failed arrives as
 * such a reply, of service 0xD2). Returns 0, 1 (null argument), 2, 8 or 5 (fewer than 15 data
 * bytes: identity unchanged; a name longer than the data: fixed fields already written,
 * product_name untouched). identity is not
 * zeroed on entry and an earlier product_name is not released: pass a fresh record. */
uint8_t zelkc_cip_identity_object_parse(const zelkc_cip_response* response, zelkc_cip_identity* identity);

/* Releases product_name and zeroes the record. Null ignored. */
void zelkc_cip_identity_object_free(zelkc_cip_identity* identity);

#ifdef __cplusplus
}
#endif

#endif /* ZELKC_CIP_H */
