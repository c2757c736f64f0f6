#include "ValueText.h"

#include <charconv>
#include <cmath>

#include <fmt/format.h>

namespace {

constexpr uint16_t kFirstCode = ZELKC_LOGIX_TYPE_BOOL;
constexpr uint16_t kCodeCount = 20; // 0xC1..0xD4

struct TypeName {
    const char* text;
    size_t length;
};

constexpr TypeName name_entry(std::string_view text) {
    return {text.data(), text.size()};
}

// Indexed by the atomic type code minus 0xC1.
constexpr TypeName kTypeNames[kCodeCount] = {
    name_entry("BOOL"),    name_entry("SINT"),    name_entry("INT"),     name_entry("DINT"),
    name_entry("LINT"),    name_entry("USINT"),   name_entry("UINT"),    name_entry("UDINT"),
    name_entry("ULINT"),   name_entry("REAL"),    name_entry("LREAL"),   name_entry("UNKNOWN"),
    name_entry("UNKNOWN"), name_entry("UNKNOWN"), name_entry("UNKNOWN"), name_entry("UNKNOWN"),
    name_entry("BYTE"),    name_entry("WORD"),    name_entry("DWORD"),   name_entry("LWORD"),
};

} // namespace

std::string_view datatype_get_name(const zelkc_logix_tag_info* info) {
    if (info == nullptr) {
        return "UNKNOWN";
    }
    const uint16_t word = info->symbol_type;
    const uint32_t rank = zelkc_logix_tag_array_rank(word);
    if (rank == 0 && zelkc_logix_tag_is_atomic(word)) {
        if (zelkc_logix_tag_atomic_type(word) == ZELKC_LOGIX_TYPE_CIP_STRING) {
            return "STRING";
        }
        if (zelkc_logix_tag_atomic_type(word) == ZELKC_LOGIX_TYPE_SHORT_STRING) {
            return "SHORT_STRING";
        }
        const unsigned index = (unsigned)zelkc_logix_tag_atomic_type(word) - kFirstCode;
        if (index >= kCodeCount) {
            return "UNKNOWN";
        }
        return {kTypeNames[index].text, kTypeNames[index].length};
    }
    if (rank != 0) {
        return "ARRAY";
    }
    if (zelkc_logix_tag_is_string(info)) {
        return "STRING";
    }
    return info->type_name != nullptr ? std::string_view(info->type_name) : std::string_view("STRUCT");
}

bool tag_holds_text(const zelkc_logix_tag_info* info) {
    if (info == nullptr || zelkc_logix_tag_array_rank(info->symbol_type) != 0) {
        return false;
    }
    if (zelkc_logix_tag_is_atomic(info->symbol_type)) {
        const uint8_t code = zelkc_logix_tag_atomic_type(info->symbol_type);
        return code == ZELKC_LOGIX_TYPE_CIP_STRING || code == ZELKC_LOGIX_TYPE_SHORT_STRING;
    }
    return zelkc_logix_tag_is_string(info);
}

std::string datatype_text(const zelkc_logix_tag_info* info) {
    if (info == nullptr || zelkc_logix_tag_array_rank(info->symbol_type) == 0) {
        return std::string(datatype_get_name(info));
    }
    zelkc_logix_tag_info element = *info; // what one element is: the word without its array bits
    element.symbol_type = static_cast<uint16_t>(element.symbol_type & 0x9FFF);
    std::string text(datatype_get_name(&element));
    text += '[';
    for (int d = 0; d < 3 && info->dims[d] != 0; ++d) {
        text += fmt::format("{}{}", d > 0 ? "," : "", info->dims[d]);
    }
    text += ']';
    return text;
}

std::string value2string(const zelkc_logix_value* value, uint16_t type) {
    if (value == nullptr) {
        return {};
    }
    const auto& v = value->value;
    switch (type) {
    case ZELKC_LOGIX_TYPE_BOOL:
        // The reader stores a BOOL as exactly 0 or 1.
        return v.u8 == 1 ? "true" : "false";
    case ZELKC_LOGIX_TYPE_SINT:
        return fmt::format("{}", v.i8);
    case ZELKC_LOGIX_TYPE_INT:
        return fmt::format("{}", v.i16);
    case ZELKC_LOGIX_TYPE_DINT:
        return fmt::format("{}", v.i32);
    case ZELKC_LOGIX_TYPE_LINT:
        return fmt::format("{}", v.i64);
    case ZELKC_LOGIX_TYPE_USINT:
    case ZELKC_LOGIX_TYPE_BYTE:
        return fmt::format("{}", v.u8);
    case ZELKC_LOGIX_TYPE_UINT:
    case ZELKC_LOGIX_TYPE_WORD:
        return fmt::format("{}", v.u16);
    case ZELKC_LOGIX_TYPE_UDINT:
    case ZELKC_LOGIX_TYPE_DWORD:
        return fmt::format("{}", v.u32);
    case ZELKC_LOGIX_TYPE_ULINT:
    case ZELKC_LOGIX_TYPE_LWORD:
        return fmt::format("{}", v.u64);
    case ZELKC_LOGIX_TYPE_REAL:
        return fmt::format("{}", v.f32);
    case ZELKC_LOGIX_TYPE_LREAL:
        return fmt::format("{}", v.f64);
    default:
        return {};
    }
}

