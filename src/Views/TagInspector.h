// The process-wide watch list: the tags picked in the tree, each with its type name and the text of
// its last read value. While connected, at most once a second and never while a cycle is in flight, it
// snapshots the list and reads every value in one batch on the thread pool; the main thread takes the
// texts back only when neither the list nor the connection changed meanwhile.
//
// Everything but readBatch() runs on the main thread. The read task works on its own copy of the list
// inside a shared ReadBatch and publishes it through the batch's `done` flag (release/acquire).
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <zelkc_logix.h>

#include "TrendHistory.h"
#include "ValueText.h"

class AppState;
class ThreadPool;

class TagInspector {
public:
    // pending: not read yet; live: read in the last cycle; stale: the last cycle (or the connection)
    // failed, the text is the last good value; error: the controller refused this tag while others read.
    enum class RowState : uint8_t { Pending, Live, Stale, Error };

    struct TagValue {
        std::string name;     // the tag path, unique within the list
        std::string typeName; // "STRING" or the type column text
        std::string value;    // text of the last value read; kept when a later read fails
        uint16_t symbolType = 0;
        bool isString = false;
        uint32_t textCapacity = 0; // a Logix STRING: the characters its DATA member holds; else 0
        RowState state = RowState::Pending;
        std::string error;      // error: why the controller refused the tag, in plain words
        int64_t lastGoodNs = 0; // the clock's time of the last good read; 0 before it
        int64_t changedNs = 0;  // when the value text last changed from one good read to the next
        uint8_t result = ZELKC_LOGIX_ERR_UNKNOWN; // the read task's outcome for this entry
        double number = std::nan("");             // the last good value as a number (NaN for text)
        bool trended = false;                     // ticked for the trend
        uint8_t colour = 0;                       // the row's colour in the trend and its legend
    };

    // One read cycle, shared by the list and the task that reads it.
    struct ReadBatch {
        std::vector<TagValue> values; // the list when the cycle started; the task writes the texts
        uint64_t revision = 0;        // the list's revision at the start
        uint64_t connectionRevision = 0;
        std::atomic<bool> done{false}; // set by the task last, whatever the outcome
        bool success = false;          // the reads ran on the connection the cycle started on
        int64_t startedNs = 0;
    };

    // The watch list the views share: created on first use, on the application's state and pool.
    static TagInspector* getInstance();

    // A separate list on its own state, pool and clock (nanoseconds since 1970), for tests.
    using Clock = int64_t (*)();
    TagInspector(AppState* appState, ThreadPool* threadPool, Clock clock);
    TagInspector(const TagInspector&) = delete;
    TagInspector& operator=(const TagInspector&) = delete;

    // Appends a scalar atomic or STRING tag under `path` (the tag's own name when empty); anything else,
    // and a path already listed, is ignored.
    void addTag(const zelkc_logix_tag_info* info, std::string_view path);
    // Removes the entry of that name; the revision moves only when something was removed.
    void removeTag(const char* name);
    // Empties the list; always moves the revision.
    void clear();
    const std::vector<TagValue>& getTags() const { return tags; }
    uint64_t getRevision() const { return revision; }
    void markStale();
    // Whether a read cycle is in flight or finished and not yet collected.
    bool cycleInFlight() const { return batch != nullptr; }

    // Once a frame: collects a finished cycle, marks the rows stale while the connection is down, then
    // starts the next cycle when it is due.
    void update();
    int64_t now() const { return clock(); }
    // Why a read of one entry failed, in plain words with the CIP status when the controller gave one.
    static std::string failureText(uint8_t result, const zelkc_logix_read_status& status);

    // The read task: reads every scalar atomic entry in one batch and every scalar STRING entry into
    // 96 bytes, on the connection the batch was started on, leaving each entry's outcome in `result`
    // and a refusal's reason in `error`. Never throws.
    static void readBatch(AppState* appState, const std::shared_ptr<ReadBatch>& batch);

    static constexpr int64_t cycleIntervalNs = 1000000000; // the default rate: once a second
    // The rates the table offers, in milliseconds.
    static constexpr int rateChoicesMs[] = {100, 250, 500, 1000, 2000, 5000};
    // Sets the time from one cycle's start to the next (one of rateChoicesMs; others are ignored). One
    // cycle at a time stays the rule: a controller slower than the rate sets the pace.
    void setIntervalMs(int ms);
    int getIntervalMs() const { return static_cast<int>(intervalNs / 1'000'000); }
    // The time between the last two cycle starts; 0 before the second cycle.
    int64_t achievedIntervalNs() const { return achievedNs; }
    // How long the cycle in flight has waited for the controller, once that is longer than the rate
    // allows (1.5 intervals, and at least overdueMinNs); 0 otherwise. Meanwhile the rows are stale.
    int64_t waitingNs() const;
    static constexpr int64_t overdueMinNs = 2'000'000'000;
    // Cycles whose outcome the rows took, and when the last of them started (the clock's time).
    uint64_t cyclesTaken() const { return cycles; }
    int64_t lastCycleStartNs() const { return lastCycleNs; }
    // How a watched integer is shown (decimal, hex or binary), by tag path. Kept when the row goes and
    // across connections: the session remembers it per controller.
    void setBase(const std::string& name, IntegerBase base);
    IntegerBase baseOf(const std::string& name) const;
    const std::map<std::string, IntegerBase>& getBases() const { return bases; }
    void setBases(std::map<std::string, IntegerBase> all) { bases = std::move(all); }
    // A row's value as the table shows it: in the row's base for an integer, else the text as read.
    std::string shownValue(const TagValue& tag) const;
    // Ticks or unticks a row for the trend.
    void setTrended(const std::string& name, bool on);
    // Tag paths to tick for the trend when they are added (a restored session's): each is ticked once,
    // when its row comes, and then forgotten. Replaces the paths not added yet.
    void trendWhenAdded(std::set<std::string> names) { trendOnAdd = std::move(names); }
    // The recent values of the watched numbers: a point per cycle, gaps while stale or refused.
    const TrendHistory& getHistory() const { return history; }
    TrendHistory& getHistory() { return history; } // filled directly by benchmarks
    static constexpr uint32_t stringCapacity = 96;

private:
    AppState* appState;
    ThreadPool* threadPool;
    Clock clock;
    std::vector<TagValue> tags;
    std::shared_ptr<ReadBatch> batch;
    uint64_t revision = 0;
    int64_t lastBatchTime = 0;
    int64_t intervalNs = cycleIntervalNs;
    int64_t achievedNs = 0;
    uint8_t nextColour = 0;
    uint64_t cycles = 0;
    int64_t lastCycleNs = 0;
    TrendHistory history;
    std::map<std::string, IntegerBase> bases; // only the rows not shown in decimal
    std::set<std::string> trendOnAdd;
};
