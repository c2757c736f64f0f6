// Value reads: single atomic values, batches packed into Multiple Service Packets, atomic arrays,
// STRING structures and raw SINT/USINT bytes, the last three read in fragments.
#include <cstring>

#include "logix_internal.h"

namespace {

constexpr uint8_t kReadTag = 0x4C;
constexpr uint8_t kReadTagFragmented = 0x52;
const uint8_t kOneElement[2] = {0x01, 0x00};

} // namespace

extern "C" uint32_t logix_value_width(uint16_t type) {
    switch (type) {
    case ZELKC_LOGIX_TYPE_BOOL:
    case ZELKC_LOGIX_TYPE_SINT:
    case ZELKC_LOGIX_TYPE_USINT:
    case ZELKC_LOGIX_TYPE_BYTE:
        return 1;
    case ZELKC_LOGIX_TYPE_INT:
    case ZELKC_LOGIX_TYPE_UINT:
    case ZELKC_LOGIX_TYPE_WORD:
        return 2;
    case ZELKC_LOGIX_TYPE_DINT:
    case ZELKC_LOGIX_TYPE_UDINT:
    case ZELKC_LOGIX_TYPE_DWORD:
    case ZELKC_LOGIX_TYPE_REAL:
        return 4;
    case ZELKC_LOGIX_TYPE_LINT:
    case ZELKC_LOGIX_TYPE_ULINT:
    case ZELKC_LOGIX_TYPE_LWORD:
    case ZELKC_LOGIX_TYPE_LREAL:
        return 8;
    default:
        return 0;
    }
}

namespace {

// Element size of an array read; 0 for BOOL and the codes an array read refuses.
uint32_t array_element_size(uint16_t type) {
    switch (type) {
    case ZELKC_LOGIX_TYPE_SINT:
    case ZELKC_LOGIX_TYPE_USINT:
        return 1;
    case ZELKC_LOGIX_TYPE_INT:
    case ZELKC_LOGIX_TYPE_UINT:
        return 2;
    case ZELKC_LOGIX_TYPE_DINT:
    case ZELKC_LOGIX_TYPE_UDINT:
    case ZELKC_LOGIX_TYPE_REAL:
        return 4;
    case ZELKC_LOGIX_TYPE_LINT:
    case ZELKC_LOGIX_TYPE_ULINT:
    case ZELKC_LOGIX_TYPE_LREAL:
        return 8;
    default:
        return 0;
    }
}

// Sends one Read Tag Fragmented request for `elements` at byte `offset`.
uint8_t send_fragment_request(zelkc_logix_client* client, const zelkc_cip_buffer* path, uint16_t elements,
                              uint32_t offset, zelkc_cip_response* reply) {
    uint8_t data[6];
    logix_put16(data, elements);
    logix_put32(data + 2, offset);
    const zelkc_cip_request request = logix_make_request(kReadTagFragmented, path, data, sizeof data);
    std::memset(reply, 0, sizeof *reply);
    return zelkc_logix_send_cip_internal(client, &request, reply);
}

// Runs a fragmented read: `next_offset` gives each request's byte offset, `accept` takes each
// reply. Every reply is released before the next request.
template <typename Offset, typename Accept>
uint8_t fragment_loop(zelkc_logix_client* client, const zelkc_cip_buffer* path, uint16_t elements,
                      Offset next_offset, Accept accept) {
    for (;;) {
        zelkc_cip_response reply;
        uint8_t result = send_fragment_request(client, path, elements, next_offset(), &reply);
        bool done = false;
        if (result == ZELKC_LOGIX_OK) {
            result = accept(reply, &done);
        }
        zelkc_cip_response_free(&reply);
        if (result != ZELKC_LOGIX_OK || done) {
            return result;
        }
    }
}

} // namespace

