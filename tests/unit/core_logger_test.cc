// The logger's exact output bytes, its stream choice and its failure behaviour.
// Runs with TZ=UTC so that timestamps are predictable.
#include "Logger.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Redirects std::cout and std::cerr into memory for the lifetime of the object.
struct Capture {
    std::ostringstream out, err;
    std::streambuf* oldOut = std::cout.rdbuf(out.rdbuf());
    std::streambuf* oldErr = std::cerr.rdbuf(err.rdbuf());
    ~Capture() {
        std::cout.rdbuf(oldOut);
        std::cerr.rdbuf(oldErr);
    }
};

// The expected line: colour, a timestamp of the shape below, " <label> <<function>> <message>",
// reset, line feed. masked() turns the digits of a written line's timestamp into '0' to match.
std::string line(const std::string& colour, const std::string& label, const std::string& function,
                 const std::string& message) {
    return colour + "0000-00-00 00:00:00.000000 " + label + " <" + function + "> " + message + "\x1b[0m\n";
}

std::string masked(std::string written, size_t stampAt = 5) {
    for (size_t i = stampAt; i < written.size() && i < stampAt + 26; ++i) {
        if (std::isdigit(static_cast<unsigned char>(written[i]))) {
            written[i] = '0';
        }
    }
    return written;
}

struct Thrower {};

} // namespace

template <> struct fmt::formatter<Thrower> {
    constexpr auto parse(fmt::format_parse_context& ctx) { return ctx.begin(); }
    template <typename Context> auto format(const Thrower&, Context& ctx) const -> decltype(ctx.out()) {
        throw std::runtime_error("formatter failed");
    }
};

TEST(Logger, EveryLevelHasItsColourLabelStreamAndEnding) {
    // Level, colour, label, written to standard error.
    const std::tuple<unsigned, const char*, const char*, bool> cases[] = {
        {0, "\x1b[90m", "[TRACE]", false}, {1, "\x1b[36m", "[DEBUG]", false},
        {2, "\x1b[32m", "[INFO ]", false}, {3, "\x1b[33m", "[WARN ]", false},
        {4, "\x1b[31m", "[ERROR]", true},  {5, "\x1b[41m", "[FATAL]", true},
        {9, "\x1b[41m", "[FATAL]", true},  {255, "\x1b[41m", "[FATAL]", true},
    };
    for (const auto& [level, colour, label, toStderr] : cases) {
        SCOPED_TRACE(level);
        Capture capture;
        const std::source_location here = std::source_location::current();
        // A byte argument prints as a number.
        LogWriter(static_cast<LogLevel>(level), here)("value {} of {}", static_cast<uint8_t>(7),
                                                      std::string("x"));
        EXPECT_EQ(masked((toStderr ? capture.err : capture.out).str()),
                  line(colour, label, here.function_name(), "value 7 of x"));
        EXPECT_EQ((toStderr ? capture.out : capture.err).str(), "");
    }
}

TEST(Logger, EmptyMessageAndWriterWithoutLocation) {
    Capture capture;
    const std::source_location here = std::source_location::current();
    LogWriter(LogLevel::Info, here)("");
    LogWriter(LogLevel::Error, std::source_location())("no place");
    EXPECT_EQ(masked(capture.out.str()), line("\x1b[32m", "[INFO ]", here.function_name(), ""));
    EXPECT_EQ(masked(capture.err.str()), line("\x1b[31m", "[ERROR]", "", "no place"));
}

TEST(Logger, TimestampIsLocalTimeWithZeroPaddedMicroseconds) {
    const int64_t second = 1796454530LL * 1000000000LL; // 2026-12-05 07:08:50 UTC
    EXPECT_EQ(Logger::timestamp(second + 4211000), "2026-12-05 07:08:50.004211");
    EXPECT_EQ(Logger::timestamp(second + 999999999), "2026-12-05 07:08:50.999999");
    EXPECT_EQ(Logger::timestamp(0), "1970-01-01 00:00:00.000000");

    using namespace std::chrono;
    const int64_t before = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count() * 1000;
    const int64_t now = zelkc_get_unix_time_ns();
    EXPECT_EQ(now % 1000, 0); // whole microseconds
    EXPECT_LE(before, now);
    EXPECT_LE(now, duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count());
}

TEST(Logger, FailuresNeverReachTheCaller) {
    {
        // A throwing formatter: nothing is written at all.
        Capture capture;
        EXPECT_NO_THROW(LogWriter(LogLevel::Error)("bad {}", Thrower{}));
        EXPECT_EQ(capture.out.str() + capture.err.str(), "");
    }
    // A failing write is reported on standard error.
    struct FailingBuffer : std::streambuf {
        int overflow(int) override { throw std::runtime_error("disk full"); }
    } failing;
    Capture capture;
    std::cout.rdbuf(&failing);
    std::cout.exceptions(std::ios::badbit);
    std::ostream* tie = std::cerr.tie(nullptr); // keep the report off the failing stream's flush
    EXPECT_NO_THROW(Logger::log(LogLevel::Info, "f()", "lost"));
    std::cerr.tie(tie);
    std::cout.exceptions(std::ios::goodbit);
    std::cout.clear();
    EXPECT_EQ(capture.err.str(), "Failed to format log message: disk full\n");
}

TEST(Logger, LinesFromSeveralThreadsNeverInterleave) {
    constexpr int kThreads = 4, kLines = 200;
    Capture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                LogWriter(LogLevel::Debug, std::source_location())("thread {} line {}", t, i);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    // Every line appears whole: sorted, the written lines are exactly the expected ones.
    std::vector<std::string> expected, written;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kLines; ++i) {
            expected.push_back(line("\x1b[36m", "[DEBUG]", "", fmt::format("thread {} line {}", t, i)));
        }
    }
    std::istringstream lines(capture.out.str());
    for (std::string text; std::getline(lines, text);) {
        written.push_back(masked(text + "\n"));
    }
    std::sort(expected.begin(), expected.end());
    std::sort(written.begin(), written.end());
    EXPECT_TRUE(written == expected) << capture.out.str().substr(0, 2000);
}
