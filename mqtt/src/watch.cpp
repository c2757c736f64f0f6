// The watch threads: one per controller, each with its own link and reconnect schedule, handing its
// values to the controller's feed.
#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>

#include "Reconnect.h"
#include "orvane_mqtt.h"

namespace mqtt {

namespace {

using Clock = std::chrono::steady_clock;

int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

} // namespace

WriteOutcome Link::write(const WriteCommand&) {
    WriteOutcome out;
    out.reason = "this link cannot write";
    return out;
}

void Feed::attach(Commands*) {}

void Feed::written(const WriteCommand&, const WriteOutcome&) {}

// Stops the watch threads: their waits end as soon as stop() is called.
struct WatchGroup::Shared {
    std::mutex mu;
    std::condition_variable cv;
    bool stopped = false;
    std::atomic<size_t> running{0};
    std::function<void()> ended;

    void stop() {
        {
            std::lock_guard lock(mu);
            stopped = true;
        }
        cv.notify_all();
    }
    bool is_stopped() {
        std::lock_guard lock(mu);
        return stopped;
    }
    // Waits until `when` or stop(); true when stopped. With `queue` (guarded by mu), a write
    // queued there ends the wait too.
    bool wait_until(Clock::time_point when, const std::deque<WriteCommand>* queue = nullptr) {
        std::unique_lock lock(mu);
        cv.wait_until(lock, when, [&] { return stopped || (queue != nullptr && !queue->empty()); });
        return stopped;
    }
};

namespace {

// One watch's queue of writes, under the group's mutex so that a write ends the watch's wait.
class Inbox : public Commands {
public:
    explicit Inbox(WatchGroup::Shared& shared) : shared_(shared) {}

    std::string submit(WriteCommand command) override {
        {
            std::lock_guard lock(shared_.mu);
            if (shared_.stopped) {
                return "the watch of this controller is ending";
            }
            if (queue_.size() >= kMaxWaiting) {
                return fmt::format("{} writes wait for this controller already", queue_.size());
            }
            queue_.push_back(std::move(command));
        }
        // The group's waits share one condition: every watch wakes, and the others sleep again.
        shared_.cv.notify_all();
        return {};
    }
    std::vector<WriteCommand> take() {
        std::lock_guard lock(shared_.mu);
        std::vector<WriteCommand> out(std::make_move_iterator(queue_.begin()),
                                      std::make_move_iterator(queue_.end()));
        queue_.clear();
        return out;
    }
    const std::deque<WriteCommand>* queue() const { return &queue_; }

private:
    WatchGroup::Shared& shared_;
    std::deque<WriteCommand> queue_; // shared_.mu
};

class Watcher {
public:
    Watcher(WatchController& spec, const WatchRules& rules, Feed& feed, WatchGroup::Shared& stop,
            Inbox& inbox)
        : spec_(spec), rules_(rules), feed_(feed), stop_(stop), inbox_(inbox) {}

    void run() {
        // Writes still waiting when the watch ends are answered now, never kept.
        try {
            watch();
        } catch (...) {
            refuse_waiting("the watch of this controller ended before the write");
            throw;
        }
        refuse_waiting("the watch of this controller ended before the write");
    }

private:
    void watch() {
        auto next_full = Clock::now();
        auto next_cycle = Clock::now();
        for (uint32_t cycle = 0; rules_.count == 0 || cycle < rules_.count;) {
            if (!connected_ && !connect()) {
                return;
            }
            std::vector<Reading> values;
            try {
                if (!resolved_) {
                    tags_ = spec_.link->resolve();
                    resolved_ = true;
                    feed_.online(tags_);
                }
                run_writes();
                values = spec_.link->read(tags_);
                backoff_.goodTraffic(steady_ns());
            } catch (const LinkDown& e) {
                if (stop_.is_stopped()) {
                    return; // cancelled at the end: no loss to tell
                }
                lost(e.what());
                continue;
            } catch (const LinkRefused& e) { // the controller refused the whole batch
                fmt::print(stderr, "{}: {}\n", spec_.name, e.what());
                values.clear();
            }
            const auto time = std::chrono::system_clock::now();
            const auto now = Clock::now();
            const bool full = !rules_.on_change || now >= next_full;
            if (full) {
                next_full = now + std::chrono::seconds(rules_.heartbeat_s);
            }
            feed_.values(values, time, full);
            ++cycle;
            next_cycle = std::max(next_cycle + std::chrono::milliseconds(spec_.interval_ms), Clock::now());
            if ((rules_.count == 0 || cycle < rules_.count) && stop_.wait_until(next_cycle, inbox_.queue())) {
                return;
            }
        }
    }

