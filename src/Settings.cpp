#include "Settings.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "Platform.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr size_t kMaxFileBytes = 16u << 20; // larger than any real settings file; refused unread
constexpr double kMaxSplit = 100000;        // tree width and trend height beyond this read back as 0

std::string errnoText(int error) {
    return std::strerror(error);
}

// The whole file into `text`; false with `why` when it cannot be opened or read, or is too large.
bool readFile(const fs::path& path, std::string* text, std::string* why) {
    std::FILE* file = std::fopen(path.string().c_str(), "rb");
    if (file == nullptr) {
        *why = errnoText(errno);
        return false;
    }
    text->clear();
    char chunk[65536];
    bool ok = true;
    for (;;) {
        const size_t got = std::fread(chunk, 1, sizeof chunk, file);
        text->append(chunk, got);
        if (text->size() > kMaxFileBytes) {
            *why = fmt::format("larger than {} MiB", kMaxFileBytes >> 20);
            ok = false;
            break;
        }
        if (got < sizeof chunk) {
            if (std::ferror(file)) {
                *why = errnoText(errno);
                ok = false;
            }
            break;
        }
    }
    std::fclose(file);
    return ok;
}

// Writes `text` to `target` through a temporary file beside it: written, flushed to the disk, closed,
// renamed over the target. On failure the target is as it was, the temporary is gone and `why` names
// the step.
bool writeAtomically(const fs::path& target, const std::string& text, std::string* why) {
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string name = (folder / (target.filename().string() + ".tmp-XXXXXX")).string();
    int fd = -1;
    if (std::string problem = platform::createTemporary(&name, target, &fd); !problem.empty()) {
        *why = problem;
        return false;
    }
    std::string step = platform::writeAndSync(fd, text);
    if (std::string closed = platform::closeFile(fd); step.empty()) {
        step = closed;
    }
    if (step.empty()) {
        step = platform::replaceFile(name, target);
        if (!step.empty()) {
            *why = step;
            platform::removeFile(name);
            return false;
        }
    }
    if (!step.empty()) {
        *why = fmt::format("{} ({})", step, name);
        platform::removeFile(name);
        return false;
    }
    return true;
}

std::string dumpJson(const nlohmann::ordered_json& value) {
    return value.dump(4, ' ', false, json::error_handler_t::replace) + "\n";
}

// A float as the shortest decimal that reads back as the same float (0.1f is written 0.1, not
// 0.10000000149011612); non-finite values, which JSON cannot hold, as 0.
double shortest(float value) {
    return std::isfinite(value) ? std::strtod(fmt::format("{}", value).c_str(), nullptr) : 0.0;
}

