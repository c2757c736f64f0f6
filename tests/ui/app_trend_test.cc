// The trend's history ring (wrap, the byte bound shared by the tags, gaps, the hour) and the mapping of
// values to pixels at its edges.
#include <cfloat>
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "TrendHistory.h"

namespace {

constexpr int64_t s = 1'000'000'000;

std::vector<int64_t> times(const TrendHistory& h, const std::string& tag, int64_t from = 0,
                           int64_t to = std::numeric_limits<int64_t>::max()) {
    std::vector<int64_t> out;
    h.forEach(tag, from, to, [&](const TrendPoint& p) { out.push_back(std::isnan(p.value) ? -p.timeNs / s : p.timeNs / s); });
    return out;
}

TEST(TrendHistory, RingsWrapShareTheBoundAndKeepGapsAndTheHour) {
    TrendHistory h(10 * sizeof(TrendPoint)); // ten points in all
    for (int i = 0; i < 25; ++i)
        h.add("A", i * s, i);
    EXPECT_EQ(times(h, "A"), (std::vector<int64_t>{15, 16, 17, 18, 19, 20, 21, 22, 23, 24})) << "the oldest go first";
    h.add("B", 25 * s, 1); // two rings share the ten: A keeps its newest five
    EXPECT_EQ(times(h, "A"), (std::vector<int64_t>{20, 21, 22, 23, 24}));
    EXPECT_LE(h.bytes(), 10 * sizeof(TrendPoint));
    h.add("B", 24 * s, 2); // older than the last: ignored
    h.add("B", 26 * s, NAN);
    h.add("B", 27 * s, NAN); // a gap after a gap adds nothing
    h.add("B", 28 * s, 3);
    EXPECT_EQ(times(h, "B"), (std::vector<int64_t>{25, -26, 28})) << "a gap is a NaN point (shown negative)";
    EXPECT_EQ(times(h, "B", 27 * s, 28 * s), (std::vector<int64_t>{-26, 28})) << "with the point before the window";
    h.remove("B");
    EXPECT_EQ(h.pointCount("B"), 0u);
    EXPECT_EQ(h.capacityFor(1), 10u);

    TrendHistory hour;
    hour.add("A", 0, 1);
    hour.add("A", 1800 * s, 2);
    hour.add("A", 3601 * s, 3); // more than an hour after the first
    EXPECT_EQ(times(hour, "A"), (std::vector<int64_t>{1800, 3601}));
    EXPECT_EQ(hour.oldestNs(), 1800 * s);
    // An hour at the rate per ring, never the whole bound for one tag; the bound for many.
    hour.setIntervalNs(100'000'000);
    EXPECT_EQ(hour.capacityFor(1), 36000u * 5 / 4 + 16);
    EXPECT_EQ(hour.capacityFor(1000), TrendHistory::defaultBoundBytes / sizeof(TrendPoint) / 1000);
}

TEST(TrendHistory, ValuesMapToPixelsWithinTheBand) {
    const double big = 9007199254740993.0; // 2^53 + 1: a LINT beyond a double's integers
    struct Case {
        double value, low, high;
        float pixel; // top 100 (high), bottom 200 (low)
    };
    const Case cases[] = {
        {5, 0, 10, 150},       {0, 0, 10, 200},         {10, 0, 10, 100},   {-3, 0, 10, 200}, // clamped below
        {13, 0, 10, 100},      {7, 7, 7, 150},          {8, 7, 7, 100},     {6, 7, 7, 200},   // a flat range
        {INFINITY, 0, 1, 100}, {-INFINITY, 0, 1, 200},  {0, -DBL_MAX, DBL_MAX, 150},          // no finite span
        {big, big - 2, big + 2, 150},
    };
    for (const Case& c : cases)
        EXPECT_FLOAT_EQ(trendPixel(c.value, c.low, c.high, 100, 200), c.pixel) << c.value << " in " << c.low << ".." << c.high;
    EXPECT_TRUE(std::isnan(trendPixel(NAN, 0, 1, 100, 200)));
}

// The value axis's labels: round steps over any range, whole multiples of the step, at most six, none
// for an empty or upside-down range.
TEST(TrendTicks, RoundStepsOverAnyRange) {
    const struct {
        double low, high;
        std::vector<double> ticks;
    } cases[] = {
        {-1.44882, 106.545, {0, 20, 40, 60, 80, 100}},
        {0, 1, {0, 0.2, 0.4, 0.6, 0.8, 1}},
        {0.05, 0.42, {0.1, 0.2, 0.3, 0.4}},
        {-418.961, 6705.86, {0, 2000, 4000, 6000}},
        {-5, 5, {-4, -2, 0, 2, 4}},
        {1e6, 1e6 + 3, {1e6, 1e6 + 1, 1e6 + 2, 1e6 + 3}},
        {3, 3, {}},
        {5, 1, {}},
    };
    for (const auto& c : cases) {
        const std::vector<double> got = trendTicks(c.low, c.high);
        ASSERT_EQ(got.size(), c.ticks.size()) << c.low << ".." << c.high;
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_DOUBLE_EQ(got[i], c.ticks[i]) << c.low << ".." << c.high;
    }
}

} // namespace
