#include "AddressText.h"

#include <charconv>

#include <fmt/format.h>

namespace {

// A decimal number in [low, high] making up all of `text`.
bool parseNumber(std::string_view text, uint32_t low, uint32_t high, uint32_t* out) {
    uint32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high) {
        return false;
    }
    *out = value;
    return true;
}

} // namespace

std::string parseControllerAddress(std::string_view text, uint32_t defaultPort, ControllerAddress* out) {
    const size_t first = text.find_first_not_of(" \t");
    const size_t last = text.find_last_not_of(" \t");
    std::string_view rest =
        first == std::string_view::npos ? std::string_view() : text.substr(first, last - first + 1);
    ControllerAddress a;
    a.port = defaultPort;
    const size_t slash = rest.find('/');
    if (slash != std::string_view::npos) {
        uint32_t slot = 0;
        if (!parseNumber(rest.substr(slash + 1), 0, 255, &slot)) {
            return fmt::format("'{}': the slot after '/' must be a number from 0 to 255", text);
        }
        a.slot = static_cast<int>(slot);
        rest = rest.substr(0, slash);
    }
    const size_t colon = rest.find(':');
    if (colon != std::string_view::npos) {
        if (!parseNumber(rest.substr(colon + 1), 1, 65535, &a.port)) {
            return fmt::format("'{}': the port after ':' must be a number from 1 to 65535", text);
        }
        a.portGiven = true;
        rest = rest.substr(0, colon);
    }
    if (rest.empty()) {
        return fmt::format("'{}': the address needs a host name or IP address", text);
    }
    if (rest.find_first_of(" \t") != std::string_view::npos) {
        return fmt::format("'{}': a host name has no spaces", text);
    }
    a.host = std::string(rest);
    *out = a;
    return {};
}