// Reads the known fields of `object` into `out`. A field of the wrong type ends the read: false with
// `why` naming it. A field of the right type but out of range leaves the default.
bool readSettings(const json& object, Settings* out, std::string* why) {
    if (!object.is_object()) {
        *why = "it does not hold a JSON object";
        return false;
    }
    const auto wrong = [&](const char* key, const char* expected) {
        *why = fmt::format("\"{}\" is not {}", key, expected);
        return false;
    };
    const auto readInt = [&](const char* key, int* value, int64_t low, int64_t high) {
        const auto it = object.find(key);
        if (it == object.end()) {
            return true;
        }
        if (!it->is_number_integer()) {
            return wrong(key, "a whole number");
        }
        const bool big = it->is_number_unsigned() && it->get<uint64_t>() > uint64_t(high);
        const int64_t number = big ? high + 1 : it->get<int64_t>();
        if (number >= low && number <= high) {
            *value = static_cast<int>(number);
        }
        return true;
    };
    const auto readSize = [&](const char* key, float* value) {
        const auto it = object.find(key);
        if (it == object.end()) {
            return true;
        }
        if (!it->is_number()) {
            return wrong(key, "a number");
        }
        const double number = it->get<double>();
        if (number >= 0 && number <= kMaxSplit) {
            *value = static_cast<float>(number);
        }
        return true;
    };
    const auto readString = [&](const char* key, std::string* value) {
        const auto it = object.find(key);
        if (it == object.end()) {
            return true;
        }
        if (!it->is_string()) {
            return wrong(key, "a string");
        }
        *value = it->get<std::string>();
        return true;
    };

    Settings& s = *out;
    if (!readString("address", &s.address) || !readInt("port", &s.port, 1, 65535) ||
        !readInt("windowWidth", &s.windowWidth, 200, 16384) ||
        !readInt("windowHeight", &s.windowHeight, 200, 16384) || !readSize("treeWidth", &s.treeWidth) ||
        !readSize("trendHeight", &s.trendHeight) || !readString("recordFolder", &s.recordFolder)) {
        return false;
    }
    if (const auto it = object.find("trendShown"); it != object.end()) {
        if (!it->is_boolean()) {
            return wrong("trendShown", "true or false");
        }
        s.trendShown = it->get<bool>();
    }
    int rate = s.watchRateMs;
    if (!readInt("watchRateMs", &rate, 1, std::numeric_limits<int>::max())) {
        return false;
    }
    const bool offered =
        std::find(std::begin(kWatchRatesMs), std::end(kWatchRatesMs), rate) != std::end(kWatchRatesMs);
    s.watchRateMs = offered ? rate : 1000;
    int lanes = 4;
    if (!readInt("lanes", &lanes, 1, std::numeric_limits<int>::max())) {
        return false;
    }
    s.lanes = lanes >= 1 && lanes <= 8 ? lanes : 4;
    if (const auto it = object.find("watchLists"); it != object.end()) {
        if (!it->is_object()) {
            return wrong("watchLists", "an object of lists");
        }
        for (const auto& [key, list] : it->items()) {
            if (!list.is_array() ||
                !std::all_of(list.begin(), list.end(), [](const json& tag) { return tag.is_string(); })) {
                *why = fmt::format("the watch list \"{}\" is not a list of tag names", key);
                return false;
            }
            std::vector<std::string>& tags = s.watchLists[key];
            for (const json& tag : list) {
                tags.push_back(tag.get<std::string>());
            }
        }
    }
    if (const auto it = object.find("trendedTags"); it != object.end()) {
        if (!it->is_object()) {
            return wrong("trendedTags", "an object of lists");
        }
        for (const auto& [key, list] : it->items()) {
            if (!list.is_array() ||
                !std::all_of(list.begin(), list.end(), [](const json& tag) { return tag.is_string(); })) {
                *why = fmt::format("the trended tags of \"{}\" are not a list of tag names", key);
                return false;
            }
            for (const json& tag : list) {
                s.trendedTags[key].push_back(tag.get<std::string>());
            }
        }
    }
    if (const auto it = object.find("valueBases"); it != object.end()) {
        if (!it->is_object()) {
            return wrong("valueBases", "an object of objects");
        }
        for (const auto& [key, bases] : it->items()) {
            if (!bases.is_object()) {
                return wrong("valueBases", "an object of objects");
            }
            for (const auto& [tag, base] : bases.items()) {
                if (base.is_string() && (base.get<std::string>() == "hex" || base.get<std::string>() == "binary")) {
                    s.valueBases[key][tag] = base.get<std::string>();
                }
            }
        }
    }
    return true;
}

// "YYYYMMDD-HHMMSS" of the wall clock, UTC.
std::string utcStamp() {
    const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    const auto day = std::chrono::floor<std::chrono::days>(now);
    const std::chrono::year_month_day date(day);
    const std::chrono::hh_mm_ss time(now - day);
    return fmt::format("{:04}{:02}{:02}-{:02}{:02}{:02}", int(date.year()), unsigned(date.month()),
                       unsigned(date.day()), time.hours().count(), time.minutes().count(),
                       time.seconds().count());
}

// A name beside `file` that nothing uses yet: "<file>.corrupt-<stamp>", then "-2", "-3"...
fs::path asideName(const fs::path& file) {
    const std::string base = file.string() + ".corrupt-" + utcStamp();
    fs::path candidate = base;
    for (int n = 2;; ++n) {
        std::error_code ec;
        if (fs::symlink_status(candidate, ec).type() == fs::file_type::not_found) {
            return candidate;
        }
        candidate = base + "-" + std::to_string(n);
    }
}

} // namespace

std::string controllerKey(uint16_t vendor, uint16_t productCode, uint32_t serial) {
    return fmt::format("{}-{}-{:08X}", vendor, productCode, serial);
}

SettingsStore::SettingsStore(fs::path folder) : folder_(std::move(folder)) {}

fs::path SettingsStore::defaultFolder() {
    return platform::settingsFolder();
}

fs::path SettingsStore::file() const {
    return folder_ / "settings.json";
}

