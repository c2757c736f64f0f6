#include "GuardedWrite.h"

#include <algorithm>
#include <vector>

#include <fmt/format.h>

#include "ValueText.h"

namespace {

// A STRING is read into at least this many characters, whatever capacity the request says.
constexpr uint32_t kMinTextBuffer = 96;

// Reads the value of `request`'s tag as value text.
uint8_t readText(zelkc_logix_client* client, const GuardedWriteRequest& request, std::string* text,
                 zelkc_logix_read_status* status) {
    if (request.isString) {
        std::vector<char> buffer(std::max(request.capacity, kMinTextBuffer) + 1, '\0');
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

void decide(GuardedWriteResult* result, GuardedOutcome outcome, std::string shown) {
    result->outcome = outcome;
    result->shown = std::move(shown);
    result->decided = true;
}

} // namespace

std::string logixFailureText(uint8_t result, const zelkc_logix_read_status& status) {
    if (result == ZELKC_LOGIX_ERR_DEVICE && status.general_status != 0) {
        const std::string extended =
            status.extended_status != 0 ? fmt::format("/0x{:04X}", status.extended_status) : std::string();
        return fmt::format("{} (CIP 0x{:02X}{})",
                           zelkc_logix_cip_status_text(status.general_status, status.extended_status),
                           status.general_status, extended);
    }
    if (result == ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE && status.struct_handle != 0) {
        return "a structure has no single value";
    }
    return zelkc_logix_result_text(result);
}

uint8_t guardedWrite(zelkc_logix_client* client, const GuardedWriteRequest& r, LinkFailedFn linkFailed,
                     GuardedWriteResult* result) {
    using Stage = GuardedWriteResult::Stage;
    // Just before writing: what the tag holds, and is it still the value the requester saw?
    result->stage = Stage::ReadBefore;
    zelkc_logix_read_status status{};
    std::string now;
    uint8_t one = readText(client, r, &now, &status);
    if (linkFailed(one)) {
        return one;
    }
    if (one != ZELKC_LOGIX_OK) {
        result->reason =
            fmt::format("it could not be read before writing: {}", logixFailureText(one, status));
        decide(result, GuardedOutcome::NotSent, "not written: " + result->reason);
        return ZELKC_LOGIX_OK;
    }
    result->before = now;
    if (r.checkSeen && now != r.seen) {
        result->reason = fmt::format("the value changed from {} to {} since it was shown", r.seen, now);
        decide(result, GuardedOutcome::Changed, std::string());
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
    result->stage = Stage::Sent;
    const uint8_t all = zelkc_logix_client_write_values(client, &entry, 1);
    if (linkFailed(all)) {
        return all;
    }
    if (all != ZELKC_LOGIX_OK || entry.result != ZELKC_LOGIX_OK) {
        const uint8_t why =
            entry.result != ZELKC_LOGIX_OK && entry.result != ZELKC_LOGIX_ERR_UNKNOWN ? entry.result : all;
        result->generalStatus = entry.status.general_status;
        result->extendedStatus = entry.status.extended_status;
        result->reason = logixFailureText(why, entry.status);
        if (why == ZELKC_LOGIX_ERR_DEVICE) {
            decide(result, GuardedOutcome::Refused, "refused: " + result->reason);
        } else {
            decide(result, GuardedOutcome::Failed, "not written: " + result->reason);
        }
        return ZELKC_LOGIX_OK;
    }
    // At once after the write: what the controller holds now.
    result->stage = Stage::ReadBack;
    std::string back;
    one = readText(client, r, &back, &status);
    if (linkFailed(one)) {
        return one;
    }
    if (one != ZELKC_LOGIX_OK) {
        result->reason = fmt::format("it could not be read back: {}", logixFailureText(one, status));
        decide(result, GuardedOutcome::Written, "written, but " + result->reason);
        return ZELKC_LOGIX_OK;
    }
    result->readBack = back;
    if (back == r.asked) {
        decide(result, GuardedOutcome::Written, "written");
    } else {
        result->reason = "the controller's program changed it after the write";
        decide(result, GuardedOutcome::Differs,
               fmt::format("written, but the controller now holds {}", back));
    }
    return ZELKC_LOGIX_OK;
}

void guardedWriteFailed(uint8_t rc, GuardedWriteResult* result) {
    // The connection failed the exchange (it was never run, or broke in it): nothing is retried.
    switch (result->stage) {
    case GuardedWriteResult::Stage::NotRun:
    case GuardedWriteResult::Stage::ReadBefore:
        result->reason =
            rc == ZELKC_LOGIX_ERR_NOT_CONNECTED
                ? std::string("the connection changed or went down before the write")
                : fmt::format("the connection failed before the write: {}", zelkc_logix_result_text(rc));
        decide(result, GuardedOutcome::NotSent, "not written: " + result->reason);
        break;
    case GuardedWriteResult::Stage::Sent:
        result->reason = fmt::format("the connection failed during the write ({}); it may have been "
                                     "written and is not sent again",
                                     zelkc_logix_result_text(rc));
        decide(result, GuardedOutcome::Failed, "unknown: " + result->reason);
        break;
    case GuardedWriteResult::Stage::ReadBack:
        result->reason =
            fmt::format("the connection failed before the read-back: {}", zelkc_logix_result_text(rc));
        decide(result, GuardedOutcome::Written, "written, but " + result->reason);
        break;
    }
}

const char* guardedRecordResult(GuardedOutcome outcome) {
    switch (outcome) {
    case GuardedOutcome::Written:
        return "written";
    case GuardedOutcome::Differs:
        return "differs";
    case GuardedOutcome::Refused:
        return "refused";
    case GuardedOutcome::Failed:
        return "failed";
    case GuardedOutcome::NotSent:
    case GuardedOutcome::Changed:
        break;
    }
    return "not sent";
}
