// Template replies: byte 0 selects the decoder.
//   0: template attribute reply (byte 1 general status, rest reply data);
//   1: template definition (bytes 1-2 member count, rest the received definition bytes);
//   2: a definition read in fragments (bytes 1-4 definition size, then per fragment: status
//      byte, 2-byte length, data), then decoded with bytes 5-6 as member count.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "logix_internal.h"

namespace {

void check_members(const zelkc_logix_tag_info_list& list, const char* name) {
    if (name == nullptr || name[0] == '\0' || std::strchr(name, ';') != nullptr) {
        __builtin_trap();
    }
    for (uint32_t i = 0; i < list.count; ++i) {
        if (list.items[i].name == nullptr || list.items[i].name[0] == '\0' ||
            zelkc_logix_tag_array_rank(list.items[i].symbol_type) > 1) {
            __builtin_trap();
        }
    }
}

void decode_definition(const uint8_t* bytes, uint32_t size, uint16_t members) {
    char* name = nullptr;
    zelkc_logix_tag_info_list list{};
    if (zelkc_logix_template_definition_decode(bytes, size, members, &name, &list) == ZELKC_LOGIX_OK) {
        check_members(list, name);
    } else if (name != nullptr || list.items != nullptr) {
        __builtin_trap();
    }
    zelkc_cip_free(name);
    zelkc_logix_tag_info_list_free(&list);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3 || size > 0x100000) {
        return 0;
    }
    switch (data[0] % 3) {
    case 0: {
        std::vector<uint8_t> reply(data + 2, data + size);
        uint32_t bytes = 0;
        uint16_t members = 0;
        if (zelkc_logix_template_attributes_decode(data[1], reply.empty() ? nullptr : reply.data(),
                                                   uint32_t(reply.size()), &bytes,
                                                   &members) == ZELKC_LOGIX_OK &&
            bytes <= uint32_t(members) * 8u) {
            __builtin_trap();
        }
        break;
    }
    case 1: {
        std::vector<uint8_t> def(data + 3, data + size);
        decode_definition(def.empty() ? nullptr : def.data(), uint32_t(def.size()), logix_le16(data + 1));
        break;
    }
    default: {
        if (size < 7) {
            return 0;
        }
        const uint32_t total = logix_le32(data + 1) % 4096 + 1;
        std::vector<uint8_t> def(total);
        zelkc_logix_template_read read{def.data(), total, 0, 0};
        size_t pos = 7;
        bool done = false;
        while (!done && pos + 3 <= size) {
            const uint8_t status = data[pos];
            size_t length = logix_le16(data + pos + 1);
            pos += 3;
            if (length > size - pos) {
                length = size - pos;
            }
            std::vector<uint8_t> fragment(data + pos, data + pos + length);
            pos += length;
            const uint32_t asked = zelkc_logix_template_read_ask(&read);
            if (zelkc_logix_template_fragment_accept(&read, asked, status,
                                                     fragment.empty() ? nullptr : fragment.data(),
                                                     uint32_t(fragment.size()), &done) != ZELKC_LOGIX_OK) {
                return 0;
            }
            if (read.offset > read.size) {
                __builtin_trap();
            }
        }
        if (done) {
            std::vector<uint8_t> received(def.begin(), def.begin() + read.offset);
            decode_definition(received.data(), uint32_t(received.size()), logix_le16(data + 5));
        }
        break;
    }
    }
    return 0;
}