Settings SettingsStore::load() {
    problem_.clear();
    const fs::path path = file();
    try {
        std::error_code ec;
        if (fs::status(path, ec).type() == fs::file_type::not_found) {
            return Settings{};
        }
        std::string text, why;
        Settings settings;
        if (readFile(path, &text, &why)) {
            try {
                if (readSettings(json::parse(text), &settings, &why)) {
                    return settings;
                }
            } catch (const json::parse_error& e) {
                why = fmt::format("it is not valid JSON (at byte {})", e.byte);
            }
        } else {
            why = "it cannot be read: " + why;
        }
        const fs::path aside = asideName(path);
        fs::rename(path, aside, ec);
        problem_ = ec ? fmt::format("The settings file {} was not used because {}, and it could not be "
                                    "renamed to {} ({}); the defaults are in use.",
                                    path.string(), why, aside.string(), ec.message())
                      : fmt::format("The settings file {} was not used because {}; it was renamed to {} "
                                    "and the defaults are in use.",
                                    path.string(), why, aside.string());
    } catch (const std::exception& e) {
        problem_ = fmt::format("The settings file {} could not be read ({}); the defaults are in use.",
                               path.string(), e.what());
    }
    return Settings{};
}

bool SettingsStore::save(const Settings& settings) {
    problem_.clear();
    try {
        std::error_code ec;
        fs::create_directories(folder_, ec);
        if (ec) {
            problem_ = fmt::format("The settings could not be saved: the folder {} cannot be created ({}).",
                                   folder_.string(), ec.message());
            return false;
        }
        nlohmann::ordered_json lists = nlohmann::ordered_json::object();
        for (const auto& [key, tags] : settings.watchLists) {
            lists[key] = tags;
        }
        nlohmann::ordered_json bases = nlohmann::ordered_json::object();
        for (const auto& [key, tags] : settings.valueBases) {
            if (!tags.empty()) {
                bases[key] = tags;
            }
        }
        nlohmann::ordered_json trended = nlohmann::ordered_json::object();
        for (const auto& [key, tags] : settings.trendedTags) {
            if (!tags.empty()) {
                trended[key] = tags;
            }
        }
        const nlohmann::ordered_json object = {
            {"address", settings.address},
            {"port", settings.port},
            {"windowWidth", settings.windowWidth},
            {"windowHeight", settings.windowHeight},
            {"treeWidth", shortest(settings.treeWidth)},
            {"trendShown", settings.trendShown},
            {"trendHeight", shortest(settings.trendHeight)},
            {"watchRateMs", settings.watchRateMs},
            {"lanes", settings.lanes},
            {"recordFolder", settings.recordFolder},
            {"watchLists", lists},
            {"valueBases", bases},
            {"trendedTags", trended},
        };
        std::string why;
        if (!writeAtomically(file(), dumpJson(object), &why)) {
            problem_ =
                fmt::format("The settings could not be saved to {}: {}; the previous file is unchanged.",
                            file().string(), why);
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        problem_ = fmt::format("The settings could not be saved to {}: {}.", file().string(), e.what());
        return false;
    }
}

bool saveWatchList(const fs::path& path, const std::vector<std::string>& tags, std::string* error) {
    std::string why;
    try {
        if (writeAtomically(path, dumpJson(nlohmann::ordered_json{{"tags", tags}}), &why)) {
            return true;
        }
    } catch (const std::exception& e) {
        why = e.what();
    }
    if (error != nullptr) {
        *error = fmt::format("The watch list could not be saved to {}: {}.", path.string(), why);
    }
    return false;
}

std::optional<std::vector<std::string>> loadWatchList(const fs::path& path, std::string* error) {
    std::string text, why;
    try {
        if (!readFile(path, &text, &why)) {
            why = "it cannot be read: " + why;
        } else {
            const json object = json::parse(text);
            const auto tags = object.is_object() ? object.find("tags") : object.end();
            if (tags == object.end() || !tags->is_array() ||
                !std::all_of(tags->begin(), tags->end(), [](const json& tag) { return tag.is_string(); })) {
                why = "it does not hold {\"tags\": [...]} with a list of tag names";
            } else {
                return tags->get<std::vector<std::string>>();
            }
        }
    } catch (const json::parse_error& e) {
        why = fmt::format("it is not valid JSON (at byte {})", e.byte);
    } catch (const std::exception& e) {
        why = e.what();
    }
    if (error != nullptr) {
        *error = fmt::format("The watch list {} could not be opened: {}.", path.string(), why);
    }
    return std::nullopt;
}
