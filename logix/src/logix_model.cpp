// Symbol type word decoding and the release functions of the tag and value records.
#include <cstring>

#include "logix_internal.h"

extern "C" {

char* logix_strndup(const char* text, size_t length) {
    char* copy = static_cast<char*>(zelkc_cip_alloc(length + 1));
    if (copy == nullptr) {
        return nullptr;
    }
    if (length != 0) {
        std::memcpy(copy, text, length);
    }
    copy[length] = '\0';
    return copy;
}

bool zelkc_logix_tag_is_program(uint16_t type) {
    return type == ZELKC_LOGIX_PROGRAM_TYPE;
}

bool zelkc_logix_tag_is_struct(uint16_t type) {
    return (type & 0x9000u) == 0x8000u;
}

bool zelkc_logix_tag_is_atomic(uint16_t type) {
    return (type & 0xE000u) == 0;
}

uint32_t zelkc_logix_tag_array_rank(uint16_t type) {
    return (uint32_t)(type >> 13) & 3u;
}

uint8_t zelkc_logix_tag_atomic_type(uint16_t type) {
    return (uint8_t)(type & 0xFFu);
}

uint32_t zelkc_logix_tag_template_id(uint16_t type) {
    return type & 0x0FFFu;
}

uint8_t zelkc_logix_tag_bit_size(uint16_t type) {
    static const uint8_t sizes[11] = {1, 8, 16, 32, 64, 8, 16, 32, 64, 32, 64};
    unsigned code = type & 0xFFu;
    if (code < ZELKC_LOGIX_TYPE_BOOL || code > ZELKC_LOGIX_TYPE_LREAL) {
        return 0;
    }
    return sizes[code - ZELKC_LOGIX_TYPE_BOOL];
}

bool zelkc_logix_tag_is_string(const zelkc_logix_tag_info* info) {
    return info != nullptr && info->type_name != nullptr && std::strcmp(info->type_name, "STRING") == 0;
}

void zelkc_logix_tag_info_free(zelkc_logix_tag_info* info) {
    if (info == nullptr) {
        return;
    }
    if (info->children != nullptr) {
        for (uint32_t i = 0; i < info->child_count; ++i) {
            zelkc_logix_tag_info_free(&info->children[i]);
        }
    }
    zelkc_cip_free(info->children);
    zelkc_cip_free(info->name);
    zelkc_cip_free(info->type_name);
    std::memset(info, 0, sizeof *info);
}

void zelkc_logix_tag_info_list_free(zelkc_logix_tag_info_list* list) {
    if (list == nullptr) {
        return;
    }
    if (list->items != nullptr) {
        for (uint32_t i = 0; i < list->count; ++i) {
            zelkc_logix_tag_info_free(&list->items[i]);
        }
    }
    zelkc_cip_free(list->items);
    list->count = 0;
    list->items = nullptr;
}

void zelkc_logix_value_array_free(zelkc_logix_value_array* array) {
    if (array == nullptr) {
        return;
    }
    zelkc_cip_free(array->data);
    array->type = 0;
    array->count = 0;
    array->data = nullptr;
}

} // extern "C"
