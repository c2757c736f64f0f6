#include "Views/TagInspector.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <utility>

#include "AppState.h"
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
    const bool isString = zelkc_logix_tag_is_string(info);
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
    entry.typeName = isString ? "STRING" : std::string(datatype_get_name(info));
    entry.symbolType = info->symbol_type;
    entry.isString = isString;
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
        ++revision;
    }
}

void TagInspector::clear() {
    tags.clear();
    ++revision;
}

void TagInspector::update() {
    if (batch) {
        if (!batch->done.load(std::memory_order_acquire)) {
            return; // one cycle at a time
        }
        if (batch->success && batch->revision == revision && appState->getStatus() &&
            batch->connectionRevision == appState->connectionRevision()) {
            tags = std::move(batch->values);
        }
        batch.reset();
    }
    const int64_t now = clock();
    if (!appState->getStatus()) {
        return;
    }
    if (now - lastBatchTime < cycleIntervalNs || tags.empty() ||
        tags.size() > std::numeric_limits<uint32_t>::max()) {
        return;
    }
    auto next = std::make_shared<ReadBatch>();
    next->values = tags;
    next->revision = revision;
    next->connectionRevision = appState->connectionRevision();
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
        std::vector<size_t> indexes;
        for (size_t i = 0; i < batch->values.size(); ++i) {
            const TagValue& entry = batch->values[i];
            if (zelkc_logix_tag_array_rank(entry.symbolType) == 0 &&
                zelkc_logix_tag_is_atomic(entry.symbolType)) {
                zelkc_logix_atomic_read read{};
                read.tag = entry.name.c_str();
                reads.push_back(read);
                indexes.push_back(i);
            }
        }
        appState->callPlc([&](zelkc_logix_client* client) {
            if (!appState->getStatus() || appState->connectionRevision() != batch->connectionRevision) {
                return;
            }
            if (!reads.empty() && zelkc_logix_client_read_atomic_values(
                                      client, reads.data(), static_cast<uint32_t>(reads.size())) == 0) {
                for (size_t r = 0; r < reads.size(); ++r) {
                    if (reads[r].result == 0) {
                        TagValue& entry = batch->values.at(indexes[r]);
                        entry.value =
                            value2string(&reads[r].value, zelkc_logix_tag_atomic_type(entry.symbolType));
                    }
                }
            }
            for (TagValue& entry : batch->values) {
                if (!entry.isString || zelkc_logix_tag_array_rank(entry.symbolType) != 0) {
                    continue;
                }
                char text[stringCapacity] = {};
                uint32_t length = 0;
                if (zelkc_logix_client_read_string_value(client, entry.name.c_str(), text, stringCapacity,
                                                         &length) == 0 &&
                    length <= stringCapacity) {
                    entry.value.assign(text, length);
                }
            }
            batch->success = true;
        });
    } catch (...) {
        batch->success = false;
    }
    batch->done.store(true, std::memory_order_release);
}
