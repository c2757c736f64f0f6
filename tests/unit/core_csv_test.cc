// Recording the watch table: the file's exact bytes over cycles whose tags change, its name, files
// that cannot be created or written, and UTC timestamps at day and year boundaries. The time zone is
// set far from UTC (UTC+14) so that anything formatted in local time shows as a wrong date.
#include "CsvRecorder.h"

#include "core_scratch.h"

#include <gtest/gtest.h>

#include <ctime>

using namespace scratch;
using S = CsvCell::State;

namespace {
constexpr int64_t kSecond = 1000000000, kDec7 = 1796601600 * kSecond; // 2026-12-07T00:00:00Z
[[maybe_unused]] const bool kFarZone = (::setenv("TZ", "XXX-14", 1), ::tzset(), true);
} // namespace

TEST(CsvRecorder, TimestampsInUtcWithMillisecondsTruncated) {
    const std::pair<int64_t, const char*> cases[] = {
        {-1, "1969-12-31T23:59:59.999Z"},
        {kDec7 - 1, "2026-12-06T23:59:59.999Z"},
        {kDec7 + 3723 * kSecond + 456999999, "2026-12-07T01:02:03.456Z"},
        {1798761600 * kSecond - 1, "2026-12-31T23:59:59.999Z"},
        {1798761600 * kSecond, "2027-01-01T00:00:00.000Z"},
        {1835440496 * kSecond + 7000000, "2028-02-29T12:34:56.007Z"}};
    for (const auto& [ns, text] : cases) {
        EXPECT_EQ(CsvRecorder::timestamp(ns), text) << ns;
    }
}

TEST(CsvRecorder, CyclesWithStatesQuotingAndANewSectionWheneverTheTagsChange) {
    Folder tmp("orvane-csv-test");
    CsvRecorder recorder;
    ASSERT_TRUE(recorder.start(tmp.dir, "Line 3/PLC", kDec7 - 1)) << recorder.error();
    EXPECT_EQ(recorder.path(), tmp.dir / "Line_3_PLC-20261206-235959.csv");
    const CsvCell a{"A", "DINT", "7", S::Live, ""}, b{"P:B.C", "REAL", "1.5", S::Live, ""},
        grid{"G[1,2]", "STRING", "say \"hi\", twice\nthen", S::Live, ""},
        bStale{"P:B.C", "REAL", "1.5", S::Stale, ""}, aError{"A", "DINT", "7", S::Error, "path, not found"},
        aPending{"A", "DINT", "", S::Pending, ""}, aInt{"A", "INT", "7", S::Live, ""};
    const std::vector<CsvCell> cycles[] = {{a, b},    {a, bStale}, {a, b}, {a, b, grid}, {aError, b, grid},
                                           {b, grid}, {grid, b},   {},     {aPending},   {aInt}};
    int64_t time = kDec7 - 1;
    for (const auto& cells : cycles) {
        ASSERT_TRUE(recorder.writeCycle(time, cells)) << recorder.error();
        time += kSecond;
        if (&cells == &cycles[0]) { // the first cycle is in the file before the next is written
            EXPECT_EQ(read(recorder.path()), "time,A (DINT),A status,P:B.C (REAL),P:B.C status\n"
                                             "2026-12-06T23:59:59.999Z,7,good,1.5,good\n");
        }
    }
    recorder.stop();
    EXPECT_FALSE(recorder.isRecording());
    // The lines as the file holds them: a quoted value keeps its line break.
    EXPECT_EQ(read(recorder.path()), R"csv(time,A (DINT),A status,P:B.C (REAL),P:B.C status
2026-12-06T23:59:59.999Z,7,good,1.5,good
2026-12-07T00:00:00.999Z,7,good,,stale
2026-12-07T00:00:01.999Z,7,good,1.5,good
time,A (DINT),A status,P:B.C (REAL),P:B.C status,"G[1,2] (STRING)","G[1,2] status"
2026-12-07T00:00:02.999Z,7,good,1.5,good,"say ""hi"", twice
then",good
2026-12-07T00:00:03.999Z,,"error: path, not found",1.5,good,"say ""hi"", twice
then",good
time,P:B.C (REAL),P:B.C status,"G[1,2] (STRING)","G[1,2] status"
2026-12-07T00:00:04.999Z,1.5,good,"say ""hi"", twice
then",good
time,"G[1,2] (STRING)","G[1,2] status",P:B.C (REAL),P:B.C status
2026-12-07T00:00:05.999Z,"say ""hi"", twice
then",good,1.5,good
time
2026-12-07T00:00:06.999Z
time,A (DINT),A status
2026-12-07T00:00:07.999Z,,pending
time,A (INT),A status
2026-12-07T00:00:08.999Z,7,good
)csv");
}

TEST(CsvRecorder, FileNamesAndFilesThatCannotBeCreatedOrWritten) {
    Folder tmp("orvane-csv-test");
    // Controller names made safe; a second recording in the same second is numbered, not replacing.
    const std::pair<const char*, const char*> names[] = {
        {"", "controller"}, {"a.b-c_D9", "a.b-c_D9"}, {"../PLC 1:\xc3\x9c", ".._PLC_1___"}};
    CsvRecorder first, again;
    ASSERT_TRUE(first.start(tmp.dir, "Old", 0));
    ASSERT_TRUE(first.writeCycle(0, {{"A", "BOOL", "1", S::Live, ""}}));
    const std::string before = read(first.path());
    for (const auto& [controller, safe] : names) {
        CsvRecorder recorder;
        ASSERT_TRUE(recorder.start(tmp.dir, controller, 999999999)) << controller << recorder.error();
        EXPECT_EQ(recorder.path(), tmp.dir / (std::string(safe) + "-19700101-000000.csv")) << controller;
    }
    ASSERT_TRUE(again.start(tmp.dir, "Old", 0));
    EXPECT_EQ(again.path(), tmp.dir / "Old-19700101-000000-2.csv");
    EXPECT_EQ(read(first.path()), before);

    // A missing folder, a folder path that is a regular file, a path through a regular file.
    write(tmp.dir / "plain", "x");
    for (const fs::path& folder : {tmp.dir / "missing", tmp.dir / "plain", tmp.dir / "plain" / "sub"}) {
        CsvRecorder recorder;
        EXPECT_FALSE(recorder.start(folder, "PLC", kDec7)) << folder;
        EXPECT_FALSE(recorder.isRecording());
        EXPECT_NE(recorder.error().find(folder.string() + "/PLC-"), std::string::npos) << recorder.error();
        EXPECT_FALSE(recorder.writeCycle(kDec7, {}));
        EXPECT_EQ(recorder.error(), "Not recording.");
    }
    // A write the file system refuses (a full disk): false, the recording stops, earlier lines stay.
    EXPECT_FALSE(withFileSizeLimit(before.size() + 10, [&] {
        return first.writeCycle(1, {{"A", "BOOL", std::string(99, '1'), S::Live, ""}});
    }));
    EXPECT_FALSE(first.isRecording());
    EXPECT_NE(first.error().find(first.path().string() + " stopped"), std::string::npos) << first.error();
    EXPECT_EQ(read(first.path()).substr(0, before.size()), before);
}
