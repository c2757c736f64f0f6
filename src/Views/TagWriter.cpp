#include "Views/TagWriter.h"

#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "AppState.h"
#include "GuardedWrite.h"
#include "Logger.h"
#include "Settings.h"
#include "ThreadPool.h"
#include "ValueText.h"

namespace {

// The link, not the request, failed: gone, silent, or cancelled by a disconnect while it ran.
bool linkFailed(uint8_t result) {
    return connectionGone(result) || result == ZELKC_LOGIX_ERR_CANCELLED;
}

} // namespace

struct TagWriter::Job {
    Request request;
    WriteRecordEntry record;
    uint64_t connectionRevision = 0;
    uint64_t epoch = 0; // the controller it was written to
    Outcome outcome = Outcome::NotSent;
    std::string current; // Changed: the value found just before writing
    std::string shown;   // what the row says of the outcome
    std::atomic<bool> done{false};
};

TagWriter::TagWriter(AppState* appState, ThreadPool* threadPool, TagInspector* inspector)
    : appState(appState), threadPool(threadPool), inspector(inspector) {}

TagWriter::~TagWriter() = default;

std::string TagWriter::allowQuestion() const {
    const LinkSnapshot link = appState->snapshot();
    return fmt::format("Allow writes to {}, serial {:08X}, at {}?", link.plcType, link.serialNumber,
                       link.lastHost);
}

bool TagWriter::enable(uint64_t askedRevision) {
    const LinkSnapshot link = appState->snapshot();
    if (link.state != LinkState::Connected || link.revision != askedRevision) {
        return false;
    }
    enabled = true;
    enabledRevision = link.revision;
    enabledEpoch = link.controllerEpoch;
    offWhy.clear();
    return true;
}

void TagWriter::disable(const std::string& why) {
    enabled = false;
    offWhy = why;
}

bool TagWriter::editable(const TagInspector::TagValue& row) {
    if (zelkc_logix_tag_array_rank(row.symbolType) != 0) {
        return false;
    }
    if (row.isString) {
        return row.textCapacity > 0;
    }
    return zelkc_logix_tag_is_atomic(row.symbolType) != 0;
}

bool TagWriter::prepare(const TagInspector::TagValue& row, const std::string& text, Request* out,
                        std::string* problem) {
    if (!editable(row)) {
        *problem = fmt::format("{} cannot be written from here", row.typeName);
        return false;
    }
    Request request;
    request.tag = row.name;
    request.type = row.typeName;
    request.symbolType = row.symbolType;
    request.isString = row.isString;
    request.capacity = row.textCapacity;
    request.seen = row.value;
    if (row.isString) {
        if (text.size() > row.textCapacity) {
            *problem = fmt::format("{} characters do not fit this {} ({} at most)", text.size(), row.typeName,
                                   row.textCapacity);
            return false;
        }
        request.asked = text;
    } else {
        const uint16_t type = zelkc_logix_tag_atomic_type(row.symbolType);
        char note[160] = {};
        if (zelkc_logix_value_parse(type, text.c_str(), &request.value, note, sizeof note) !=
            ZELKC_LOGIX_OK) {
            *problem = note[0] != '\0' ? note : fmt::format("\"{}\" is not a {}", text, row.typeName);
            return false;
        }
        request.value.type = type;
        request.note = note;
        request.asked = value2string(&request.value, type);
    }
    *out = std::move(request);
    return true;
}

WriteRecordEntry TagWriter::recordBase(const Request& request) const {
    const LinkSnapshot link = appState->snapshot();
    WriteRecordEntry entry;
    entry.source = "window";
    entry.address = fmt::format("{}:{}", link.lastHost, link.lastPort);
    if (link.lastSlot >= 0) {
        entry.address += fmt::format("/{}", link.lastSlot);
    }
    entry.identity = controllerKey(link.vendorId, link.productCode, link.serialNumber);
    entry.productName = link.plcType;
    entry.tag = request.tag;
    entry.type = request.type;
    entry.before = request.seen;
    entry.asked = request.asked;
    return entry;
}

void TagWriter::show(const std::string& tag, Outcome outcome, std::string text) {
    RowNote& note = notes[tag];
    note.outcome = outcome;
    note.text = std::move(text);
    note.atNs = inspector->now();
}

