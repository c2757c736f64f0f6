/*
 * zelkc_logix: the Logix tag client library.
 *
 * A client handle over one zelkc_cip session to a Logix controller: connection and PLC type,
 * symbol browsing with structure expansion through the controller's templates, the tag path
 * grammar, value reads (single atomic, batch, atomic array, STRING, raw bytes) and writes (atomic
 * values, bits, STRINGs).
 *
 * Conventions:
 *  - Every operation returns a zelkc_logix result code (uint8_t); ZELKC_LOGIX_OK (0) is success.
 *  - Output records are passed in by the caller and set empty on entry. Whatever an operation
 *    allocates for the caller is released with the matching _free function, which zeroes the
 *    record so that a second release does nothing.
 *  - Every heap block goes through zelkc_cip_alloc / zelkc_cip_realloc / zelkc_cip_free.
 *  - A client has no lock: use it from one thread at a time.
 *  - The library never logs. Only the lanes functions (zelkc_logix_lanes_*) start threads: one per
 *    extra lane for the duration of the call, all joined before it returns.
 */
#ifndef ZELKC_LOGIX_H
#define ZELKC_LOGIX_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "zelkc_cip.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------------------------
 * Result codes
 * ------------------------------------------------------------------------------------------- */

enum {
    ZELKC_LOGIX_OK = 0,
    ZELKC_LOGIX_ERR_INVALID_ARGUMENT = 1, /* null pointer, count 0, empty or malformed name */
    ZELKC_LOGIX_ERR_NO_MEMORY = 2,
    ZELKC_LOGIX_ERR_CONNECT_FAILED = 3, /* host did not resolve or did not accept */
    ZELKC_LOGIX_ERR_TIMEOUT = 4,
    ZELKC_LOGIX_ERR_BAD_REPLY = 5, /* malformed, too short or inconsistent reply */
    ZELKC_LOGIX_ERR_IO = 6,        /* connection failed or closed */
    ZELKC_LOGIX_ERR_DEVICE = 7,    /* the device answered with an error status */
    ZELKC_LOGIX_ERR_NOT_CONNECTED = 8,
    ZELKC_LOGIX_ERR_UNKNOWN = 9, /* also: a batch entry that has not been read */
    ZELKC_LOGIX_ERR_SESSION_REFUSED = 10,
    /* 11 and 12 are the images of zelkc_cip codes 12 and 13 and are never produced. */
    ZELKC_LOGIX_ERR_TYPE_MISMATCH = 15,
    ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE = 16,
    ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL = 17,
    ZELKC_LOGIX_ERR_LIMIT = 18,
    ZELKC_LOGIX_ERR_NOT_SUPPORTED = 19,
    ZELKC_LOGIX_ERR_CANCELLED = 20 /* zelkc_cip_client_cancel(client->cip) ended the exchange */
};

/* ---------------------------------------------------------------------------------------------
 * Limits and fixed values
 * ------------------------------------------------------------------------------------------- */

#define ZELKC_LOGIX_MAX_TAG_INFOS 2000000u /* tag infos in one browse result, all levels */
/* What a browse may take, whatever the device answers (each exchange within the time-out): the
 * symbol list at most 16 pages plus one for every two tags received, and each template's
 * definition at most 8 fragments plus one for every 64 of its declared bytes. A device whose
 * replies carry less (one tag per page, one byte per fragment) ends the browse with
 * ZELKC_LOGIX_ERR_BAD_REPLY instead of keeping it going for hours. */
#define ZELKC_LOGIX_BROWSE_PAGES(tags) (16u + (tags) / 2u)
#define ZELKC_LOGIX_TEMPLATE_FRAGMENTS(bytes) (8u + (bytes) / 64u)
#define ZELKC_LOGIX_MAX_DEPTH 64u         /* structure nesting levels (depths 0..63) */
#define ZELKC_LOGIX_BATCH_GROUP 30u       /* reads handed to one multiple send */
#define ZELKC_LOGIX_TEMPLATE_SLOTS 4096u  /* template ids 0..4095 */
#define ZELKC_LOGIX_TEMPLATE_MIN_WORDS 6u /* template definition size, 32-bit words */
#define ZELKC_LOGIX_TEMPLATE_MAX_WORDS 0x40005u
#define ZELKC_LOGIX_LIST_FIRST_CAPACITY 32u  /* first capacity of a browse list */
#define ZELKC_LOGIX_MAX_ARRAY_COUNT 65535u   /* elements of an array read, bytes of a byte read */
#define ZELKC_LOGIX_MAX_STRING_LENGTH 65535u /* largest STRING LEN accepted */
#define ZELKC_LOGIX_MAX_WRITES 65535u        /* entries of one batch write */

