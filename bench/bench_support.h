// What the benchmark programs share: wall time since a point, and the process's resident memory.
#pragma once

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// VmRSS of this process in KiB, or -1 when /proc does not tell.
inline long rssKiB() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

} // namespace bench
