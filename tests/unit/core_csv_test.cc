// Recording the watch table: the file's exact bytes over cycles whose tags change, its name, what
// happens when it cannot be created or written, and UTC timestamps at day and year boundaries.
#include "CsvRecorder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

#include <sys/resource.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int64_t kSecond = 1000000000;
constexpr int64_t kDec7 = 1796601600 * kSecond; // 2026-12-07T00:00:00Z

// A scratch folder unique to this process, removed with everything in it at the end. The time zone is
// set far from UTC so that anything formatted in local time shows up as a wrong date.
struct Scratch {
    fs::path dir = fs::temp_directory_path() / ("orvane-csv-test-" + std::to_string(::getpid()));
    Scratch() {
        fs::remove_all(dir);
        fs::create_directories(dir);
        ::setenv("TZ", "XXX-14", 1);
        ::tzset();
    }
    ~Scratch() { fs::remove_all(dir); }
};

std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

using S = CsvCell::State;

} // namespace

TEST(CsvRecorder, TimestampsInUtcWithMillisecondsTruncated) {
    Scratch scratch;
    const std::pair<int64_t, const char*> cases[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {kDec7 - 1, "2026-12-06T23:59:59.999Z"}, // the last nanosecond of a day stays in that day
        {kDec7, "2026-12-07T00:00:00.000Z"},
        {kDec7 + 1002003004, "2026-12-07T00:00:01.002Z"},
        {kDec7 + 3723 * kSecond + 456999999, "2026-12-07T01:02:03.456Z"},
        {1798761600 * kSecond - 1, "2026-12-31T23:59:59.999Z"},
        {1798761600 * kSecond, "2027-01-01T00:00:00.000Z"},
        {1835440496 * kSecond + 7000000, "2028-02-29T12:34:56.007Z"},
        {951868800 * kSecond - 1, "2000-02-29T23:59:59.999Z"},
        {-1, "1969-12-31T23:59:59.999Z"},
    };
    for (const auto& [ns, text] : cases) {
        EXPECT_EQ(CsvRecorder::timestamp(ns), text) << ns;
    }
}

TEST(CsvRecorder, CyclesWithStatesQuotingAndANewSectionWheneverTheTagsChange) {
    Scratch scratch;
    CsvRecorder recorder;
    ASSERT_TRUE(recorder.start(scratch.dir, "Line 3/PLC", kDec7 - kSecond)) << recorder.error();
    EXPECT_TRUE(recorder.isRecording());
    EXPECT_EQ(recorder.path(), scratch.dir / "Line_3_PLC-20261206-235959.csv");

    const CsvCell a{"A", "DINT", "7", S::Live, ""};
    const CsvCell b{"Prog:B.C", "REAL", "1.5", S::Live, ""};
    const CsvCell grid{"Grid[1,2]", "STRING", "say \"hi\", twice\nthen stop", S::Live, ""};
    const CsvCell bStale{"Prog:B.C", "REAL", "1.5", S::Stale, ""};
    const CsvCell aError{"A", "DINT", "7", S::Error, "path, not found"};
    const CsvCell aPending{"A", "DINT", "", S::Pending, ""};
    const CsvCell aAsInt{"A", "INT", "7", S::Live, ""};
    // Cycle time and cells; the last cycle brings the same name with another type.
    const std::vector<std::pair<int64_t, std::vector<CsvCell>>> cycles = {
        {kDec7 - 1, {a, b}},        {kDec7, {a, bStale}},     {kDec7 + 1000000, {a, b}},
        {kDec7 + 2 * kSecond, {a, b, grid}}, {kDec7 + 3 * kSecond, {aError, b, grid}},
        {kDec7 + 4 * kSecond, {b, grid}},    {kDec7 + 5 * kSecond, {grid, b}},
        {kDec7 + 6 * kSecond, {}},           {kDec7 + 7 * kSecond, {aPending}},
        {kDec7 + 8 * kSecond, {aAsInt}},
    };
    for (const auto& [time, cells] : cycles) {
        ASSERT_TRUE(recorder.writeCycle(time, cells)) << recorder.error();
    }
    recorder.stop();
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_EQ(recorder.error(), "");
    EXPECT_EQ(read(recorder.path()),
              "time,A (DINT),A status,Prog:B.C (REAL),Prog:B.C status\n"
              "2026-12-06T23:59:59.999Z,7,good,1.5,good\n"
              "2026-12-07T00:00:00.000Z,7,good,,stale\n"
              "2026-12-07T00:00:00.001Z,7,good,1.5,good\n"
              "time,A (DINT),A status,Prog:B.C (REAL),Prog:B.C status,\"Grid[1,2] (STRING)\",\"Grid[1,2] status\"\n"
              "2026-12-07T00:00:02.000Z,7,good,1.5,good,\"say \"\"hi\"\", twice\nthen stop\",good\n"
              "2026-12-07T00:00:03.000Z,,\"error: path, not found\",1.5,good,\"say \"\"hi\"\", twice\nthen stop\",good\n"
              "time,Prog:B.C (REAL),Prog:B.C status,\"Grid[1,2] (STRING)\",\"Grid[1,2] status\"\n"
              "2026-12-07T00:00:04.000Z,1.5,good,\"say \"\"hi\"\", twice\nthen stop\",good\n"
              "time,\"Grid[1,2] (STRING)\",\"Grid[1,2] status\",Prog:B.C (REAL),Prog:B.C status\n"
              "2026-12-07T00:00:05.000Z,\"say \"\"hi\"\", twice\nthen stop\",good,1.5,good\n"
              "time\n"
              "2026-12-07T00:00:06.000Z\n"
              "time,A (DINT),A status\n"
              "2026-12-07T00:00:07.000Z,,pending\n"
              "time,A (INT),A status\n"
              "2026-12-07T00:00:08.000Z,7,good\n");
}

