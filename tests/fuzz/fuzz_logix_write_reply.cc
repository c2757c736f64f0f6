// Write replies and typed values: byte 0 selects the part.
//   even: the rest is a Multiple Service Packet reply to a batch of writes; each response is
//         taken as a write's outcome, and a response count that differs from the requests sent
//         (byte 1) must be refused as the batch does;
//   odd:  byte 1 is an atomic type code (0xC1 + byte % 20), the rest the text of a value; the
//         parser must stay inside the text, terminate its note, and a value it accepts must come
//         out the same when its text is parsed again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ValueText.h"
#include "logix_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 0x10000) {
        return 0;
    }
    if (data[0] % 2 == 0) {
        zelkc_cip_multiple_response replies;
        std::memset(&replies, 0, sizeof replies);
        if (zelkc_cip_multiple_response_parse(data + 2, uint32_t(size - 2), &replies) == 0) {
            for (uint32_t i = 0; i < replies.count; ++i) {
                zelkc_logix_read_status status;
                const uint8_t rc = logix_write_reply_result(&replies.responses[i], &status);
                if ((rc == ZELKC_LOGIX_OK) != (replies.responses[i].general_status == 0) ||
                    status.general_status != replies.responses[i].general_status) {
                    std::abort();
                }
            }
        }
        zelkc_cip_multiple_response_free(&replies);
        return 0;
    }
    const uint16_t type = uint16_t(0xC1 + data[1] % 20);
    const std::string text(reinterpret_cast<const char*>(data + 2), size - 2); // an exact copy, then NUL
    zelkc_logix_value value;
    char note[64];
    std::memset(note, 'x', sizeof note);
    const uint8_t rc = zelkc_logix_value_parse(type, text.c_str(), &value, note, sizeof note);
    if (std::memchr(note, '\0', sizeof note) == nullptr || value.type != type) {
        std::abort();
    }
    if (rc == ZELKC_LOGIX_OK && type != 0xCA && type != 0xCB) {
        // The value's own text (decimal, or true/false) parses back to the same bits.
        const std::string again = type == ZELKC_LOGIX_TYPE_BOOL ? (value.value.u8 ? "1" : "0")
                                                                : value2string(&value, type);
        zelkc_logix_value second;
        if (zelkc_logix_value_parse(type, again.c_str(), &second, nullptr, 0) != ZELKC_LOGIX_OK ||
            second.value.u64 != value.value.u64) {
            std::abort();
        }
    }
    return 0;
}
