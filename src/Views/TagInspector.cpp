#include "Views/TagInspector.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <utility>

#include <fmt/format.h>

#include "AppState.h"
#include "GuardedWrite.h"
#include "Logger.h"
#include "ThreadPool.h"
#include "ValueText.h"

TagInspector* TagInspector::getInstance() {
    static TagInspector instance(AppState::getInstance(), &ThreadPool::instance(), zelkc_get_unix_time_ns);
    return &instance;
}

TagInspector::TagInspector(AppState* appState, ThreadPool* threadPool, Clock clock)
    : appState(appState), threadPool(threadPool), clock(clock) {}

void TagInspector::addTag(const zelkc_logix_tag_info* info, std::string_view path) {
    if (info == nullptr) {
        return;
    }
    const bool isString = tag_holds_text(info);
    if (!zelkc_logix_tag_is_atomic(info->symbol_type) && !isString) {
        return;
    }
    std::string name(path.empty() ? std::string_view(info->name != nullptr ? info->name : "") : path);
    if (name.empty() ||
        std::any_of(tags.begin(), tags.end(), [&](const TagValue& t) { return t.name == name; })) {
        return;
    }
    ++revision;
    TagValue entry;
    entry.name = std::move(name);
    entry.typeName = std::string(datatype_get_name(info));
    entry.symbolType = info->symbol_type;
    entry.isString = isString;
    if (isString) {
        // A Logix STRING structure: its DATA member's element count is what a write may fill.
        for (uint32_t i = 0; i < info->child_count && info->children != nullptr; ++i) {
            const zelkc_logix_tag_info& member = info->children[i];
            if (member.name != nullptr && std::string_view(member.name) == "DATA") {
                entry.textCapacity = member.dims[0];
            }
        }
    }
    entry.colour = nextColour++;
    entry.trended = trendOnAdd.erase(entry.name) > 0 && !isString;
    tags.push_back(std::move(entry));
}

void TagInspector::removeTag(const char* name) {
    if (name == nullptr) {
        return;
    }
    const auto removed =
        std::remove_if(tags.begin(), tags.end(), [&](const TagValue& t) { return t.name == name; });
    if (removed != tags.end()) {
        tags.erase(removed, tags.end());
        history.remove(name);
        ++revision;
    }
}

void TagInspector::clear() {
    tags.clear();
    history.clear();
    ++revision;
}

void TagInspector::markStale() {
    const int64_t now = clock();
    for (TagValue& tag : tags) {
        if (tag.state == RowState::Live) {
            tag.state = RowState::Stale;
            history.add(tag.name, now, std::nan("")); // the trend's line stops here
        }
    }
}

int64_t TagInspector::waitingNs() const {
    if (!batch || batch->done.load(std::memory_order_acquire)) {
        return 0;
    }
    const int64_t waited = clock() - batch->startedNs;
    return waited > std::max(intervalNs + intervalNs / 2, overdueMinNs) ? waited : 0;
}

void TagInspector::setIntervalMs(int ms) {
    for (int choice : rateChoicesMs) {
        if (choice == ms) {
            intervalNs = static_cast<int64_t>(ms) * 1'000'000;
            history.setIntervalNs(intervalNs);
            achievedNs = 0;
        }
    }
}

void TagInspector::setBase(const std::string& name, IntegerBase base) {
    if (base == IntegerBase::Decimal) {
        bases.erase(name);
    } else {
        bases[name] = base;
    }
}

IntegerBase TagInspector::baseOf(const std::string& name) const {
    const auto it = bases.find(name);
    return it == bases.end() ? IntegerBase::Decimal : it->second;
}

std::string TagInspector::shownValue(const TagValue& tag) const {
    if (tag.isString) {
        return tag.value;
    }
    return integer_text(tag.value, zelkc_logix_tag_atomic_type(tag.symbolType), baseOf(tag.name));
}

void TagInspector::setTrended(const std::string& name, bool on) {
    for (TagValue& tag : tags) {
        if (tag.name == name) {
            tag.trended = on;
        }
    }
}

std::string TagInspector::failureText(uint8_t result, const zelkc_logix_read_status& status) {
    return logixFailureText(result, status);
}

