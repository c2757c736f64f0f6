// The logger's exact output bytes, its stream choice and its failure behaviour.
// Runs with TZ=UTC so that timestamps are predictable.
#include "Logger.h"

#include <gtest/gtest.h>

#include <iostream>
#include <cctype>
#include <thread>

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

// What was written, with every timestamp (such as "2026-12-05 07:08:50.004211") replaced by "T".
// (std::regex is avoided: GCC's optimised sanitizer build warns inside it.)
std::string unstamped(const std::string& written) {
    const std::string shape = "0000-00-00 00:00:00.000000"; // 0: any digit
    std::string out;
    for (size_t i = 0; i < written.size();) {
        bool stamp = i + shape.size() <= written.size();
        for (size_t k = 0; stamp && k < shape.size(); ++k)
            stamp = shape[k] == '0' ? std::isdigit(static_cast<unsigned char>(written[i + k])) != 0
                                    : written[i + k] == shape[k];
        out += stamp ? std::string("T") : std::string(1, written[i]);
        i += stamp ? shape.size() : 1;
    }
    return out;
}

} // namespace

TEST(Logger, LinesForEveryLevelAndFailuresThatNeverReachTheCaller) {
    // Level, colour and label, whether written to standard error; a byte argument prints as a number,
    // an empty location as an empty function column.
    const std::tuple<unsigned, const char*, const char*, bool> cases[] = {
        {0, "\x1b[90m", "[TRACE]", false}, {1, "\x1b[36m", "[DEBUG]", false},
        {2, "\x1b[32m", "[INFO ]", false}, {3, "\x1b[33m", "[WARN ]", false},
        {4, "\x1b[31m", "[ERROR]", true},  {5, "\x1b[41m", "[FATAL]", true},
        {9, "\x1b[41m", "[FATAL]", true},  {255, "\x1b[41m", "[FATAL]", true},
    };
    for (const auto& [level, colour, label, toStderr] : cases) {
        for (const std::source_location& where : {std::source_location::current(), std::source_location()}) {
            Capture capture;
            LogWriter(static_cast<LogLevel>(level), where)("value {} of {}", uint8_t{7}, std::string("x"));
            EXPECT_EQ((toStderr ? capture.out : capture.err).str(), "") << level;
            EXPECT_EQ(unstamped((toStderr ? capture.err : capture.out).str()),
                      std::string(colour) + "T " + label + " <" + where.function_name() +
                          "> value 7 of x\x1b[0m\n");
        }
    }
    EXPECT_EQ(Logger::timestamp(1796454530LL * 1000000000LL + 4211000), "2026-12-05 07:08:50.004211");
    EXPECT_EQ(Logger::timestamp(1796454530999999999LL), "2026-12-05 07:08:50.999999");

    Capture capture;
    // A format that fails while formatting (a negative width) writes nothing at all; a failing write
    // is reported on standard error.
    EXPECT_NO_THROW(LogWriter(LogLevel::Error)("bad {:{}}", "x", -1));
    struct FailingBuffer : std::streambuf {
        int overflow(int) override { throw std::runtime_error("disk full"); }
    } failing;
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
        threads.emplace_back([] {
            for (int i = 0; i < kLines; ++i) {
                LogWriter(LogLevel::Debug, std::source_location())("one whole line");
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    // Every line appears whole: all are the same line, as many as were written.
    std::string expected;
    for (int i = 0; i < kThreads * kLines; ++i) {
        expected += "\x1b[36mT [DEBUG] <> one whole line\x1b[0m\n";
    }
    EXPECT_TRUE(unstamped(capture.out.str()) == expected) << capture.out.str().substr(0, 2000);
}

// As the window configures it: below the minimum nothing is written, and without colour a line is
// the bare text; each level still goes to its stream.
TEST(Logger, AMinimumLevelAndPlainLines) {
    Logger::configure(LogLevel::Info, false);
    Capture capture;
    for (LogLevel level : {LogLevel::Trace, LogLevel::Debug, LogLevel::Info, LogLevel::Error})
        LogWriter(level, std::source_location())("line");
    Logger::configure(LogLevel::Trace, true);
    EXPECT_EQ(unstamped(capture.out.str()), "T [INFO ] <> line\n");
    EXPECT_EQ(unstamped(capture.err.str()), "T [ERROR] <> line\n");
}
