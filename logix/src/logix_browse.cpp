// Symbol browsing: pages of the symbol class (0x6B) instance attribute list, decoded into a
// tag info list, then expanded through the controller's templates.
#include <cstring>

#include "logix_internal.h"

namespace {

constexpr uint8_t kGetInstanceAttributeList = 0x55;
// Attribute count 3: name (1), type word (2), dimensions (8).
const uint8_t kAttributeList[8] = {0x03, 0x00, 0x01, 0x00, 0x02, 0x00, 0x08, 0x00};
constexpr char kProgramPrefix[] = "Program:";
constexpr size_t kProgramPrefixLength = 8;
constexpr size_t kEntryFixedBytes = 20; // instance, name length, type word, 3 dimensions

uint8_t grow_list(zelkc_logix_tag_info_list* list, uint32_t* capacity) {
    uint32_t wanted = *capacity == 0 ? ZELKC_LOGIX_LIST_FIRST_CAPACITY : *capacity * 2u;
    if (wanted > ZELKC_LOGIX_MAX_TAG_INFOS) {
        wanted = ZELKC_LOGIX_MAX_TAG_INFOS;
    }
    void* grown = zelkc_cip_realloc(list->items, (size_t)wanted * sizeof(zelkc_logix_tag_info));
    if (grown == nullptr) {
        return ZELKC_LOGIX_ERR_NO_MEMORY;
    }
    list->items = static_cast<zelkc_logix_tag_info*>(grown);
    *capacity = wanted;
    return ZELKC_LOGIX_OK;
}

} // namespace

