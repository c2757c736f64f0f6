// The thread pool: queue order, lifetime tokens, draining on stop, error texts.
// No test sleeps: tasks are held back with gates that the test opens.
#include "ThreadPool.h"

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Records the order in which tasks ran, from any thread.
class Journal {
public:
    void add(const std::string& entry) {
        std::lock_guard<std::mutex> lock(mutex);
        entries.push_back(entry);
    }
    std::vector<std::string> get() {
        std::lock_guard<std::mutex> lock(mutex);
        return entries;
    }

private:
    std::mutex mutex;
    std::vector<std::string> entries;
};

template <typename F> std::string errorText(F&& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no exception)";
}

// Waits until the pool refuses work, which shows that stop() has marked it stopped.
void waitUntilStopped(ThreadPool& pool) {
    for (;;) {
        try {
            pool.execute([] {});
        } catch (const std::runtime_error&) {
            return;
        }
        std::this_thread::yield();
    }
}

} // namespace

TEST(ThreadPool, TasksQueuedBeforeInitRunInQueueOrder) {
    ThreadPool pool;
    Journal journal;
    for (const char* name : {"A", "B", "C"}) {
        pool.execute([&journal, name] { journal.add(name); });
    }
    EXPECT_TRUE(journal.get().empty()); // nothing runs without a worker
    pool.init(1);
    pool.stop();
    EXPECT_EQ(journal.get(), (std::vector<std::string>{"A", "B", "C"}));
}

TEST(ThreadPool, ExpiredOrEmptyLifetimeSkipsTheTaskAndDestroysIt) {
    ThreadPool pool;
    Journal journal;
    auto owner = std::make_shared<int>(0);
    auto gone = std::make_shared<int>(0);
    auto captured = std::make_shared<int>(0); // held only by the skipped task

    pool.execute(std::weak_ptr<void>(owner), [&journal] { journal.add("owner alive"); });
    pool.execute(std::weak_ptr<void>(gone), [&journal, captured] { journal.add("owner gone"); });
    pool.execute(std::weak_ptr<void>(), [&journal] { journal.add("empty token"); });
    pool.execute([&journal] { journal.add("no token"); });
    gone.reset();
    EXPECT_EQ(captured.use_count(), 2);

    pool.init(1);
    pool.stop();
    EXPECT_EQ(journal.get(), (std::vector<std::string>{"owner alive", "no token"}));
    EXPECT_EQ(captured.use_count(), 1) << "the skipped task must be destroyed";
}

TEST(ThreadPool, OwnerDestroyedWhileTaskWaitsBehindARunningTask) {
    ThreadPool pool;
    Journal journal;
    std::promise<void> gate;
    std::promise<void> started;
    std::shared_future<void> opened = gate.get_future().share();
    auto owner = std::make_shared<int>(0);

    pool.init(1);
    pool.execute([&] {
        started.set_value();
        opened.wait();
        journal.add("first");
    });
    pool.execute(std::weak_ptr<void>(owner), [&journal] { journal.add("owned"); });
    pool.execute([&journal] { journal.add("after"); });
    started.get_future().wait();
    owner.reset(); // the owner goes while its task is still queued
    gate.set_value();
    pool.stop();
    EXPECT_EQ(journal.get(), (std::vector<std::string>{"first", "after"}));
}

TEST(ThreadPool, StopDrainsQueuedTasksAndThenRefusesWork) {
    ThreadPool pool;
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    std::atomic<int> ran{0};

    pool.init(1);
    pool.execute([opened] { opened.wait(); });
    for (int i = 0; i < 5; ++i) {
        pool.execute([&ran] { ++ran; });
    }
    std::thread stopper([&pool] { pool.stop(); });
    waitUntilStopped(pool); // stop() has begun while all five are still queued
    EXPECT_EQ(ran.load(), 0);
    gate.set_value();
    stopper.join();
    EXPECT_EQ(ran.load(), 5);

    EXPECT_EQ(errorText([&] { pool.execute([] {}); }), "ThreadPool is stopped");
    EXPECT_THROW(pool.execute(std::weak_ptr<void>(), [] {}), std::runtime_error);
    pool.stop(); // a second stop returns at once
}

TEST(ThreadPool, InitErrors) {
    ThreadPool pool;
    EXPECT_EQ(errorText([&] { pool.init(0); }), "threadCount must be greater than 0");
    EXPECT_EQ(errorText([&] { pool.init(-3); }), "threadCount must be greater than 0");
    EXPECT_THROW(pool.init(0), std::invalid_argument);
    pool.init(1);
    EXPECT_EQ(errorText([&] { pool.init(1); }), "ThreadPool already initialized");
    pool.stop();
    EXPECT_EQ(errorText([&] { pool.init(1); }), "ThreadPool already initialized");
    EXPECT_THROW(pool.init(1), std::runtime_error);
}

TEST(ThreadPool, DestructionDrainsAStartedPoolAndDropsAnUnstartedOne) {
    std::atomic<int> ran{0};
    auto captured = std::make_shared<int>(0);
    {
        ThreadPool pool;
        pool.init(2);
        for (int i = 0; i < 10; ++i) {
            pool.execute([&ran] { ++ran; });
        }
    }
    EXPECT_EQ(ran.load(), 10);
    {
        ThreadPool pool;
        pool.execute([&ran, captured] { ++ran; });
    }
    EXPECT_EQ(ran.load(), 10);
    EXPECT_EQ(captured.use_count(), 1);
}

TEST(ThreadPool, MoveOnlyCallablesAndCallablesThatQueueMoreWork) {
    ThreadPool pool;
    std::promise<int> result;
    std::future<int> value = result.get_future();
    auto payload = std::make_unique<int>(41);
    pool.init(1);
    pool.execute([&pool, &result, payload = std::move(payload)]() mutable {
        // A task may queue a follow-up, which runs after it.
        pool.execute([&result, n = *payload + 1] { result.set_value(n); });
    });
    EXPECT_EQ(value.get(), 42);
    pool.stop();
}

TEST(ThreadPool, ManyProducersAndWorkersLoseNothing) {
    constexpr int kProducers = 4;
    constexpr int kTasks = 500;
    ThreadPool pool;
    std::atomic<int> ran{0};
    auto owner = std::make_shared<int>(0);
    pool.init(3);
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
