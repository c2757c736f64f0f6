#include "TrendHistory.h"

#include <algorithm>

void TrendHistory::Ring::push(const TrendPoint& p) {
    if (points.empty()) {
        return;
    }
    if (count == points.size()) {
        popFront(); // full: the oldest point makes room
    }
    points[(head + count) % points.size()] = p;
    ++count;
}

void TrendHistory::Ring::popFront() {
    if (count == 0) {
        return;
    }
    head = (head + 1) % points.size();
    --count;
}

void TrendHistory::Ring::resize(size_t capacity) {
    std::vector<TrendPoint> kept;
    kept.reserve(capacity);
    for (size_t i = count > capacity ? count - capacity : 0; i < count; ++i) {
        kept.push_back(at(i));
    }
    count = kept.size();
    kept.resize(capacity);
    points = std::move(kept);
    head = 0;
}

size_t TrendHistory::capacityFor(size_t tags) const {
    if (tags == 0) {
        return 0;
    }
    // An hour of cycles, and room for the gaps between them.
    const size_t hour = static_cast<size_t>(keptNs / std::max<int64_t>(1, intervalNs)) * 5 / 4 + 16;
    return std::max<size_t>(2, std::min(hour, bound / sizeof(TrendPoint) / tags));
}

void TrendHistory::setIntervalNs(int64_t ns) {
    if (ns > 0 && ns != intervalNs) {
        intervalNs = ns;
        rebalance();
    }
}

void TrendHistory::rebalance() {
    ++changes;
    const size_t capacity = capacityFor(rings.size());
    for (auto& [name, ring] : rings) {
        if (ring.points.size() != capacity) {
            ring.resize(capacity);
        }
    }
}

void TrendHistory::add(const std::string& tag, int64_t timeNs, double value) {
    auto it = rings.find(tag);
    if (it == rings.end()) {
        it = rings.emplace(tag, Ring{}).first;
        rebalance();
    }
    Ring& ring = it->second;
    if (ring.count > 0) {
        const TrendPoint& last = ring.at(ring.count - 1);
        if (timeNs < last.timeNs || (std::isnan(value) && std::isnan(last.value))) {
            return;
        }
    }
    while (ring.count > 0 && ring.at(0).timeNs < timeNs - keptNs) {
        ring.popFront();
    }
    ring.push(TrendPoint{timeNs, value});
    ++changes;
}

void TrendHistory::remove(const std::string& tag) {
    if (rings.erase(tag) > 0) {
        rebalance(); // the others may keep more now
    }
}

void TrendHistory::clear() {
    rings.clear();
    ++changes;
}

size_t TrendHistory::pointCount(const std::string& tag) const {
    const auto it = rings.find(tag);
    return it == rings.end() ? 0 : it->second.count;
}

int64_t TrendHistory::oldestNs() const {
    int64_t oldest = 0;
    for (const auto& [name, ring] : rings) {
        if (ring.count > 0 && (oldest == 0 || ring.at(0).timeNs < oldest)) {
            oldest = ring.at(0).timeNs;
        }
    }
    return oldest;
}

size_t TrendHistory::bytes() const {
    size_t total = 0;
    for (const auto& [name, ring] : rings) {
        total += ring.points.size() * sizeof(TrendPoint);
    }
    return total;
}

std::vector<double> trendTicks(double low, double high, int most) {
    std::vector<double> ticks;
    if (!(high > low) || most < 2 || !std::isfinite(high - low)) {
        return ticks;
    }
    // The smallest round step that leaves at most `most` multiples inside the range.
    double power = std::pow(10.0, std::floor(std::log10((high - low) / most)));
    if (!(power > 0) || !std::isfinite(power)) {
        return ticks;
    }
    double step = power;
    for (int factor = 0;; factor = (factor + 1) % 3) {
        step = power * (factor == 0 ? 1.0 : factor == 1 ? 2.0 : 5.0);
        if (std::floor(high / step) - std::ceil(low / step) + 1 <= most) {
            break;
        }
        if (factor == 2) {
            power *= 10;
        }
    }
    // Whole multiples of the step, so that the labels do not drift by the step's rounding.
    for (double k = std::ceil(low / step); k * step <= high; ++k) {
        ticks.push_back(k * step == 0 ? 0.0 : k * step);
    }
    return ticks;
}

float trendPixel(double value, double low, double high, float top, float bottom) {
    if (std::isnan(value)) {
        return NAN;
    }
    if (!(high > low) || !std::isfinite(high - low)) {
        // One value (or a range too wide to subtract): the middle, or the edge a value lies beyond.
        if (value > high) {
            return top;
        }
        if (value < low) {
            return bottom;
        }
        return (top + bottom) / 2;
    }
    const double t = (value - low) / (high - low);
    const double clamped = std::clamp(t, 0.0, 1.0);
    return static_cast<float>(bottom + (top - bottom) * clamped);
}
