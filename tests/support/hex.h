// Bytes from hex text as a protocol analyser shows it: "4C02 206B" (spaces are ignored).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The result is a block of exactly that size, so that a parser reading past its end trips the
// sanitizers.
inline std::vector<uint8_t> hex(const std::string& text) {
    std::vector<uint8_t> out;
    for (size_t i = 0; (i = text.find_first_not_of(' ', i)) != std::string::npos; i += 2)
        out.push_back(uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
    return std::vector<uint8_t>(out);
}
