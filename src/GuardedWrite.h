// One guarded write of one tag, as the window and orvane-cli's Sparkplug commands make it: read the
// value just before writing (and, when asked, refuse if it is no longer the value the requester
// saw), write, and read it back at once. Run as the body of a single exchange that is never
// repeated; the caller records the outcome before anyone sees it.
#pragma once

#include <cstdint>
#include <string>

#include <zelkc_logix.h>

struct GuardedWriteRequest {
    std::string tag;
    uint16_t symbolType = 0;   // the tag's symbol type (an atomic type, or a STRING structure)
    bool isString = false;     // a Logix STRING: `asked` is its text
    uint32_t capacity = 0;     // a STRING: the characters it holds
    bool checkSeen = true;     // refuse when the value read before writing is not `seen`
    std::string seen;          // the value the requester saw, as value text
    std::string asked;         // the value asked for, as value text
    zelkc_logix_value value{}; // an atomic value: asked, parsed
};

enum class GuardedOutcome : uint8_t { Written, Differs, Refused, Failed, NotSent, Changed };

struct GuardedWriteResult {
    enum class Stage : uint8_t { NotRun, ReadBefore, Sent, ReadBack };
    Stage stage = Stage::NotRun;
    bool decided = false;
    GuardedOutcome outcome = GuardedOutcome::NotSent;
    std::string shown;  // what a row or a log line says of the outcome
    std::string reason; // why, in plain words, when not plainly written
    std::string before; // the value read just before writing
    std::string readBack;
    uint8_t generalStatus = 0;
    uint16_t extendedStatus = 0;
};

// Which results mean the link failed (gone, silent, cancelled) rather than the request.
using LinkFailedFn = bool (*)(uint8_t result);

// The read, write and read-back on `client`. Returns the link failure that ended it early (the
// result is then not decided: see guardedWriteFailed), or ZELKC_LOGIX_OK with the result decided.
uint8_t guardedWrite(zelkc_logix_client* client, const GuardedWriteRequest& request, LinkFailedFn linkFailed,
                     GuardedWriteResult* result);

// The outcome of a write whose exchange failed with `rc` before it was decided, by the stage it
// reached: never sent, perhaps written (and never sent again), or written but not read back.
void guardedWriteFailed(uint8_t rc, GuardedWriteResult* result);

// The write record's word for an outcome: written, differs, refused, failed or not sent.
const char* guardedRecordResult(GuardedOutcome outcome);

// A failed read or write in plain words, with the controller's CIP status when it gave one.
std::string logixFailureText(uint8_t result, const zelkc_logix_read_status& status);