#define ZELKC_LOGIX_SYMBOL_CLASS 0x6Bu
#define ZELKC_LOGIX_TEMPLATE_CLASS 0x6Cu
#define ZELKC_LOGIX_PROGRAM_TYPE 0x1068u /* type word of a program entry */
#define ZELKC_LOGIX_SYSTEM_BIT 0x1000u
#define ZELKC_LOGIX_STRUCT_BIT 0x8000u
#define ZELKC_LOGIX_STRUCT_MARKER 0x02A0u /* type code of a structure in read replies */
#define ZELKC_LOGIX_STRING_HANDLE 0x0FCEu /* structure handle of the predefined STRING type */

/* Atomic type codes. */
enum {
    ZELKC_LOGIX_TYPE_BOOL = 0xC1,
    ZELKC_LOGIX_TYPE_SINT = 0xC2,
    ZELKC_LOGIX_TYPE_INT = 0xC3,
    ZELKC_LOGIX_TYPE_DINT = 0xC4,
    ZELKC_LOGIX_TYPE_LINT = 0xC5,
    ZELKC_LOGIX_TYPE_USINT = 0xC6,
    ZELKC_LOGIX_TYPE_UINT = 0xC7,
    ZELKC_LOGIX_TYPE_UDINT = 0xC8,
    ZELKC_LOGIX_TYPE_ULINT = 0xC9,
    ZELKC_LOGIX_TYPE_REAL = 0xCA,
    ZELKC_LOGIX_TYPE_LREAL = 0xCB,
    ZELKC_LOGIX_TYPE_BYTE = 0xD1,
    ZELKC_LOGIX_TYPE_WORD = 0xD2,
    ZELKC_LOGIX_TYPE_DWORD = 0xD3,
    ZELKC_LOGIX_TYPE_LWORD = 0xD4,
    ZELKC_LOGIX_TYPE_CIP_STRING = 0xD0,  /* 16-bit length, then the characters */
    ZELKC_LOGIX_TYPE_SHORT_STRING = 0xDA /* 8-bit length, then the characters */
};

/* ---------------------------------------------------------------------------------------------
 * Records
 * ------------------------------------------------------------------------------------------- */

/* One tag of the controller, or one member of a structure. */
typedef struct zelkc_logix_tag_info {
    uint32_t id;          /* symbol instance number; for a member its index in the template */
    uint16_t symbol_type; /* the symbol type word */
    char* name;           /* owned, NUL-terminated; programs without their "Program:" prefix */
    uint32_t dims[3];     /* browsed: as received; member: dims[0] = element count of a 1-D array */
    char* type_name;      /* owned; the template name of an expanded structure, else null */
    uint32_t child_count;
    struct zelkc_logix_tag_info* children; /* owned array of child_count members, or null */
} zelkc_logix_tag_info;

/* A counted array of tag infos (at most ZELKC_LOGIX_MAX_TAG_INFOS). */
typedef struct zelkc_logix_tag_info_list {
    uint32_t count;
    zelkc_logix_tag_info* items; /* owned; null when empty */
} zelkc_logix_tag_info_list;

/* One atomic value in the natural width of its type (BOOL is exactly 0 or 1). */
typedef struct zelkc_logix_value {
    uint16_t type; /* atomic type code as reported by the controller */
    union {
        uint8_t u8;
        int8_t i8;
        uint16_t u16;
        int16_t i16;
        uint32_t u32;
        int32_t i32;
        uint64_t u64;
        int64_t i64;
        float f32;
        double f64;
        uint8_t raw[8];
    } value;
} zelkc_logix_value;

