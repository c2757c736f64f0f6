// The reconnect back-off on a fake clock: a dead device, a device that fails right after every
// reconnect, and one that comes back for good.
#include <gtest/gtest.h>

#include <vector>

#include "Reconnect.h"

namespace {

constexpr int64_t kSecond = 1'000'000'000;

// Runs a minute of losses and attempts: `connects` says whether an attempt connects, `holdsNs` how
// long a connected link carries good traffic before it is lost again (0: its first read fails).
// Returns the times of the attempts.
std::vector<int64_t> minute(bool connects, int64_t holdsNs) {
    ReconnectBackoff backoff;
    std::vector<int64_t> attempts;
    int64_t now = 0;
    backoff.lost();
    while (true) {
        now += backoff.nextDelayNs();
        if (now > 60 * kSecond) {
            return attempts;
        }
        attempts.push_back(now);
        if (!connects) {
            continue;
        }
        backoff.connected(now);
        for (int64_t t = now + kSecond; t <= now + holdsNs; t += kSecond) {
            backoff.goodTraffic(t);
        }
        now += holdsNs;
        backoff.lost();
    }
}

TEST(ReconnectBackoff, DeadDevicesAreTriedOnTheScheduleAndFlappingOnesBackOffToThirtySeconds) {
    // Nothing listening: 0.5, 1, 2, 4 s, then every 5 s.
    const std::vector<int64_t> dead = minute(false, 0);
    ASSERT_GE(dead.size(), 6u);
    const int64_t gaps[] = {500'000'000, kSecond, 2 * kSecond, 4 * kSecond, 5 * kSecond, 5 * kSecond};
    for (size_t i = 0; i < std::size(gaps); ++i)
        EXPECT_EQ(dead[i] - (i ? dead[i - 1] : 0), gaps[i]) << i;
    EXPECT_EQ(dead.size(), 14u); // 7.5 s for the first four, then one every 5 s

    // Connects, then the first read fails: waits of 0.5, 1, 2, 4, 8, 16, then 30 s: six attempts in
    // the first minute where the plain schedule would make over a hundred.
    const std::vector<int64_t> flapping = minute(true, 0);
    EXPECT_EQ(flapping.size(), 6u);
    EXPECT_EQ(flapping.back(), int64_t(31.5 * kSecond));

    // Held for 2 s (longer than the 0.5 s wait): every loss starts from the first step again.
    const std::vector<int64_t> holding = minute(true, 2 * kSecond);
    ASSERT_GE(holding.size(), 2u);
    EXPECT_EQ(holding[1] - holding[0], 2 * kSecond + 500'000'000);
}

TEST(ReconnectBackoff, GoodTrafficStartsAgainOnlyOnceTheLinkHeldForTheLastWait) {
    ReconnectBackoff backoff;
    backoff.lost();
    for (int i = 0; i < 4; ++i)
        backoff.nextDelayNs(); // 0.5, 1, 2, 4 s: the last wait was 4 s
    backoff.connected(100 * kSecond);
    backoff.goodTraffic(103 * kSecond); // held 3 s: not long enough
    backoff.lost();
    EXPECT_TRUE(backoff.flapping());
    EXPECT_EQ(backoff.nextDelayNs(), 8 * kSecond);
    backoff.connected(200 * kSecond);
    backoff.goodTraffic(208 * kSecond);
    EXPECT_FALSE(backoff.flapping());
    backoff.lost();
    EXPECT_EQ(backoff.nextDelayNs(), 500'000'000);
    EXPECT_EQ(backoff.nextDelayNs(), kSecond);
    backoff.reset(); // the user's own connect
    EXPECT_EQ(backoff.nextDelayNs(), 500'000'000);
}

} // namespace
