// The thread pool: queue order, lifetime tokens, draining on stop, refusals, many producers.
// No test sleeps: a task holds its worker until stop() has begun, which the pool's refusal shows.
#include "ThreadPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

TEST(ThreadPool, RunsInQueueOrderSkipsTasksWhoseOwnerIsGoneDrainsOnStopThenRefuses) {
    std::string journal; // written by the one worker, read after stop
    auto owner = std::make_shared<int>(0), gone = std::make_shared<int>(0);
    auto captured = std::make_shared<int>(0); // held only by tasks that must not run
    ThreadPool pool;
    EXPECT_THROW(pool.init(0), std::invalid_argument);
    // Keeps the worker busy until the pool refuses work: the rest is still queued when stop() begins.
    pool.execute([&pool] {
        try {
            for (;;) {
                pool.execute([] {});
            }
        } catch (const std::runtime_error&) {
        }
    });
    pool.execute([&journal] { journal += "A"; });
    pool.execute(std::weak_ptr<void>(owner), [&journal] { journal += "B"; });
    pool.execute(std::weak_ptr<void>(gone), [&journal, captured] { journal += "gone "; });
    pool.execute(std::weak_ptr<void>(), [&journal, captured] { journal += "empty "; });
    pool.execute([&journal] { journal += "C"; });
    gone.reset(); // the token is tested when the task reaches the front, not when queued
    pool.init(1);
    EXPECT_THROW(pool.init(1), std::runtime_error);
    pool.stop();
    EXPECT_EQ(journal, "ABC");
    EXPECT_EQ(captured.use_count(), 1) << "the skipped tasks must be destroyed";
    EXPECT_THROW(pool.execute([] {}), std::runtime_error);
    pool.stop(); // a second stop returns at once
}

TEST(ThreadPool, ManyProducersLoseNothing) {
    constexpr int kProducers = 4, kTasks = 500;
    ThreadPool pool;
    std::atomic<int> ran{0};
    auto owner = std::make_shared<int>(0);
    pool.init(3);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&pool, &ran, owner] {
            for (int i = 0; i < kTasks; ++i) {
                pool.execute(std::weak_ptr<void>(owner), [&ran] { ++ran; });
                pool.execute([&ran] { ++ran; });
            }
        });
    }
    for (std::thread& producer : producers) {
        producer.join();
    }
    pool.stop();
    EXPECT_EQ(ran.load(), 2 * kProducers * kTasks);
}
