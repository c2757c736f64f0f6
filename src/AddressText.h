// The controller address grammar that the window and orvane-cli share: HOST, HOST:PORT, HOST/SLOT and
// HOST:PORT/SLOT, where SLOT is the backplane slot of a controller reached through a communication
// module at HOST.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct ControllerAddress {
    std::string host;
    uint32_t port = 44818;  // the text's port, else the default given to the parser
    int slot = -1;          // -1: the controller answers at HOST itself
    bool portGiven = false; // the text named a port
};

// Parses `text` (spaces around it ignored) into `out`, with `defaultPort` where the text names none.
// Returns what is wrong with the text in one sentence that quotes it, or the empty string; `out` is
// left alone on an error.
std::string parseControllerAddress(std::string_view text, uint32_t defaultPort, ControllerAddress* out);
