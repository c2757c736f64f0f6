// The watch threads' writes, with a scripted link: a write runs once, on the connection it was
// queued for, before the next read; a loss answers every write still waiting with "not sent", and
// none of them is carried out after the reconnect.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "orvane_mqtt.h"

namespace {

using namespace std::chrono_literals;

// What the link and the feed saw, and what the test asks of the next read.
struct Script {
    std::mutex mu;
    std::condition_variable cv;
    int connects = 0;
    int reads = 0;                   // reads begun
    bool hold = false;               // a read waits while this is set...
    bool fail_read = false;          // ...or until this makes it fail with a loss
    std::vector<std::string> writes; // TAG=VALUE as carried out
    std::vector<std::pair<std::string, mqtt::WriteOutcome>> outcomes; // TAG=VALUE and its outcome
    mqtt::Commands* commands = nullptr;

    // A safety net for a broken build, not a timing: each step is reached in microseconds.
    template <typename P> bool wait(P done) {
        std::unique_lock lock(mu);
        return cv.wait_for(lock, 30s, done);
    }
    void set(bool Script::*flag, bool value) {
        {
            std::lock_guard lock(mu);
            this->*flag = value;
        }
        cv.notify_all();
    }
    std::string submit(const std::string& tag, const std::string& value) {
        std::lock_guard lock(mu);
        return commands->submit({tag, value});
    }
};

class ScriptLink : public mqtt::Link {
public:
    explicit ScriptLink(Script& s) : s_(s) {}
    void connect() override {
        std::lock_guard lock(s_.mu);
        ++s_.connects;
    }
    std::vector<std::string> resolve() override { return {"A"}; }
    std::vector<mqtt::Reading> read(const std::vector<std::string>&) override {
        std::unique_lock lock(s_.mu);
        ++s_.reads;
        s_.cv.notify_all();
        s_.cv.wait(lock, [&] { return !s_.hold || s_.fail_read; });
        if (s_.fail_read) {
            s_.fail_read = s_.hold = false;
            throw mqtt::LinkDown("the controller went away");
        }
        return {mqtt::Reading{"A", true, "DINT", "1", ""}};
    }
    void drop() override {}
    mqtt::WriteOutcome write(const mqtt::WriteCommand& c) override {
        std::lock_guard lock(s_.mu);
        s_.writes.push_back(c.tag + "=" + c.value);
        mqtt::WriteOutcome out;
        out.result = "written";
        out.link_lost = c.tag == "Lost"; // the connection broke in this write
        return out;
    }

private:
    Script& s_;
};

class ScriptFeed : public mqtt::Feed {
public:
    explicit ScriptFeed(Script& s) : s_(s) {}
    void online(const std::vector<std::string>&) override {}
    void values(const std::vector<mqtt::Reading>&, std::chrono::system_clock::time_point, bool) override {}
    void lost(const std::string&) override {}
    void attach(mqtt::Commands* commands) override {
        std::lock_guard lock(s_.mu);
        s_.commands = commands;
    }
    void written(const mqtt::WriteCommand& c, const mqtt::WriteOutcome& outcome) override {
        {
            std::lock_guard lock(s_.mu);
            s_.outcomes.emplace_back(c.tag + "=" + c.value, outcome);
        }
        s_.cv.notify_all();
    }

private:
    Script& s_;
};

class ScriptBridge : public mqtt::Bridge {
public:
    explicit ScriptBridge(Script& s) : s_(s) {}
    std::unique_ptr<mqtt::Feed> feed(const std::string&) override { return std::make_unique<ScriptFeed>(s_); }

private:
    Script& s_;
};

TEST(WatchWrites, RunOnceOnTheirConnectionAndAreNeverCarriedOverALoss) {
    Script s;
    ScriptBridge bridge(s);
    std::vector<mqtt::WatchController> controllers;
    // Cycles a day apart: only a write wakes the watch between them.
    controllers.push_back({"line1", 86'400'000, std::make_unique<ScriptLink>(s)});
    mqtt::WatchGroup group(std::move(controllers), mqtt::WatchRules{}, bridge, nullptr);
    ASSERT_TRUE(s.wait([&] { return s.reads == 1; }));

    // A write wakes the watch, runs once, and the read after it shows its value.
    ASSERT_EQ("", s.submit("A", "5"));
    ASSERT_TRUE(s.wait([&] { return s.outcomes.size() == 1 && s.reads == 2; }));
    EXPECT_EQ(s.outcomes[0].first, "A=5");
    EXPECT_EQ(s.outcomes[0].second.result, "written");

    // Queued while a read is under way, then the connection is lost: not sent, and not sent later.
    s.set(&Script::hold, true);
    ASSERT_EQ("", s.submit("A", "6"));
    ASSERT_TRUE(s.wait([&] { return s.reads == 3; })); // A=6 written, the read after it held
    ASSERT_EQ("", s.submit("A", "7"));
    // The queue is bounded: a host cannot pile up writes without end.
    for (size_t i = 1; i < mqtt::Commands::kMaxWaiting; ++i)
        ASSERT_EQ("", s.submit("B", std::to_string(i)));
    EXPECT_EQ(s.submit("C", "1"), "256 writes wait for this controller already");
    s.set(&Script::fail_read, true);
    constexpr size_t lost = 2 + mqtt::Commands::kMaxWaiting;
    ASSERT_TRUE(s.wait([&] { return s.outcomes.size() == lost && s.connects == 2 && s.reads == 4; }));
    EXPECT_EQ(s.outcomes[2].first, "A=7");
    for (size_t i = 2; i < lost; ++i) {
        EXPECT_EQ(s.outcomes[i].second.result, "not sent");
        EXPECT_EQ(s.outcomes[i].second.reason, "the connection was lost before the write");
    }

    // The connection breaks in a write: the writes queued after it are not sent, and the watch
    // reconnects.
    s.set(&Script::hold, true);
    ASSERT_EQ("", s.submit("A", "8"));
    ASSERT_TRUE(s.wait([&] { return s.reads == 5; }));
    ASSERT_EQ("", s.submit("Lost", "1"));
    ASSERT_EQ("", s.submit("A", "9"));
    s.set(&Script::hold, false);
    ASSERT_TRUE(s.wait([&] { return s.outcomes.size() == lost + 3 && s.connects == 3 && s.reads == 6; }));
    EXPECT_EQ(s.outcomes[lost + 2].first, "A=9");
    EXPECT_EQ(s.outcomes[lost + 2].second.result, "not sent");

    const std::vector<std::string> carried = {"A=5", "A=6", "A=8", "Lost=1"};
    {
        std::lock_guard lock(s.mu);
        EXPECT_EQ(s.writes, carried);
    }
    // A stopped group takes no more writes.
    group.stop();
    EXPECT_EQ(s.submit("A", "10"), "the watch of this controller is ending");
    group.join();
    EXPECT_EQ(s.writes, carried);
}

} // namespace
