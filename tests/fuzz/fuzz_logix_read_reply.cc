// Read replies: byte 0 selects the reader, byte 1-2 a size parameter; the rest is a sequence of
// replies, each a status byte, a 2-byte length and that many data bytes.
//   0: atomic Read Tag replies; 1: atomic array fragments; 2: STRING fragments (Logix STRING,
//   CIP STRING 0xD0, SHORT_STRING 0xDA); 3: byte fragments.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "logix_internal.h"

namespace {

struct Replies {
    const uint8_t* data;
    size_t size;
    size_t pos;
    // The next reply as an exactly sized copy; false at the end.
    bool next(uint8_t* status, std::vector<uint8_t>* bytes) {
        if (pos + 3 > size) {
            return false;
        }
        *status = data[pos];
        size_t length = logix_le16(data + pos + 1);
        pos += 3;
        if (length > size - pos) {
            length = size - pos;
        }
        bytes->assign(data + pos, data + pos + length);
        pos += length;
        return true;
    }
};

const uint8_t* ptr(const std::vector<uint8_t>& v) {
    return v.empty() ? nullptr : v.data();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3 || size > 0x100000) {
        return 0;
    }
    const uint32_t param = logix_le16(data + 1);
    Replies replies{data, size, 3};
    uint8_t status = 0;
    std::vector<uint8_t> bytes;
    bool done = false;
    switch (data[0] % 4) {
    case 0:
        while (replies.next(&status, &bytes)) {
            zelkc_cip_response response{};
            response.general_status = status;
            response.data.data = bytes.empty() ? nullptr : bytes.data();
            response.data.size = uint32_t(bytes.size());
            zelkc_logix_value value{};
            if (read_atomic_response(&response, &value) == ZELKC_LOGIX_OK &&
                value.type == ZELKC_LOGIX_TYPE_BOOL && value.value.u8 > 1) {
                __builtin_trap();
            }
        }
        break;
    case 1: {
        zelkc_logix_value_array out{};
        zelkc_logix_array_read read{};
        read.out = &out;
        read.count = param % 2048 + 1;
        while (!done && replies.next(&status, &bytes)) {
            if (zelkc_logix_array_fragment_accept(&read, status, ptr(bytes), uint32_t(bytes.size()), &done) !=
                ZELKC_LOGIX_OK) {
                break;
            }
        }
        if (done && (read.offset != read.total || out.count != read.count)) {
            __builtin_trap();
        }
        zelkc_logix_value_array_free(&out);
        break;
    }
    case 2: {
        const uint32_t capacity = param % 512 + 1;
        std::vector<char> buf(capacity);
        zelkc_logix_string_read read{};
        read.buf = buf.data();
        read.capacity = capacity;
        while (!done && replies.next(&status, &bytes)) {
            if (zelkc_logix_string_fragment_accept(&read, status, ptr(bytes), uint32_t(bytes.size()),
                                                   &done) != ZELKC_LOGIX_OK) {
                break;
            }
        }
        // A finished read holds exactly its length in characters, terminated within the buffer, in
        // the form of its first reply.
        if (done && (read.length >= capacity || read.copied != read.length || buf[read.length] != '\0' ||
                     (read.len_size != 4 && read.len_size != 2 && read.len_size != 1))) {
            __builtin_trap();
        }
        break;
    }
    default: {
        const uint32_t want = param % 2048 + 1;
        std::vector<uint8_t> buf(want);
        zelkc_logix_bytes_read read{};
        read.buf = buf.data();
        read.size = want;
        while (!done && replies.next(&status, &bytes)) {
            if (zelkc_logix_bytes_fragment_accept(&read, status, ptr(bytes), uint32_t(bytes.size()), &done) !=
                ZELKC_LOGIX_OK) {
                break;
            }
        }
        if (done && read.received != want) {
            __builtin_trap();
        }
        break;
    }
    }
    return 0;
}
