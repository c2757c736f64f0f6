// Byte buffers, EPATH segment builders, request encoding and reply parsing.
#include "zelkc_cip_internal.h"

#include <string.h>

const uint8_t zelkc_cip_message_router_path[4] = {0x20, 0x02, 0x24, 0x01};
const uint8_t zelkc_cip_connection_manager_path[4] = {0x20, 0x06, 0x24, 0x01};

static const uint32_t kFirstPathCapacity = 16;
static const uint32_t kMaxPathSize = 510;     // the word count is one byte
static const uint32_t kMaxSymbolLength = 255; // the length is one byte

uint8_t zelkc_cip_buffer_reserve(zelkc_cip_buffer* buffer, uint32_t extra, uint32_t first_capacity) {
    if (extra > UINT32_MAX - buffer->size)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    const uint32_t needed = buffer->size + extra;
    if (needed <= buffer->capacity)
        return ZELKC_CIP_OK;
    uint32_t capacity = buffer->capacity != 0 ? buffer->capacity : first_capacity;
    while (capacity < needed) {
        if (capacity & 0x80000000u) {
            capacity = needed;
            break;
        }
        capacity *= 2;
    }
    auto* data = static_cast<uint8_t*>(zelkc_cip_realloc(buffer->data, capacity));
    if (data == nullptr)
        return ZELKC_CIP_ERR_NO_MEMORY;
    buffer->data = data;
    buffer->capacity = capacity;
    return ZELKC_CIP_OK;
}

uint8_t zelkc_cip_buffer_append(zelkc_cip_buffer* buffer, const uint8_t* bytes, uint32_t length,
                                uint32_t first_capacity) {
    uint8_t rc = zelkc_cip_buffer_reserve(buffer, length, first_capacity);
    if (rc != ZELKC_CIP_OK)
        return rc;
    if (length != 0)
        memcpy(buffer->data + buffer->size, bytes, length);
    buffer->size += length;
    return ZELKC_CIP_OK;
}

uint8_t zelkc_cip_buffer_copy_exact(zelkc_cip_buffer* out, const uint8_t* bytes, uint32_t size) {
    zelkc_cip_path_init(out);
    if (size == 0)
        return ZELKC_CIP_OK;
    auto* data = static_cast<uint8_t*>(zelkc_cip_alloc(size));
    if (data == nullptr)
        return ZELKC_CIP_ERR_NO_MEMORY;
    memcpy(data, bytes, size);
    out->data = data;
    out->size = size;
    return ZELKC_CIP_OK;
}

void zelkc_cip_path_init(zelkc_cip_buffer* path) {
    if (path == nullptr)
        return;
    path->data = nullptr;
    path->size = 0;
    path->capacity = 0;
}

void zelkc_cip_path_free(zelkc_cip_buffer* path) {
    if (path == nullptr)
        return;
    zelkc_cip_free(path->data);
    zelkc_cip_path_init(path);
}

// Appends `length` bytes of one segment; the path is unchanged on failure.
static uint8_t append(zelkc_cip_buffer* path, const uint8_t* segment, uint32_t length) {
    return zelkc_cip_buffer_append(path, segment, length, kFirstPathCapacity);
}