double value2double(const zelkc_logix_value* value, uint16_t type) {
    if (value == nullptr) {
        return NAN;
    }
    const auto& v = value->value;
    switch (type) {
    case ZELKC_LOGIX_TYPE_BOOL:
        return v.u8 == 1 ? 1.0 : 0.0;
    case ZELKC_LOGIX_TYPE_SINT:
        return v.i8;
    case ZELKC_LOGIX_TYPE_INT:
        return v.i16;
    case ZELKC_LOGIX_TYPE_DINT:
        return v.i32;
    case ZELKC_LOGIX_TYPE_LINT:
        return static_cast<double>(v.i64);
    case ZELKC_LOGIX_TYPE_USINT:
    case ZELKC_LOGIX_TYPE_BYTE:
        return v.u8;
    case ZELKC_LOGIX_TYPE_UINT:
    case ZELKC_LOGIX_TYPE_WORD:
        return v.u16;
    case ZELKC_LOGIX_TYPE_UDINT:
    case ZELKC_LOGIX_TYPE_DWORD:
        return v.u32;
    case ZELKC_LOGIX_TYPE_ULINT:
    case ZELKC_LOGIX_TYPE_LWORD:
        return static_cast<double>(v.u64);
    case ZELKC_LOGIX_TYPE_REAL:
        return v.f32;
    case ZELKC_LOGIX_TYPE_LREAL:
        return v.f64;
    default:
        return NAN;
    }
}

namespace {
// The width in bits of an integer type; 0 for the others.
int integerBits(uint16_t type) {
    switch (type) {
    case ZELKC_LOGIX_TYPE_SINT:
    case ZELKC_LOGIX_TYPE_USINT:
    case ZELKC_LOGIX_TYPE_BYTE:
        return 8;
    case ZELKC_LOGIX_TYPE_INT:
    case ZELKC_LOGIX_TYPE_UINT:
    case ZELKC_LOGIX_TYPE_WORD:
        return 16;
    case ZELKC_LOGIX_TYPE_DINT:
    case ZELKC_LOGIX_TYPE_UDINT:
    case ZELKC_LOGIX_TYPE_DWORD:
        return 32;
    case ZELKC_LOGIX_TYPE_LINT:
    case ZELKC_LOGIX_TYPE_ULINT:
    case ZELKC_LOGIX_TYPE_LWORD:
        return 64;
    default:
        return 0;
    }
}
} // namespace

bool integer_type(uint16_t type) { return integerBits(type) != 0; }

std::string integer_text(const std::string& decimal, uint16_t type, IntegerBase base) {
    const int bits = integerBits(type);
    if (base == IntegerBase::Decimal || bits == 0 || decimal.empty()) {
        return decimal;
    }
    uint64_t raw = 0;
    const char* first = decimal.data();
    const char* last = decimal.data() + decimal.size();
    if (decimal[0] == '-') {
        int64_t value = 0;
        const auto [end, ec] = std::from_chars(first, last, value);
        if (ec != std::errc() || end != last) {
            return decimal;
        }
        raw = static_cast<uint64_t>(value);
    } else {
        const auto [end, ec] = std::from_chars(first, last, raw);
        if (ec != std::errc() || end != last) {
            return decimal;
        }
    }
    // Only the type's width of digits is written: a negative value is its two's complement there.
    const int perDigit = base == IntegerBase::Hex ? 4 : 1;
    const int digits = bits / perDigit;
    std::string out = base == IntegerBase::Hex ? "16#" : "2#";
    for (int i = digits - 1; i >= 0; --i) {
        const unsigned digit = static_cast<unsigned>(raw >> (i * perDigit)) & (base == IntegerBase::Hex ? 0xFu : 1u);
        out += "0123456789ABCDEF"[digit];
        if (i > 0 && i % 4 == 0) {
            out += '_';
        }
    }
    return out;
}
