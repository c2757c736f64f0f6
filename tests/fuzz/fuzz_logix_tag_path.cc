// Tag path text: any bytes (up to the first NUL) through the path builder. A successful path is
// a well-formed EPATH of symbol and element segments.
#include <cstddef>
#include <cstdint>
#include <string>

#include "zelkc_logix.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0x10000) {
        return 0;
    }
    std::string text(reinterpret_cast<const char*>(data), size);
    zelkc_cip_buffer path;
    const uint8_t rc = zelkc_logix_path_build_tag_path(text.c_str(), &path);
    if (rc == ZELKC_LOGIX_OK) {
        // Walk the segments: 0x91 len name [pad], or 0x28/0x29/0x2A element forms.
        uint32_t pos = 0;
        bool symbol_seen = false;
        while (pos < path.size) {
            const uint8_t kind = path.data[pos];
            uint32_t length = 0;
            if (kind == 0x91 && pos + 1 < path.size) {
                length = 2u + path.data[pos + 1] + (path.data[pos + 1] & 1u);
                symbol_seen = true;
            } else if (kind == 0x28) {
                length = 2;
            } else if (kind == 0x29) {
                length = 4;
            } else if (kind == 0x2A) {
                length = 6;
            } else {
                __builtin_trap();
            }
            if (!symbol_seen || pos + length > path.size) {
                __builtin_trap();
            }
            pos += length;
        }
        if (path.size == 0) {
            __builtin_trap();
        }
    }
    zelkc_cip_path_free(&path);
    return 0;
}