/* One entry of a batch read. The caller owns `tag` and the array of entries. */
typedef struct zelkc_logix_atomic_read {
    const char* tag;         /* tag path text */
    uint8_t result;          /* result of this entry; ZELKC_LOGIX_ERR_UNKNOWN while unread */
    zelkc_logix_value value; /* valid when result is ZELKC_LOGIX_OK */
} zelkc_logix_atomic_read;

/* The CIP status a controller gave one batch entry (see zelkc_logix_client_read_atomic_values_status). */
typedef struct zelkc_logix_read_status {
    uint8_t general_status;   /* CIP general status of the entry's reply; 0 when none was received */
    uint16_t extended_status; /* first additional status word of that reply; 0 when none */
    uint16_t struct_handle;   /* a reply carrying a structure (value.type is ZELKC_LOGIX_STRUCT_MARKER):
                                 its structure handle; else 0 */
} zelkc_logix_read_status;

/* The result of an array read: count elements packed little-endian in data. */
typedef struct zelkc_logix_value_array {
    uint16_t type;
    uint32_t count;
    uint8_t* data; /* owned; count x element size bytes */
} zelkc_logix_value_array;

struct zelkc_logix_template_entry;

/* The client handle. Create with zelkc_logix_client_create, release with _destroy. */
typedef struct zelkc_logix_client {
    zelkc_cip_client* cip;       /* the session; never null in a live client */
    zelkc_cip_identity identity; /* filled by every successful connect */
    zelkc_cip_buffer route;      /* route path; empty means requests go directly */
    /* Templates read on this connection, ZELKC_LOGIX_TEMPLATE_SLOTS slots indexed by template id,
     * or null before the first expansion. Owned; released by connect, disconnect and destroy. */
    struct zelkc_logix_template_entry** templates;
    /* Structure types the last browse could not read (the controller answered their template
     * requests with an error status); see zelkc_logix_client_last_browse_skipped_templates. */
    uint32_t skipped_templates;
    /* Told after each symbol page of a browse; see zelkc_logix_client_set_browse_progress. */
    void (*browse_progress)(void* context, uint32_t pages, uint32_t tags);
    void* browse_progress_context;
    /* 1 once the controller refused a Multiple Service Packet as a service it does not support
     * (0x08): the requests of every later packed send go one by one. Cleared by connect. */
    uint8_t single_requests;
    /* Member infos held in the template cache, and the most it may hold: a device that claims
     * templates beyond it ends the browse with ZELKC_LOGIX_ERR_LIMIT instead of growing the cache.
     * template_limit 0 means ZELKC_LOGIX_MAX_TAG_INFOS; a caller may set less. */
    uint32_t template_members;
    uint32_t template_limit;
} zelkc_logix_client;

/* ---------------------------------------------------------------------------------------------
 * Client and connection
 * ------------------------------------------------------------------------------------------- */

/* Returns a new client, or null when an allocation failed (nothing is left allocated). */
zelkc_logix_client* zelkc_logix_client_create(void);
/* Disconnects if needed and releases everything. Null is ignored. */
void zelkc_logix_client_destroy(zelkc_logix_client* client);
/* Opens the session and reads the controller's identity. On failure the client is disconnected
 * and the identity of an earlier successful connect is kept. */
uint8_t zelkc_logix_client_connect(zelkc_logix_client* client, const char* host, uint32_t port,
                                   uint32_t timeout_ms);
/* How a connect carries the requests that follow it. */
enum {
    ZELKC_LOGIX_MODE_UNCONNECTED = 0, /* every request an unconnected message (500-byte packets) */
    ZELKC_LOGIX_MODE_AUTO = 1,        /* a class 3 connection of 4002 bytes, else of 504, else unconnected */
    ZELKC_LOGIX_MODE_SMALL = 2        /* a class 3 connection of 504 bytes, else unconnected */
};

