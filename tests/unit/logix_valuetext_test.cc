// Value column texts: every type at its widths and signs, 64-bit values, floating point text.
#include <gtest/gtest.h>

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
        {0xFF, 0, 0xC2, "-1"}, {0xFF, 0, 0xC6, "255"}, {0xFF, 0, 0xD1, "255"}, {0x8000, 0, 0xC3, "-32768"},
        {0x8000, 0, 0xC7, "32768"}, {0x8000, 0, 0xD2, "32768"}, {0x80000000, 0, 0xC4, "-2147483648"},
        {0x80000000, 0, 0xD3, "2147483648"}, {~0ull, 0, 0xC9, "18446744073709551615"},
        {~0ull, 0, 0xD4, "18446744073709551615"}, {~0ull, 0, 0xC5, "-1"}, {~0ull, 0, 0xC8, "4294967295"},
        {0xFFFFFFFF00000000ull, 0, 0xC5, "-4294967296"}, {0x100000000ull, 0, 0xC9, "4294967296"}, // beyond 32 bits
        {0x01F6, 0, 0xC2, "-10"}, {0x01F6, 0, 0xC4, "502"}, // the type argument selects the width
        {1, 0, 0xC1, "true"}, {0, 0, 0xC1, "false"}, {2, 0, 0xC1, "false"}, // the reader stores 0 or 1
        {0, 0.1, 0xCA, "0.1"}, {0, 1.5, 0xCA, "1.5"}, {0, 1e20, 0xCA, "1e+20"}, {0, inf, 0xCA, "inf"},
        {0, -inf, 0xCA, "-inf"}, {0, NAN, 0xCA, "nan"}, {0, 1.0 / 3.0, 0xCA, "0.33333334"},
        {0, 100.0, 0xCB, "100"}, {0, 0.1, 0xCB, "0.1"}, {0, 2.718281828459045, 0xCB, "2.718281828459045"},
        {0, 1e20, 0xCB, "1e+20"}, {0, NAN, 0xCB, "nan"},
        {0x04030201, 0, 0xCC, ""}, {0x04030201, 0, 0xD0, ""}, {0x04030201, 0, 0xD5, ""}, {0x04030201, 0, 0x02A0, ""},
    };
    for (const auto& c : cases) {
        zelkc_logix_value v{};
        v.type = 0xC4; // the value's own type does not matter
        v.value.u64 = c.raw;
        v.value.f32 = c.type == 0xCA ? float(c.number) : v.value.f32;
        v.value.f64 = c.type == 0xCB ? c.number : v.value.f64;
        EXPECT_EQ(value2string(&v, c.type), c.expected) << std::hex << c.type << " " << c.raw << " " << c.number;
    }
}

} // namespace