extern "C" {

uint8_t zelkc_logix_browse_page_decode(uint8_t general_status, const uint8_t* data, uint32_t size,
                                       zelkc_logix_tag_info_list* list, uint32_t* capacity,
                                       uint32_t* next_instance) {
    if (list == nullptr || capacity == nullptr || next_instance == nullptr ||
        (data == nullptr && size != 0)) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    if (general_status != 0 && general_status != 6) {
        return ZELKC_LOGIX_ERR_DEVICE;
    }
    const uint32_t page_start = *next_instance;
    uint32_t offset = 0;
    while (offset < size) {
        const uint32_t left = size - offset;
        if (left < 6) {
            return ZELKC_LOGIX_ERR_BAD_REPLY;
        }
        const uint8_t* entry = data + offset;
        const uint32_t instance = logix_le32(entry);
        const uint32_t name_length = logix_le16(entry + 4);
        if (name_length == 0 || left - 6 < name_length + 14) {
            return ZELKC_LOGIX_ERR_BAD_REPLY;
        }
        if (instance == 0xFFFFFFFFu || instance < *next_instance) {
            return ZELKC_LOGIX_ERR_BAD_REPLY;
        }
        const char* name = reinterpret_cast<const char*>(entry + 6);
        if (std::memchr(name, '\0', name_length) != nullptr) {
            return ZELKC_LOGIX_ERR_BAD_REPLY;
        }
        *next_instance = instance + 1;
        offset += (uint32_t)kEntryFixedBytes + name_length;

        const uint8_t* tail = entry + 6 + name_length;
        const uint16_t type = logix_le16(tail);
        const bool program = zelkc_logix_tag_is_program(type);
        if (!program) {
            if ((type & ZELKC_LOGIX_SYSTEM_BIT) != 0) {
                continue;
            }
            if (name_length == 11 && std::memcmp(name, "__CONTAINER", 11) == 0) {
                continue;
            }
        }
        if (list->count >= ZELKC_LOGIX_MAX_TAG_INFOS) {
            return ZELKC_LOGIX_ERR_LIMIT;
        }
        if (list->count >= *capacity) {
            uint8_t rc = grow_list(list, capacity);
            if (rc != ZELKC_LOGIX_OK) {
                return rc;
            }
        }
        zelkc_logix_tag_info* info = &list->items[list->count];
        std::memset(info, 0, sizeof *info);
        info->id = instance;
        info->symbol_type = type;
        info->dims[0] = logix_le32(tail + 2);
        info->dims[1] = logix_le32(tail + 6);
        info->dims[2] = logix_le32(tail + 10);
        // The controller names program entries "Program:<name>"; the prefix is dropped unchecked.
        const size_t skip = program && name_length > kProgramPrefixLength ? kProgramPrefixLength : 0;
        info->name = logix_strndup(name + skip, name_length - skip);
        if (info->name == nullptr) {
            return ZELKC_LOGIX_ERR_NO_MEMORY;
        }
        ++list->count;
    }
    // A controller that keeps answering "partial" without moving on would page forever.
    if (general_status == 6 && *next_instance == page_start) {
        return ZELKC_LOGIX_ERR_BAD_REPLY;
    }
    return ZELKC_LOGIX_OK;
}

uint8_t logix_browse_scope_name(const char* program, char** scope) {
    *scope = nullptr;
    if (program == nullptr) {
        return ZELKC_LOGIX_OK;
    }
    const size_t name_length = std::strlen(program);
    *scope = static_cast<char*>(zelkc_cip_alloc(name_length + kProgramPrefixLength + 1));
    if (*scope == nullptr) {
        return ZELKC_LOGIX_ERR_NO_MEMORY;
    }
    std::memcpy(*scope, kProgramPrefix, kProgramPrefixLength);
    std::memcpy(*scope + kProgramPrefixLength, program, name_length + 1);
    return ZELKC_LOGIX_OK;
}

uint8_t logix_browse_page(zelkc_logix_client* client, const char* scope, zelkc_logix_tag_info_list* out,
                          uint32_t* capacity, uint32_t* next_instance, uint8_t* status, uint32_t* first) {
    *status = 0;
    *first = *next_instance;
    zelkc_cip_buffer path;
    zelkc_cip_path_init(&path);
    uint8_t rc = ZELKC_CIP_OK;
    if (scope != nullptr) {
        rc = zelkc_cip_path_add_ansi_symbol(&path, scope);
    }
    if (rc == ZELKC_CIP_OK) {
        rc = zelkc_cip_path_add_class(&path, ZELKC_LOGIX_SYMBOL_CLASS);
    }
    if (rc == ZELKC_CIP_OK) {
        rc = zelkc_cip_path_add_instance(&path, *next_instance);
    }
    if (rc != ZELKC_CIP_OK) {
        zelkc_cip_path_free(&path);
        return zelkc_logix_convert_result(rc);
    }
    const zelkc_cip_request request =
        logix_make_request(kGetInstanceAttributeList, &path, kAttributeList, sizeof kAttributeList);
    zelkc_cip_response reply;
    std::memset(&reply, 0, sizeof reply);
    uint8_t result = zelkc_logix_send_cip_internal(client, &request, &reply);
    zelkc_cip_path_free(&path);
    if (result == ZELKC_LOGIX_OK) {
        *status = reply.general_status;
        if (reply.data.size >= 4) {
            *first = logix_le32(reply.data.data);
        }
        result = zelkc_logix_browse_page_decode(reply.general_status, reply.data.data, reply.data.size, out,
                                                capacity, next_instance);
    }
    zelkc_cip_response_free(&reply);
    return result;
}

uint8_t browse_tags(zelkc_logix_client* client, zelkc_logix_tag_info_list* out, const char* program) {
    out->count = 0;
    out->items = nullptr;
    client->skipped_templates = 0;
    char* scope = nullptr;
    uint8_t result = logix_browse_scope_name(program, &scope);
    if (result != ZELKC_LOGIX_OK) {
        return result;
    }
    uint32_t next_instance = 0;
    uint32_t capacity = 0;
    uint32_t pages = 0;
    for (;;) {
        uint8_t status = 0;
        uint32_t first = 0;
        result = logix_browse_page(client, scope, out, &capacity, &next_instance, &status, &first);
        ++pages;
        if (result == ZELKC_LOGIX_OK && client->browse_progress != nullptr) {
            client->browse_progress(client->browse_progress_context, pages, out->count);
        }
        if (result != ZELKC_LOGIX_OK || status == 0) {
            break;
        }
        if (pages >= ZELKC_LOGIX_BROWSE_PAGES(out->count)) {
            result = ZELKC_LOGIX_ERR_BAD_REPLY; // pages too small to ever finish in reasonable time
            break;
        }
    }
    zelkc_cip_free(scope);
    if (result == ZELKC_LOGIX_OK) {
        result = zelkc_logix_expand_browse_internal(client, out);
    }
    if (result != ZELKC_LOGIX_OK) {
        zelkc_logix_tag_info_list_free(out);
    }
    return result;
}

uint8_t zelkc_logix_client_browse_global_tags(zelkc_logix_client* client, zelkc_logix_tag_info_list* out) {
    if (out == nullptr) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    out->count = 0;
    out->items = nullptr;
    if (client == nullptr) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    return browse_tags(client, out, nullptr);
}

uint8_t zelkc_logix_client_browse_program_tags(zelkc_logix_client* client, zelkc_logix_tag_info_list* out,
                                               const char* program) {
    if (out == nullptr) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    out->count = 0;
    out->items = nullptr;
    if (client == nullptr || program == nullptr || program[0] == '\0') {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    return browse_tags(client, out, program);
}

void zelkc_logix_client_set_browse_progress(zelkc_logix_client* client,
                                            void (*fn)(void* context, uint32_t pages, uint32_t tags),
                                            void* context) {
    if (client != nullptr) {
        client->browse_progress = fn;
        client->browse_progress_context = context;
    }
}

} // extern "C"
