// Type column and value column texts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "ValueText.h"

namespace {

zelkc_logix_tag_info info_of(uint16_t word, char* type_name = nullptr) {
    zelkc_logix_tag_info info{};
    info.symbol_type = word;
    info.type_name = type_name;
    return info;
}

TEST(LogixValueText, TypeNames) {
    const char* names[20] = {"BOOL",    "SINT",    "INT",  "DINT",  "LINT",    "USINT",   "UINT",
                             "UDINT",   "ULINT",   "REAL", "LREAL", "UNKNOWN", "UNKNOWN", "UNKNOWN",
                             "UNKNOWN", "UNKNOWN", "BYTE", "WORD",  "DWORD",   "LWORD"};
    for (uint16_t code = 0xC1; code <= 0xD4; ++code) {
        auto info = info_of(code);
        EXPECT_EQ(datatype_get_name(&info), names[code - 0xC1]) << std::hex << code;
    }
    char string_name[] = "STRING";
    char user_name[] = "Motor";
    auto dint_array = info_of(0x20C4);
    auto struct_array = info_of(0xA123, user_name);
    auto string_tag = info_of(0x8FCE, string_name);
    auto user_tag = info_of(0x8123, user_name);
    auto bare_struct = info_of(0x8123);
    auto below = info_of(0x0068);
    auto above = info_of(0x00D5);
    EXPECT_EQ(datatype_get_name(&dint_array), "ARRAY");
    EXPECT_EQ(datatype_get_name(&struct_array), "ARRAY");
    EXPECT_EQ(datatype_get_name(&string_tag), "STRING");
    EXPECT_EQ(datatype_get_name(&user_tag), "Motor");
    EXPECT_EQ(datatype_get_name(&user_tag).data(), user_name); // a view of the info's own text
    EXPECT_EQ(datatype_get_name(&bare_struct), "STRUCT");
    EXPECT_EQ(datatype_get_name(&below), "UNKNOWN");
    EXPECT_EQ(datatype_get_name(&above), "UNKNOWN");
    EXPECT_EQ(datatype_get_name(nullptr), "UNKNOWN");
}

zelkc_logix_value raw(std::initializer_list<uint8_t> bytes, uint16_t own_type = 0) {
    zelkc_logix_value v{};
    v.type = own_type;
    std::memset(v.value.raw, 0, sizeof v.value.raw);
    size_t i = 0;
    for (uint8_t b : bytes) {
        v.value.raw[i++] = b;
    }
    return v;
}

zelkc_logix_value real(float f) {
    zelkc_logix_value v{};
    v.value.f32 = f;
    return v;
}

zelkc_logix_value lreal(double d) {
    zelkc_logix_value v{};
    v.value.f64 = d;
    return v;
}

TEST(LogixValueText, Integers) {
    auto ff = raw({0xFF});
    EXPECT_EQ(value2string(&ff, 0xC2), "-1");
    EXPECT_EQ(value2string(&ff, 0xC6), "255");
    EXPECT_EQ(value2string(&ff, 0xD1), "255");
    auto int_neg = raw({0x00, 0x80});
    EXPECT_EQ(value2string(&int_neg, 0xC3), "-32768");
    EXPECT_EQ(value2string(&int_neg, 0xC7), "32768");
    EXPECT_EQ(value2string(&int_neg, 0xD2), "32768");
    auto dint_min = raw({0x00, 0x00, 0x00, 0x80});
    EXPECT_EQ(value2string(&dint_min, 0xC4), "-2147483648");
    EXPECT_EQ(value2string(&dint_min, 0xD3), "2147483648");
    auto all = raw({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(value2string(&all, 0xC9), "18446744073709551615");
    EXPECT_EQ(value2string(&all, 0xD4), "18446744073709551615");
    EXPECT_EQ(value2string(&all, 0xC5), "-1");
    EXPECT_EQ(value2string(&all, 0xC8), "4294967295");
    // The type argument, not the value's own type, selects the width: only the first byte.
    auto dint = raw({0xF6, 0x01, 0x00, 0x00}, 0xC4);
    EXPECT_EQ(value2string(&dint, 0xC2), "-10");
    EXPECT_EQ(value2string(&dint, 0xC4), "502");
}

TEST(LogixValueText, Bools) {
    auto one = raw({1});
    auto zero = raw({0});
    auto two = raw({2});
    EXPECT_EQ(value2string(&one, 0xC1), "true");
    EXPECT_EQ(value2string(&zero, 0xC1), "false");
    EXPECT_EQ(value2string(&two, 0xC1), "false"); // the reader never stores anything but 0 or 1
}

TEST(LogixValueText, FloatsAreShortestRoundTrip) {
    auto r01 = real(0.1f);
    EXPECT_EQ(value2string(&r01, 0xCA), "0.1");
    auto r15 = real(1.5f);
    EXPECT_EQ(value2string(&r15, 0xCA), "1.5");
    auto r1e20 = real(1e20f);
    EXPECT_EQ(value2string(&r1e20, 0xCA), "1e+20");
    auto inf = real(std::numeric_limits<float>::infinity());
    EXPECT_EQ(value2string(&inf, 0xCA), "inf");
    auto ninf = real(-std::numeric_limits<float>::infinity());
    EXPECT_EQ(value2string(&ninf, 0xCA), "-inf");
    auto nan = real(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(value2string(&nan, 0xCA), "nan");
    auto third = real(1.0f / 3.0f);
    EXPECT_EQ(value2string(&third, 0xCA), "0.33333334");
    auto l100 = lreal(100.0);
    EXPECT_EQ(value2string(&l100, 0xCB), "100");
    auto l01 = lreal(0.1);
    EXPECT_EQ(value2string(&l01, 0xCB), "0.1");
    auto le = lreal(2.718281828459045);
    EXPECT_EQ(value2string(&le, 0xCB), "2.718281828459045");
    auto l1e20 = lreal(1e20);
    EXPECT_EQ(value2string(&l1e20, 0xCB), "1e+20");
    auto lnan = lreal(std::nan(""));
    EXPECT_EQ(value2string(&lnan, 0xCB), "nan");
}

TEST(LogixValueText, UnknownCodesGiveEmptyText) {
    auto v = raw({1, 2, 3, 4});
    for (uint16_t code : {0xCC, 0xCD, 0xD0, 0x00, 0xFF, 0xD5, 0x02A0}) {
        EXPECT_EQ(value2string(&v, code), "") << std::hex << code;
    }
    EXPECT_EQ(value2string(nullptr, 0xC4), "");
}

} // namespace