void TagWriter::start(const Request& request) {
    std::string refusal;
    if (job) {
        refusal = "another write is still running";
    } else if (!enabled) {
        refusal = offWhy.empty() ? "writes are off" : fmt::format("writes are off ({})", offWhy);
    } else if (appState->snapshot().state != LinkState::Connected) {
        refusal = "the connection is not up";
    }
    if (refusal.empty()) {
        auto next = std::make_shared<Job>();
        next->request = request;
        next->record = recordBase(request);
        next->connectionRevision = enabledRevision;
        next->epoch = enabledEpoch;
        job = next;
        try {
            threadPool->execute([state = appState, next] { run(state, next); });
            return;
        } catch (const std::exception& e) {
            job.reset();
            refusal = fmt::format("the write could not be started ({})", e.what());
        }
    }
    // Refused at once: recorded, then shown; nothing is kept to be sent later.
    WriteRecordEntry entry = recordBase(request);
    entry.result = "not sent";
    entry.reason = refusal;
    const std::string problem = appendWriteRecord(entry);
    show(
        request.tag, Outcome::NotSent,
        fmt::format("not written: {}{}", refusal, problem.empty() ? "" : " (not recorded: " + problem + ")"));
}

void TagWriter::run(AppState* appState, const std::shared_ptr<Job>& job) {
    Job& j = *job;
    const Request& r = j.request;
    WriteRecordEntry& record = j.record;
    GuardedWriteResult result;
    try {
        const uint8_t rc = appState->exchange(
            [&](zelkc_logix_client* client) { return guardedWrite(client, r, linkFailed, &result); },
            j.connectionRevision, AppState::Repeat::Never);
        if (!result.decided) {
            guardedWriteFailed(rc, &result);
        }
    } catch (const std::exception& e) {
        if (!result.decided) {
            result.reason = e.what();
            result.outcome =
                result.stage >= GuardedWriteResult::Stage::Sent ? Outcome::Failed : Outcome::NotSent;
            result.shown = fmt::format("not written: {}", e.what());
        }
    }
    j.outcome = result.outcome;
    j.shown = result.shown;
    j.current = result.before;
    record.reason = result.reason;
    record.readBack = result.readBack;
    record.generalStatus = result.generalStatus;
    record.extendedStatus = result.extendedStatus;
    // On record before anyone sees the outcome.
    record.result = guardedRecordResult(j.outcome);
    const std::string problem = appendWriteRecord(record);
    if (!problem.empty()) {
        LogWriter(LogLevel::Error)("the write of {} was not recorded: {}", r.tag, problem);
        if (j.outcome != Outcome::Changed) {
            j.shown += fmt::format(" (not recorded: {})", problem);
        }
    }
    j.done.store(true, std::memory_order_release);
}

void TagWriter::update() {
    const LinkSnapshot link = appState->snapshot();
    if (link.controllerEpoch != notesEpoch) {
        // Another controller (or a new connect): the rows' notes and undos were about the last one.
        notes.clear();
        undo.clear();
        notesEpoch = link.controllerEpoch;
    }
    if (enabled) {
        if (link.revision != enabledRevision || link.state != LinkState::Connected ||
            link.controllerEpoch != enabledEpoch) {
            enabled = false;
            if (link.state == LinkState::Disconnected) {
                offWhy = "disconnected";
            } else if (link.state == LinkState::Connected) {
                offWhy = link.controllerEpoch != enabledEpoch ? "another controller answers at the address"
                                                              : "the connection was opened again";
            } else {
                offWhy = "the connection was lost";
            }
        }
    }
    if (!job || !job->done.load(std::memory_order_acquire)) {
        return;
    }
    const std::shared_ptr<Job> finished = std::move(job);
    const Request& r = finished->request;
    if (finished->outcome == Outcome::Changed) {
        // Nothing written: the same change is asked again, from the value the controller holds now.
        Request next = r;
        next.changedFrom = r.changedFrom.empty() ? r.seen : r.changedFrom;
        next.seen = finished->current;
        notes.erase(r.tag);
        again = std::move(next);
        return;
    }
    if ((finished->outcome == Outcome::Written || finished->outcome == Outcome::Differs) &&
        finished->epoch == notesEpoch) {
        undo[r.tag] = r.seen;
    }
    show(r.tag, finished->outcome, finished->shown);
}

std::optional<TagWriter::Request> TagWriter::takeAgain() {
    std::optional<Request> out = std::move(again);
    again.reset();
    return out;
}

const TagWriter::RowNote* TagWriter::noteFor(const std::string& tag) const {
    const auto it = notes.find(tag);
    if (it == notes.end()) {
        return nullptr;
    }
    if (it->second.outcome == Outcome::Written && it->second.text == "written" &&
        inspector->now() - it->second.atNs >= writtenFlashNs) {
        return nullptr; // a plain success flashes, then the row is the value again
    }
    return &it->second;
}

const std::string* TagWriter::undoFor(const std::string& tag) const {
    const auto it = undo.find(tag);
    return it == undo.end() ? nullptr : &it->second;
}
