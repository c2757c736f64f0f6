// Guarded writes from the watch table: the "Writes" switch, the writes themselves and what each
// row shows of its last write.
//
// The switch is on only for the connection it was turned on under: any change of the connection's
// revision (a disconnect, a loss, a reconnect, another controller) turns it off. A write runs on the
// pool as one exchange that is never repeated: it reads the value again, writes only when that is
// still the value the user saw, then reads it back. Its record line is appended on the pool before
// the main thread shows the outcome. Nothing is queued: a write asked for while the switch is off or
// the connection is not up is refused at once.
//
// Everything but the write task runs on the main thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <zelkc_logix.h>

#include "GuardedWrite.h"
#include "Views/TagInspector.h"
#include "WriteRecord.h"

class AppState;
class ThreadPool;

class TagWriter {
public:
    // What a confirmation shows and what the task writes: the guarded write (`seen` is the value
    // the user saw, as the table shows it), and what the confirmation says besides.
    struct Request : GuardedWriteRequest {
        std::string type;        // the type column's text
        std::string note;        // how the value was rounded, when it was
        std::string changedFrom; // asked again: the value the user had seen before; else empty
    };

    using Outcome = GuardedOutcome;

    // What a row shows of its last write.
    struct RowNote {
        Outcome outcome = Outcome::Written;
        std::string text;
        int64_t atNs = 0; // the inspector's clock when it was shown
    };

    TagWriter(AppState* appState, ThreadPool* threadPool, TagInspector* inspector);
    ~TagWriter();
    TagWriter(const TagWriter&) = delete;
    TagWriter& operator=(const TagWriter&) = delete;

    // The question asked before the switch turns on, naming the controller connected now.
    std::string allowQuestion() const;
    // Turns the switch on for the connection up now, if it is still the one of `askedRevision` (the
    // connection revision when the question was asked); false (and off) otherwise.
    bool enable(uint64_t askedRevision);
    void disable(const std::string& why);
    bool isEnabled() const { return enabled; }
    // Why the switch last turned off by itself; empty after the user's own choice.
    const std::string& offReason() const { return offWhy; }

    // Whether a row can be written at all: a scalar atomic or a Logix STRING with a known capacity.
    static bool editable(const TagInspector::TagValue& row);
    // A request to write `text` into `row` (whose current value is what the user saw); false with the
    // reason in `problem` when the text is not a value of the row's type.
    static bool prepare(const TagInspector::TagValue& row, const std::string& text, Request* out,
                        std::string* problem);

    // Starts a confirmed write. Refused at once (and recorded) when the switch is off, the connection
    // is not up, or a write is still running.
    void start(const Request& request);
    bool busy() const { return job != nullptr; }

    // Once a frame: the switch's rules, and a finished write's outcome taken into the rows.
    void update();
    // A write found the value changed since it was shown: the confirmation to ask again (once).
    std::optional<Request> takeAgain();

    const RowNote* noteFor(const std::string& tag) const;
    // The value a row held before its last write that reached the controller: what undo writes back.
    const std::string* undoFor(const std::string& tag) const;

    static constexpr int64_t writtenFlashNs = 3'000'000'000;

private:
    struct Job;
    static void run(AppState* appState, const std::shared_ptr<Job>& job);
    WriteRecordEntry recordBase(const Request& request) const;
    void show(const std::string& tag, Outcome outcome, std::string text);

    AppState* appState;
    ThreadPool* threadPool;
    TagInspector* inspector;
    bool enabled = false;
    uint64_t enabledRevision = 0;
    uint64_t enabledEpoch = 0;
    std::string offWhy;
    std::shared_ptr<Job> job;
    std::optional<Request> again;
    uint64_t notesEpoch = 0; // the controller the notes and undos are about
    std::map<std::string, RowNote> notes;
    std::map<std::string, std::string> undo;
};
