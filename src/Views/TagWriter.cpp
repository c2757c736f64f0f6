#include "Views/TagWriter.h"

#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "AppState.h"
#include "Logger.h"
#include "Settings.h"
#include "ThreadPool.h"
#include "ValueText.h"

namespace {

const char* recordResult(TagWriter::Outcome outcome) {
    switch (outcome) {
    case TagWriter::Outcome::Written:
        return "written";
    case TagWriter::Outcome::Differs:
        return "differs";
    case TagWriter::Outcome::Refused:
        return "refused";
    case TagWriter::Outcome::Failed:
        return "failed";
    case TagWriter::Outcome::NotSent:
    case TagWriter::Outcome::Changed:
        break;
    }
    return "not sent";
}

// Reads the value of `request`'s tag as the table shows it.
uint8_t readText(zelkc_logix_client* client, const TagWriter::Request& request, std::string* text,
                 zelkc_logix_read_status* status) {
    if (request.isString) {
        std::vector<char> buffer(std::max(request.capacity, TagInspector::stringCapacity) + 1, '\0');
        uint32_t length = 0;
        const uint8_t rc = zelkc_logix_client_read_string_value(
            client, request.tag.c_str(), buffer.data(), static_cast<uint32_t>(buffer.size()), &length);
        if (rc == ZELKC_LOGIX_OK) {
            text->assign(buffer.data(), std::min<size_t>(length, buffer.size()));
        }
        return rc;
    }
    zelkc_logix_atomic_read read{};
    read.tag = request.tag.c_str();
    const uint8_t rc = zelkc_logix_client_read_atomic_values_status(client, &read, 1, status);
    if (rc != ZELKC_LOGIX_OK) {
        return rc;
    }
    if (read.result == ZELKC_LOGIX_OK) {
        *text = value2string(&read.value, zelkc_logix_tag_atomic_type(request.symbolType));
    }
    return read.result;
}

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
    enum class Stage { NotRun, ReadBefore, Sent, ReadBack } stage = Stage::NotRun;
    bool decided = false;
    auto decide = [&](Outcome outcome, std::string shown) {
        j.outcome = outcome;
        j.shown = std::move(shown);
        decided = true;
    };
    try {
        const uint8_t rc = appState->exchange(
            [&](zelkc_logix_client* client) -> uint8_t {
                // Just before writing: is the value still the one the user saw?
                stage = Stage::ReadBefore;
                zelkc_logix_read_status status{};
                std::string now;
                uint8_t one = readText(client, r, &now, &status);
                if (linkFailed(one)) {
                    return one;
                }
                if (one != ZELKC_LOGIX_OK) {
                    record.reason = fmt::format("it could not be read before writing: {}",
                                                TagInspector::failureText(one, status));
                    decide(Outcome::NotSent, "not written: " + record.reason);
                    return ZELKC_LOGIX_OK;
                }
                if (now != r.seen) {
                    j.current = now;
                    record.reason =
                        fmt::format("the value changed from {} to {} since it was shown", r.seen, now);
                    decide(Outcome::Changed, std::string());
                    return ZELKC_LOGIX_OK;
                }
                zelkc_logix_atomic_write entry{};
                entry.tag = r.tag.c_str();
                entry.result = ZELKC_LOGIX_ERR_UNKNOWN;
                if (r.isString) {
                    entry.value.type = ZELKC_LOGIX_STRUCT_MARKER;
                    entry.text = r.asked.data();
                    entry.text_length = static_cast<uint32_t>(r.asked.size());
                    entry.capacity = r.capacity;
                } else {
                    entry.value = r.value;
                }
                stage = Stage::Sent;
                const uint8_t all = zelkc_logix_client_write_values(client, &entry, 1);
                if (linkFailed(all)) {
                    return all;
                }
                if (all != ZELKC_LOGIX_OK || entry.result != ZELKC_LOGIX_OK) {
                    const uint8_t why =
                        entry.result != ZELKC_LOGIX_OK && entry.result != ZELKC_LOGIX_ERR_UNKNOWN
                            ? entry.result
                            : all;
                    record.generalStatus = entry.status.general_status;
                    record.extendedStatus = entry.status.extended_status;
                    record.reason = TagInspector::failureText(why, entry.status);
                    if (why == ZELKC_LOGIX_ERR_DEVICE) {
                        decide(Outcome::Refused, "refused: " + record.reason);
                    } else {
                        decide(Outcome::Failed, "not written: " + record.reason);
                    }
                    return ZELKC_LOGIX_OK;
                }
                // At once after the write: what the controller holds now.
                stage = Stage::ReadBack;
                std::string back;
                one = readText(client, r, &back, &status);
                if (linkFailed(one)) {
                    return one;
                }
                if (one != ZELKC_LOGIX_OK) {
                    record.reason =
                        fmt::format("it could not be read back: {}", TagInspector::failureText(one, status));
                    decide(Outcome::Written, "written, but " + record.reason);
                    return ZELKC_LOGIX_OK;
                }
                record.readBack = back;
                if (back == r.asked) {
                    decide(Outcome::Written, "written");
                } else {
                    record.reason = "the controller's program changed it after the write";
                    decide(Outcome::Differs, fmt::format("written, but the controller now holds {}", back));
                }
                return ZELKC_LOGIX_OK;
            },
            j.connectionRevision, AppState::Repeat::Never);
        if (!decided) {
            // The connection failed the exchange (it was never run, or broke in it): nothing is retried.
            switch (stage) {
            case Stage::NotRun:
            case Stage::ReadBefore:
                record.reason = rc == ZELKC_LOGIX_ERR_NOT_CONNECTED
                                    ? std::string("the connection changed or went down before the write")
                                    : fmt::format("the connection failed before the write: {}",
                                                  zelkc_logix_result_text(rc));
                decide(Outcome::NotSent, "not written: " + record.reason);
                break;
            case Stage::Sent:
                record.reason = fmt::format("the connection failed during the write ({}); it may have been "
                                            "written and is not sent again",
                                            zelkc_logix_result_text(rc));
                decide(Outcome::Failed, "unknown: " + record.reason);
                break;
            case Stage::ReadBack:
                record.reason = fmt::format("the connection failed before the read-back: {}",
                                            zelkc_logix_result_text(rc));
                decide(Outcome::Written, "written, but " + record.reason);
                break;
            }
        }
    } catch (const std::exception& e) {
        if (!decided) {
            record.reason = e.what();
            decide(stage >= Stage::Sent ? Outcome::Failed : Outcome::NotSent,
                   fmt::format("not written: {}", e.what()));
        }
    }
    // On record before anyone sees the outcome.
    record.result = recordResult(j.outcome);
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
