// Typed values from what engineers type: decimal and based integers (16#, 0x, 8#, 2#, 0b), REAL and
// LREAL in decimal or scientific notation, BOOL as 0/1/true/false. Every refusal names the value
// and the type's range, so nothing out of range is ever sent.
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

#include "logix_internal.h"

namespace {

struct IntegerType {
    uint16_t code;
    const char* name;
    uint32_t width;
    bool is_signed;
};

const IntegerType kIntegers[] = {
    {ZELKC_LOGIX_TYPE_SINT, "a SINT", 1, true},     {ZELKC_LOGIX_TYPE_INT, "an INT", 2, true},
    {ZELKC_LOGIX_TYPE_DINT, "a DINT", 4, true},     {ZELKC_LOGIX_TYPE_LINT, "an LINT", 8, true},
    {ZELKC_LOGIX_TYPE_USINT, "a USINT", 1, false},  {ZELKC_LOGIX_TYPE_UINT, "a UINT", 2, false},
    {ZELKC_LOGIX_TYPE_UDINT, "a UDINT", 4, false},  {ZELKC_LOGIX_TYPE_ULINT, "a ULINT", 8, false},
    {ZELKC_LOGIX_TYPE_BYTE, "a BYTE", 1, false},    {ZELKC_LOGIX_TYPE_WORD, "a WORD", 2, false},
    {ZELKC_LOGIX_TYPE_DWORD, "a DWORD", 4, false},  {ZELKC_LOGIX_TYPE_LWORD, "an LWORD", 8, false},
};

const IntegerType* integer_type(uint16_t code) {
    for (const IntegerType& t : kIntegers) {
        if (t.code == code) {
            return &t;
        }
    }
    return nullptr;
}

void say(char* note, uint32_t capacity, const char* format, ...) {
    if (note == nullptr || capacity == 0) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::vsnprintf(note, capacity, format, args);
    va_end(args);
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

bool same_word(const char* p, size_t n, const char* word) {
    if (std::strlen(word) != n) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        if (lower(p[i]) != word[i]) {
            return false;
        }
    }
    return true;
}

int digit_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = lower(c);
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 10;
    }
    return 99;
}

// Reads digits of `base` with '_' allowed between them; false when empty, a wrong digit, a '_' at
// either end or doubled. *overflow is set when the magnitude passes 2^64 - 1.
bool digits(const char* p, const char* end, unsigned base, uint64_t* out, bool* overflow) {
    *out = 0;
    *overflow = false;
    if (p == end || *p == '_' || end[-1] == '_') {
        return false;
    }
    uint64_t v = 0;
    char previous = 0;
    for (; p != end; ++p) {
        if (*p == '_') {
            if (previous == '_') {
                return false;
            }
            previous = '_';
            continue;
        }
        const int d = digit_value(*p);
        if (d >= (int)base) {
            return false;
        }
        if (v > (std::numeric_limits<uint64_t>::max() - (uint64_t)d) / base) {
            *overflow = true;
        } else {
            v = v * base + (uint64_t)d;
        }
        previous = *p;
    }
    *out = v;
    return true;
}