/* Connects as zelkc_logix_client_connect (session, then the identity as an unconnected message),
 * then, unless `mode` is ZELKC_LOGIX_MODE_UNCONNECTED, opens a class 3 connection to the
 * controller (along the route path when one is set): Large Forward Open for 4002 bytes, then
 * Forward Open for 504, as `mode` says. A controller that refuses them leaves the client connected
 * with unconnected messaging. Every later request of the client then travels over the connection,
 * and zelkc_logix_client_packet_size tells what a packet may hold. A connection whose replies
 * name neither of its ids is closed (Forward Close) at the first such reply, and that request goes
 * again unconnected, as every later one does until the next connect
 * (cip->connection.replies_name_other tells it).
 * Returns 0; 1 (null client or
 * host, unknown mode); the failures of zelkc_logix_client_connect; or the failure of a Forward
 * Open exchange that closed the session (the client is then disconnected). */
uint8_t zelkc_logix_client_connect_mode(zelkc_logix_client* client, const char* host, uint32_t port,
                                        uint32_t timeout_ms, uint8_t mode);
/* The largest request or reply the client's messaging carries, in bytes: the connection size less
 * its sequence count over a class 3 connection (4000 or 502), else 500. 0 for a null client. */
uint32_t zelkc_logix_client_packet_size(const zelkc_logix_client* client);
/* Appends backplane slot `slot` to the client's route path (never cleared), then connects; every
 * later request is routed along the whole path. A device that refuses to route the Identity read
 * (Unconnected Send answered 0x08) is reached through a class 3 connection with the route in its
 * Forward Open path, in every mode: the connection then carries the Identity read and every later
 * request. When that fails too, the route's refusal is the one reported (zelkc_cip_refusal's
 * by_route and route_slot; zelkc_logix_failure_text names "the route to slot N"). */
uint8_t zelkc_logix_client_connect_to_slot(zelkc_logix_client* client, const char* host, uint32_t port,
                                           uint32_t timeout_ms, uint8_t slot);
/* Closes a class 3 connection (Forward Close), unregisters the session and closes it; identity
 * and route stay. Null is ignored. */
void zelkc_logix_client_disconnect(zelkc_logix_client* client);
bool zelkc_logix_client_is_connected(const zelkc_logix_client* client);
/* The product name read at the last successful connect, or null. Owned by the client; valid
 * until the next successful connect or destroy. */
const char* zelkc_logix_client_plc_type(const zelkc_logix_client* client);

/* Sends one request, directly or along the route path. The caller checks the response's general
 * status and releases it with zelkc_cip_response_free. */
uint8_t zelkc_logix_send_cip_internal(zelkc_logix_client* client, const zelkc_cip_request* request,
                                      zelkc_cip_response* response);
/* Sends `count` requests packed into Multiple Service Packets; one response per request in order.
 * A controller that answers a packet with 0x08 (service not supported) gets the requests one by
 * one, then and for the rest of the connection (see single_requests). The caller releases
 * `responses` with zelkc_cip_multiple_response_free. */
uint8_t zelkc_logix_send_multiple_cip_internal(zelkc_logix_client* client, const zelkc_cip_request* requests,
                                               uint32_t count, zelkc_cip_multiple_response* responses);
/* Maps a zelkc_cip result code to a zelkc_logix result code. */
uint8_t zelkc_logix_convert_result(uint8_t cip_code);

/* ---------------------------------------------------------------------------------------------
 * Symbol type word and release functions (pure)
 * ------------------------------------------------------------------------------------------- */

bool zelkc_logix_tag_is_program(uint16_t type);                   /* word == 0x1068 */
bool zelkc_logix_tag_is_struct(uint16_t type);                    /* bit 15 set, system bit clear */
bool zelkc_logix_tag_is_atomic(uint16_t type);                    /* bits 13-15 clear */
uint32_t zelkc_logix_tag_array_rank(uint16_t type);               /* bits 13-14 */
uint8_t zelkc_logix_tag_atomic_type(uint16_t type);               /* low byte */
uint32_t zelkc_logix_tag_template_id(uint16_t type);              /* low 12 bits */
uint8_t zelkc_logix_tag_bit_size(uint16_t type);                  /* from the low byte; 0 when unknown */
bool zelkc_logix_tag_is_string(const zelkc_logix_tag_info* info); /* type_name == "STRING" */

