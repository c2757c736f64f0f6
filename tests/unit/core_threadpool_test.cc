// The thread pool: queue order, lifetime tokens, draining on stop, error texts.
// No test sleeps: tasks are held back with gates that the test opens.
#include "ThreadPool.h"

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

// The text of the exception of type E that fn throws.
template <typename E, typename F> std::string errorText(F&& fn) {
    try {
        fn();
    } catch (const E& e) {
        return e.what();
    }
    return "(no exception)";
}

// A task that keeps its worker busy until the pool refuses work, that is until stop() has begun.
std::function<void()> untilStopped(ThreadPool& pool) {
    return [&pool] {
        while (errorText<std::runtime_error>([&] { pool.execute([] {}); }) != "ThreadPool is stopped") {
            std::this_thread::yield();
        }
    };
}

} // namespace

TEST(ThreadPool, RunsInQueueOrderSkipsTasksWhoseOwnerIsGoneAndDrainsWhenDestroyed) {
    std::string journal; // written by the one worker, read before init and after destruction
    auto owner = std::make_shared<int>(0);
    auto gone = std::make_shared<int>(0);
    auto captured = std::make_shared<int>(0); // held only by skipped tasks
    {
        ThreadPool pool;
        pool.execute(untilStopped(pool)); // the rest is still queued when destruction begins
        pool.execute([&journal] { journal += "A"; });
        pool.execute(std::weak_ptr<void>(owner), [&journal] { journal += "B"; });
        pool.execute(std::weak_ptr<void>(gone), [&journal, captured] { journal += "gone "; });
        pool.execute(std::weak_ptr<void>(), [&journal] { journal += "empty "; });
        pool.execute([&journal] { journal += "C"; });
        gone.reset(); // the token is tested when the task reaches the front, not when queued
        EXPECT_EQ(journal, "") << "nothing runs without a worker";
        pool.init(1);
    }
    EXPECT_EQ(journal, "ABC");
    EXPECT_EQ(captured.use_count(), 1) << "the skipped task must be destroyed";
    {
        ThreadPool unstarted; // destroyed with no worker ever started: queued tasks go unrun
        unstarted.execute([&journal, captured] { journal += "unstarted"; });
    }
    EXPECT_EQ(journal, "ABC");
    EXPECT_EQ(captured.use_count(), 1);
}

TEST(ThreadPool, StopDrainsTheQueueThenRefusesWorkAndInit) {
    ThreadPool pool;
    EXPECT_EQ(errorText<std::invalid_argument>([&] { pool.init(0); }), "threadCount must be greater than 0");
    EXPECT_EQ(errorText<std::invalid_argument>([&] { pool.init(-3); }), "threadCount must be greater than 0");
    pool.init(1);
    EXPECT_EQ(errorText<std::runtime_error>([&] { pool.init(1); }), "ThreadPool already initialized");

    std::atomic<int> ran{0};
    pool.execute(untilStopped(pool)); // the five are still queued when stop() begins
    for (int i = 0; i < 5; ++i) {
        pool.execute([&ran] { ++ran; });
    }
    pool.stop();
    EXPECT_EQ(ran.load(), 5);

    EXPECT_EQ(errorText<std::runtime_error>([&] { pool.execute(std::weak_ptr<void>(), [] {}); }),
              "ThreadPool is stopped");
    EXPECT_EQ(errorText<std::runtime_error>([&] { pool.init(1); }), "ThreadPool already initialized");
    pool.stop(); // a second stop returns at once
}

TEST(ThreadPool, ATaskMayQueueMoreWorkAndManyProducersLoseNothing) {
    constexpr int kProducers = 4, kTasks = 500;
    ThreadPool pool;
    std::atomic<int> ran{0};
    std::promise<int> result;
    auto owner = std::make_shared<int>(0);
    pool.init(3);
    // A move-only task queues a follow-up (the pool's lock is not held while a task runs).
    pool.execute([&pool, &result, payload = std::make_unique<int>(41)] {
        pool.execute([&result, n = *payload + 1] { result.set_value(n); });
    });
    EXPECT_EQ(result.get_future().get(), 42);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&pool, &ran, owner] {
            for (int i = 0; i < kTasks; ++i) {
                if (i % 2 == 0) {
                    pool.execute([&ran] { ++ran; });
                } else {
                    pool.execute(std::weak_ptr<void>(owner), [&ran] { ++ran; });
                }
            }
        });
    }
    for (std::thread& producer : producers) {
        producer.join();
    }
    pool.stop();
    EXPECT_EQ(ran.load(), kProducers * kTasks);
}
