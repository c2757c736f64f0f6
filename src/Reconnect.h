// The reconnect schedule shared by the application and orvane-cli: after a lost connection the next
// attempts start 0.5, 1, 2 and 4 s apart, then every 5 s, for as long as the connection is wanted.
// A device that accepts the connection and then fails at once is not hammered: see ReconnectBackoff.
#pragma once

#include <algorithm>
#include <cstdint>

// The wait in nanoseconds before attempt `attempt` (0 for the first after the loss).
constexpr int64_t reconnectDelayNs(uint32_t attempt) {
    constexpr int64_t first = 500'000'000;
    constexpr int64_t cap = 5'000'000'000;
    return attempt >= 4 ? cap : first << attempt;
}

// The back-off of one supervised connection, on any clock in nanoseconds. Attempts that fail to
// connect wait 0.5, 1, 2, 4 s, then every 5 s. A reconnect that succeeds does not start the
// schedule again by itself: only good traffic (a read cycle or a keep-alive that worked) once the
// link has held for at least the last wait does. A link lost before that is a failed attempt too,
// and such failures let the wait keep doubling up to 30 s, so that a device that fails right after
// every reconnect gets a handful of attempts a minute, not two a second.
class ReconnectBackoff {
public:
    static constexpr int64_t firstNs = 500'000'000;
    static constexpr int64_t capNs = 5'000'000'000;
    static constexpr int64_t flappingCapNs = 30'000'000'000;

    // The wait before the next attempt, after a loss or a failed attempt; each call is one step.
    int64_t nextDelayNs() {
        const int64_t grown = steps_ >= 16 ? flappingCapNs : firstNs << steps_;
        last_ = std::min(grown, flapping_ ? flappingCapNs : capNs);
        ++steps_;
        return last_;
    }
    // An attempt connected at `nowNs`.
    void connected(int64_t nowNs) {
        up_ = true;
        connectedNs_ = nowNs;
    }
    // An exchange worked at `nowNs`: once the link has held for the last wait, the next loss starts
    // the schedule from its first step again.
    void goodTraffic(int64_t nowNs) {
        if (up_ && steps_ != 0 && nowNs - connectedNs_ >= last_) {
            reset();
            up_ = true;
        }
    }
    // The link was lost. One lost before it held (the schedule not started again) is a flap.
    void lost() {
        flapping_ = flapping_ || steps_ != 0;
        up_ = false;
    }
    // A connect or a disconnect by the user: a fresh schedule.
    void reset() {
        steps_ = 0;
        last_ = 0;
        flapping_ = false;
        up_ = false;
    }
    // Whether the link keeps failing right after it connects.
    bool flapping() const { return flapping_; }
    uint32_t steps() const { return steps_; }

private:
    uint32_t steps_ = 0;
    int64_t last_ = 0;
    bool flapping_ = false;
    bool up_ = false;
    int64_t connectedNs_ = 0;
};