/* Release what the library allocated; each accepts null and zeroes the record. */
void zelkc_logix_tag_info_free(zelkc_logix_tag_info* info);
void zelkc_logix_tag_info_list_free(zelkc_logix_tag_info_list* list);
void zelkc_logix_value_array_free(zelkc_logix_value_array* array);

/* ---------------------------------------------------------------------------------------------
 * Browsing and templates
 * ------------------------------------------------------------------------------------------- */

/* Lists the controller-scope symbols (programs included), structures expanded. On failure `out`
 * is empty. Release the list with zelkc_logix_tag_info_list_free. */
uint8_t zelkc_logix_client_browse_global_tags(zelkc_logix_client* client, zelkc_logix_tag_info_list* out);
/* Lists the symbols of one program; `program` is the plain program name. */
uint8_t zelkc_logix_client_browse_program_tags(zelkc_logix_client* client, zelkc_logix_tag_info_list* out,
                                               const char* program);
/* Makes every later browse of the client call `fn(context, pages, tags)` after each symbol page
 * it receives: the pages of this browse so far and the tags (symbols) they listed; structures are
 * expanded after the last page. The call comes on the browsing thread, inside the browse; it must
 * not use the client. A null fn stops the calls. Null client is ignored. */
void zelkc_logix_client_set_browse_progress(zelkc_logix_client* client,
                                            void (*fn)(void* context, uint32_t pages, uint32_t tags),
                                            void* context);
/* How many structure types the client's last browse (controller or program) could not read: the
 * controller answered their template requests with an error status, and the browse went on with
 * the tags of those types member-less (type word kept, no type name). 0 for a null client. */
uint32_t zelkc_logix_client_last_browse_skipped_templates(const zelkc_logix_client* client);
/* Expands every structure item of `list` in place (one template read per template id). */
uint8_t zelkc_logix_expand_browse_internal(zelkc_logix_client* client, zelkc_logix_tag_info_list* list);
/* Reads the template of tmpl->symbol_type: fills `out` with its visible members and sets
 * tmpl->type_name to the template name. On failure `out` is empty and tmpl is unchanged. */
uint8_t zelkc_logix_client_browse_struct_members(zelkc_logix_client* client, zelkc_logix_tag_info* tmpl,
                                                 zelkc_logix_tag_info_list* out);

/* ---------------------------------------------------------------------------------------------
 * Lanes: several connections to one controller used together
 * ------------------------------------------------------------------------------------------- */

#define ZELKC_LOGIX_MAX_LANES 8u

/* A client's connection and up to ZELKC_LOGIX_MAX_LANES - 1 more sessions to the same controller
 * (same route, and a class 3 connection when the first has one), each carrying one request at a
 * time: across a network with a long round trip, requests that do not depend on each other go out
 * side by side. A lane set is used from one thread at a time; while a lanes function runs, none of
 * its clients may be used elsewhere. */
typedef struct zelkc_logix_lanes {
    zelkc_logix_client* clients[ZELKC_LOGIX_MAX_LANES]; /* [0]: the caller's (borrowed); the rest owned */
    uint32_t count;      /* clients in the set, the first included; 0 when closed */
    char* host;          /* owned copy */
    uint32_t port;
    uint32_t timeout_ms;
    uint8_t mode;        /* the mode extra lanes connect (and reconnect) in, from the first client */
    uint32_t reopened;   /* reopenings of lost lanes tried, over the set's life */
    uint8_t gone[ZELKC_LOGIX_MAX_LANES]; /* 1: lost and refused when reopened; later calls leave it out */
    uint32_t used;       /* lanes the last call put requests on */
} zelkc_logix_lanes;

/* Fills `lanes` with `first` (connected, to host:port) and opens up to `count` - 1 more lanes to
 * the same controller, side by side, each within timeout_ms. A lane the controller refuses (no
 * session, or no class 3 connection where `first` has one: out of connections) is left out
 * quietly, so the set may hold fewer than asked; count 1 opens nothing. Returns 0, 1 (null
 * arguments, `first` not connected, count 0 or above ZELKC_LOGIX_MAX_LANES) or 2. Release with
 * zelkc_logix_lanes_close. */
