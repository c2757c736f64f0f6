#include "WriteRecord.h"

#include "Platform.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace fs = std::filesystem;

namespace {

std::string nowUtc() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    const std::tm tm = platform::utcTime(seconds);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", tm.tm_year + 1900, tm.tm_mon + 1,
                       tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
}

std::string localUser() {
    return platform::userName();
}

std::string fieldText(const nlohmann::json& j, const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

} // namespace

fs::path writeRecordPath() {
    return platform::stateFolder() / "writes.jsonl";
}

std::string writeRecordLine(WriteRecordEntry e) {
    if (e.timeUtc.empty()) {
        e.timeUtc = nowUtc();
    }
    if (e.user.empty()) {
        e.user = localUser();
    }
    nlohmann::ordered_json j;
    j["time"] = e.timeUtc;
    j["user"] = e.user;
    j["source"] = e.source;
    j["address"] = e.address;
    j["identity"] = e.identity;
    j["product"] = e.productName;
    j["tag"] = e.tag;
    j["type"] = e.type;
    j["before"] = e.before;
    j["asked"] = e.asked;
    j["result"] = e.result;
    if (!e.reason.empty()) {
        j["reason"] = e.reason;
    }
    if (e.generalStatus != 0 || e.extendedStatus != 0) {
        j["status"] = fmt::format("0x{:02X}/0x{:04X}", e.generalStatus, e.extendedStatus);
    }
    j["read_back"] = e.readBack;
    // Controller text may hold bytes that are not UTF-8: they are replaced, never a reason to lose
    // the line.
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string appendWriteRecord(const WriteRecordEntry& entry, const fs::path& path) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    if (ec) {
        return fmt::format("cannot create {}: {}", path.parent_path().string(), ec.message());
    }
    const std::string line = writeRecordLine(entry) + "\n";
    int fd = -1;
    if (std::string problem = platform::openForAppend(path, &fd); !problem.empty()) {
        return problem;
    }
    std::string problem = platform::writeAndSync(fd, line);
    platform::closeFile(fd);
    return problem.empty() ? problem : fmt::format("{} ({})", problem, path.string());
}

std::vector<WriteRecordEntry> readWriteRecordTail(size_t count, const fs::path& path) {
    std::ifstream in(path);
    std::deque<std::string> lines;
    std::string line;
    while (count != 0 && std::getline(in, line)) {
        lines.push_back(std::move(line));
        if (lines.size() > count) {
            lines.pop_front();
        }
    }
    std::vector<WriteRecordEntry> out;
    for (const std::string& text : lines) {
        nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
        if (!j.is_object()) {
            continue;
        }
        WriteRecordEntry e;
        e.timeUtc = fieldText(j, "time");
        e.user = fieldText(j, "user");
        e.source = fieldText(j, "source");
        e.address = fieldText(j, "address");
        e.identity = fieldText(j, "identity");
        e.productName = fieldText(j, "product");
        e.tag = fieldText(j, "tag");
        e.type = fieldText(j, "type");
        e.before = fieldText(j, "before");
        e.asked = fieldText(j, "asked");
        e.result = fieldText(j, "result");
        e.reason = fieldText(j, "reason");
        e.readBack = fieldText(j, "read_back");
        const std::string status = fieldText(j, "status");
        unsigned general = 0, extended = 0;
        if (std::sscanf(status.c_str(), "0x%x/0x%x", &general, &extended) == 2) {
            e.generalStatus = static_cast<uint8_t>(general);
            e.extendedStatus = static_cast<uint16_t>(extended);
        }
        out.push_back(std::move(e));
    }
    return out;
}