    // Carries out the writes queued for this connection, each once, before the cycle's read (which
    // then shows their values). Throws LinkDown when the connection failed in one; the writes after
    // it are not sent.
    void run_writes() {
        std::vector<WriteCommand> writes = inbox_.take();
        for (size_t i = 0; i < writes.size(); ++i) {
            WriteOutcome outcome;
            try {
                outcome = spec_.link->write(writes[i]);
            } catch (const std::exception& e) {
                outcome.result = "failed";
                outcome.reason = e.what();
                outcome.link_lost = true;
            }
            feed_.written(writes[i], outcome);
            if (outcome.link_lost) {
                for (size_t k = i + 1; k < writes.size(); ++k) {
                    WriteOutcome skipped;
                    skipped.reason = "the connection was lost before the write";
                    feed_.written(writes[k], skipped);
                }
                throw LinkDown(outcome.reason);
            }
        }
    }

    void refuse_waiting(const std::string& why) {
        for (const WriteCommand& command : inbox_.take()) {
            WriteOutcome outcome;
            outcome.reason = why;
            feed_.written(command, outcome);
        }
    }

    // Connects, retrying on the shared schedule (the first wait after a loss or a failed first
    // attempt is 0.5 s); false when stopped first.
    bool connect() {
        for (;;) {
            if (down_ && stop_.wait_until(Clock::now() + std::chrono::nanoseconds(backoff_.nextDelayNs()))) {
                return false;
            }
            try {
                spec_.link->connect();
                break;
            } catch (const std::runtime_error& e) { // not there, or refused: both retried
                if (!down_) {
                    fmt::print(stderr, "{}: {}; retrying\n", spec_.name, e.what());
                    down_ = true;
                    down_since_ = Clock::now();
                }
            }
        }
        connected_ = true;
        if (down_) {
            const std::chrono::duration<double> outage = Clock::now() - down_since_;
            fmt::print(stderr, "{}: reconnected after {:.1f} s\n", spec_.name, outage.count());
            down_ = false;
            backoff_.connected(steady_ns());
            if (resolved_) {
                feed_.online(tags_); // the same tags as before the loss
            }
        }
        return true;
    }

    void lost(const std::string& why) {
        backoff_.lost();
        if (backoff_.flapping()) {
            fmt::print(stderr, "{}: reconnected, but the first read failed: {}; backing off\n", spec_.name,
                       why);
        } else {
            fmt::print(stderr, "{}: connection lost: {}; reconnecting\n", spec_.name, why);
        }
        spec_.link->drop();
        connected_ = false;
        down_ = true;
        down_since_ = Clock::now();
        feed_.lost(why);
        // The feed takes no more writes for this connection now; those it took are not kept for
        // the next one.
        refuse_waiting("the connection was lost before the write");
    }

    WatchController& spec_;
    const WatchRules& rules_;
    Feed& feed_;
    WatchGroup::Shared& stop_;
    Inbox& inbox_;
    std::vector<std::string> tags_;
    bool connected_ = false;
    bool resolved_ = false;
    bool down_ = false;
    Clock::time_point down_since_;
    ReconnectBackoff backoff_; // the waits between attempts, growing while reconnects do not hold
};

} // namespace

WatchGroup::WatchGroup(std::vector<WatchController> controllers, const WatchRules& rules, Bridge& bridge,
                       std::function<void()> ended)
    : shared_(std::make_unique<Shared>()) {
    shared_->ended = std::move(ended);
    shared_->running = controllers.size();
    // Every feed is made before any thread starts (a feed may open a broker connection of its own).
    // The inbox outlives the feed (members end in reverse order): a feed lets go of it as it ends.
    struct Job {
        explicit Job(Shared& shared) : inbox(shared) {}
        WatchController spec;
        Inbox inbox;
        std::unique_ptr<Feed> feed;
    };
    std::vector<std::shared_ptr<Job>> jobs;
    for (WatchController& spec : controllers) {
        auto job = std::make_shared<Job>(*shared_);
        job->feed = bridge.feed(spec.name);
        job->feed->attach(&job->inbox);
        job->spec = std::move(spec);
        jobs.push_back(std::move(job));
    }
    threads_.reserve(jobs.size());
    const WatchRules copy = rules;
    std::string starting;
    try {
        for (auto& job : jobs) {
            starting = job->spec.name;
            threads_.emplace_back([job, copy, shared = shared_.get()] {
                try {
                    Watcher(job->spec, copy, *job->feed, *shared, job->inbox).run();
                } catch (const std::exception& e) {
                    fmt::print(stderr, "{}: {}\n", job->spec.name, e.what());
                }
                if (--shared->running == 0 && shared->ended) {
                    shared->ended();
                }
            });
        }
    } catch (const std::system_error& e) {
        stop();
        join();
        throw std::runtime_error(fmt::format("cannot start the watch of {}: {}", starting, e.what()));
    }
}

WatchGroup::~WatchGroup() {
    stop();
    join();
}

void WatchGroup::stop() {
    shared_->stop();
}

void WatchGroup::join() {
    for (std::thread& t : threads_) {
        if (t.joinable()) {
            t.join();
        }
    }
}

} // namespace mqtt