uint8_t zelkc_logix_lanes_open(zelkc_logix_lanes* lanes, zelkc_logix_client* first, const char* host,
                               uint32_t port, uint32_t timeout_ms, uint32_t count);
/* Disconnects and destroys the extra lanes; `first` stays as it is. Null and closed sets are ignored. */
void zelkc_logix_lanes_close(zelkc_logix_lanes* lanes);
/* The controller-scope (or one program's) symbols, structures expanded, exactly as
 * zelkc_logix_client_browse_global_tags (_program_tags) lists them on one lane, with the symbol
 * list walked over every lane: after its first page, the lanes take the next ranges of instances
 * (each of four pages' width as the first page measured), each stopping where the next range
 * begins; the templates the tags need are then read spread over the lanes and the structures
 * expanded through the first lane still up, whose template cache every lane shares afterwards.
 * A lane lost on the way (time-out, connection closed) is reopened once in the call, and its range
 * finished by whichever lane is free; a lane the controller refuses then is left out of later calls; the browse fails only when none is left, or with the failure a one-lane browse
 * would meet (a refusal, a malformed reply). The first client's browse progress is told after each
 * page with the pages and tags of all lanes so far, on the thread that received the page. */
uint8_t zelkc_logix_lanes_browse_global_tags(zelkc_logix_lanes* lanes, zelkc_logix_tag_info_list* out);
uint8_t zelkc_logix_lanes_browse_program_tags(zelkc_logix_lanes* lanes, zelkc_logix_tag_info_list* out,
                                              const char* program);
/* Browses the `count` programs named in `programs`, each on whichever lane is free (one request
 * per lane at a time; the lanes share their template caches first). Every program's outcome goes
 * to done(context, index, result, list) as soon as its browse ends, on that lane's thread (calls
 * may come side by side); on success the callee owns *list and releases it with
 * zelkc_logix_tag_info_list_free. A lane lost is reopened once and the program browsed again; a
 * program whose browse failed otherwise is reported with its failure and the others go on.
 * Returns 0 once every program was reported, 1 or 2. */
uint8_t zelkc_logix_lanes_browse_programs(zelkc_logix_lanes* lanes, const char* const* programs, uint32_t count,
                                          void (*done)(void* context, uint32_t index, uint8_t result,
                                                       zelkc_logix_tag_info_list* list),
                                          void* context);
/* Copies every structure template `from` has read into `to`'s cache (those `to` lacks), so that
 * browsing on `to` does not ask the controller for them again. Returns 0, 1 or 2. */
uint8_t zelkc_logix_client_share_templates(zelkc_logix_client* to, const zelkc_logix_client* from);
/* About how many packets a batch read of these entries needs over the client's messaging (from
 * the tags' lengths and the packet size); 0 for null or empty. */
uint32_t zelkc_logix_batch_packets(const zelkc_logix_client* client, const zelkc_logix_atomic_read* entries,
                                   uint32_t count);
/* Reads a batch as zelkc_logix_client_read_atomic_values_status does. A batch that needs more than
 * one packet is cut into as many slices (up to one per lane), read side by side; a slice whose lane
 * was lost is read again on a lane still up. Returns 0 when every slice was exchanged. */
uint8_t zelkc_logix_lanes_read_atomic_values_status(zelkc_logix_lanes* lanes, zelkc_logix_atomic_read* entries,
                                                    uint32_t count, zelkc_logix_read_status* statuses);

/* Turns tag path text ("Prog:Main.Tag[1,2].Member") into an EPATH in `out`, which is initialised
 * first. The caller releases `out` with zelkc_cip_path_free on every outcome. */
uint8_t zelkc_logix_path_build_tag_path(const char* tag, zelkc_cip_buffer* out);

/* ---------------------------------------------------------------------------------------------
 * Reading values
 * ------------------------------------------------------------------------------------------- */

