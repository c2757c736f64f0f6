// Internal interface of zelkc_logix: the decoders of controller replies, kept apart from the
// network loops so that they can be tested and fuzzed on plain bytes, and the helpers the
// modules share. Not installed; tests and fuzz targets include it from logix/src.
#ifndef ZELKC_LOGIX_INTERNAL_H
#define ZELKC_LOGIX_INTERNAL_H

#include <string.h>

#include "zelkc_logix.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---- shared helpers --------------------------------------------------------------------------

static inline uint16_t logix_le16(const uint8_t* p) {
    return (uint16_t)(p[0] | (p[1] << 8));
}
static inline uint32_t logix_le32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
static inline void logix_put16(uint8_t* p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
static inline void logix_put32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}
// A request record for `service` on `path` carrying `size` bytes of `data`; it borrows both.
static inline zelkc_cip_request logix_make_request(uint8_t service, const zelkc_cip_buffer* path,
                                                   const uint8_t* data, uint32_t size) {
    zelkc_cip_request request;
    memset(&request, 0, sizeof request);
    request.service = service;
    request.path = path->data;
    request.path_size = path->size;
    request.data = data;
    request.data_size = size;
    return request;
}

// Width in bytes of an atomic type in the value record (BOOL 1, ..., LINT/ULINT/LWORD/LREAL 8); 0
// for the codes that cannot be read or written as one value (0xCC-0xD0, anything outside 0xC1-0xD4).
uint32_t logix_value_width(uint16_t type);

// A NUL-terminated copy of `length` bytes of `text` through zelkc_cip_alloc, or null.
char* logix_strndup(const char* text, size_t length);

// ---- tag paths -------------------------------------------------------------------------------

// Appends one segment ("Name", "Name[1,2]", "Name[1][2]") of a tag path: an ANSI extended symbol
// for the name part and an element segment per index. Returns a zelkc_cip result code; grammar
// violations are ZELKC_CIP_ERR_INVALID_ARGUMENT.
uint8_t add_symbol_and_indexes(zelkc_cip_buffer* out, const char* segment, size_t length);

// ---- symbol browsing -------------------------------------------------------------------------

// The paging loop behind both browse entry points; `program` null for the controller scope.
uint8_t browse_tags(zelkc_logix_client* client, zelkc_logix_tag_info_list* out, const char* program);

// The scope text of a program's symbol list ("Program:<name>") in a new block, or null for the
// controller scope (program null).
uint8_t logix_browse_scope_name(const char* program, char** scope);

// Asks one page of the symbol list of `scope` (null: the controller's) from *next_instance on and
// appends its entries to `out` (see zelkc_logix_browse_page_decode). *status gets the page's general
// status (0: the list ends with this page; 6: more follow), *first the instance of its first entry
// (*next_instance as it was when the page is empty).
uint8_t logix_browse_page(zelkc_logix_client* client, const char* scope, zelkc_logix_tag_info_list* out,
                          uint32_t* capacity, uint32_t* next_instance, uint8_t* status, uint32_t* first);

// Copies every template of `from`'s cache that `to` lacks into `to`'s cache (created when null,
// also when `from` has none),
// within `to`'s bound. Returns 0 or ZELKC_LOGIX_ERR_NO_MEMORY.
uint8_t logix_templates_share(zelkc_logix_client* to, const zelkc_logix_client* from);

// Decodes one page of the symbol list reply (general status and data) and appends its listed
// entries to `list`. `capacity` is the list's allocated capacity, `next_instance` the next
// instance wanted; both are updated. Checks the general status (0 or 6), every entry's layout
// and instance order, and that a partial page (status 6) advanced the next instance. On failure
// `list` may hold entries appended so far; the caller releases it.
uint8_t zelkc_logix_browse_page_decode(uint8_t general_status, const uint8_t* data, uint32_t size,
                                       zelkc_logix_tag_info_list* list, uint32_t* capacity,
                                       uint32_t* next_instance);

// ---- templates -------------------------------------------------------------------------------

// Decodes the reply to the template attribute request (attributes 4 and 2). On success
// `definition_bytes` is the number of definition bytes to read (size in words x 4 - 23) and
// `member_count` the template's member count.
uint8_t zelkc_logix_template_attributes_decode(uint8_t general_status, const uint8_t* data, uint32_t size,
                                               uint32_t* definition_bytes, uint16_t* member_count);

