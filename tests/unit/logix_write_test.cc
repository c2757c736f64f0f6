// Typed values from what engineers type, and the exact request bytes of each kind of write: Write
// Tag by type, Read-Modify-Write masks for bits of integers and BOOL array elements, a STRING's DATA
// then LEN; and the outcome of a write reply.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "../support/hex.h"
#include "logix_internal.h"

namespace {

struct ParseCase {
    uint16_t type;
    const char* text;
    uint8_t result;
    uint64_t bits;    // the value's bytes, little-endian, when parsed
    const char* note; // the note, or its start
};

const ParseCase kParse[] = {
    {0xC2, "-128", 0, 0x80, ""},
    {0xC2, "127", 0, 0x7F, ""},
    {0xC2, "300", 1, 0, "300 does not fit a SINT (-128 to 127)"},
    {0xC2, "-129", 1, 0, "-129 does not fit a SINT (-128 to 127)"},
    {0xC2, "16#FF", 0, 0xFF, ""}, // a based number is the bit pattern
    {0xC2, "16#1FF", 1, 0, "16#1FF does not fit a SINT (8 bits)"},
    {0xC3, " 0x7fff ", 0, 0x7FFF, ""},
    {0xC4, "2#1010_0000", 0, 0xA0, ""},
    {0xC4, "8#17", 0, 15, ""},
    {0xC4, "0b11", 0, 3, ""},
    {0xC4, "+42", 0, 42, ""},
    {0xC4, "2#1010__0", 1, 0, "'2#1010__0' is not a DINT"},
    {0xC4, "2#102", 1, 0, "'2#102' is not a DINT"},
    {0xC4, "1.5", 1, 0, "'1.5' is not a DINT"},
    {0xC4, "", 1, 0, "no value"},
    {0xC4, "2147483648", 1, 0, "2147483648 does not fit a DINT (-2147483648 to 2147483647)"},
    {0xC5, "-9223372036854775808", 0, 0x8000000000000000, ""},
    {0xC5, "99999999999999999999", 1, 0, "99999999999999999999 does not fit an LINT"},
    {0xC6, "-1", 1, 0, "-1 does not fit a USINT (0 to 255)"},
    {0xC6, "-0", 0, 0, ""},
    {0xC8, "4000000000", 0, 4000000000u, ""},
    {0xC9, "18446744073709551615", 0, ~0ull, ""},
    {0xC9, "18446744073709551616", 1, 0, "18446744073709551616 does not fit a ULINT (0 to 18446744073709551615)"},
    {0xD2, "16#FFFF", 0, 0xFFFF, ""},
    {0xC1, "TRUE", 0, 1, ""},
    {0xC1, "0", 0, 0, ""},
    {0xC1, "2", 1, 0, "'2' is not a BOOL (0, 1, true or false)"},
    {0xCA, "1.5", 0, 0x3FC00000, ""},
    {0xCA, "0.1", 0, 0x3DCCCCCD, ""}, // shows as 0.1: no note
    {0xCA, "16777217", 0, 0x4B800000, "16777217 is written as the nearest REAL, 16777216"},
    {0xCA, "1e39", 1, 0, "1e39 does not fit a REAL"},
    {0xCA, "-inf", 0, 0xFF800000, ""},
    {0xCA, "+-1", 1, 0, "'+-1' is not a REAL"},
    {0xCB, "1e-3", 0, 0x3F50624DD2F1A9FC, ""},
    {0xCB, "1e400", 1, 0, "1e400 does not fit an LREAL"},
    {0xCB, "12abc", 1, 0, "'12abc' is not an LREAL"},
    {0xCC, "1", 16, 0, "values of type 0xCC cannot be written"},
};

TEST(LogixValueParse, TypedTextIsParsedOrRefusedWithItsRange) {
    for (const ParseCase& c : kParse) {
        SCOPED_TRACE(std::string(c.text) + " as 0x" + std::to_string(c.type));
        zelkc_logix_value v;
        std::memset(&v, 0xAB, sizeof v);
        char note[160];
        EXPECT_EQ(zelkc_logix_value_parse(c.type, c.text, &v, note, sizeof note), c.result);
        EXPECT_EQ(std::string(note).substr(0, std::strlen(c.note)), c.note);
        EXPECT_EQ(std::strlen(c.note) == 0, note[0] == '\0');
        EXPECT_EQ(v.type, c.type);
        if (c.result == 0) {
            EXPECT_EQ(v.value.u64, c.bits) << "bytes beyond the type's width are zero";
        }
    }
    char small[8];
    EXPECT_EQ(zelkc_logix_value_parse(0xC2, "300", nullptr, small, sizeof small), 1);
    zelkc_logix_value v{};
    EXPECT_EQ(zelkc_logix_value_parse(0xC2, "300", &v, small, sizeof small), 1);
    EXPECT_STREQ(small, "300 doe"); // cut to the buffer, terminated
    EXPECT_EQ(zelkc_logix_value_parse(0xC4, nullptr, &v, nullptr, 0), 1);
}

// The request of each kind of entry: service, path and data.
struct PrepareCase {
    zelkc_logix_atomic_write entry;
    uint8_t result;
    const char* requests; // per request "service path | data", requests separated by "; "
};

zelkc_logix_atomic_write entry(const char* tag, uint16_t type, uint64_t bits, uint16_t host = 0,
                               const char* text = nullptr, uint32_t capacity = 0) {
    zelkc_logix_atomic_write w{};
    w.tag = tag;
    w.value.type = type;
    w.value.value.u64 = bits;
    w.host_type = host;
    w.text = text;
    w.text_length = text != nullptr ? uint32_t(std::strlen(text)) : 0;
    w.capacity = capacity;
    return w;
}

std::string hex_of(const uint8_t* p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X", p[i]);
        s += b;
    }
    return s;
}