uint8_t zelkc_logix_client_read_atomic_value(zelkc_logix_client* client, const char* tag,
                                             zelkc_logix_value* out);
/* Reads every entry; per-entry outcomes land in each entry's `result`. Returns 0 when every
 * group was exchanged, even if single entries failed. Groups hold 30 reads; over a class 3
 * connection the whole batch is one group. */
uint8_t zelkc_logix_client_read_atomic_values(zelkc_logix_client* client, zelkc_logix_atomic_read* entries,
                                              uint32_t count);
/* The same batch read, and for each entry i the CIP status of its reply in statuses[i] (count
 * caller-owned records, zeroed on entry), so that a failed entry can be explained. */
uint8_t zelkc_logix_client_read_atomic_values_status(zelkc_logix_client* client,
                                                     zelkc_logix_atomic_read* entries, uint32_t count,
                                                     zelkc_logix_read_status* statuses);
/* Reads `count` (1..65535) elements of an atomic array; release with zelkc_logix_value_array_free. */
uint8_t zelkc_logix_client_read_atomic_array(zelkc_logix_client* client, const char* tag, uint32_t count,
                                             zelkc_logix_value_array* out);
/* Reads a STRING into buf (NUL-terminated); `length` gets LEN, also when the result is
 * ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL. Besides a Logix STRING structure (a 32-bit LEN, then the
 * characters) the tag may be a CIP STRING (type 0xD0: a 16-bit length, then the characters) or a
 * SHORT_STRING (type 0xDA: an 8-bit length), as generic CIP devices serve text. */
uint8_t zelkc_logix_client_read_string_value(zelkc_logix_client* client, const char* tag, char* buf,
                                             uint32_t capacity, uint32_t* length);
/* Reads exactly `size` (1..65535) bytes of a SINT or USINT array. */
uint8_t zelkc_logix_client_read_bytes(zelkc_logix_client* client, const char* tag, uint8_t* buf,
                                      uint32_t size, uint32_t* length);

/* ---------------------------------------------------------------------------------------------
 * Writing values
 * ------------------------------------------------------------------------------------------- */

/* One entry of a batch write. The caller owns `tag`, `text` and the array of entries.
 *
 * What goes on the wire depends on value.type and the path:
 *  - an atomic scalar, array element or structure member (SINT..LREAL, BYTE..LWORD): Write Tag
 *    (0x4D) of one element of that type;
 *  - BOOL on a path whose last segment is digits ("Dint.5", "Arr[2].31"): bit N of the integer
 *    before it, whose type code is `host_type` (SINT..ULINT, BYTE..LWORD), by Read-Modify-Write
 *    (0x4E) with masks of that integer's width, so no other bit of it is touched;
 *  - BOOL on a path whose last segment is indexed ("Flags[37]"): an element of a BOOL array, which
 *    the controller packs in 32-bit words, by Read-Modify-Write on that element with 4-byte masks
 *    holding bit index % 32;
 *  - any other BOOL (a BOOL tag, or a BOOL member of a structure, which the controller maps onto a
 *    bit of a hidden host member it does not let anyone name): Write Tag of type BOOL by name; the
 *    controller sets that one bit of the host;
 *  - ZELKC_LOGIX_STRUCT_MARKER: a STRING (a structure whose first members are a DINT LEN and a
 *    SINT array DATA of `capacity` characters): `text_length` bytes of `text` written to DATA, then
 *    LEN, both in the same packet. A text longer than `capacity` is refused with
 *    ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL before anything is sent. */
typedef struct zelkc_logix_atomic_write {
    const char* tag;         /* tag path text */
    zelkc_logix_value value; /* value.type selects the form (above); the value in its width */
    uint16_t host_type;      /* a bit of an integer: the integer's type code; else ignored */
    const char* text;        /* a STRING: its characters (need not be NUL-terminated) */
    uint32_t text_length;
    uint32_t capacity;            /* a STRING: characters DATA holds (from its template) */
    uint8_t result;               /* outcome; ZELKC_LOGIX_ERR_UNKNOWN while not written */
    zelkc_logix_read_status status; /* CIP status of the reply that decided `result`; zero if none */
} zelkc_logix_atomic_write;

