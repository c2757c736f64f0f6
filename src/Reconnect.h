// The reconnect schedule shared by the application and orvane-cli: after a lost connection the next
// attempts start 0.5, 1, 2 and 4 s apart, then every 5 s, for as long as the connection is wanted.
#pragma once

#include <cstdint>

// The wait in nanoseconds before attempt `attempt` (0 for the first after the loss).
constexpr int64_t reconnectDelayNs(uint32_t attempt) {
    constexpr int64_t first = 500'000'000;
    constexpr int64_t cap = 5'000'000'000;
    return attempt >= 4 ? cap : first << attempt;
}
