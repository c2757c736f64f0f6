// Value writes: Write Tag for atomic values and BOOLs by name, Read-Modify-Write for single bits of
// integers and elements of BOOL arrays, and STRINGs as their DATA then LEN, all packed into
// Multiple Service Packets as the batch read packs its requests.
#include <cstring>

#include "logix_internal.h"

namespace {

constexpr uint8_t kWriteTag = 0x4D;
constexpr uint8_t kReadModifyWrite = 0x4E;

bool is_integer(uint16_t type) {
    return logix_value_width(type) != 0 && type != ZELKC_LOGIX_TYPE_BOOL && type != ZELKC_LOGIX_TYPE_REAL &&
           type != ZELKC_LOGIX_TYPE_LREAL;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Reads the decimal number in [p, end) into *out; false when it is empty, not all digits or too big.
bool decimal(const char* p, const char* end, uint32_t* out) {
    if (p == end) {
        return false;
    }
    uint64_t v = 0;
    for (; p != end; ++p) {
        if (!is_digit(*p)) {
            return false;
        }
        v = v * 10 + (uint64_t)(*p - '0');
        if (v > 0xFFFFFFFFu) {
            return false;
        }
    }
    *out = (uint32_t)v;
    return true;
}

void put_mask_bit(uint8_t* mask, uint32_t bit, bool one) {
    if (one) {
        mask[bit / 8] = (uint8_t)(mask[bit / 8] | (1u << (bit % 8)));
    } else {
        mask[bit / 8] = (uint8_t)(mask[bit / 8] & ~(1u << (bit % 8)));
    }
}

// Request 0 of `plan` as a Read-Modify-Write of `width` bytes that sets (or clears) bit `bit` and
// keeps every other: an OR mask with only that bit (or none), an AND mask with every bit but it (or
// all).
void put_bit_masks(logix_write_plan* plan, uint32_t width, uint32_t bit, bool on) {
    uint8_t* d = plan->data[0];
    logix_put16(d, (uint16_t)width);
    std::memset(d + 2, 0x00, width);         // OR mask
    std::memset(d + 2 + width, 0xFF, width); // AND mask
    put_mask_bit(d + 2, bit, on);
    put_mask_bit(d + 2 + width, bit, on);
    plan->service[0] = kReadModifyWrite;
    plan->head_size[0] = 2 + 2 * width;
    plan->count = 1;
}

// `path` followed by `suffix`, NUL-terminated, through the library's allocator; null on failure.
char* joined(const char* path, const char* suffix) {
    const size_t a = std::strlen(path);
    const size_t b = std::strlen(suffix);
    char* out = static_cast<char*>(zelkc_cip_alloc(a + b + 1));
    if (out != nullptr) {
        std::memcpy(out, path, a);
        std::memcpy(out + a, suffix, b + 1);
    }
    return out;
}

// Builds the EPATH of `text` (its first `length` bytes) into `out`.
uint8_t build_path(const char* text, size_t length, zelkc_cip_buffer* out) {
    char* copy = logix_strndup(text, length);
    if (copy == nullptr) {
        zelkc_cip_path_init(out);
        return ZELKC_LOGIX_ERR_NO_MEMORY;
    }
    const uint8_t result = zelkc_logix_path_build_tag_path(copy, out);
    zelkc_cip_free(copy);
    return result;
}

} // namespace

extern "C" {

uint8_t logix_write_prepare(const zelkc_logix_atomic_write* entry, logix_write_plan* plan) {
    std::memset(plan, 0, sizeof *plan);
    for (auto& path : plan->paths) {
        zelkc_cip_path_init(&path);
    }
    if (entry == nullptr || entry->tag == nullptr || entry->tag[0] == '\0') {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    const char* tag = entry->tag;
    const size_t length = std::strlen(tag);
    const uint16_t type = entry->value.type;
    uint8_t result = ZELKC_LOGIX_OK;

    if (type == ZELKC_LOGIX_STRUCT_MARKER) {
        if (entry->text == nullptr && entry->text_length != 0) {
            return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
        }
        if (entry->text_length > entry->capacity || entry->text_length > ZELKC_LOGIX_MAX_STRING_LENGTH) {
            return ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL;
        }
        // DATA first, then LEN: a reader between the two sees the old length over new characters,
        // never a length that runs past what was written. An empty text writes LEN alone.
        char* data_path = joined(tag, ".DATA");
        char* len_path = joined(tag, ".LEN");
        if (data_path == nullptr || len_path == nullptr) {
            result = ZELKC_LOGIX_ERR_NO_MEMORY;
        }
        if (result == ZELKC_LOGIX_OK && entry->text_length != 0) {
            result = zelkc_logix_path_build_tag_path(data_path, &plan->paths[plan->count]);
            if (result == ZELKC_LOGIX_OK) {
                uint8_t* head = plan->data[plan->count];
                logix_put16(head, ZELKC_LOGIX_TYPE_SINT);
                logix_put16(head + 2, (uint16_t)entry->text_length);
                plan->service[plan->count] = kWriteTag;
                plan->head_size[plan->count] = 4;
                plan->tail[plan->count] = reinterpret_cast<const uint8_t*>(entry->text);
                plan->tail_size[plan->count] = entry->text_length;
                ++plan->count;
            }
        }
        if (result == ZELKC_LOGIX_OK) {
            result = zelkc_logix_path_build_tag_path(len_path, &plan->paths[plan->count]);
            if (result == ZELKC_LOGIX_OK) {
                uint8_t* head = plan->data[plan->count];
                logix_put16(head, ZELKC_LOGIX_TYPE_DINT);
                logix_put16(head + 2, 1);
                logix_put32(head + 4, entry->text_length);
                plan->service[plan->count] = kWriteTag;
                plan->head_size[plan->count] = 8;
                ++plan->count;
            }
        }
        zelkc_cip_free(data_path);
        zelkc_cip_free(len_path);
        if (result != ZELKC_LOGIX_OK) {
            logix_write_plan_free(plan);
        }
        return result;
    }

    const uint32_t width = logix_value_width(type);
    if (width == 0) {
        return ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE;
    }
    if (type == ZELKC_LOGIX_TYPE_BOOL) {
        const bool on = entry->value.value.u8 != 0;
        const char* dot = std::strrchr(tag, '.');
        uint32_t bit = 0;
        if (dot != nullptr && dot != tag && decimal(dot + 1, tag + length, &bit)) {
            // Bit N of the integer before the dot: Read-Modify-Write with masks of its width.
            const uint16_t host = entry->host_type;
            if (!is_integer(host)) {
                return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
            }
            const uint32_t host_width = logix_value_width(host);
            if (bit >= host_width * 8) {
                return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
            }
            result = build_path(tag, (size_t)(dot - tag), &plan->paths[0]);
            if (result != ZELKC_LOGIX_OK) {
                logix_write_plan_free(plan);
                return result;
            }
            put_bit_masks(plan, host_width, bit, on);
            return ZELKC_LOGIX_OK;
        }
        if (length > 1 && tag[length - 1] == ']') {
            // An element of a BOOL array: the controller keeps them in 32-bit words; the element's
            // own path names the word, the masks its bit.
            const char* open = std::strrchr(tag, '[');
            const char* last = open;
            for (const char* p = open; p != nullptr && p < tag + length - 1; ++p) {
                if (*p == ',') {
                    last = p;
                }
            }
            uint32_t index = 0;
            if (open == nullptr || !decimal(last + 1, tag + length - 1, &index)) {
                return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
            }
            result = zelkc_logix_path_build_tag_path(tag, &plan->paths[0]);
            if (result != ZELKC_LOGIX_OK) {
                logix_write_plan_free(plan);
                return result;
            }
            put_bit_masks(plan, 4, index % 32, on);
            return ZELKC_LOGIX_OK;
        }
    }
    // A whole atomic value by name (a BOOL member included: the controller sets its host's bit).
    result = zelkc_logix_path_build_tag_path(tag, &plan->paths[0]);
    if (result != ZELKC_LOGIX_OK) {
        logix_write_plan_free(plan);
        return result;
    }
    uint8_t* d = plan->data[0];
    logix_put16(d, type);
    logix_put16(d + 2, 1);
    if (type == ZELKC_LOGIX_TYPE_BOOL) {
        d[4] = entry->value.value.u8 != 0 ? 1 : 0;
    } else {
        std::memcpy(d + 4, entry->value.value.raw, width);
    }
    plan->service[0] = kWriteTag;
    plan->head_size[0] = 4 + width;
    plan->count = 1;
    return ZELKC_LOGIX_OK;
}

void logix_write_plan_free(logix_write_plan* plan) {
    for (auto& path : plan->paths) {
        zelkc_cip_path_free(&path);
    }
    plan->count = 0;
}

uint8_t logix_write_request_bytes(const logix_write_plan* plan, uint32_t i, uint8_t* out, uint32_t capacity,
                                  uint32_t* size) {
    const uint32_t n = plan->head_size[i] + plan->tail_size[i];
    *size = n;
    if (n > capacity) {
        return ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL;
    }
    std::memcpy(out, plan->data[i], plan->head_size[i]);
    if (plan->tail_size[i] != 0) {
        std::memcpy(out + plan->head_size[i], plan->tail[i], plan->tail_size[i]);
    }
    return ZELKC_LOGIX_OK;
}

uint8_t logix_write_reply_result(const zelkc_cip_response* reply, zelkc_logix_read_status* status) {
    read_status_note(reply, status);
    status->struct_handle = 0;
    return reply->general_status == 0 ? ZELKC_LOGIX_OK : ZELKC_LOGIX_ERR_DEVICE;
}

} // extern "C"

namespace {

// One prepared request of the batch: whose entry it is.
struct Sent {
    uint32_t entry;
};

// Takes request i's reply into its entry: the first failure of an entry's requests decides it.
void settle(zelkc_logix_atomic_write* entry, uint8_t result, const zelkc_logix_read_status& status) {
    if (entry->result == ZELKC_LOGIX_ERR_UNKNOWN || entry->result == ZELKC_LOGIX_OK) {
        if (result != ZELKC_LOGIX_OK || entry->result == ZELKC_LOGIX_ERR_UNKNOWN) {
            entry->result = result;
            entry->status = status;
        }
    }
}

// Sends n prepared requests as one unit, halving the group when a request does not fit a packet
// (the packet layer says so before sending anything).
uint8_t write_batch(zelkc_logix_client* client, const zelkc_cip_request* requests, const uint32_t* map,
                    uint32_t n, zelkc_logix_atomic_write* entries, bool* sent) {
    if (n == 1) {
        zelkc_cip_response reply;
        std::memset(&reply, 0, sizeof reply);
        const uint8_t result = zelkc_logix_send_cip_internal(client, &requests[0], &reply);
        zelkc_logix_read_status status;
        std::memset(&status, 0, sizeof status);
        if (result == ZELKC_LOGIX_OK) {
            sent[0] = true;
            settle(&entries[map[0]], logix_write_reply_result(&reply, &status), status);
        }
        zelkc_cip_response_free(&reply);
        return result;
    }
    zelkc_cip_multiple_response replies;
    std::memset(&replies, 0, sizeof replies);
    uint8_t result = zelkc_logix_send_multiple_cip_internal(client, requests, n, &replies);
    if (result == ZELKC_LOGIX_ERR_LIMIT) {
        zelkc_cip_multiple_response_free(&replies);
        const uint32_t first = n / 2;
        result = write_batch(client, requests, map, first, entries, sent);
        if (result != ZELKC_LOGIX_OK) {
            return result;
        }
        return write_batch(client, requests + first, map + first, n - first, entries, sent + first);
    }
    if (result == ZELKC_LOGIX_OK && (replies.count != n || replies.responses == nullptr)) {
        result = ZELKC_LOGIX_ERR_BAD_REPLY;
    }
    if (result == ZELKC_LOGIX_OK) {
        for (uint32_t i = 0; i < n; ++i) {
            zelkc_logix_read_status status;
            std::memset(&status, 0, sizeof status);
            sent[i] = true;
            settle(&entries[map[i]], logix_write_reply_result(&replies.responses[i], &status), status);
        }
    }
    zelkc_cip_multiple_response_free(&replies);
    return result;
}

} // namespace

extern "C" {

uint8_t zelkc_logix_client_write_values(zelkc_logix_client* client, zelkc_logix_atomic_write* entries,
                                        uint32_t count) {
    const bool valid = client != nullptr && entries != nullptr && count != 0 && count <= ZELKC_LOGIX_MAX_WRITES;
    if (entries != nullptr) {
        for (uint32_t i = 0; i < count; ++i) {
            entries[i].result = valid ? ZELKC_LOGIX_ERR_UNKNOWN : ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
            std::memset(&entries[i].status, 0, sizeof entries[i].status);
        }
    }
    if (!valid) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    if (!zelkc_logix_client_is_connected(client)) {
        for (uint32_t i = 0; i < count; ++i) {
            entries[i].result = ZELKC_LOGIX_ERR_NOT_CONNECTED;
        }
        return ZELKC_LOGIX_ERR_NOT_CONNECTED;
    }
    const size_t slots = (size_t)count * LOGIX_WRITE_MAX_REQUESTS;
    auto* plans = static_cast<logix_write_plan*>(zelkc_cip_alloc((size_t)count * sizeof(logix_write_plan)));
    auto* requests = static_cast<zelkc_cip_request*>(zelkc_cip_alloc(slots * sizeof(zelkc_cip_request)));
    auto* bodies = static_cast<uint8_t**>(zelkc_cip_alloc(slots * sizeof(uint8_t*)));
    auto* map = static_cast<uint32_t*>(zelkc_cip_alloc(slots * sizeof(uint32_t)));
    auto* sent = static_cast<bool*>(zelkc_cip_alloc(slots * sizeof(bool)));
    uint8_t result = ZELKC_LOGIX_OK;
    if (plans == nullptr || requests == nullptr || bodies == nullptr || map == nullptr || sent == nullptr) {
        result = ZELKC_LOGIX_ERR_NO_MEMORY;
    }
    uint32_t planned = 0;
    uint32_t prepared = 0;
    for (uint32_t i = 0; result == ZELKC_LOGIX_OK && i < count; ++i) {
        const uint8_t rc = logix_write_prepare(&entries[i], &plans[i]);
        planned = i + 1;
        if (rc == ZELKC_LOGIX_ERR_NO_MEMORY) {
            result = rc;
            break;
        }
        if (rc != ZELKC_LOGIX_OK) {
            entries[i].result = rc;
            continue;
        }
        for (uint32_t k = 0; k < plans[i].count; ++k) {
            uint32_t size = plans[i].head_size[k] + plans[i].tail_size[k];
            bodies[prepared] = static_cast<uint8_t*>(zelkc_cip_alloc(size));
            if (bodies[prepared] == nullptr) {
                result = ZELKC_LOGIX_ERR_NO_MEMORY;
                break;
            }
            logix_write_request_bytes(&plans[i], k, bodies[prepared], size, &size);
            requests[prepared] =
                logix_make_request(plans[i].service[k], &plans[i].paths[k], bodies[prepared], size);
            map[prepared] = i;
            sent[prepared] = false;
            ++prepared;
        }
    }
    if (result == ZELKC_LOGIX_OK) {
        // As the batch read: over a connection the whole batch is one group, filled to the
        // connection's size; unconnected, groups of ZELKC_LOGIX_BATCH_GROUP requests.
        const uint32_t group = client->cip->connection.size != 0 ? prepared : ZELKC_LOGIX_BATCH_GROUP;
        for (uint32_t start = 0; start < prepared;) {
            uint32_t n = prepared - start;
            if (n > group) {
                n = group;
            }
            // A STRING's two requests stay in one group.
            if (start + n < prepared && n > 1 && map[start + n] == map[start + n - 1]) {
                --n;
            }
            result = write_batch(client, requests + start, map + start, n, entries, sent + start);
            if (result != ZELKC_LOGIX_OK) {
                break;
            }
            start += n;
        }
        if (result != ZELKC_LOGIX_OK) {
            // Entries whose requests did not all get a reply carry the failure: the controller
            // may or may not have taken them.
            for (uint32_t k = 0; k < prepared; ++k) {
                zelkc_logix_atomic_write* entry = &entries[map[k]];
                if (!sent[k] && (entry->result == ZELKC_LOGIX_ERR_UNKNOWN || entry->result == ZELKC_LOGIX_OK)) {
                    entry->result = result;
                }
            }
        }
    } else {
        for (uint32_t i = 0; i < count; ++i) {
            if (entries[i].result == ZELKC_LOGIX_ERR_UNKNOWN) {
                entries[i].result = result;
            }
        }
    }
    for (uint32_t k = 0; k < prepared; ++k) {
        zelkc_cip_free(bodies[k]);
    }
    for (uint32_t i = 0; i < planned; ++i) {
        logix_write_plan_free(&plans[i]);
    }
    zelkc_cip_free(plans);
    zelkc_cip_free(requests);
    zelkc_cip_free(bodies);
    zelkc_cip_free(map);
    zelkc_cip_free(sent);
    return result;
}

uint8_t zelkc_logix_client_write_value(zelkc_logix_client* client, zelkc_logix_atomic_write* entry) {
    const uint8_t result = zelkc_logix_client_write_values(client, entry, 1);
    return entry != nullptr ? entry->result : result;
}

} // extern "C"
