// The plant file of `watch --config` and the tag filters it may hold.
#include <fmt/format.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <system_error>

#include "orvane_mqtt.h"

namespace mqtt {

std::string load_plant(const std::string& path, uint32_t interval_ms, const AddressCheck& check,
                       std::vector<PlantController>* out) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        return fmt::format("{}: is a directory, not a plant file", path);
    }
    std::ifstream in(path);
    if (!in) {
        return fmt::format("{}: cannot read the file", path);
    }
    std::string text;
    try {
        text.assign(std::istreambuf_iterator<char>(in), {});
    } catch (const std::exception&) { // a read error (a device file, a vanished mount)
        return fmt::format("{}: cannot read the file", path);
    }
    nlohmann::json doc;
    try {
        doc = nlohmann::json::parse(text);
    } catch (const nlohmann::json::parse_error& e) {
        // The byte offset points just past the character that broke the syntax.
        const size_t end = std::min(e.byte > 0 ? e.byte - 1 : 0, text.size());
        const long line = 1 + std::count(text.begin(), text.begin() + long(end), '\n');
        std::string what = e.what();
        const size_t column = what.find("column ");
        const size_t colon = what.find(": ", column == std::string::npos ? 0 : column);
        return fmt::format("{}:{}: JSON syntax error: {}", path, line,
                           colon == std::string::npos ? what : what.substr(colon + 2));
    }
    if (!doc.is_object() || doc.size() != 1 || !doc.contains("controllers") ||
        !doc["controllers"].is_array() || doc["controllers"].empty()) {
        return fmt::format("{}: the file must be one object holding only a non-empty \"controllers\" array",
                           path);
    }
    std::set<std::string> names;
    std::vector<PlantController> specs;
    size_t number = 0;
    for (const nlohmann::json& entry : doc["controllers"]) {
        ++number;
        std::string where = fmt::format("{}: controller {}", path, number);
        if (!entry.is_object()) {
            return where + ": each controller must be an object";
        }
        if (entry.contains("name") && entry["name"].is_string()) {
            where += fmt::format(" (\"{}\")", entry["name"].get<std::string>());
        }
        for (const auto& [key, value] : entry.items()) {
            if (key != "address" && key != "name" && key != "rate" && key != "tags" && key != "writable") {
                return fmt::format("{}: unknown key \"{}\" (address, name, rate, tags, writable)", where,
                                   key);
            }
        }
        PlantController spec;
        spec.interval_ms = interval_ms;
        if (!entry.contains("address") || !entry["address"].is_string()) {
            return where + ": \"address\" must be a string HOST[:PORT][/SLOT]";
        }
        spec.address = entry["address"].get<std::string>();
        const std::string problem = check(spec.address, &spec.name);
        if (!problem.empty()) {
            return fmt::format("{}: address {}", where, problem);
        }
        if (entry.contains("name")) {
            if (!entry["name"].is_string() || !is_topic_level(entry["name"].get<std::string>())) {
                return where + ": \"name\" must be a non-empty string without '/', '+' or '#'";
            }
            spec.name = entry["name"].get<std::string>();
        }
        if (!names.insert(spec.name).second) {
            return fmt::format("{}: the name {} is used by an earlier controller", where, spec.name);
        }
        if (entry.contains("rate")) {
            const nlohmann::json& rate = entry["rate"];
            if (!rate.is_number_unsigned() || rate.get<uint64_t>() < 1 || rate.get<uint64_t>() > 86400000) {
                return where + ": \"rate\" must be the time between reads in ms, from 1 to 86400000";
            }
            spec.interval_ms = rate.get<uint32_t>();
        }
        const nlohmann::json tags = entry.value("tags", nlohmann::json());
        if (!tags.is_array() || tags.empty() ||
            std::any_of(tags.begin(), tags.end(), [](const nlohmann::json& t) {
                // A JSON string's empty() is false whatever it holds: ask the text.
                return !t.is_string() || t.get_ref<const std::string&>().empty();
            })) {
            return where + ": \"tags\" must be a non-empty array of tag paths or filters";
        }
        for (const nlohmann::json& tag : tags) {
            spec.tags.push_back(tag.get<std::string>());
        }
        if (entry.contains("writable")) {
            const nlohmann::json& writable = entry["writable"];
            const auto bad = [](const nlohmann::json& t) { return !t.is_string() || t == ""; };
            if (!writable.is_array() || std::any_of(writable.begin(), writable.end(), bad)) {
                return where + ": \"writable\" must be an array of tag paths or patterns";
            }
            for (const nlohmann::json& tag : writable) {
                spec.writable.push_back(tag.get<std::string>());
            }
        }
        specs.push_back(std::move(spec));
    }
    *out = std::move(specs);
    return {};
}

namespace {

bool starts_with_program(const std::string& text) {
    return strncasecmp(text.c_str(), "program:", 8) == 0;
}

} // namespace

bool is_filter(const std::string& tag) {
    return tag.find_first_of("*?") != std::string::npos ||
           (starts_with_program(tag) && tag.find('.') == std::string::npos);
}

bool glob_match(const char* pattern, const char* text) {
    for (; *pattern != '\0'; ++pattern, ++text) {
        if (*pattern == '*') {
            for (const char* t = text;; ++t) {
                if (glob_match(pattern + 1, t)) {
                    return true;
                }
                if (*t == '\0' || *t == '.') {
                    return false;
                }
            }
        }
        if (*text == '\0' || (*pattern == '?' && *text == '.')) {
            return false;
        }
        if (*pattern != '?' && std::tolower(static_cast<unsigned char>(*pattern)) !=
                                   std::tolower(static_cast<unsigned char>(*text))) {
            return false;
        }
    }
    return *text == '\0';
}

bool filter_program(const std::string& tag, std::string* program) {
    if (!starts_with_program(tag)) {
        return false;
    }
    const size_t dot = tag.find('.');
    *program = tag.substr(8, dot == std::string::npos ? std::string::npos : dot - 8);
    return true;
}

} // namespace mqtt
