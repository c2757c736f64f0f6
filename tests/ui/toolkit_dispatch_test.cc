// dispatchToMainThread from other threads: every function runs exactly once, on the main thread.
#include "toolkit_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

using namespace tk;

TEST(Dispatch, FromOtherThreadsRunsOnceOnTheMainThread) {
    TestApp t(0, 0);
    constexpr int kThreads = 4;
    constexpr int kPerThread = 500;
    const std::thread::id mainId = std::this_thread::get_id();
    std::vector<int> runs(kThreads * kPerThread, 0); // touched on the main thread only
    int offMain = 0;
    std::atomic<int> producersDone{0};

    std::vector<std::thread> producers;
    for (int p = 0; p < kThreads; ++p) {
        producers.emplace_back([&, p] {
            EXPECT_FALSE(Application::isMainThread());
            for (int i = 0; i < kPerThread; ++i) {
                const int slot = p * kPerThread + i;
                Application::dispatchToMainThread([&, slot] {
                    ++runs[static_cast<std::size_t>(slot)];
                    if (std::this_thread::get_id() != mainId) {
                        ++offMain;
                    }
                });
            }
            producersDone.fetch_add(1);
        });
    }
    // Frames run while the producers push; once all have finished one more frame drains the rest.
    while (producersDone.load() < kThreads) {
        t.app->runFrame(1000);
    }
    for (auto& th : producers) th.join();
    t.frames(2);
    EXPECT_EQ(offMain, 0);
    EXPECT_EQ(std::count(runs.begin(), runs.end(), 1), static_cast<long>(runs.size()));
}

TEST(Dispatch, NestedDispatchRunsNextFrameAndPendingWorkIsDroppedWithTheApplication) {
    auto t = std::make_unique<TestApp>(0, 0);
    std::vector<int> order;
    Application::dispatchToMainThread([&] {
        order.push_back(1);
        Application::dispatchToMainThread([&] { order.push_back(2); });
    });
    for (const auto& expected : {std::vector<int>{1}, std::vector<int>{1, 2}}) {
        t->frames(1);
        EXPECT_EQ(order, expected);
    }

    // Queued but never run: destroyed with the application, its captures released.
    auto token = std::make_shared<int>(7);
    std::weak_ptr<int> watch = token;
    Application::dispatchToMainThread([token, &order] { order.push_back(3); });
    token.reset();
    EXPECT_FALSE(watch.expired());
    t.reset();
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(order, (std::vector<int>{1, 2}));

    // A thread dispatching while the application goes away must not crash or run anything later.
    auto t2 = std::make_unique<TestApp>(0, 0);
    std::atomic<bool> stop{false};
    std::atomic<int> ran{0};
    std::thread producer([&] {
        while (!stop.load()) {
            Application::dispatchToMainThread([&] { ran.fetch_add(1); });
        }
    });
    t2->frames(3);
    t2.reset();
    stop.store(true);
    producer.join();
    const int before = ran.load();
    TestApp t3(0, 0);
    t3.frames(1); // functions dispatched between the two applications were discarded
    EXPECT_EQ(ran.load(), before);
}
