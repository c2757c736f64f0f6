#include "ThreadPool.h"

ThreadPool& ThreadPool::instance() {
    static ThreadPool pool;
    return pool;
}

ThreadPool::~ThreadPool() {
    // noexcept: a failure to lock or join here ends the process.
    stop();
    tasks.clear();
}

void ThreadPool::init(int threadCount) {
    if (threadCount < 1) {
        throw std::invalid_argument("threadCount must be greater than 0");
    }
    if (!threads.empty()) {
        throw std::runtime_error("ThreadPool already initialized");
    }
    for (int i = 0; i < threadCount; ++i) {
        threads.emplace_back(&ThreadPool::loop, this);
    }
}

void ThreadPool::loop() {
    for (;;) {
        std::unique_ptr<ITask> task;
        bool run = false;
        {
            std::unique_lock<std::mutex> lock(mutex);
            condition.wait(lock, [this] { return stopped || !tasks.empty(); });
            if (tasks.empty()) {
                return; // stopped and drained
            }
            TaskData& front = tasks.front();
            // The lifetime test is made once, here; the token is released with the entry.
            run = !(front.hasLifetime && front.lifetime.expired());
            task = std::move(front.task);
            tasks.pop_front();
        }
        // Run (or, for a task whose owner is gone, only destroy) outside the lock, so that
        // whatever the callable captured may itself queue work while it is destroyed.
        if (run) {
            task->execute();
        }
        task.reset();
    }
}

void ThreadPool::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopped) {
            return;
        }
        stopped = true;
    }
    condition.notify_all();
    for (std::thread& thread : threads) {
        if (thread.joinable()) {
            thread.join();
        }
    }
}