uint8_t parse_integer(const IntegerType& t, const char* text, const char* p, const char* end,
                      zelkc_logix_value* out, char* note, uint32_t capacity) {
    const uint64_t width_max = t.width == 8 ? ~0ull : (1ull << (t.width * 8)) - 1;
    unsigned base = 10;
    const char* body = p;
    bool negative = false;
    if (end - p > 3 && p[0] == '1' && p[1] == '6' && p[2] == '#') {
        base = 16, body = p + 3;
    } else if (end - p > 2 && p[1] == '#' && (p[0] == '8' || p[0] == '2')) {
        base = p[0] == '8' ? 8 : 2, body = p + 2;
    } else if (end - p > 2 && p[0] == '0' && lower(p[1]) == 'x') {
        base = 16, body = p + 2;
    } else if (end - p > 2 && p[0] == '0' && lower(p[1]) == 'b') {
        base = 2, body = p + 2;
    } else if (p != end && (*p == '-' || *p == '+')) {
        negative = *p == '-';
        body = p + 1;
    }
    uint64_t magnitude = 0;
    bool overflow = false;
    if (!digits(body, end, base, &magnitude, &overflow)) {
        say(note, capacity, "'%s' is not %s", text, t.name);
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    uint64_t bits = 0;
    if (base != 10) {
        // A based number is the bit pattern: it must fit the type's width.
        if (overflow || magnitude > width_max) {
            say(note, capacity, "%s does not fit %s (%u bits)", text, t.name, t.width * 8);
            return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
        }
        bits = magnitude;
    } else if (t.is_signed) {
        const uint64_t max = width_max >> 1;
        if (overflow || (!negative && magnitude > max) || (negative && magnitude > max + 1)) {
            const long long lo = -(long long)(max)-1;
            say(note, capacity, "%s does not fit %s (%lld to %llu)", text, t.name, lo, (unsigned long long)max);
            return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
        }
        bits = negative ? (uint64_t)0 - magnitude : magnitude;
    } else {
        if (overflow || (negative && magnitude != 0) || magnitude > width_max) {
            say(note, capacity, "%s does not fit %s (0 to %llu)", text, t.name, (unsigned long long)width_max);
            return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
        }
        bits = magnitude;
    }
    for (uint32_t i = 0; i < t.width; ++i) {
        out->value.raw[i] = (uint8_t)(bits >> (8 * i));
    }
    return ZELKC_LOGIX_OK;
}

uint8_t parse_real(uint16_t type, const char* text, const char* p, const char* end, zelkc_logix_value* out,
                   char* note, uint32_t capacity) {
    const char* name = type == ZELKC_LOGIX_TYPE_REAL ? "a REAL" : "an LREAL";
    const char* start = p;
    if (p != end && *p == '+') {
        ++start; // from_chars takes '-' only
        if (start != end && *start == '-') {
            say(note, capacity, "'%s' is not %s", text, name);
            return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
        }
    }
    double d = 0;
    const auto parsed = std::from_chars(start, end, d, std::chars_format::general);
    if (parsed.ec == std::errc::result_out_of_range) {
        say(note, capacity, "%s does not fit %s", text, name);
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    if (parsed.ec != std::errc() || parsed.ptr != end) {
        say(note, capacity, "'%s' is not %s", text, name);
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    if (type == ZELKC_LOGIX_TYPE_LREAL) {
        out->value.f64 = d;
        return ZELKC_LOGIX_OK;
    }
    if (std::isfinite(d) && std::fabs(d) > (double)std::numeric_limits<float>::max()) {
        say(note, capacity, "%s does not fit a REAL (-3.40282347e+38 to 3.40282347e+38)", text);
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    const float f = (float)d;
    out->value.f32 = f;
    // Said only when the REAL shows as another number than the one typed: its shortest text,
    // read back as a double, is not what was typed.
    char shortest[32];
    const auto written = std::to_chars(shortest, shortest + sizeof shortest - 1, f);
    *written.ptr = '\0';
    double shown = 0;
    std::from_chars(shortest, written.ptr, shown);
    if (std::isfinite(d) && shown != d) {
        say(note, capacity, "%s is written as the nearest REAL, %s", text, shortest);
    }
    return ZELKC_LOGIX_OK;
}

} // namespace

extern "C" uint8_t zelkc_logix_value_parse(uint16_t type, const char* text, zelkc_logix_value* out, char* note,
                                           uint32_t capacity) {
    if (note != nullptr && capacity != 0) {
        note[0] = '\0';
    }
    if (out != nullptr) {
        std::memset(out, 0, sizeof *out);
        out->type = type;
    }
    if (text == nullptr || out == nullptr) {
        say(note, capacity, "no value");
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    const char* p = text;
    const char* end = text + std::strlen(text);
    while (p != end && (*p == ' ' || *p == '\t')) {
        ++p;
    }
    while (end != p && (end[-1] == ' ' || end[-1] == '\t')) {
        --end;
    }
    if (p == end) {
        say(note, capacity, "no value");
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    // Messages quote the value as typed, without the blanks round it.
    char shown[64];
    const size_t n = (size_t)(end - p) < sizeof shown - 1 ? (size_t)(end - p) : sizeof shown - 4;
    std::memcpy(shown, p, n);
    std::strcpy(shown + n, (size_t)(end - p) > n ? "..." : "");

    if (type == ZELKC_LOGIX_TYPE_BOOL) {
        const size_t len = (size_t)(end - p);
        if (same_word(p, len, "1") || same_word(p, len, "true")) {
            out->value.u8 = 1;
            return ZELKC_LOGIX_OK;
        }
        if (same_word(p, len, "0") || same_word(p, len, "false")) {
            out->value.u8 = 0;
            return ZELKC_LOGIX_OK;
        }
        say(note, capacity, "'%s' is not a BOOL (0, 1, true or false)", shown);
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    if (type == ZELKC_LOGIX_TYPE_REAL || type == ZELKC_LOGIX_TYPE_LREAL) {
        return parse_real(type, shown, p, end, out, note, capacity);
    }
    if (const IntegerType* t = integer_type(type)) {
        return parse_integer(*t, shown, p, end, out, note, capacity);
    }
    say(note, capacity, "values of type 0x%02X cannot be written", type);
    return ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE;
}
