// Coloured, timestamped log lines on standard output and standard error.
//
// Call sites create a LogWriter with a level (the source location defaults to the
// call site) and call it with a {fmt} format string that is checked at build time:
//
//     LogWriter(LogLevel::Error)("failed to connect to PLC: {}", code);
//
// Logging never throws into the caller.
#pragma once

#include <cstdint>
#include <source_location>
#include <string>
#include <utility>

#include <fmt/format.h>

// The wall clock as nanoseconds since the Unix epoch, read at microsecond resolution
// (the last three digits are always 0). Lock-free; callable from any thread.
int64_t zelkc_get_unix_time_ns();

enum class LogLevel : uint8_t {
    Trace = 0,
    Debug = 1,
    Info = 2,
    Warn = 3,
    Error = 4,
    Fatal = 5,
};

class Logger {
public:
    // Writes one complete line: colour sequence, "<timestamp> <label> <<function>> <message>",
    // then "\e[0m\n". Levels above Warn go to standard error, the rest to standard output;
    // levels above Fatal are shown as Fatal. Never throws: a failure while building or
    // writing the line is reported on standard error instead.
    static void log(LogLevel level, const std::string& function, const std::string& message);

    // Lines below `minimum` are not written; with `colour` false a line has no colour sequences
    // (neither the opening one nor "\e[0m"). By default every level is written, in colour.
    static void configure(LogLevel minimum, bool colour);

    // The local-time stamp of a log line for the given wall-clock time: "%Y-%m-%d %H:%M:%S"
    // followed by "." and six zero-padded digits of microseconds; "Invalid time" when the
    // time cannot be converted.
    static std::string timestamp(int64_t unixTimeNs);
};

struct LogWriter {
    LogLevel level;
    std::source_location location;

    // The location defaults to the place where the writer is created. A default-constructed
    // std::source_location gives an empty function column.
    explicit LogWriter(LogLevel lvl, std::source_location loc = std::source_location::current()) noexcept
        : level(lvl), location(loc) {}

    // Formats the message and logs it. Any exception (for example from an argument's
    // formatter) is swallowed: nothing is written and the caller continues.
    template <typename... Args>
    void operator()(fmt::format_string<Args...> format, Args&&... args) const noexcept {
        try {
            std::string message = fmt::format(format, std::forward<Args>(args)...);
            const char* function = location.function_name();
            Logger::log(level, function != nullptr ? function : "", message);
        } catch (...) {
        }
    }
};
