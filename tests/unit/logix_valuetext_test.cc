// Value column texts: every type at its widths and signs, 64-bit values, floating point text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "ValueText.h"

namespace {

TEST(LogixValueText, Values) {
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        uint64_t raw; // the value record's bytes; for REAL and LREAL the number below
        double number;
        uint16_t type;
        const char* expected;
    } cases[] = {
        {0xFF, 0, 0xC2, "-1"},
        {0xFF, 0, 0xC6, "255"},
        {0xFF, 0, 0xD1, "255"},
        {0x8000, 0, 0xC3, "-32768"},
        {0x8000, 0, 0xC7, "32768"},
        {0x8000, 0, 0xD2, "32768"},
        {0x80000000, 0, 0xC4, "-2147483648"},
        {0x80000000, 0, 0xD3, "2147483648"},
        {~0ull, 0, 0xC9, "18446744073709551615"},
        {~0ull, 0, 0xD4, "18446744073709551615"},
        {~0ull, 0, 0xC5, "-1"},
        {~0ull, 0, 0xC8, "4294967295"},
        {0xFFFFFFFF00000000ull, 0, 0xC5, "-4294967296"},
        {0x100000000ull, 0, 0xC9, "4294967296"}, // beyond 32 bits
        {0x01F6, 0, 0xC2, "-10"},
        {0x01F6, 0, 0xC4, "502"}, // the type argument selects the width
        {1, 0, 0xC1, "true"},
        {0, 0, 0xC1, "false"},
        {2, 0, 0xC1, "false"}, // the reader stores 0 or 1
        {0, 0.1, 0xCA, "0.1"},
        {0, 1.5, 0xCA, "1.5"},
        {0, 1e20, 0xCA, "1e+20"},
        {0, inf, 0xCA, "inf"},
        {0, -inf, 0xCA, "-inf"},
        {0, NAN, 0xCA, "nan"},
        {0, 1.0 / 3.0, 0xCA, "0.33333334"},
        {0, 100.0, 0xCB, "100"},
        {0, 0.1, 0xCB, "0.1"},
        {0, 2.718281828459045, 0xCB, "2.718281828459045"},
        {0, 1e20, 0xCB, "1e+20"},
        {0, NAN, 0xCB, "nan"},
        {0x04030201, 0, 0xCC, ""},
        {0x04030201, 0, 0xD0, ""},
        {0x04030201, 0, 0xD5, ""},
        {0x04030201, 0, 0x02A0, ""},
    };
    for (const auto& c : cases) {
        zelkc_logix_value v{};
        v.type = 0xC4; // the value's own type does not matter
        v.value.u64 = c.raw;
        v.value.f32 = c.type == 0xCA ? float(c.number) : v.value.f32;
        v.value.f64 = c.type == 0xCB ? c.number : v.value.f64;
        EXPECT_EQ(value2string(&v, c.type), c.expected)
            << std::hex << c.type << " " << c.raw << " " << c.number;
    }
}

// The trend's numbers: the same widths and signs as the text, BOOL as 0 or 1, 64-bit values beyond a
// double's integers rounded, unknown codes and text types as NaN.
TEST(LogixValueText, Numbers) {
    const struct {
        uint64_t raw;
        uint16_t type;
        double expected;
    } cases[] = {
        {0xFF, 0xC2, -1},
        {0xFF, 0xC6, 255},
        {0x8000, 0xC3, -32768},
        {0x8000, 0xC7, 32768},
        {0x80000000, 0xC4, -2147483648.0},
        {0x80000000, 0xC8, 2147483648.0},
        {1, 0xC1, 1},
        {2, 0xC1, 0},
        {(1ull << 53) + 1, 0xC5, 9007199254740992.0},
        {~0ull, 0xC9, 18446744073709551616.0},
        {~0ull, 0xC5, -1},
        {0x01F6, 0xD1, 0xF6},
        {0x01F6, 0xD2, 0x01F6},
    };
    for (const auto& c : cases) {
        zelkc_logix_value v{};
        v.value.u64 = c.raw;
        EXPECT_EQ(value2double(&v, c.type), c.expected) << std::hex << c.type << " " << c.raw;
    }
    zelkc_logix_value real{};
    real.value.f32 = 0.1f;
    EXPECT_EQ(value2double(&real, 0xCA), double(0.1f));
    for (uint16_t code : {uint16_t{0xD0}, uint16_t{0xDA}, uint16_t{0xCC}})
        EXPECT_TRUE(std::isnan(value2double(&real, code))) << code;
    EXPECT_TRUE(std::isnan(value2double(nullptr, 0xC4)));
}