TEST(CsvRecorder, EveryCycleReachesTheFileBeforeTheNextAndNoRecordingReplacesAnother) {
    Scratch scratch;
    CsvRecorder first, second, third;
    ASSERT_TRUE(first.start(scratch.dir, "PLC", kDec7));
    ASSERT_TRUE(first.writeCycle(kDec7, {{"A", "BOOL", "1", S::Live, ""}}));
    // Read while still recording: the line is already in the file, not in a buffer.
    EXPECT_EQ(read(first.path()), "time,A (BOOL),A status\n2026-12-07T00:00:00.000Z,1,good\n");

    // Started within the same second: numbered files beside the first, which keeps its lines.
    ASSERT_TRUE(second.start(scratch.dir, "PLC", kDec7 + 999 * 1000000));
    ASSERT_TRUE(third.start(scratch.dir, "PLC", kDec7));
    EXPECT_EQ(second.path(), scratch.dir / "PLC-20261207-000000-2.csv");
    EXPECT_EQ(third.path(), scratch.dir / "PLC-20261207-000000-3.csv");
    EXPECT_EQ(read(first.path()), "time,A (BOOL),A status\n2026-12-07T00:00:00.000Z,1,good\n");
    EXPECT_EQ(read(second.path()), "");

    // A second start on the same recorder closes the first file and begins a fresh section.
    ASSERT_TRUE(first.start(scratch.dir, "Other", kDec7));
    ASSERT_TRUE(first.writeCycle(kDec7, {{"A", "BOOL", "0", S::Live, ""}}));
    EXPECT_EQ(read(first.path()), "time,A (BOOL),A status\n2026-12-07T00:00:00.000Z,0,good\n");

    // Controller names made safe for a file name.
    const std::pair<const char*, const char*> names[] = {
        {"", "controller"},          {"a.b-c_D9", "a.b-c_D9"}, {"../up", ".._up"},
        {"PLC 1:2\\x", "PLC_1_2_x"}, {"\xc3\x9c", "__"},
    };
    for (const auto& [controller, safe] : names) {
        CsvRecorder recorder;
        ASSERT_TRUE(recorder.start(scratch.dir, controller, 0)) << controller << recorder.error();
        EXPECT_EQ(recorder.path(), scratch.dir / (std::string(safe) + "-19700101-000000.csv")) << controller;
    }
}

TEST(CsvRecorder, FilesThatCannotBeCreatedOrWritten) {
    Scratch scratch;
    std::ofstream(scratch.dir / "plain") << "x";
    // A missing folder, a folder path that is a regular file, a path through a regular file.
    for (const fs::path& folder : {scratch.dir / "missing", scratch.dir / "plain", scratch.dir / "plain" / "sub"}) {
        CsvRecorder recorder;
        EXPECT_FALSE(recorder.start(folder, "PLC", kDec7)) << folder;
        EXPECT_FALSE(recorder.isRecording());
        EXPECT_NE(recorder.error().find(folder.string()), std::string::npos) << recorder.error();
        EXPECT_FALSE(recorder.writeCycle(kDec7, {}));
    }
    CsvRecorder idle;
    EXPECT_FALSE(idle.writeCycle(kDec7, {}));
    EXPECT_EQ(idle.error(), "Not recording.");

    // A write the file system refuses (a file size limit, which holds even for root): false, the
    // recording stops, the lines before stay whole.
    CsvRecorder recorder;
    ASSERT_TRUE(recorder.start(scratch.dir, "PLC", kDec7));
    ASSERT_TRUE(recorder.writeCycle(kDec7, {{"A", "DINT", "1", S::Live, ""}}));
    const std::string before = read(recorder.path());
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = before.size() + 10;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool wrote = recorder.writeCycle(kDec7 + kSecond, {{"A", "DINT", std::string(100, '9'), S::Live, ""}});
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(wrote);
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_NE(recorder.error().find(recorder.path().string()), std::string::npos) << recorder.error();
    EXPECT_EQ(read(recorder.path()).substr(0, before.size()), before);
    EXPECT_FALSE(recorder.writeCycle(kDec7 + 2 * kSecond, {}));
}
