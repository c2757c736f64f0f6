// Remembered sessions: what the window shows at start (address, port, size, split, trend pane, watch
// rate, recording folder) and a watch list per controller, kept as indented JSON in the user's
// configuration folder; and a watch list saved to or opened from a file of the user's choosing.
//
// No UI and no global state: the application owns one SettingsStore and calls load() at start and
// save() when something worth remembering changed. Nothing here throws; failures come back as a false
// or empty result with one sentence saying what went wrong.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct Settings {
    std::string address; // the address field's text as typed (HOST, HOST:PORT or HOST/SLOT)
    int port = 44818;    // 1..65535; anything else read back as 44818
    // The window's size; values outside 200..16384 are read back as the defaults.
    int windowWidth = 1200, windowHeight = 800;
    float treeWidth = 0; // 0: the default split; negative read back as 0
    bool trendShown = false;
    float trendHeight = 0;    // 0: the default; negative read back as 0
    int watchRateMs = 1000;   // one of kWatchRatesMs; anything else read back as 1000
    // Connections to the controller used side by side for browsing and long watch lists: 1..8
    // (anything else read back as 4); a controller that grants fewer gets fewer.
    int lanes = 4;
    std::string recordFolder; // where CSV recordings go; empty: not chosen yet
    // Watch lists per controller, keyed by controllerKey(vendor, productCode, serial): tag paths in
    // the table's order.
    std::map<std::string, std::vector<std::string>> watchLists;
    // Per controller (the same keys), the watched integers not shown in decimal: tag path to "hex" or
    // "binary"; other texts are read back as decimal (left out).
    std::map<std::string, std::map<std::string, std::string>> valueBases;
    // Per controller (the same keys), the watched tags ticked for the trend, in the table's order.
    std::map<std::string, std::vector<std::string>> trendedTags;

    bool operator==(const Settings&) const = default;
};

// The watch rates the table offers, fastest first.
inline constexpr int kWatchRatesMs[] = {100, 250, 500, 1000, 2000, 5000};

// A controller's identity as a stable key: vendor and product code in decimal, the serial number as
// eight upper-case hexadecimal digits (as controllers print it), joined by '-': "1-166-00C0FFEE".
std::string controllerKey(uint16_t vendor, uint16_t productCode, uint32_t serial);

class SettingsStore {
public:
    // The store keeps its settings in folder / "settings.json"; nothing is touched until load or save.
    explicit SettingsStore(std::filesystem::path folder);

    // $XDG_CONFIG_HOME/orvane when XDG_CONFIG_HOME is set and absolute, else $HOME/.config/orvane
    // (the password database's home directory when HOME is unset or relative).
    static std::filesystem::path defaultFolder();
    std::filesystem::path file() const; // folder / "settings.json"

    // Reads the file. Missing: defaults, problem() empty. Unreadable or corrupt (not JSON, not an
    // object, a known field of the wrong type, larger than 16 MiB): the file is renamed aside to
    // "settings.json.corrupt-YYYYMMDD-HHMMSS" (UTC; "-2", "-3"... appended when that name is taken),
    // problem() says so in one sentence naming both paths, and defaults are returned. Unknown fields
    // are ignored; known fields of the right type but out of range read back as their defaults.
    // problem() is cleared at the start of every load. Never throws.
    Settings load();

    // Writes the settings as indented JSON, atomically: a temporary file in the same folder (the
    // folder is created if missing), written, flushed and fsync'd, then renamed over settings.json.
    // On any failure the old file is untouched, the temporary removed, problem() says why and false
    // is returned; true clears problem(). Non-finite widths and heights are written as 0, bytes that
    // are not UTF-8 as U+FFFD. Never throws.
    bool save(const Settings& settings);

    // Why the last load or save did not go as asked; empty when it did.
    const std::string& problem() const { return problem_; }

private:
    std::filesystem::path folder_;
    std::string problem_;
};

// A watch list as its own file (the table's Save and Open): indented JSON {"tags": ["A", "Prog:B.C"]}.
// Saving writes atomically like SettingsStore::save (the folder must exist). Loading needs an object
// whose "tags" is an array of strings; other fields are ignored. On failure both return false or
// nullopt and, when `error` is not null, set it to one sentence naming the file. Never throw.
bool saveWatchList(const std::filesystem::path& path, const std::vector<std::string>& tags,
                   std::string* error);
std::optional<std::vector<std::string>> loadWatchList(const std::filesystem::path& path, std::string* error);