// The tree's type texts: atomics, the element type with the dimensions for arrays, structures by
// their template name, and the string forms generic devices use.
TEST(LogixValueText, TypeTexts) {
    zelkc_logix_tag_info info{};
    char motor[] = "Motor";
    const struct {
        uint16_t word;
        uint32_t dims[3];
        bool structure;
        const char* text;
        bool holdsText;
    } cases[] = {
        {0x00CA, {0, 0, 0}, false, "REAL", false},      {0x20C4, {10, 0, 0}, false, "DINT[10]", false},
        {0x40C3, {2, 3, 0}, false, "INT[2,3]", false},  {0x60C2, {2, 3, 4}, false, "SINT[2,3,4]", false},
        {0x8123, {0, 0, 0}, true, "Motor", false},      {0xA123, {4, 0, 0}, true, "Motor[4]", false},
        {0x00D0, {0, 0, 0}, false, "STRING", true},     {0x00DA, {0, 0, 0}, false, "SHORT_STRING", true},
        {0x20D0, {3, 0, 0}, false, "STRING[3]", false},
    };
    for (const auto& c : cases) {
        info.symbol_type = c.word;
        std::copy(std::begin(c.dims), std::end(c.dims), std::begin(info.dims));
        info.type_name = c.structure ? motor : nullptr;
        EXPECT_EQ(datatype_text(&info), c.text) << std::hex << c.word;
        EXPECT_EQ(tag_holds_text(&info), c.holdsText) << std::hex << c.word;
    }
    EXPECT_EQ(datatype_text(nullptr), "UNKNOWN");
}

// Hex and binary in the controller's notation: padded to the type's width in groups of four, negative
// values as their two's complement at that width; decimal, non-integers and non-numbers unchanged.
TEST(IntegerText, HexAndBinaryAtTheTypesWidth) {
    constexpr IntegerBase D = IntegerBase::Decimal, H = IntegerBase::Hex, B = IntegerBase::Binary;
    const struct {
        const char* text;
        uint16_t type;
        IntegerBase base;
        const char* expected;
    } cases[] = {
        {"5", ZELKC_LOGIX_TYPE_SINT, B, "2#0000_0101"},
        {"-1", ZELKC_LOGIX_TYPE_SINT, H, "16#FF"},
        {"-2", ZELKC_LOGIX_TYPE_INT, B, "2#1111_1111_1111_1110"},
        {"48879", ZELKC_LOGIX_TYPE_WORD, H, "16#BEEF"},
        {"3735928559", ZELKC_LOGIX_TYPE_DWORD, H, "16#DEAD_BEEF"},
        {"12648430", ZELKC_LOGIX_TYPE_DINT, H, "16#00C0_FFEE"},
        {"-1234567890123", ZELKC_LOGIX_TYPE_LINT, H, "16#FFFF_FEE0_8E04_FB35"},
        {"18000000000000000000", ZELKC_LOGIX_TYPE_ULINT, H, "16#F9CC_D8A1_C508_0000"},
        {"1", ZELKC_LOGIX_TYPE_LWORD, B,
         "2#0000_0000_0000_0000_0000_0000_0000_0000_0000_0000_0000_0000_0000_0000_0000_0001"},
        {"200", ZELKC_LOGIX_TYPE_USINT, D, "200"},
        {"1", ZELKC_LOGIX_TYPE_BOOL, H, "1"},
        {"3.25", ZELKC_LOGIX_TYPE_REAL, H, "3.25"},
        {"12x", ZELKC_LOGIX_TYPE_DINT, H, "12x"},
        {"", ZELKC_LOGIX_TYPE_DINT, B, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(integer_text(c.text, c.type, c.base), c.expected) << c.text << " " << std::hex << c.type;
    EXPECT_TRUE(integer_type(ZELKC_LOGIX_TYPE_LWORD));
    EXPECT_FALSE(integer_type(ZELKC_LOGIX_TYPE_BOOL) || integer_type(ZELKC_LOGIX_TYPE_LREAL));
}

} // namespace