void TagInspector::update() {
    if (batch) {
        if (!batch->done.load(std::memory_order_acquire)) {
            // A controller that stops answering is shown at once, long before the time-out says so.
            if (!appState->getStatus() || waitingNs() > 0) {
                markStale();
            }
            return; // one cycle at a time
        }
        if (batch->revision == revision && batch->values.size() == tags.size()) {
            const bool current = batch->success && appState->getStatus() &&
                                 batch->connectionRevision == appState->connectionRevision();
            for (size_t i = 0; i < tags.size(); ++i) {
                TagValue& row = tags[i];
                const TagValue& read = batch->values[i];
                if (!current) {
                    if (row.state == RowState::Live) {
                        row.state = RowState::Stale;
                    }
                    history.add(row.name, batch->startedNs, std::nan(""));
                } else if (read.result == ZELKC_LOGIX_OK) {
                    if (row.lastGoodNs != 0 && row.value != read.value) {
                        row.changedNs = batch->startedNs;
                    }
                    row.value = read.value;
                    row.number = read.number;
                    row.state = RowState::Live;
                    row.error.clear();
                    row.lastGoodNs = batch->startedNs;
                    if (!row.isString) {
                        history.add(row.name, batch->startedNs, read.number);
                    }
                } else {
                    row.state = RowState::Error;
                    row.error = read.error;
                    history.add(row.name, batch->startedNs, std::nan(""));
                }
            }
            ++cycles; // a cycle whose outcome the rows now show
            lastCycleNs = batch->startedNs;
        }
        batch.reset();
    }
    const int64_t now = clock();
    if (!appState->getStatus()) {
        markStale();
        achievedNs = 0; // an outage is not the controller's pace
        lastBatchTime = 0;
        return;
    }
    if (now - lastBatchTime < intervalNs || tags.empty() ||
        tags.size() > std::numeric_limits<uint32_t>::max()) {
        return;
    }
    auto next = std::make_shared<ReadBatch>();
    next->values = tags;
    next->revision = revision;
    next->connectionRevision = appState->connectionRevision();
    next->startedNs = now;
    // Start to start: what the controller allows when it is slower than the rate asked for.
    achievedNs = lastBatchTime != 0 ? now - lastBatchTime : 0;
    lastBatchTime = now;
    batch = next;
    try {
        threadPool->execute([state = appState, next] { readBatch(state, next); });
    } catch (const std::exception& e) {
        LogWriter(LogLevel::Error)("failed to queue the watch list read: {}", e.what());
        batch.reset();
    }
}

void TagInspector::readBatch(AppState* appState, const std::shared_ptr<ReadBatch>& batch) {
    try {
        std::vector<zelkc_logix_atomic_read> reads;
        std::vector<zelkc_logix_read_status> statuses;
        std::vector<size_t> indexes;
        for (size_t i = 0; i < batch->values.size(); ++i) {
            TagValue& entry = batch->values[i];
            entry.result = ZELKC_LOGIX_ERR_UNKNOWN;
            if (!entry.isString && zelkc_logix_tag_array_rank(entry.symbolType) == 0 &&
                zelkc_logix_tag_is_atomic(entry.symbolType)) {
                zelkc_logix_atomic_read read{};
                read.tag = entry.name.c_str();
                reads.push_back(read);
                indexes.push_back(i);
            }
        }
        statuses.resize(reads.size());
        const uint8_t rc = appState->exchangeLanes(
            [&](zelkc_logix_lanes* lanes) -> uint8_t {
                zelkc_logix_client* client = lanes->clients[0];
                if (!reads.empty()) {
                    // A batch that needs several packets goes over the lanes side by side.
                    const uint8_t all = zelkc_logix_lanes_read_atomic_values_status(
                        lanes, reads.data(), static_cast<uint32_t>(reads.size()), statuses.data());
                    if (all != ZELKC_LOGIX_OK) {
                        return all;
                    }
                    for (size_t r = 0; r < reads.size(); ++r) {
                        TagValue& entry = batch->values.at(indexes[r]);
                        entry.result = reads[r].result;
                        if (reads[r].result == ZELKC_LOGIX_OK) {
                            entry.value =
                                value2string(&reads[r].value, zelkc_logix_tag_atomic_type(entry.symbolType));
                            entry.number =
                                value2double(&reads[r].value, zelkc_logix_tag_atomic_type(entry.symbolType));
                        } else {
                            entry.error = failureText(reads[r].result, statuses[r]);
                        }
                    }
                }
                for (TagValue& entry : batch->values) {
                    if (!entry.isString || zelkc_logix_tag_array_rank(entry.symbolType) != 0) {
                        continue;
                    }
                    char text[stringCapacity] = {};
                    uint32_t length = 0;
                    const uint8_t one = zelkc_logix_client_read_string_value(client, entry.name.c_str(), text,
                                                                             stringCapacity, &length);
                    if (connectionGone(one)) {
                        return one;
                    }
                    if (one == ZELKC_LOGIX_OK && length <= stringCapacity) {
                        entry.value.assign(text, length);
                        entry.result = ZELKC_LOGIX_OK;
                    } else {
                        entry.result =
                            one == ZELKC_LOGIX_OK ? uint8_t{ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL} : one;
                        entry.error = zelkc_logix_result_text(entry.result);
                    }
                }
                return ZELKC_LOGIX_OK;
            },
            batch->connectionRevision);
        batch->success = rc == ZELKC_LOGIX_OK;
    } catch (...) {
        batch->success = false;
    }
    batch->done.store(true, std::memory_order_release);
}
