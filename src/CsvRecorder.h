// Recording the watch table to a CSV file, one line per read cycle.
//
// The file: a header line, "time" then per tag "<name> (<type>)" and "<name> status"; then per cycle
// an ISO 8601 UTC timestamp with milliseconds ("2026-12-07T01:02:03.456Z") and per tag its value
// (empty unless the value is live) and its status ("good", "stale", "error: <reason>", "pending").
// When the tags (names and types, in order) differ from the previous cycle's, a new header line
// starts a new section. Fields holding a comma, a double quote or a line break are quoted as in
// RFC 4180; lines end in "\n", as in `orvane-cli watch --csv`.
//
// No UI, no threads: the owner calls everything from one thread. The recorder owns its open file and
// closes it in stop() and in its destructor.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

struct CsvCell { // one watched tag in one cycle
    std::string name, type, value;
    enum class State { Live, Stale, Error, Pending } state = State::Pending;
    std::string error; // the reason for Error
};

class CsvRecorder {
public:
    CsvRecorder() = default;
    CsvRecorder(const CsvRecorder&) = delete;
    CsvRecorder& operator=(const CsvRecorder&) = delete;
    ~CsvRecorder();

    // Ends any recording in progress, then creates "<folder>/<controller>-YYYYMMDD-HHMMSS.csv" (the
    // controller's name with every byte outside [A-Za-z0-9._-] replaced by '_', "controller" when
    // empty; the time is startNs, nanoseconds since 1970, in UTC). An existing file is never
    // overwritten: "-2", "-3"... is appended before ".csv" instead. False with error() when the file
    // cannot be created (folder missing, not a folder, not writable); true clears error().
    bool start(const std::filesystem::path& folder, const std::string& controller, int64_t startNs);

    // Appends one cycle (a header line first when the first cycle or the tags changed) and flushes it
    // to the system, so a crash loses at most the line being written. False with error() when not
    // recording, or when the write fails: the recording then stops (the file keeps what was flushed).
    bool writeCycle(int64_t timeNs, const std::vector<CsvCell>& cells);

    // Closes the file; error() says so if closing failed. Harmless when not recording.
    void stop();

    bool isRecording() const { return file_ != nullptr; }
    // The file of the current or last recording; empty before the first start().
    const std::filesystem::path& path() const { return path_; }
    // Why the last start, writeCycle or stop failed; empty when it did not.
    const std::string& error() const { return error_; }

    // "2026-12-07T01:02:03.456Z" for nanoseconds since 1970 (times before 1970 round down).
    static std::string timestamp(int64_t unixNs);

private:
    std::FILE* file_ = nullptr;
    std::filesystem::path path_;
    std::string error_;
    bool headerWritten_ = false;
    std::vector<std::string> columns_; // name and type of every tag of the last header, in order
};
