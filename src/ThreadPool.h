// The background executor: a FIFO queue of tasks run by worker threads.
//
// The application creates one worker (init(1)), so tasks run one at a time in the order
// they were queued. A task may be tied to a lifetime token: if every owner of the token is
// gone when the task reaches the front of the queue, the task is destroyed unrun.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

class ThreadPool {
public:
    class ITask {
    public:
        virtual ~ITask() = default;
        virtual void execute() = 0;
    };

    // Holds one callable by value; execute() invokes it with no arguments.
    template <typename F> class PackagedTask final : public ITask {
    public:
        explicit PackagedTask(F&& fn) : callable(std::move(fn)) {}
        explicit PackagedTask(const F& fn) : callable(fn) {}
        void execute() override { callable(); }

    private:
        F callable;
    };

    struct TaskData {
        std::weak_ptr<void> lifetime; // the owner's token; empty when the task has none
        std::unique_ptr<ITask> task;
        bool hasLifetime = false; // skip the task once the token has expired
    };

    // The process-wide pool, created on first use with no threads.
    static ThreadPool& instance();

    // Separate pools exist only in tests; the application uses instance().
    ThreadPool() = default;
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;
    // Stops (draining the queue) if that has not been done; entries still queued, which
    // happens only when no worker was ever started, are destroyed without running.
    ~ThreadPool();

    // Starts threadCount workers. Throws std::invalid_argument "threadCount must be greater
    // than 0" for a count below 1, and std::runtime_error "ThreadPool already initialized"
    // when workers were started before (also after stop()). Called before any worker exists.
    void init(int threadCount);

    // Queues fn without a lifetime token. Throws std::runtime_error "ThreadPool is stopped"
    // after stop(); nothing is queued then.
    template <typename F> void execute(F&& fn) { enqueue(std::weak_ptr<void>(), false, std::forward<F>(fn)); }

    // Queues fn tied to lifetime: when the task reaches the front of the queue and the token
    // has expired (or was empty), the task is destroyed without running. The pool does not
    // keep the owner alive while the task runs.
    template <typename F> void execute(std::weak_ptr<void> lifetime, F&& fn) {
        enqueue(std::move(lifetime), true, std::forward<F>(fn));
    }

    // Refuses new tasks, lets the workers drain the queue, and joins them. A second call
    // returns at once. Must not be called from a task.
    void stop();

private:
    template <typename F> void enqueue(std::weak_ptr<void> lifetime, bool hasLifetime, F&& fn) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopped) {
                throw std::runtime_error("ThreadPool is stopped");
            }
            tasks.push_back(TaskData{std::move(lifetime),
                                     std::make_unique<PackagedTask<std::decay_t<F>>>(std::forward<F>(fn)),
                                     hasLifetime});
        }
        condition.notify_one();
    }

    void loop();

    std::deque<TaskData> tasks;
    std::vector<std::thread> threads;
    std::mutex mutex;
    bool stopped = false;
    std::condition_variable condition;
};