uint8_t zelkc_cip_path_add_logical(zelkc_cip_buffer* path, uint8_t segment_type, uint32_t value) {
    if (path == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    uint8_t segment[6];
    uint32_t length;
    if (value < 0x100u) {
        segment[0] = segment_type;
        segment[1] = static_cast<uint8_t>(value);
        length = 2;
    } else if (value < 0x10000u) {
        segment[0] = static_cast<uint8_t>(segment_type + 1);
        segment[1] = 0x00;
        zelkc_cip_put_u16(segment + 2, static_cast<uint16_t>(value));
        length = 4;
    } else {
        segment[0] = static_cast<uint8_t>(segment_type + 2);
        segment[1] = 0x00;
        zelkc_cip_put_u32(segment + 2, value);
        length = 6;
    }
    return append(path, segment, length);
}

uint8_t zelkc_cip_path_add_class(zelkc_cip_buffer* path, uint32_t class_id) {
    return zelkc_cip_path_add_logical(path, ZELKC_CIP_SEGMENT_CLASS, class_id);
}
uint8_t zelkc_cip_path_add_instance(zelkc_cip_buffer* path, uint32_t instance) {
    return zelkc_cip_path_add_logical(path, ZELKC_CIP_SEGMENT_INSTANCE, instance);
}
uint8_t zelkc_cip_path_add_element(zelkc_cip_buffer* path, uint32_t element) {
    return zelkc_cip_path_add_logical(path, ZELKC_CIP_SEGMENT_ELEMENT, element);
}
uint8_t zelkc_cip_path_add_attribute(zelkc_cip_buffer* path, uint32_t attribute) {
    return zelkc_cip_path_add_logical(path, ZELKC_CIP_SEGMENT_ATTRIBUTE, attribute);
}

uint8_t zelkc_cip_path_add_ansi_symbol(zelkc_cip_buffer* path, const char* name) {
    if (path == nullptr || name == nullptr || name[0] == '\0')
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    // Look no further than one byte past the limit: a longer name is refused whatever its length.
    size_t length = strnlen(name, kMaxSymbolLength + 1);
    if (length > kMaxSymbolLength)
        return ZELKC_CIP_ERR_TOO_LARGE;
    uint8_t segment[2 + kMaxSymbolLength + 1];
    segment[0] = 0x91;
    segment[1] = static_cast<uint8_t>(length);
    memcpy(segment + 2, name, length);
    uint32_t total = 2 + static_cast<uint32_t>(length);
    if (length % 2 != 0)
        segment[total++] = 0x00;
    return append(path, segment, total);
}

uint8_t zelkc_cip_request_encode(const zelkc_cip_request* request, zelkc_cip_buffer* out) {
    if (out == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    zelkc_cip_path_init(out);
    if (request == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    if ((request->path_size != 0 && request->path == nullptr) || request->path_size % 2 != 0 ||
        (request->data_size != 0 && request->data == nullptr))
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    if (request->path_size > kMaxPathSize || request->data_size > 0xFFFFFFFDu - request->path_size)
        return ZELKC_CIP_ERR_TOO_LARGE;
    const uint32_t size = 2 + request->path_size + request->data_size;
    auto* data = static_cast<uint8_t*>(zelkc_cip_alloc(size));
    if (data == nullptr)
        return ZELKC_CIP_ERR_NO_MEMORY;
    data[0] = request->service;
    data[1] = static_cast<uint8_t>(request->path_size / 2);
    if (request->path_size != 0)
        memcpy(data + 2, request->path, request->path_size);
    if (request->data_size != 0)
        memcpy(data + 2 + request->path_size, request->data, request->data_size);
    out->data = data;
    out->size = size;
    return ZELKC_CIP_OK;
}

uint8_t zelkc_cip_response_parse(const uint8_t* bytes, uint32_t length, zelkc_cip_response* response) {
    if (response == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    memset(response, 0, sizeof *response);
    if (bytes == nullptr)
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    if (length < 3)
        return ZELKC_CIP_ERR_BAD_REPLY;
    // Some devices miscount their error replies and leave off the last byte (the size of the
    // additional status, or its last byte). An error reply carries no data, so its general status
    // and the whole words of additional status that did arrive are still read; a success reply cut
    // short is refused.
    const bool error = bytes[2] != ZELKC_CIP_GENERAL_STATUS_SUCCESS &&
                       bytes[2] != ZELKC_CIP_GENERAL_STATUS_PARTIAL_TRANSFER;
    const uint32_t present = length < 4 ? 0 : length - 4;
    uint32_t status_bytes = length < 4 ? 0 : 2u * bytes[3];
    uint32_t data_offset = 4 + status_bytes;
    if (length < 4 || present < status_bytes) {
        if (!error)
            return ZELKC_CIP_ERR_BAD_REPLY;
        status_bytes = present & ~1u;
        data_offset = length;
    }
    response->service = bytes[0];
    response->reserved = bytes[1];
    response->general_status = bytes[2];
    if (zelkc_cip_buffer_copy_exact(&response->additional_status, bytes + 4, status_bytes) != ZELKC_CIP_OK ||
        zelkc_cip_buffer_copy_exact(&response->data, bytes + data_offset, length - data_offset) !=
            ZELKC_CIP_OK) {
        zelkc_cip_response_free(response);
        return ZELKC_CIP_ERR_NO_MEMORY;
    }
    return ZELKC_CIP_OK;
}

void zelkc_cip_response_free(zelkc_cip_response* response) {
    if (response == nullptr)
        return;
    zelkc_cip_free(response->additional_status.data);
    zelkc_cip_free(response->data.data);
    memset(response, 0, sizeof *response);
}

bool zelkc_cip_response_is_success(const zelkc_cip_response* response) {
    return response != nullptr && (response->general_status == ZELKC_CIP_GENERAL_STATUS_SUCCESS ||
                                   response->general_status == ZELKC_CIP_GENERAL_STATUS_PARTIAL_TRANSFER);
}