TEST(LogixWritePrepare, EachKindOfWriteHasItsRequestBytes) {
    const PrepareCase cases[] = {
        {entry("A", 0xC4, 43), 0, "4D 91014100 | C40001002B000000"},
        {entry("A", 0xCA, 0x3FC00000), 0, "4D 91014100 | CA000100 0000C03F"},
        {entry("A", 0xC5, 0x0102030405060708), 0, "4D 91014100 | C50001000807060504030201"},
        {entry("A", 0xC1, 1), 0, "4D 91014100 | C1000100" "01"},
        {entry("A.B", 0xC1, 0), 0, "4D 910141009101420 0 | C1000100" "00"},
        // bit 5 of a DINT set: OR mask has it, AND mask all ones
        {entry("A.5", 0xC1, 1, 0xC4), 0, "4E 91014100 | 0400 20000000 FFFFFFFF"},
        // bit 9 of an INT cleared: OR mask empty, AND mask without it
        {entry("A.9", 0xC1, 0, 0xC3), 0, "4E 91014100 | 0200 0000 FFFD"},
        {entry("A.63", 0xC1, 1, 0xC5), 0, "4E 91014100 | 0800 0000000000000080 FFFFFFFFFFFFFFFF"},
        // element 45 of a BOOL array: the element's path, a 4-byte mask with bit 45 % 32
        {entry("F[45]", 0xC1, 1), 0, "4E 91014600282D | 0400 00200000 FFFFFFFF"},
        {entry("S", 0x02A0, 0, 0, "hi", 82), 0,
         "4D 91015300 910444415441 | C2000200 6869; 4D 910153009103 4C454E00 | C4000100 02000000"},
        {entry("S", 0x02A0, 0, 0, "", 82), 0, "4D 910153009103 4C454E00 | C4000100 00000000"},
        {entry("S", 0x02A0, 0, 0, "abc", 2), 17, ""},
        {entry("A.8", 0xC1, 1, 0xC2), 1, ""},  // past a SINT's bits
        {entry("A.1", 0xC1, 1, 0xCA), 1, ""},  // a REAL has no bits to write
        {entry("A.1", 0xC1, 1), 1, ""},        // the integer's type is needed
        {entry("A", 0xCD, 1), 16, ""},
        {entry("", 0xC4, 1), 1, ""},
        {entry("A[", 0xC4, 1), 1, ""},
    };
    for (const PrepareCase& c : cases) {
        SCOPED_TRACE(std::string(c.entry.tag) + " type " + std::to_string(c.entry.value.type));
        logix_write_plan plan;
        ASSERT_EQ(logix_write_prepare(&c.entry, &plan), c.result);
        std::string got;
        for (uint32_t i = 0; i < plan.count; ++i) {
            uint8_t data[128];
            uint32_t size = 0;
            ASSERT_EQ(logix_write_request_bytes(&plan, i, data, sizeof data, &size), 0);
            got += (i ? "; " : "") + hex_of(&plan.service[i], 1) + " " +
                   hex_of(plan.paths[i].data, plan.paths[i].size) + " | " + hex_of(data, size);
        }
        std::string want = c.requests;
        std::erase(want, ' ');
        std::erase(got, ' ');
        EXPECT_EQ(got, want);
        logix_write_plan_free(&plan);
    }
}

TEST(LogixWritePrepare, AWriteReplyIsItsGeneralStatus) {
    zelkc_cip_response reply;
    std::memset(&reply, 0, sizeof reply);
    zelkc_logix_read_status status;
    EXPECT_EQ(logix_write_reply_result(&reply, &status), ZELKC_LOGIX_OK);
    const auto extended = hex("0521");
    reply.general_status = 0xFF;
    reply.additional_status.data = const_cast<uint8_t*>(extended.data());
    reply.additional_status.size = 2;
    EXPECT_EQ(logix_write_reply_result(&reply, &status), ZELKC_LOGIX_ERR_DEVICE);
    EXPECT_EQ(status.general_status, 0xFF);
    EXPECT_EQ(status.extended_status, 0x2105);
}

} // namespace