/* Writes every entry, packed into Multiple Service Packets in the connection's packet size as the
 * batch read packs its requests (a group of ZELKC_LOGIX_BATCH_GROUP unconnected, the whole batch
 * over a class 3 connection). Each entry is checked before anything is sent (path grammar, type,
 * bit number within the host's width, a STRING's length); an entry that fails its check carries the
 * reason (1, 16 or 17) and takes no request, the others are still written. Per-entry outcomes land
 * in `result` and `status` (a refusal is ZELKC_LOGIX_ERR_DEVICE with the CIP status). Returns 0
 * when every group was exchanged; a transport failure is returned, and the entries not yet decided
 * carry it. A write is never retried or repeated by the library. */
uint8_t zelkc_logix_client_write_values(zelkc_logix_client* client, zelkc_logix_atomic_write* entries,
                                        uint32_t count);
/* Writes one entry as zelkc_logix_client_write_values does; returns the entry's result. */
uint8_t zelkc_logix_client_write_value(zelkc_logix_client* client, zelkc_logix_atomic_write* entry);

/* Parses `text` as a value of atomic type `type` into `out` (out->type = type), as engineers type
 * values: integers in decimal with an optional sign, 16#1F or 0x1F (hex), 8#17 (octal), 2#1010_0000
 * or 0b1010 (binary), '_' allowed between digits of a based number; REAL and LREAL in decimal or
 * scientific notation, inf, -inf and nan; BOOL as 0, 1, true, false (any case). Leading and
 * trailing blanks are ignored. A based integer gives the bit pattern (16#FF is -1 for a SINT).
 * Returns 0, or ZELKC_LOGIX_ERR_INVALID_ARGUMENT (not a number of that type, or out of its range)
 * or ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE with the reason in `note`, e.g. "300 does not fit a SINT
 * (-128 to 127)". On success `note` is empty, or says how a REAL was rounded ("0.1 is written as
 * the nearest REAL, 0.100000001"). `note` (may be null) is NUL-terminated and cut to `capacity`. */
uint8_t zelkc_logix_value_parse(uint16_t type, const char* text, zelkc_logix_value* out, char* note,
                                uint32_t capacity);

/* ---------------------------------------------------------------------------------------------
 * Plain-language reasons (static text, never null; one table for every user of the library)
 * ------------------------------------------------------------------------------------------- */

/* What a zelkc_logix result code means, e.g. "timed out waiting for the controller". */
const char* zelkc_logix_result_text(uint8_t result);
/* Why a read failed, from the CIP general status and the first extended status word (0 when
 * none), e.g. "no such tag" for 0x04 and 0x05; 0xFF is explained through its extended status. */
const char* zelkc_logix_cip_status_text(uint8_t general, uint16_t extended);
/* The CIP name of a general status, e.g. "path segment error" for 0x04. */
const char* zelkc_logix_cip_status_name(uint8_t general);
/* The name of an encapsulation status, e.g. "insufficient memory" for 0x0002. */
const char* zelkc_logix_encapsulation_status_name(uint32_t status);
/* The status behind the client's last refusal (see zelkc_cip_refusal), or null for a null client.
 * It describes the last exchange that was refused; read it right after the failing call. */
const zelkc_cip_refusal* zelkc_logix_client_refusal(const zelkc_logix_client* client);
/* Writes into buf (NUL-terminated, cut to capacity) why an operation failed with `result`: for a
 * refusal (ZELKC_LOGIX_ERR_DEVICE, ZELKC_LOGIX_ERR_SESSION_REFUSED, or a connection the device no
 * longer knew) that carries a status, the plain reason followed by the status it came from, e.g.
 * "the controller does not support this request for the tag (CIP 0x08 service not supported)" or
 * "the controller refused the session (encapsulation status 0x0002 insufficient memory)"; else
 * zelkc_logix_result_text(result). `refusal` may be null. Returns the length of the full text. */
uint32_t zelkc_logix_failure_text(uint8_t result, const zelkc_cip_refusal* refusal, char* buf,
                                  uint32_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* ZELKC_LOGIX_H */