extern "C" {

uint8_t read_atomic_response(const zelkc_cip_response* reply, zelkc_logix_value* out) {
    if (reply == nullptr || out == nullptr) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    if (reply->general_status != 0) {
        return ZELKC_LOGIX_ERR_DEVICE;
    }
    const uint8_t* data = reply->data.data;
    const uint32_t size = reply->data.size;
    if (data == nullptr || size < 3) {
        return ZELKC_LOGIX_ERR_BAD_REPLY;
    }
    const uint16_t type = logix_le16(data);
    out->type = type;
    const uint32_t width = logix_value_width(type);
    if (width == 0) {
        return ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE;
    }
    if (size - 2 < width) {
        return ZELKC_LOGIX_ERR_BAD_REPLY;
    }
    if (type == ZELKC_LOGIX_TYPE_BOOL) {
        // A controller reports a set BOOL as 0xFF; the record holds exactly 0 or 1.
        out->value.u8 = data[2] != 0 ? 1 : 0;
    } else {
        std::memcpy(out->value.raw, data + 2, width);
    }
    return ZELKC_LOGIX_OK;
}

uint8_t zelkc_logix_client_read_atomic_value(zelkc_logix_client* client, const char* tag,
                                             zelkc_logix_value* out) {
    if (client == nullptr || tag == nullptr || out == nullptr) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    zelkc_cip_buffer path;
    uint8_t result = zelkc_logix_path_build_tag_path(tag, &path);
    if (result == ZELKC_LOGIX_OK) {
        const zelkc_cip_request request =
            logix_make_request(kReadTag, &path, kOneElement, sizeof kOneElement);
        zelkc_cip_response reply;
        std::memset(&reply, 0, sizeof reply);
        result = zelkc_logix_send_cip_internal(client, &request, &reply);
        if (result == ZELKC_LOGIX_OK) {
            result = read_atomic_response(&reply, out);
        }
        zelkc_cip_response_free(&reply);
    }
    zelkc_cip_path_free(&path);
    return result;
}

void read_status_note(const zelkc_cip_response* reply, zelkc_logix_read_status* status) {
    if (status == nullptr) {
        return;
    }
    status->general_status = reply->general_status;
    status->extended_status =
        reply->additional_status.size >= 2 ? logix_le16(reply->additional_status.data) : 0;
    const uint8_t* data = reply->data.data;
    const bool structure =
        data != nullptr && reply->data.size >= 4 && logix_le16(data) == ZELKC_LOGIX_STRUCT_MARKER;
    status->struct_handle = structure ? logix_le16(data + 2) : 0;
}

uint8_t read_atomic_batch(zelkc_logix_client* client, const zelkc_cip_request* requests, const uint32_t* map,
                          uint32_t n, zelkc_logix_atomic_read* entries, zelkc_logix_read_status* statuses) {
    if (n == 1) {
        zelkc_cip_response reply;
        std::memset(&reply, 0, sizeof reply);
        zelkc_logix_atomic_read* entry = &entries[map[0]];
        uint8_t result = zelkc_logix_send_cip_internal(client, &requests[0], &reply);
        if (result != ZELKC_LOGIX_OK) {
            entry->result = result;
        } else {
            entry->result = read_atomic_response(&reply, &entry->value);
            read_status_note(&reply, statuses != nullptr ? &statuses[map[0]] : nullptr);
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
        result = read_atomic_batch(client, requests, map, first, entries, statuses);
        if (result != ZELKC_LOGIX_OK) {
            return result;
        }
        return read_atomic_batch(client, requests + first, map + first, n - first, entries, statuses);
    }
    if (result != ZELKC_LOGIX_OK) {
        zelkc_cip_multiple_response_free(&replies);
        for (uint32_t i = 0; i < n; ++i) {
            entries[map[i]].result = result;
        }
        return result;
    }
    if (replies.count != n || replies.responses == nullptr) {
        zelkc_cip_multiple_response_free(&replies);
        for (uint32_t i = 0; i < n; ++i) {
            entries[map[i]].result = ZELKC_LOGIX_ERR_BAD_REPLY;
        }
        return ZELKC_LOGIX_ERR_BAD_REPLY;
    }
    for (uint32_t i = 0; i < n; ++i) {
        zelkc_logix_atomic_read* entry = &entries[map[i]];
        entry->result = read_atomic_response(&replies.responses[i], &entry->value);
        read_status_note(&replies.responses[i], statuses != nullptr ? &statuses[map[i]] : nullptr);
    }
    zelkc_cip_multiple_response_free(&replies);
    // A device that miscounts one of the packed replies (an error reply a byte short shifts the
    // end of the packet) spoils that entry, not the others: each such entry is asked once more on
    // its own.
    for (uint32_t i = 0; i < n; ++i) {
        if (entries[map[i]].result == ZELKC_LOGIX_ERR_BAD_REPLY) {
            result = read_atomic_batch(client, &requests[i], &map[i], 1, entries, statuses);
            if (result != ZELKC_LOGIX_OK) {
                return result;
            }
        }
    }
    return ZELKC_LOGIX_OK;
}

uint8_t zelkc_logix_client_read_atomic_values(zelkc_logix_client* client, zelkc_logix_atomic_read* entries,
                                              uint32_t count) {
    return zelkc_logix_client_read_atomic_values_status(client, entries, count, nullptr);
}

uint8_t zelkc_logix_client_read_atomic_values_status(zelkc_logix_client* client,
                                                     zelkc_logix_atomic_read* entries, uint32_t count,
                                                     zelkc_logix_read_status* statuses) {
    if (statuses != nullptr && count != 0) {
        std::memset(statuses, 0, (size_t)count * sizeof *statuses);
    }
    if (client == nullptr || entries == nullptr || count == 0) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    auto* paths = static_cast<zelkc_cip_buffer*>(zelkc_cip_alloc((size_t)count * sizeof(zelkc_cip_buffer)));
    auto* requests =
        static_cast<zelkc_cip_request*>(zelkc_cip_alloc((size_t)count * sizeof(zelkc_cip_request)));
    auto* map = static_cast<uint32_t*>(zelkc_cip_alloc((size_t)count * sizeof(uint32_t)));
    if (paths == nullptr || requests == nullptr || map == nullptr) {
        zelkc_cip_free(paths);
        zelkc_cip_free(requests);
        zelkc_cip_free(map);
        return ZELKC_LOGIX_ERR_NO_MEMORY;
    }
    uint32_t prepared = 0;
    for (uint32_t i = 0; i < count; ++i) {
        zelkc_logix_atomic_read* entry = &entries[i];
        std::memset(&entry->value, 0, sizeof entry->value);
        zelkc_cip_path_init(&paths[i]); // a null tag leaves the builder's output untouched
        const uint8_t rc = zelkc_logix_path_build_tag_path(entry->tag, &paths[i]);
        if (rc != ZELKC_LOGIX_OK) {
            entry->result = rc;
            zelkc_cip_path_free(&paths[i]);
            continue;
        }
        entry->result = ZELKC_LOGIX_ERR_UNKNOWN;
        requests[prepared] = logix_make_request(kReadTag, &paths[i], kOneElement, sizeof kOneElement);
        map[prepared] = i;
        ++prepared;
    }
    // Over a connection the whole batch is one group: the packets are filled to the connection's
    // size, and split where their replies would not fit it.
    const uint32_t group = client->cip->connection.size != 0 ? prepared : ZELKC_LOGIX_BATCH_GROUP;
    uint8_t result = ZELKC_LOGIX_OK;
    for (uint32_t start = 0; start < prepared;) {
        uint32_t n = prepared - start;
        if (n > group) {
            n = group;
        }
        result = read_atomic_batch(client, requests + start, map + start, n, entries, statuses);
        if (result != ZELKC_LOGIX_OK) {
            // This group's unsent part and every later group carry the failure.
            for (uint32_t k = start; k < prepared; ++k) {
                if (entries[map[k]].result == ZELKC_LOGIX_ERR_UNKNOWN) {
                    entries[map[k]].result = result;
                }
            }
            break;
        }
        start += n;
    }
    for (uint32_t i = 0; i < count; ++i) {
        zelkc_cip_path_free(&paths[i]);
    }
    zelkc_cip_free(paths);
    zelkc_cip_free(requests);
    zelkc_cip_free(map);
    return result;
}

uint8_t zelkc_logix_array_fragment_accept(zelkc_logix_array_read* read, uint8_t general_status,
                                          const uint8_t* data, uint32_t size, bool* done) {
    *done = false;
    if (general_status != 0 && general_status != 6) {
        return ZELKC_LOGIX_ERR_DEVICE;
    }
    if (data == nullptr || size < 3) {
        return ZELKC_LOGIX_ERR_BAD_REPLY;
    }
    const uint16_t type = logix_le16(data);
    zelkc_logix_value_array* out = read->out;
    if (out->data == nullptr) {
        if (type == ZELKC_LOGIX_TYPE_BOOL) {
            return ZELKC_LOGIX_ERR_NOT_SUPPORTED;
        }
        const uint32_t element_size = array_element_size(type);
        if (element_size == 0) {
            return ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE;
        }
        const uint32_t total = read->count * element_size; // count <= 65535, no overflow
        out->data = static_cast<uint8_t*>(zelkc_cip_alloc(total));
        if (out->data == nullptr) {
            return ZELKC_LOGIX_ERR_NO_MEMORY;
        }
        out->type = type;
        out->count = read->count;
        read->total = total;
        read->offset = 0;
    } else if (type != out->type) {
        return ZELKC_LOGIX_ERR_BAD_REPLY;
    }
    const uint32_t fragment = size - 2;
    if (fragment > read->total - read->offset) {
        return ZELKC_LOGIX_ERR_BAD_REPLY;
    }
    std::memcpy(out->data + read->offset, data + 2, fragment);
    read->offset += fragment;
    if (general_status == 0) {
        if (read->offset != read->total) {
            return ZELKC_LOGIX_ERR_BAD_REPLY;
        }
        *done = true;
        return ZELKC_LOGIX_OK;
    }
    // Partial with nothing left to fill cannot be right.
    return read->offset == read->total ? ZELKC_LOGIX_ERR_BAD_REPLY : ZELKC_LOGIX_OK;
}

uint8_t zelkc_logix_client_read_atomic_array(zelkc_logix_client* client, const char* tag, uint32_t count,
                                             zelkc_logix_value_array* out) {
    if (out != nullptr) {
        std::memset(out, 0, sizeof *out);
    }
    if (client == nullptr || tag == nullptr || out == nullptr || count == 0 ||
        count > ZELKC_LOGIX_MAX_ARRAY_COUNT) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    zelkc_cip_buffer path;
    uint8_t result = zelkc_logix_path_build_tag_path(tag, &path);
    if (result == ZELKC_LOGIX_OK) {
        zelkc_logix_array_read read;
        std::memset(&read, 0, sizeof read);
        read.out = out;
        read.count = count;
        result = fragment_loop(
            client, &path, (uint16_t)count, [&] { return read.offset; },
            [&](const zelkc_cip_response& reply, bool* done) {
                return zelkc_logix_array_fragment_accept(&read, reply.general_status, reply.data.data,
                                                         reply.data.size, done);
            });
    }
    zelkc_cip_path_free(&path);
    if (result != ZELKC_LOGIX_OK) {
        zelkc_logix_value_array_free(out);
    }
    return result;
}

uint8_t zelkc_logix_string_fragment_accept(zelkc_logix_string_read* read, uint8_t general_status,
                                           const uint8_t* data, uint32_t size, bool* done) {
    *done = false;
    if (general_status != 0 && general_status != 6) {
        return ZELKC_LOGIX_ERR_DEVICE;
    }
    // The form: a Logix structure (marker, handle, 32-bit LEN) or a CIP string type (its code, then
    // a 16-bit or 8-bit length); the characters follow the length in each.
    const uint16_t type = data != nullptr && size >= 2 ? logix_le16(data) : 0;
    uint32_t prefix = 2;
    uint8_t len_size = 0;
    uint16_t handle = 0;
    if (type == ZELKC_LOGIX_STRUCT_MARKER && size >= 4) {
        prefix = 4;
        len_size = 4;
        handle = logix_le16(data + 2);
    } else if (type == ZELKC_LOGIX_TYPE_CIP_STRING) {
        len_size = 2;
    } else if (type == ZELKC_LOGIX_TYPE_SHORT_STRING) {
        len_size = 1;
    } else {
        return ZELKC_LOGIX_ERR_TYPE_MISMATCH;
    }
    if (!read->started) {
        read->started = true;
        read->handle = handle;
        read->type = type;
        read->len_size = len_size;
    } else if (type != read->type || handle != read->handle) {
        return ZELKC_LOGIX_ERR_BAD_REPLY;
    }
    const uint32_t payload_size = size - prefix;
    if (payload_size == 0 || payload_size > UINT32_MAX - read->offset) {
        return ZELKC_LOGIX_ERR_BAD_REPLY;
    }
    const uint8_t* payload = data + prefix;
    read->offset += payload_size;
    uint32_t pos = 0;
    const bool len_was_complete = read->len_have == len_size;
    while (read->len_have < len_size && pos < payload_size) {
        read->len_bytes[read->len_have++] = payload[pos++];
    }
    if (read->len_have < len_size) {
        return general_status == 0 ? ZELKC_LOGIX_ERR_BAD_REPLY : ZELKC_LOGIX_OK;
    }
    if (!len_was_complete) {
        const uint32_t len = len_size == 4   ? logix_le32(read->len_bytes)
                             : len_size == 2 ? logix_le16(read->len_bytes)
                                             : read->len_bytes[0];
        if (len > ZELKC_LOGIX_MAX_STRING_LENGTH) {
            return ZELKC_LOGIX_ERR_BAD_REPLY;
        }
        read->length = len;
        if (len >= read->capacity) {
            return ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL;
        }
    }
    uint32_t wanted = read->length - read->copied;
    uint32_t available = payload_size - pos;
    uint32_t take = wanted < available ? wanted : available;
    std::memcpy(read->buf + read->copied, payload + pos, take);
    read->copied += take;
    if (read->copied == read->length) {
        read->buf[read->copied] = '\0';
        *done = true;
        return ZELKC_LOGIX_OK;
    }
    return general_status == 0 ? ZELKC_LOGIX_ERR_BAD_REPLY : ZELKC_LOGIX_OK;
}

uint8_t zelkc_logix_client_read_string_value(zelkc_logix_client* client, const char* tag, char* buf,
                                             uint32_t capacity, uint32_t* length) {
    if (client == nullptr || tag == nullptr || buf == nullptr || length == nullptr || capacity == 0) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    buf[0] = '\0';
    *length = 0;
    zelkc_cip_buffer path;
    uint8_t result = zelkc_logix_path_build_tag_path(tag, &path);
    zelkc_logix_string_read read;
    std::memset(&read, 0, sizeof read);
    read.buf = buf;
    read.capacity = capacity;
    if (result == ZELKC_LOGIX_OK) {
        result = fragment_loop(
            client, &path, 1, [&] { return read.offset; },
            [&](const zelkc_cip_response& reply, bool* done) {
                return zelkc_logix_string_fragment_accept(&read, reply.general_status, reply.data.data,
                                                          reply.data.size, done);
            });
    }
    zelkc_cip_path_free(&path);
    if (result == ZELKC_LOGIX_OK) {
        *length = read.length;
    } else {
        buf[0] = '\0';
        // The size needed is reported when the buffer was too small.
        *length = result == ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL ? read.length : 0;
    }
    return result;
}

uint8_t zelkc_logix_bytes_fragment_accept(zelkc_logix_bytes_read* read, uint8_t general_status,
                                          const uint8_t* data, uint32_t size, bool* done) {
    *done = false;
    if (general_status != 0 && general_status != 6) {
        return ZELKC_LOGIX_ERR_DEVICE;
    }
    if (data == nullptr || size <= 1) {
        return ZELKC_LOGIX_ERR_BAD_REPLY;
    }
    const uint16_t type = logix_le16(data);
    if (type != ZELKC_LOGIX_TYPE_SINT && type != ZELKC_LOGIX_TYPE_USINT) {
        return ZELKC_LOGIX_ERR_TYPE_MISMATCH;
    }
    if (!read->started) {
        read->started = true;
        read->type = type;
    } else if (type != read->type) {
        return ZELKC_LOGIX_ERR_BAD_REPLY;
    }
    const uint32_t fragment = size - 2;
    if (fragment == 0) {
        return ZELKC_LOGIX_ERR_BAD_REPLY;
    }
    if (fragment > read->size - read->received) {
        return ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL;
    }
    std::memcpy(read->buf + read->received, data + 2, fragment);
    read->received += fragment;
    if (general_status == 0) {
        if (read->received != read->size) {
            return ZELKC_LOGIX_ERR_BAD_REPLY;
        }
        *done = true;
        return ZELKC_LOGIX_OK;
    }
    // The tag holds more bytes than were asked for.
    return read->received == read->size ? ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL : ZELKC_LOGIX_OK;
}

uint8_t zelkc_logix_client_read_bytes(zelkc_logix_client* client, const char* tag, uint8_t* buf,
                                      uint32_t size, uint32_t* length) {
    if (client == nullptr || tag == nullptr || buf == nullptr || length == nullptr || size == 0 ||
        size > ZELKC_LOGIX_MAX_ARRAY_COUNT) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    *length = 0;
    zelkc_cip_buffer path;
    uint8_t result = zelkc_logix_path_build_tag_path(tag, &path);
    if (result == ZELKC_LOGIX_OK) {
        zelkc_logix_bytes_read read;
        std::memset(&read, 0, sizeof read);
        read.buf = buf;
        read.size = size;
        result = fragment_loop(
            client, &path, (uint16_t)size, [&] { return read.received; },
            [&](const zelkc_cip_response& reply, bool* done) {
                uint8_t rc = zelkc_logix_bytes_fragment_accept(&read, reply.general_status, reply.data.data,
                                                               reply.data.size, done);
                *length = read.received;
                return rc;
            });
    }
    zelkc_cip_path_free(&path);
    return result;
}

} // extern "C"