// Progress of reading one template definition in fragments.
typedef struct zelkc_logix_template_read {
    uint8_t* definition; // caller-owned buffer of `size` bytes
    uint32_t size;       // definition bytes expected
    uint32_t offset;     // bytes received so far
    uint32_t fragments;  // replies accepted so far (a definition must not take more than
                         // ZELKC_LOGIX_TEMPLATE_FRAGMENTS(size))
} zelkc_logix_template_read;

// The number of bytes the next template read asks for.
uint32_t zelkc_logix_template_read_ask(const zelkc_logix_template_read* read);

// Takes one template read reply for a request that asked `asked` bytes. Sets `done` when the
// definition is complete (or the controller ended it early with status 0).
uint8_t zelkc_logix_template_fragment_accept(zelkc_logix_template_read* read, uint32_t asked,
                                             uint8_t general_status, const uint8_t* data, uint32_t size,
                                             bool* done);

// Decodes the `received` bytes of a template definition with `member_count` members: the template
// name (text before the first ';') into `name` (allocated) and the visible members into `members`.
// On failure both are released and left empty.
uint8_t zelkc_logix_template_definition_decode(const uint8_t* definition, uint32_t received,
                                               uint16_t member_count, char** name,
                                               zelkc_logix_tag_info_list* members);

// One template met during a browse; the cache holds ZELKC_LOGIX_TEMPLATE_SLOTS pointers to these,
// indexed by template id.
typedef struct zelkc_logix_template_entry {
    zelkc_logix_tag_info info;         // only symbol_type and type_name are filled
    zelkc_logix_tag_info_list members; // visible members
    uint8_t busy;                      // set while expanding members below one tag
} zelkc_logix_template_entry;

// Reads a template definition with single requests from read->offset until it is complete.
uint8_t logix_template_read_rest(zelkc_logix_client* client, const zelkc_cip_buffer* path,
                                 zelkc_logix_template_read* read);

// Reads the templates that the structures of `list` need, and those their members need in turn,
// into the client's template cache (which must exist), asking in Multiple Service Packets: the
// attributes of many templates per packet, then as many whole definitions per packet as their
// replies fit. A template whose reply fails is left out of the cache; a packet the controller
// refuses ends the packing for this call. Returns 0, or a failure that closed the session
// (transport, time-out) or ZELKC_LOGIX_ERR_NO_MEMORY.
uint8_t logix_templates_prefetch(zelkc_logix_client* client, const zelkc_logix_tag_info_list* list);

// The largest CIP message, request or reply, that the client's connection carries.
uint32_t logix_packet_size(const zelkc_logix_client* client);

// Releases the client's template cache (every entry and the table) and leaves it null.
void logix_templates_release(zelkc_logix_client* client);

// Counts `members` more member infos into the client's template cache; false (nothing counted)
// when that would pass its bound (template_limit, else ZELKC_LOGIX_MAX_TAG_INFOS).
bool logix_template_cache_admit(zelkc_logix_client* client, uint32_t members);

// What one browse's expansion walks with: the connection's template cache, the template ids this
// browse found refused (ZELKC_LOGIX_TEMPLATE_SLOTS bytes; a refused type is not asked again in the
// same browse), the tag infos counted so far in the whole result and the types skipped.
struct logix_expansion {
    zelkc_logix_template_entry** cache;
    uint8_t* refused;
    uint32_t total;
    uint32_t skipped;
};

// Expands one tag (recursively) through the connection's template cache: a structure tag gets its
// own copy of the template name and of every visible member, each expanded in turn. A template
// missing from the cache is read from the controller through `client`; one the controller answers
// with an error status is marked refused and its tags stay member-less (ZELKC_LOGIX_OK).
uint8_t expand_tag(zelkc_logix_client* client, zelkc_logix_tag_info* tag, logix_expansion* x, uint32_t depth);

// ---- reading values --------------------------------------------------------------------------

// Decodes a Read Tag reply holding one atomic value.
uint8_t read_atomic_response(const zelkc_cip_response* reply, zelkc_logix_value* out);

// Notes a reply's general and first extended status and, for a structure, its handle; null
// `status` is ignored.
void read_status_note(const zelkc_cip_response* reply, zelkc_logix_read_status* status);

// Reads n prepared requests (a group of the batch) as one unit; map[i] is the entry
// index of requests[i]; statuses (null, or one per entry) get each reply's status.
uint8_t read_atomic_batch(zelkc_logix_client* client, const zelkc_cip_request* requests, const uint32_t* map,
                          uint32_t n, zelkc_logix_atomic_read* entries, zelkc_logix_read_status* statuses);

