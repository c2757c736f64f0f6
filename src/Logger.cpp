#include "Logger.h"
#include "Platform.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <exception>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <sstream>

int64_t zelkc_get_unix_time_ns() {
    const auto now = std::chrono::system_clock::now();
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
    return static_cast<int64_t>(us) * 1000;
}

std::string Logger::timestamp(int64_t unixTimeNs) {
    try {
        // Whole milliseconds, as microseconds, as calendar seconds (truncating).
        const std::chrono::microseconds us((unixTimeNs / 1000000) * 1000);
        const std::time_t seconds =
            static_cast<std::time_t>(std::chrono::duration_cast<std::chrono::seconds>(us).count());
        std::tm local{};
        if (!platform::localTime(seconds, &local)) {
            return "Invalid time";
        }
        std::ostringstream out;
        out << std::put_time(&local, "%Y-%m-%d %H:%M:%S") << '.' << std::setw(6) << std::setfill('0')
            << (unixTimeNs / 1000) % 1000000;
        return out.str();
    } catch (const std::exception&) {
        return "Invalid time";
    }
}

namespace {
std::atomic<uint8_t> minimumLevel{0};
std::atomic<bool> colourOn{true};
} // namespace

void Logger::configure(LogLevel minimum, bool colour) {
    minimumLevel.store(static_cast<uint8_t>(minimum));
    colourOn.store(colour);
}

void Logger::log(LogLevel level, const std::string& function, const std::string& message) {
    if (static_cast<uint8_t>(level) < minimumLevel.load()) {
        return;
    }
    static const char* const colors[6] = {
        "\x1b[90m", // Trace: bright black
        "\x1b[36m", // Debug: cyan
        "\x1b[32m", // Info: green
        "\x1b[33m", // Warn: yellow
        "\x1b[31m", // Error: red
        "\x1b[41m", // Fatal: red background
    };
    static const char* const labels[6] = {"[TRACE]", "[DEBUG]", "[INFO ]", "[WARN ]", "[ERROR]", "[FATAL]"};
    // Keeps the three insertions of one line together when several threads log.
    static std::mutex writeMutex;

    try {
        const unsigned shown = std::min<unsigned>(static_cast<unsigned>(level), 5u);
        const int64_t now = zelkc_get_unix_time_ns();
        const std::string stamp = timestamp(now);
        const std::string line = fmt::format("{} {} <{}> {}", stamp, labels[shown], function, message);
        std::ostream& stream = static_cast<unsigned>(level) > 3u ? std::cerr : std::cout;
        std::lock_guard<std::mutex> lock(writeMutex);
        const bool colour = colourOn.load();
        stream << (colour ? colors[shown] : "");
        stream << line;
        stream << (colour ? "\x1b[0m\n" : "\n");
    } catch (const std::exception& e) {
        try {
            std::cerr << "Failed to format log message: " << e.what() << std::endl;
        } catch (...) {
        }
    } catch (...) {
    }
}
