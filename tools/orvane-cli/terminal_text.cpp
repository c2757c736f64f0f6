// Device-supplied text made safe for a terminal: control characters shown as escapes.
#include "terminal_text.h"

#include <fmt/format.h>

namespace cli {

namespace {

// The length of the well-formed UTF-8 sequence at s[i] and its code point; 0 when the bytes there
// are not one (a stray continuation byte, a truncated or over-long sequence, a surrogate).
size_t utf8_sequence(std::string_view s, size_t i, uint32_t* code) {
    const auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
    const uint8_t lead = byte(i);
    size_t length = 0;
    uint32_t cp = 0;
    uint32_t least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, cp = lead & 0x1Fu, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, cp = lead & 0x0Fu, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, cp = lead & 0x07u, least = 0x10000;
    } else {
        return 0;
    }
    if (s.size() - i < length) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        cp = cp << 6 | (byte(i + k) & 0x3Fu);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    *code = cp;
    return length;
}

} // namespace

std::string terminal_safe(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<uint8_t>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (c < 0x80) { // C0 controls (escape, line breaks, bell...) and DEL
            out += fmt::format("\\x{:02x}", c);
            ++i;
            continue;
        }
        uint32_t code = 0;
        const size_t length = utf8_sequence(text, i, &code);
        if (length == 0) {
            // Not UTF-8: a lone byte of 0x80..0x9F is an 8-bit control to some terminals.
            out += fmt::format("\\x{:02x}", c);
            ++i;
        } else if (code <= 0x9F) { // C1 controls, e.g. U+009B, the one-character CSI
            out += fmt::format("\\u{:04x}", code);
            i += length;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

} // namespace cli
