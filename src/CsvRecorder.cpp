#include "CsvRecorder.h"
#include "Platform.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <fmt/format.h>

namespace {

// The date and time of nanoseconds since 1970 in UTC, floored to whole milliseconds.
struct UtcTime {
    std::chrono::year_month_day date;
    std::chrono::hh_mm_ss<std::chrono::milliseconds> time;
};

UtcTime utc(int64_t unixNs) {
    using namespace std::chrono;
    const sys_time<milliseconds> at = floor<milliseconds>(sys_time<nanoseconds>(nanoseconds(unixNs)));
    const sys_days day = floor<days>(at);
    return {year_month_day(day), hh_mm_ss<milliseconds>(at - day)};
}

// A field as RFC 4180 wants it: quoted, with quotes doubled, when it holds a comma, quote or line break.
std::string field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + '"';
}

std::string status(const CsvCell& cell) {
    switch (cell.state) {
    case CsvCell::State::Live:
        return "good";
    case CsvCell::State::Stale:
        return "stale";
    case CsvCell::State::Error:
        return cell.error.empty() ? "error" : "error: " + cell.error;
    case CsvCell::State::Pending:
        break;
    }
    return "pending";
}

} // namespace

CsvRecorder::~CsvRecorder() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

std::string CsvRecorder::timestamp(int64_t unixNs) {
    const UtcTime t = utc(unixNs);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", int(t.date.year()),
                       unsigned(t.date.month()), unsigned(t.date.day()), t.time.hours().count(),
                       t.time.minutes().count(), t.time.seconds().count(), t.time.subseconds().count());
}

bool CsvRecorder::start(const std::filesystem::path& folder, const std::string& controller, int64_t startNs) {
    stop();
    error_.clear();
    std::string name = controller.empty() ? "controller" : controller;
    for (char& c : name) {
        const bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                          c == '.' || c == '_' || c == '-';
        if (!safe) {
            c = '_';
        }
    }
    const UtcTime t = utc(startNs);
    const std::string base = fmt::format(
        "{}-{:04}{:02}{:02}-{:02}{:02}{:02}", name, int(t.date.year()), unsigned(t.date.month()),
        unsigned(t.date.day()), t.time.hours().count(), t.time.minutes().count(), t.time.seconds().count());
    // Create only, so a recording started within the same second as another never replaces it.
    for (int n = 1; n <= 1000; ++n) {
        path_ = folder / (n == 1 ? base + ".csv" : fmt::format("{}-{}.csv", base, n));
        file_ = platform::createNewFile(path_);
        if (file_ != nullptr || errno != EEXIST) {
            break;
        }
    }
    if (file_ == nullptr) {
        error_ = fmt::format("Cannot record to {}: {}.", path_.string(), std::strerror(errno));
        return false;
    }
    headerWritten_ = false;
    columns_.clear();
    return true;
}

bool CsvRecorder::writeCycle(int64_t timeNs, const std::vector<CsvCell>& cells) {
    if (file_ == nullptr) {
        error_ = "Not recording.";
        return false;
    }
    std::vector<std::string> columns;
    columns.reserve(cells.size() * 2);
    for (const CsvCell& cell : cells) {
        columns.push_back(cell.name);
        columns.push_back(cell.type);
    }
    std::string text;
    if (!headerWritten_ || columns != columns_) {
        text = "time";
        for (const CsvCell& cell : cells) {
            text += ',' + field(cell.name + " (" + cell.type + ")") + ',' + field(cell.name + " status");
        }
        text += '\n';
        columns_ = std::move(columns);
        headerWritten_ = true;
    }
    text += timestamp(timeNs);
    for (const CsvCell& cell : cells) {
        text += ',' + (cell.state == CsvCell::State::Live ? field(cell.value) : std::string()) + ',' +
                field(status(cell));
    }
    text += '\n';
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size() || std::fflush(file_) != 0) {
        error_ = fmt::format("Recording to {} stopped: {}.", path_.string(), std::strerror(errno));
        std::fclose(file_);
        file_ = nullptr;
        return false;
    }
    return true;
}

void CsvRecorder::stop() {
    if (file_ != nullptr && std::fclose(file_) != 0) {
        error_ = fmt::format("Closing {} failed: {}.", path_.string(), std::strerror(errno));
    }
    file_ = nullptr;
}
