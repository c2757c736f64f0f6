// The record of every write attempt, from the window and from orvane-cli: one JSON object per line
// in $XDG_STATE_HOME/orvane/writes.jsonl (else ~/.local/state/orvane/writes.jsonl), created 0600.
// Each line goes out in one write call and is flushed to disk before the caller shows the outcome,
// so a crash never leaves half a line and no shown result is missing from the record.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct WriteRecordEntry {
    std::string timeUtc;     // ISO 8601 UTC with milliseconds; filled by append when empty
    std::string user;        // the local user; filled by append when empty
    std::string source;      // "window" or "orvane-cli"
    std::string address;     // HOST:PORT[/SLOT]
    std::string identity;    // vendor-product-serial, e.g. "1-166-00C0FFEE"
    std::string productName; // the controller's product name
    std::string tag;
    std::string type;     // the type name, e.g. "DINT"
    std::string before;   // the value the user saw (or read just before)
    std::string asked;    // the value asked for
    std::string result;   // "written", "differs", "refused", "failed", "not sent"
    std::string reason;   // why, in plain words, when not written
    uint8_t generalStatus = 0;
    uint16_t extendedStatus = 0;
    std::string readBack; // the value read back after the write; empty when none was read
};

// The record's path: $XDG_STATE_HOME/orvane/writes.jsonl when that is an absolute path, else
// $HOME/.local/state/orvane/writes.jsonl.
std::filesystem::path writeRecordPath();

// One JSON line for `entry` (no newline), its time and user filled in when empty.
std::string writeRecordLine(WriteRecordEntry entry);

// Appends the line of `entry` to `path` (its folder created, the file 0600 when new) with one
// write call, then fsync. Returns the problem in plain words, or the empty string.
std::string appendWriteRecord(const WriteRecordEntry& entry, const std::filesystem::path& path = writeRecordPath());

// The last `count` entries of the record at `path`, oldest first; lines that are not records are
// skipped. An absent file gives none.
std::vector<WriteRecordEntry> readWriteRecordTail(size_t count, const std::filesystem::path& path = writeRecordPath());
