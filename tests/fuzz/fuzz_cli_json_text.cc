// orvane-cli's JSON text of controller bytes: any bytes become a JSON string that parses back to
// their UTF-8 reading; that reading leaves bytes alone exactly when nlohmann::json takes them as
// UTF-8; is_json_number agrees with nlohmann::json's parser on what a number is. The terminal text
// of the same bytes holds no control character (C0, DEL, C1), is well-formed UTF-8 and keeps
// printable ASCII input unchanged.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "cli.h"
#include "terminal_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) {
        return 0;
    }
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string text = cli::utf8_text(bytes);
    std::string out;
    cli::append_json_string(out, bytes);
    const nlohmann::json parsed = nlohmann::json::parse(out, nullptr, false);
    if (!parsed.is_string() || parsed.get<std::string>() != text) {
        __builtin_trap();
    }
    bool utf8 = true;
    try {
        (void)nlohmann::json(bytes).dump();
    } catch (const nlohmann::json::type_error&) {
        utf8 = false;
    }
    if (utf8 != (text == bytes)) {
        __builtin_trap();
    }
    const std::string shown = cli::terminal_safe(bytes);
    bool printable = true;
    for (const char c : bytes) {
        printable = printable && c >= 0x20 && c < 0x7F;
    }
    if ((printable && shown != bytes) ||
        shown.find_first_of(std::string_view("\x00\x1b\x7f\n", 4)) != std::string::npos ||
        cli::utf8_text(shown) != shown || shown.find("\xc2\x9b") != std::string::npos) {
        __builtin_trap();
    }
    for (const unsigned char c : shown) {
        if (c < 0x20 || c == 0x7F) {
            __builtin_trap();
        }
    }
    const nlohmann::json number = nlohmann::json::parse(bytes, nullptr, false);
    // The parser skips spaces and takes a NUL for the end of its input ("2\0x" reads as 2).
    const bool spaced = bytes.find_first_of(std::string_view(" \t\r\n\0", 5)) != std::string::npos;
    if (number.is_number() && !spaced && !cli::is_json_number(bytes)) {
        __builtin_trap();
    }
    // The grammar has no limit where the parser has one: it refuses "4e44742".
    if (cli::is_json_number(bytes) && !number.is_number() &&
        std::isfinite(std::strtod(bytes.c_str(), nullptr))) {
        __builtin_trap();
    }
    return 0;
}
