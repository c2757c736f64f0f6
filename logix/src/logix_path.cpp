// Tag path text to symbolic EPATH: '.'-separated segments, each a name part followed by
// optional bracket groups of decimal indexes ("Prog:Main.Tag[1,2].Member").
#include <cstring>

#include "logix_internal.h"

namespace {

// The six characters the C locale's isspace accepts.
bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool all_space(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (!is_space(text[i])) {
            return false;
        }
    }
    return true;
}

// One index item of a bracket group, white space around it allowed.
uint8_t add_index(zelkc_cip_buffer* out, const char* item, size_t length) {
    size_t begin = 0;
    size_t end = length;
    while (begin < end && is_space(item[begin])) {
        ++begin;
    }
    while (end > begin && is_space(item[end - 1])) {
        --end;
    }
    if (begin == end) {
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    }
    uint32_t value = 0;
    for (size_t i = begin; i < end; ++i) {
        char c = item[i];
        if (c < '0' || c > '9') {
            return ZELKC_CIP_ERR_INVALID_ARGUMENT;
        }
        uint32_t digit = (uint32_t)(c - '0');
        if (value > (UINT32_MAX - digit) / 10u) {
            return ZELKC_CIP_ERR_INVALID_ARGUMENT;
        }
        value = value * 10u + digit;
    }
    return zelkc_cip_path_add_element(out, value);
}

} // namespace

extern "C" {

uint8_t add_symbol_and_indexes(zelkc_cip_buffer* out, const char* segment, size_t length) {
    if (length == 0) {
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    }
    const char* bracket = static_cast<const char*>(std::memchr(segment, '[', length));
    size_t name_length = bracket == nullptr ? length : (size_t)(bracket - segment);
    if (name_length == 0 || all_space(segment, name_length)) {
        return ZELKC_CIP_ERR_INVALID_ARGUMENT;
    }
    // Names longer than a symbol segment can hold are refused by the segment builder; copy at
    // most one byte more than that so the refusal does not depend on the full length.
    // A terminated copy on the stack: one more byte than the symbol segment can carry still lets
    // the encoder refuse an over-long name.
    char name[257];
    const size_t copy_length = name_length > 256 ? 256 : name_length;
    std::memcpy(name, segment, copy_length);
    name[copy_length] = '\0';
    uint8_t rc = zelkc_cip_path_add_ansi_symbol(out, name);
    if (rc != ZELKC_CIP_OK) {
        return rc;
    }
    size_t pos = name_length;
    while (pos < length) {
        if (segment[pos] != '[') {
            return ZELKC_CIP_ERR_INVALID_ARGUMENT;
        }
        const char* close = static_cast<const char*>(std::memchr(segment + pos + 1, ']', length - pos - 1));
        if (close == nullptr) {
            return ZELKC_CIP_ERR_INVALID_ARGUMENT;
        }
        const char* contents = segment + pos + 1;
        size_t contents_length = (size_t)(close - contents);
        if (contents_length == 0 || all_space(contents, contents_length)) {
            return ZELKC_CIP_ERR_INVALID_ARGUMENT;
        }
        size_t item_start = 0;
        for (size_t i = 0; i <= contents_length; ++i) {
            if (i == contents_length || contents[i] == ',') {
                rc = add_index(out, contents + item_start, i - item_start);
                if (rc != ZELKC_CIP_OK) {
                    return rc;
                }
                item_start = i + 1;
            }
        }
        pos = (size_t)(close - segment) + 1;
    }
    return ZELKC_CIP_OK;
}

uint8_t zelkc_logix_path_build_tag_path(const char* tag, zelkc_cip_buffer* out) {
    if (tag == nullptr || out == nullptr) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    zelkc_cip_path_init(out);
    size_t length = std::strlen(tag);
    if (length == 0 || all_space(tag, length)) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    size_t depth = 0;
    size_t start = 0;
    for (size_t i = 0; i < length; ++i) {
        char c = tag[i];
        if (c == '[') {
            ++depth;
        } else if (c == ']') {
            if (depth == 0) {
                return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
            }
            --depth;
        } else if (c == '.' && depth == 0) {
            if (i == start) {
                return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
            }
            uint8_t rc = add_symbol_and_indexes(out, tag + start, i - start);
            if (rc != ZELKC_CIP_OK) {
                return zelkc_logix_convert_result(rc);
            }
            start = i + 1;
        }
    }
    if (depth != 0 || start == length) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    return zelkc_logix_convert_result(add_symbol_and_indexes(out, tag + start, length - start));
}

} // extern "C"
