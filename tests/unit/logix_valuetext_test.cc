// Type column and value column texts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "ValueText.h"

namespace {

TEST(LogixValueText, TypeNames) {
    const char* names[20] = {"BOOL",    "SINT",    "INT",  "DINT",  "LINT",    "USINT",   "UINT",
                             "UDINT",   "ULINT",   "REAL", "LREAL", "UNKNOWN", "UNKNOWN", "UNKNOWN",
                             "UNKNOWN", "UNKNOWN", "BYTE", "WORD",  "DWORD",   "LWORD"};
    zelkc_logix_tag_info info{};
    for (uint16_t code = 0xC1; code <= 0xD4; ++code) {
        info.symbol_type = code;
        EXPECT_EQ(datatype_get_name(&info), names[code - 0xC1]) << std::hex << code;
    }
    char string_name[] = "STRING", user_name[] = "Motor";
    const struct {
        uint16_t word;
        char* type_name;
        const char* expected;
    } cases[] = {
        {0x20C4, nullptr, "ARRAY"},    {0xA123, user_name, "ARRAY"}, {0x8FCE, string_name, "STRING"},
        {0x8123, user_name, "Motor"},  {0x8123, nullptr, "STRUCT"},  {0x0068, nullptr, "UNKNOWN"},
        {0x00D5, nullptr, "UNKNOWN"},
    };
    for (const auto& c : cases) {
        info.symbol_type = c.word;
        info.type_name = c.type_name;
        EXPECT_EQ(datatype_get_name(&info), c.expected) << std::hex << c.word;
    }
    info.symbol_type = 0x8123;
    info.type_name = user_name;
    EXPECT_EQ(datatype_get_name(&info).data(), user_name) << "a view of the info's own text";
    EXPECT_EQ(datatype_get_name(nullptr), "UNKNOWN");
}

zelkc_logix_value raw(uint64_t bytes, uint16_t own_type = 0) {
    zelkc_logix_value v{};
    v.type = own_type;
    v.value.u64 = bytes;
    return v;
}
zelkc_logix_value real(float f) {
    zelkc_logix_value v = raw(0);
    v.value.f32 = f;
    return v;
}
zelkc_logix_value lreal(double d) {
    zelkc_logix_value v = raw(0);
    v.value.f64 = d;
    return v;
}

TEST(LogixValueText, Values) {
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        zelkc_logix_value value;
        uint16_t type;
        const char* expected;
    } cases[] = {
        {raw(0xFF), 0xC2, "-1"},
        {raw(0xFF), 0xC6, "255"},
        {raw(0xFF), 0xD1, "255"},
        {raw(0x8000), 0xC3, "-32768"},
        {raw(0x8000), 0xC7, "32768"},
        {raw(0x8000), 0xD2, "32768"},
        {raw(0x80000000), 0xC4, "-2147483648"},
        {raw(0x80000000), 0xD3, "2147483648"},
        {raw(~0ull), 0xC9, "18446744073709551615"},
        {raw(~0ull), 0xD4, "18446744073709551615"},
        {raw(~0ull), 0xC5, "-1"},
        {raw(0xFFFFFFFF00000000ull), 0xC5, "-4294967296"}, // beyond 32 bits
        {raw(0x0000000100000000ull), 0xC9, "4294967296"},
        {raw(~0ull), 0xC8, "4294967295"},
        // The type argument, not the value's own type, selects the width.
        {raw(0x01F6, 0xC4), 0xC2, "-10"},
        {raw(0x01F6, 0xC4), 0xC4, "502"},
        {raw(1), 0xC1, "true"},
        {raw(0), 0xC1, "false"},
        {raw(2), 0xC1, "false"}, // the reader never stores anything but 0 or 1
        {real(0.1f), 0xCA, "0.1"},
        {real(1.5f), 0xCA, "1.5"},
        {real(1e20f), 0xCA, "1e+20"},
        {real(inf), 0xCA, "inf"},
        {real(-inf), 0xCA, "-inf"},
        {real(std::numeric_limits<float>::quiet_NaN()), 0xCA, "nan"},
        {real(1.0f / 3.0f), 0xCA, "0.33333334"},
        {lreal(100.0), 0xCB, "100"},
        {lreal(0.1), 0xCB, "0.1"},
        {lreal(2.718281828459045), 0xCB, "2.718281828459045"},
        {lreal(1e20), 0xCB, "1e+20"},
        {lreal(std::nan("")), 0xCB, "nan"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(value2string(&c.value, c.type), c.expected) << std::hex << c.type << " " << c.value.value.u64;
    }
    const auto v = raw(0x04030201);
    for (uint16_t code : {0xCC, 0xCD, 0xD0, 0x00, 0xFF, 0xD5, 0x02A0}) {
        EXPECT_EQ(value2string(&v, code), "") << std::hex << code;
    }
    EXPECT_EQ(value2string(nullptr, 0xC4), "");
}

} // namespace
