// The logger's exact output bytes, its stream choice and its failure behaviour.
// Runs with TZ=UTC so that timestamps are predictable.
#include "Logger.h"

#include <cctype>
#include <chrono>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Redirects std::cout and std::cerr into memory for the lifetime of the object.
class Capture {
public:
    Capture() : oldOut(std::cout.rdbuf(out.rdbuf())), oldErr(std::cerr.rdbuf(err.rdbuf())) {}
    ~Capture() {
        std::cout.rdbuf(oldOut);
        std::cerr.rdbuf(oldErr);
    }
    std::string stdout_text() const { return out.str(); }
    std::string stderr_text() const { return err.str(); }

private:
    std::ostringstream out;
    std::ostringstream err;
    std::streambuf* oldOut;
    std::streambuf* oldErr;
};

// True when text is "<digits>-<digits>..." in the shape "0000-00-00 00:00:00.000000".
bool isTimestamp(const std::string& text) {
    const std::string shape = "0000-00-00 00:00:00.000000";
    if (text.size() != shape.size()) {
        return false;
    }
    for (size_t i = 0; i < shape.size(); ++i) {
        if (shape[i] == '0' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i]) {
            return false;
        }
    }
    return true;
}

// Checks one written line: colour, timestamp, " <label> <<function>> <message>", reset, line feed.
::testing::AssertionResult isLine(const std::string& written, const std::string& colour,
                                  const std::string& label, const std::string& function,
                                  const std::string& message) {
    const std::string rest = " " + label + " <" + function + "> " + message + "\x1b[0m\n";
    const size_t stampSize = 26;
    if (written.size() != colour.size() + stampSize + rest.size() ||
        written.compare(0, colour.size(), colour) != 0 ||
        !isTimestamp(written.substr(colour.size(), stampSize)) ||
        written.compare(colour.size() + stampSize, std::string::npos, rest) != 0) {
        return ::testing::AssertionFailure() << "unexpected line: " << ::testing::PrintToString(written);
    }
    return ::testing::AssertionSuccess();
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
    struct Case {
        unsigned level;
        const char* colour;
        const char* label;
        bool toStderr;
    };
    const Case cases[] = {
        {0, "\x1b[90m", "[TRACE]", false}, {1, "\x1b[36m", "[DEBUG]", false},
        {2, "\x1b[32m", "[INFO ]", false}, {3, "\x1b[33m", "[WARN ]", false},
        {4, "\x1b[31m", "[ERROR]", true},  {5, "\x1b[41m", "[FATAL]", true},
        {9, "\x1b[41m", "[FATAL]", true},  {255, "\x1b[41m", "[FATAL]", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level);
        Capture capture;
        const std::source_location here = std::source_location::current();
        LogWriter(static_cast<LogLevel>(c.level), here)("value {} of {}", 7, std::string("x"));
        const std::string written = c.toStderr ? capture.stderr_text() : capture.stdout_text();
        const std::string other = c.toStderr ? capture.stdout_text() : capture.stderr_text();
        EXPECT_EQ(other, "");
        EXPECT_TRUE(isLine(written, c.colour, c.label, here.function_name(), "value 7 of x"));
    }
}

TEST(Logger, TimestampIsLocalTimeWithZeroPaddedMicroseconds) {
    // 2026-12-05 07:08:50 UTC
    const int64_t second = 1796454530LL * 1000000000LL;
    EXPECT_EQ(Logger::timestamp(second + 4211000), "2026-12-05 07:08:50.004211");
    EXPECT_EQ(Logger::timestamp(second), "2026-12-05 07:08:50.000000");
    // The last nanosecond of the second still belongs to it.
    EXPECT_EQ(Logger::timestamp(second + 999999999), "2026-12-05 07:08:50.999999");
    EXPECT_EQ(Logger::timestamp(0), "1970-01-01 00:00:00.000000");
}

TEST(Logger, EmptyMessageAndMissingLocation) {
    {
        Capture capture;
        LogWriter(LogLevel::Info)("");
        const std::string text = capture.stdout_text();
        ASSERT_GE(text.size(), 7u);
        EXPECT_EQ(text.substr(text.size() - 7), "> \x1b[0m\n");
    }
    {
        Capture capture;
        LogWriter(LogLevel::Warn, std::source_location())("no place");
        EXPECT_TRUE(isLine(capture.stdout_text(), "\x1b[33m", "[WARN ]", "", "no place"));
    }
}

TEST(Logger, ByteArgumentsPrintAsNumbers) {
    Capture capture;
    LogWriter(LogLevel::Error)("failed to connect to PLC: {}", static_cast<uint8_t>(3));
    const std::string text = capture.stderr_text();
    EXPECT_NE(text.find("> failed to connect to PLC: 3\x1b[0m\n"), std::string::npos) << text;
}

TEST(Logger, ThrowingFormatterWritesNothingAndDoesNotPropagate) {
    Capture capture;
    EXPECT_NO_THROW(LogWriter(LogLevel::Error)("bad {}", Thrower{}));
    EXPECT_EQ(capture.stdout_text(), "");
    EXPECT_EQ(capture.stderr_text(), "");
}

TEST(Logger, WriteFailureIsReportedOnStandardError) {
    struct FailingBuffer : std::streambuf {
        int overflow(int) override { throw std::runtime_error("disk full"); }
        std::streamsize xsputn(const char*, std::streamsize) override {
            throw std::runtime_error("disk full");
        }
    } failing;
    Capture capture;
    std::streambuf* captured = std::cout.rdbuf(&failing);
    const std::ios::iostate oldMask = std::cout.exceptions();
    std::cout.exceptions(std::ios::badbit);
    // Standard error is tied to standard output; untie it so the report is not sent through the
    // failing stream's flush first.
    std::ostream* tie = std::cerr.tie(nullptr);
    EXPECT_NO_THROW(Logger::log(LogLevel::Info, "f()", "lost"));
    std::cerr.tie(tie);
    std::cout.exceptions(oldMask);
    std::cout.clear();
    std::cout.rdbuf(captured);
    EXPECT_EQ(capture.stderr_text(), "Failed to format log message: disk full\n");
}

TEST(Logger, LinesFromSeveralThreadsNeverInterleave) {
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
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
    std::istringstream lines(capture.stdout_text());
    std::vector<int> next(kThreads, 0);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ASSERT_GT(line.size(), 40u) << line;
        const int t = line[line.find("thread ") + 7] - '0';
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        // Each thread's lines appear whole and in its own order.
        const std::string message = "thread " + std::to_string(t) + " line " + std::to_string(next[t]++);
        EXPECT_TRUE(isLine(line + "\n", "\x1b[36m", "[DEBUG]", "", message));
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

TEST(Logger, UnixTimeIsWholeMicrosecondsOfTheSystemClock) {
    using namespace std::chrono;
    const int64_t before = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count() * 1000;
    const int64_t first = zelkc_get_unix_time_ns();
    const int64_t second = zelkc_get_unix_time_ns();
    const int64_t after = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count() * 1000;
    EXPECT_EQ(first % 1000, 0);
    EXPECT_LE(before, first);
    EXPECT_LE(first, second);
    EXPECT_LE(second, after);
}