// Progress of a fragmented atomic array read.
typedef struct zelkc_logix_array_read {
    zelkc_logix_value_array* out; // filled on the first reply
    uint32_t count;               // elements asked for
    uint32_t total;               // bytes expected (count x element size), 0 before the first reply
    uint32_t offset;              // bytes received so far
} zelkc_logix_array_read;

// Takes one Read Tag Fragmented reply of an atomic array. On failure the caller releases `out`.
uint8_t zelkc_logix_array_fragment_accept(zelkc_logix_array_read* read, uint8_t general_status,
                                          const uint8_t* data, uint32_t size, bool* done);

// Progress of a fragmented STRING read.
typedef struct zelkc_logix_string_read {
    char* buf;
    uint32_t capacity;
    uint32_t length;  // LEN once known
    uint32_t offset;  // structure bytes received so far (the next request's offset)
    uint32_t copied;  // characters copied into buf
    uint8_t len_have; // bytes of LEN collected
    uint8_t len_bytes[4];
    bool started;      // the form (and structure handle) of the first reply is known
    uint16_t handle;   // structure handle of a Logix STRING
    uint16_t type;     // the first reply's type code: the structure marker, 0xD0 or 0xDA
    uint8_t len_size;  // bytes of LEN in that form: 4, 2 or 1
} zelkc_logix_string_read;

// Takes one Read Tag Fragmented reply of a STRING: a Logix STRING structure (32-bit LEN), a CIP
// STRING (0xD0, 16-bit length) or a SHORT_STRING (0xDA, 8-bit length); every reply of one read must
// have the first one's form. `done` is set with result 0 once LEN characters are in buf
// (terminated).
uint8_t zelkc_logix_string_fragment_accept(zelkc_logix_string_read* read, uint8_t general_status,
                                           const uint8_t* data, uint32_t size, bool* done);

// Progress of a fragmented byte read.
typedef struct zelkc_logix_bytes_read {
    uint8_t* buf;
    uint32_t size;     // bytes asked for
    uint32_t received; // bytes received so far
    bool started;
    uint16_t type;
} zelkc_logix_bytes_read;

// Takes one Read Tag Fragmented reply of a SINT/USINT array.
uint8_t zelkc_logix_bytes_fragment_accept(zelkc_logix_bytes_read* read, uint8_t general_status,
                                          const uint8_t* data, uint32_t size, bool* done);

// ---- writing values --------------------------------------------------------------------------

#define LOGIX_WRITE_MAX_REQUESTS 2u /* a STRING: DATA, then LEN */
#define LOGIX_WRITE_HEAD_BYTES 20u

// The requests one write entry becomes: services, EPATHs, and request data as a fixed head
// (type and count with the value, or the masks of a Read-Modify-Write) followed by a borrowed tail
// (a STRING's characters).
typedef struct logix_write_plan {
    uint32_t count;
    uint8_t service[LOGIX_WRITE_MAX_REQUESTS];
    zelkc_cip_buffer paths[LOGIX_WRITE_MAX_REQUESTS];
    uint8_t data[LOGIX_WRITE_MAX_REQUESTS][LOGIX_WRITE_HEAD_BYTES];
    uint32_t head_size[LOGIX_WRITE_MAX_REQUESTS];
    const uint8_t* tail[LOGIX_WRITE_MAX_REQUESTS];
    uint32_t tail_size[LOGIX_WRITE_MAX_REQUESTS];
} logix_write_plan;

// Checks one write entry and turns it into its requests. Returns 0, or why the entry cannot be
// written (1: path, bit number or host type; 16: a type that cannot be written; 17: a STRING longer
// than its capacity; 2). On failure the plan holds nothing; else release it with
// logix_write_plan_free.
uint8_t logix_write_prepare(const zelkc_logix_atomic_write* entry, logix_write_plan* plan);
void logix_write_plan_free(logix_write_plan* plan);
// Copies the data of request i into out (capacity bytes); *size gets its length.
uint8_t logix_write_request_bytes(const logix_write_plan* plan, uint32_t i, uint8_t* out, uint32_t capacity,
                                  uint32_t* size);
// The outcome of one write reply: 0 for general status 0, else ZELKC_LOGIX_ERR_DEVICE; `status`
// gets the reply's general and first extended status.
uint8_t logix_write_reply_result(const zelkc_cip_response* reply, zelkc_logix_read_status* status);

#ifdef __cplusplus
}
#endif

#endif
