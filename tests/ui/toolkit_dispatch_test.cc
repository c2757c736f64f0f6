// dispatchToMainThread: every function runs exactly once, on the main thread, in the order queued.
#include "toolkit_support.h"

TEST(Dispatch, FromOtherThreadsRunsOnceInOrderOnTheMainThread) {
    TestApp t;
    constexpr int kThreads = 4, kPerThread = 500;
    std::vector<int> next(kThreads, 0); // each thread's next function, counted on the main thread only
    int wrong = 0;                      // functions run out of their thread's order or off the main thread
    std::atomic<int> producersDone{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kThreads; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kPerThread; ++i) {
                Application::dispatchToMainThread(
                    [&, p, i] { wrong += i != next[p]++ || !Application::isMainThread(); });
            }
            producersDone.fetch_add(1);
        });
    }
    // Frames run while the producers push; once all have finished one more frame drains the rest.
    while (producersDone.load() < kThreads) {
        t.app->runFrame(1000);
    }
    for (auto& th : producers) {
        th.join();
    }
    t.frames(1);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(next, std::vector<int>(kThreads, kPerThread));
}

TEST(Dispatch, NestedDispatchRunsNextFrameAndPendingWorkIsDroppedWithTheApplication) {
    auto t = std::make_unique<TestApp>();
    std::string order; // a function dispatched by a dispatched function runs in the next frame
    Application::dispatchToMainThread([&] {
        order += "1";
        Application::dispatchToMainThread([&] { order += "3"; });
    });
    Application::dispatchToMainThread([&] { order += "2"; });
    t->frames(1);
    EXPECT_EQ(order, "12");
    // A thread dispatching while the application goes away must not crash or run anything later.
    std::atomic<bool> stop{false};
    std::atomic<int> ran{0};
    std::thread producer([&] {
        while (!stop.load()) {
            Application::dispatchToMainThread([&] { ran.fetch_add(1); });
        }
    });
    t->frames(3);
    // Queued but never run: destroyed with the application; with none, dropped at once.
    auto token = std::make_shared<int>(7);
    Application::dispatchToMainThread([token] {});
    t.reset();
    const int before = ran.load();
    EXPECT_EQ(token.use_count(), 1);
    Application::dispatchToMainThread([token] {});
    EXPECT_EQ(token.use_count(), 1);
    stop.store(true);
    producer.join();
    TestApp t2;
    t2.frames(1); // functions dispatched between the two applications were discarded
    EXPECT_EQ(ran.load(), before);
    EXPECT_EQ(order, "123");
}
