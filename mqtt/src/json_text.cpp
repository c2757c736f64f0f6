// JSON text written by hand where it is hot (every MQTT payload, every browse row): strings escaped,
// numbers recognised, and controller bytes that are not UTF-8 kept readable instead of refused.
#include <fmt/chrono.h>
#include <fmt/format.h>

#include <ctime>

#include "orvane_mqtt.h"

namespace mqtt {

namespace {

// The length of the UTF-8 sequence at text[i], or 0 when the bytes there do not form one
// (a stray continuation byte, a cut sequence, an overlong form, a surrogate, beyond U+10FFFF).
size_t utf8_sequence(std::string_view text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t n = 0;
    unsigned char low = 0x80, high = 0xBF; // the range of the second byte
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + n > text.size() || byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    for (size_t k = 2; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return n;
}

void append_latin1(std::string& out, unsigned char c) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
}

} // namespace

std::string utf8_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t n = utf8_sequence(text, i);
        if (n == 0) {
            append_latin1(out, static_cast<unsigned char>(text[i++]));
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    return out;
}

void append_json_string(std::string& out, std::string_view text) {
    out += '"';
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            out += char(c);
            ++i;
            continue;
        }
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out += "0123456789abcdef"[c >> 4];
                out += "0123456789abcdef"[c & 0xF];
            } else if (const size_t n = utf8_sequence(text, i); n != 0) {
                out.append(text.substr(i, n));
                i += n;
                continue;
            } else {
                append_latin1(out, c);
            }
        }
        ++i;
    }
    out += '"';
}

bool is_json_number(std::string_view text) {
    size_t i = 0;
    const auto digit = [&](size_t k) { return k < text.size() && text[k] >= '0' && text[k] <= '9'; };
    const auto digits = [&] {
        const size_t start = i;
        while (digit(i)) {
            ++i;
        }
        return i > start;
    };
    if (i < text.size() && text[i] == '-') {
        ++i;
    }
    if (digit(i) && text[i] == '0') {
        ++i;
    } else if (!digits()) {
        return false;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        if (!digits()) {
            return false;
        }
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            ++i;
        }
        if (!digits()) {
            return false;
        }
    }
    return i == text.size();
}

std::string iso_time(std::chrono::system_clock::time_point time) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count() % 1000;
    const std::time_t t = std::chrono::system_clock::to_time_t(time);
    const std::tm tm = fmt::gmtime(t); // portable: no gmtime_r on Windows
    return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:03}Z", tm, ms);
}

} // namespace mqtt
