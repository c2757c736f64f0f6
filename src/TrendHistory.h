// The watched values' recent past, for the trend: per tag a ring of (time, value) points, a NaN value
// marking a gap (the tag was stale or refused from then on). The last hour is kept, and never more
// than a byte bound in all: each tag gets an equal share of the bound, and a full ring drops its
// oldest points first.
//
// Main thread only.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct TrendPoint {
    int64_t timeNs;
    double value; // NaN: no value from here to the next point
};

class TrendHistory {
public:
    static constexpr size_t defaultBoundBytes = 50u << 20; // 50 MiB
    static constexpr int64_t keptNs = 3'600'000'000'000;   // one hour

    explicit TrendHistory(size_t boundBytes = defaultBoundBytes) : bound(boundBytes) {}

    // The watch rate: a ring holds an hour of points at it (less when the bound's share is smaller).
    void setIntervalNs(int64_t ns);

    // Appends a point (a gap with NaN) to the tag's ring, made on first use. Points older than an hour
    // before `timeNs` go; a point older than the tag's last is ignored. A gap after a gap adds nothing.
    void add(const std::string& tag, int64_t timeNs, double value);
    // Forgets one tag, or all.
    void remove(const std::string& tag);
    void clear();

    // The tag's points from oldest to newest: calls fn(point) for each with time in [from, to], and the
    // one point just before `from` (so that a line can enter the window from its left edge).
    template <typename Fn> void forEach(const std::string& tag, int64_t from, int64_t to, Fn&& fn) const {
        const auto it = rings.find(tag);
        if (it == rings.end()) {
            return;
        }
        const Ring& r = it->second;
        // The first point at or after `from`, by halving (the ring is in time order); then one back.
        size_t lo = 0;
        size_t hi = r.count;
        while (lo < hi) {
            const size_t mid = (lo + hi) / 2;
            if (r.at(mid).timeNs < from) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        const size_t start = lo > 0 ? lo - 1 : 0;
        for (size_t i = start; i < r.count && r.at(i).timeNs <= to; ++i) {
            fn(r.at(i));
        }
    }
    size_t pointCount(const std::string& tag) const;
    // Moves with every change: what was drawn from the history may be drawn again while it stands.
    uint64_t revision() const { return changes; }
    // The oldest time kept for any tag; 0 when empty.
    int64_t oldestNs() const;
    // What the points take now (capacity of every ring), never more than the bound.
    size_t bytes() const;
    // How many points each ring may hold with `tags` rings: an hour at the rate, within an equal share
    // of the bound.
    size_t capacityFor(size_t tags) const;

private:
    struct Ring {
        std::vector<TrendPoint> points; // capacity slots; the oldest at `head`
        size_t head = 0;
        size_t count = 0;
        const TrendPoint& at(size_t i) const { return points[(head + i) % points.size()]; }
        void push(const TrendPoint& p);
        void popFront();
        // Keeps the newest `capacity` points.
        void resize(size_t capacity);
    };
    void rebalance();

    size_t bound;
    int64_t intervalNs = 1'000'000'000;
    uint64_t changes = 0;
    std::map<std::string, Ring> rings;
};

// Maps a value to a pixel row between `top` (the value `high`) and `bottom` (`low`), clamped to that
// band: a flat range (low == high) puts everything in the middle; NaN gives NaN (no point); values
// beyond the range (infinities included) sit on the band's edge.
float trendPixel(double value, double low, double high, float top, float bottom);
// The value axis's labels between low and high: the multiples of a round step (1, 2 or 5 times a power
// of ten) chosen so that there are at most `most` of them, lowest first. None for an empty range.
std::vector<double> trendTicks(double low, double high, int most = 6);
