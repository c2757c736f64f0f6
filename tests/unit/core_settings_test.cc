// Remembered sessions: what is written and read back, which files are set aside as corrupt (and that
// nothing else is), saves that fail without harming the previous file, and watch list files.
#include "Settings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <fmt/format.h>
#include <sys/resource.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// A scratch folder unique to this process, removed with everything in it at the end.
struct Scratch {
    fs::path dir = fs::temp_directory_path() / ("orvane-settings-test-" + std::to_string(::getpid()));
    Scratch() {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    ~Scratch() { fs::remove_all(dir); }
};

std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::set<std::string> names(const fs::path& dir) {
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir)) {
        found.insert(entry.path().filename().string());
    }
    return found;
}

Settings sample() {
    Settings s;
    s.address = "10.0.0.5/3";
    s.port = 2222;
    s.windowWidth = 1920;
    s.windowHeight = 1080;
    s.treeWidth = 0.1f;
    s.trendShown = true;
    s.trendHeight = 312.5f;
    s.watchRateMs = 250;
    s.recordFolder = "/data/recordings, today";
    s.watchLists = {{controllerKey(1, 166, 0xC0FFEE), {"A", "Prog:B.C", "Grid[1,2]"}},
                    {controllerKey(1, 55, 0x1), {}}};
    return s;
}

// Saves `settings` with the file size limited to `limit` bytes (a full disk that even root meets).
bool saveWithSizeLimit(SettingsStore& store, const Settings& settings, rlim_t limit) {
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = limit;
    ::setrlimit(RLIMIT_FSIZE, &small);
    const bool saved = store.save(settings);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    return saved;
}

} // namespace

TEST(Settings, SavedReadBackAndLaidOutForPeople) {
    Scratch scratch;
    SettingsStore store(scratch.dir / "nested" / "orvane");
    EXPECT_EQ(store.file(), scratch.dir / "nested" / "orvane" / "settings.json");
    EXPECT_EQ(store.load(), Settings{}); // no file yet: defaults, quietly, nothing created
    EXPECT_EQ(store.problem(), "");
    EXPECT_FALSE(fs::exists(scratch.dir / "nested"));

    ASSERT_TRUE(store.save(sample())) << store.problem();
    EXPECT_EQ(store.load(), sample());
    EXPECT_EQ(store.problem(), "");
    EXPECT_EQ(names(scratch.dir / "nested" / "orvane"), std::set<std::string>{"settings.json"});
    const std::string text = read(store.file());
    for (const char* line : {"{\n    \"address\": \"10.0.0.5/3\",\n", "\n    \"treeWidth\": 0.1,\n",
                             "\n    \"watchLists\": {\n        \"1-166-00C0FFEE\": [\n            \"A\",\n",
                             "\n        \"1-55-00000001\": []\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin\n" << text;
    }

    // What JSON cannot hold is written so that it still reads back: non-finite sizes as 0, bytes that
    // are not UTF-8 as U+FFFD.
    Settings odd;
    odd.treeWidth = NAN;
    odd.trendHeight = INFINITY;
    odd.address = "plc\xff";
    ASSERT_TRUE(store.save(odd)) << store.problem();
    Settings expected;
    expected.address = "plc\xef\xbf\xbd";
    EXPECT_EQ(store.load(), expected);
    EXPECT_EQ(store.problem(), "");

    EXPECT_EQ(controllerKey(1, 166, 0xC0FFEE), "1-166-00C0FFEE");
    EXPECT_EQ(controllerKey(65535, 65535, 0xFFFFFFFF), "65535-65535-FFFFFFFF");
    EXPECT_EQ(controllerKey(0, 0, 0), "0-0-00000000");
}

TEST(Settings, FieldsOutOfRangeFallBackAndFilesOfTheWrongShapeAreSetAside) {
    Scratch scratch;
    // File text; whether it is set aside; the settings read (the defaults when set aside).
    const auto with = [](auto change) {
        Settings s;
        change(s);
        return s;
    };
    const std::tuple<std::string, bool, Settings> cases[] = {
        {"{}", false, Settings{}},
        {"{\"port\": 502, \"later\": [1, {\"x\": null}]}", false, with([](Settings& s) { s.port = 502; })},
        {"{\"watchRateMs\": 100}", false, with([](Settings& s) { s.watchRateMs = 100; })},
        {"{\"watchRateMs\": 5000}", false, with([](Settings& s) { s.watchRateMs = 5000; })},
        {"{\"watchRateMs\": 333}", false, Settings{}},
        {"{\"watchRateMs\": -250}", false, Settings{}},
        {"{\"watchRateMs\": 4294967296250}", false, Settings{}},
        {"{\"port\": 0}", false, Settings{}},
        {"{\"port\": 65536}", false, Settings{}},
        {"{\"port\": 65535}", false, with([](Settings& s) { s.port = 65535; })},
        {"{\"windowWidth\": 18446744073709551615, \"windowHeight\": 199}", false, Settings{}},
        {"{\"windowWidth\": 200, \"windowHeight\": 16384}", false,
         with([](Settings& s) { s.windowWidth = 200, s.windowHeight = 16384; })},
        {"{\"treeWidth\": -1, \"trendHeight\": 1e300}", false, Settings{}},
        {"{\"treeWidth\": 250, \"trendHeight\": 80.5}", false,
         with([](Settings& s) { s.treeWidth = 250, s.trendHeight = 80.5f; })},
        {"{\"watchLists\": {\"k\": [\"A\", \"A\"]}}", false,
         with([](Settings& s) { s.watchLists["k"] = {"A", "A"}; })},
        {"", true, {}},
        {"{\"address\": \"10.0.0.5\"", true, {}},
        {"\xff\xfe{}", true, {}},
        {"[1, 2]", true, {}},
        {"\"settings\"", true, {}},
        {"{\"port\": \"502\"}", true, {}},
        {"{\"port\": 502.0}", true, {}},
        {"{\"windowHeight\": true}", true, {}},
        {"{\"treeWidth\": \"wide\"}", true, {}},
        {"{\"trendShown\": 1}", true, {}},
        {"{\"address\": null}", true, {}},
        {"{\"recordFolder\": [\"/tmp\"]}", true, {}},
        {"{\"watchRateMs\": 1000.5}", true, {}},
        {"{\"watchLists\": []}", true, {}},
        {"{\"watchLists\": {\"k\": \"A\"}}", true, {}},
        {"{\"watchLists\": {\"k\": [\"A\", 3]}}", true, {}},
        {"{\"address\": \"a\", \"port\": 1, \"trendShown\": \"yes\"}", true, {}},
    };
    int n = 0;
    for (const auto& [text, corrupt, expected] : cases) {
        const fs::path dir = scratch.dir / std::to_string(n++);
        fs::create_directories(dir);
        SettingsStore store(dir);
        write(store.file(), text);
        EXPECT_EQ(store.load(), expected) << text;
        if (!corrupt) {
            EXPECT_EQ(store.problem(), "") << text;
            EXPECT_EQ(read(store.file()), text);
            continue;
        }
        // Set aside under a dated name with its bytes intact; the message names both files.
        ASSERT_FALSE(fs::exists(store.file())) << text;
        const std::set<std::string> left = names(dir);
        ASSERT_EQ(left.size(), 1u) << text;
        const std::string aside = *left.begin();
        EXPECT_EQ(aside.rfind("settings.json.corrupt-", 0), 0u) << aside;
        EXPECT_EQ(aside.size(), std::string("settings.json.corrupt-20261207-011500").size()) << aside;
        EXPECT_EQ(read(dir / aside), text);
        EXPECT_NE(store.problem().find(store.file().string()), std::string::npos) << store.problem();
        EXPECT_NE(store.problem().find((dir / aside).string()), std::string::npos) << store.problem();
        // The next start finds no file and no problem.
        EXPECT_EQ(store.load(), Settings{});
        EXPECT_EQ(store.problem(), "");
    }
}

TEST(Settings, ASetAsideFileNeverReplacesAnEarlierOne) {
    Scratch scratch;
    SettingsStore store(scratch.dir);
    // Every dated name this run could pick, from a second ago to two minutes on, already taken.
    const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    std::map<std::string, std::string> taken; // name, contents
    for (int s = -1; s <= 120; ++s) {
        const auto at = now + std::chrono::seconds(s);
        const auto day = std::chrono::floor<std::chrono::days>(at);
        const std::chrono::year_month_day date(day);
        const std::chrono::hh_mm_ss time(at - day);
        const std::string name = fmt::format(
            "settings.json.corrupt-{:04}{:02}{:02}-{:02}{:02}{:02}", int(date.year()), unsigned(date.month()),
            unsigned(date.day()), time.hours().count(), time.minutes().count(), time.seconds().count());
        write(scratch.dir / name, "earlier " + name);
        taken[name] = "earlier " + name;
    }
    for (const char* attempt : {"first", "second"}) {
        write(store.file(), attempt);
        EXPECT_EQ(store.load(), Settings{});
        std::set<std::string> added = names(scratch.dir);
        for (const auto& [name, contents] : taken) {
            EXPECT_EQ(read(scratch.dir / name), contents);
            added.erase(name);
        }
        ASSERT_EQ(added.size(), 1u);
        const std::string aside = *added.begin();
        EXPECT_TRUE(taken.count(aside.substr(0, aside.size() - 2))) << aside;
        // The second attempt gets "-3" when the clock is still in the same second, else "-2".
        EXPECT_TRUE(aside.substr(aside.size() - 2) == "-2" ||
                    (attempt == std::string("second") && aside.substr(aside.size() - 2) == "-3"))
            << aside;
        EXPECT_EQ(read(scratch.dir / aside), attempt);
        taken[aside] = attempt;
    }

    // A settings.json that is a folder cannot be read: it is moved aside too, contents and all.
    fs::create_directories(store.file() / "inside");
    EXPECT_EQ(store.load(), Settings{});
    EXPECT_NE(store.problem().find("cannot be read"), std::string::npos) << store.problem();
    EXPECT_FALSE(fs::exists(store.file()));
}

TEST(Settings, AFailedSaveLeavesThePreviousFileAsItWas) {
    Scratch scratch;
    SettingsStore store(scratch.dir);
    ASSERT_TRUE(store.save(sample()));
    const std::string before = read(store.file());

    // The disk fills while the temporary is written: a little fits, the rest does not.
    Settings big = sample();
    big.watchLists["many"].assign(5000, "Program:MainProgram.SomeTag");
    EXPECT_FALSE(saveWithSizeLimit(store, big, 4096));
    EXPECT_NE(store.problem().find("cannot write"), std::string::npos) << store.problem();
    EXPECT_NE(store.problem().find(store.file().string()), std::string::npos) << store.problem();
    EXPECT_EQ(read(store.file()), before);
    EXPECT_EQ(names(scratch.dir), std::set<std::string>{"settings.json"}); // no temporary left
    EXPECT_EQ(store.load(), sample());

    // The file's place is taken by a folder: the rename fails, the folder and its contents stay.
    SettingsStore blocked(scratch.dir / "blocked");
    fs::create_directories(blocked.file());
    write(blocked.file() / "keep", "kept");
    EXPECT_FALSE(blocked.save(sample()));
    EXPECT_NE(blocked.problem().find("cannot rename"), std::string::npos) << blocked.problem();
    EXPECT_EQ(read(blocked.file() / "keep"), "kept");
    EXPECT_EQ(names(scratch.dir / "blocked"), std::set<std::string>{"settings.json"});

    // The folder's path is a regular file: it cannot be created.
    write(scratch.dir / "plain", "plain");
    SettingsStore nowhere(scratch.dir / "plain");
    EXPECT_FALSE(nowhere.save(sample()));
    EXPECT_NE(nowhere.problem().find((scratch.dir / "plain").string()), std::string::npos);
    EXPECT_EQ(read(scratch.dir / "plain"), "plain");

    // A save that works again clears the problem.
    EXPECT_TRUE(store.save(big));
    EXPECT_EQ(store.problem(), "");
    EXPECT_EQ(store.load(), big);
}

TEST(Settings, DefaultFolderFromTheEnvironment) {
    const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
    const char* oldHome = std::getenv("HOME");
    const std::string savedXdg = oldXdg ? oldXdg : "", savedHome = oldHome ? oldHome : "";
    // XDG_CONFIG_HOME (null: unset), HOME, the folder.
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"/cfg", "/home/u", "/cfg/orvane"},
        {"/cfg/", "/home/u", "/cfg/orvane"},
        {"relative/cfg", "/home/u", "/home/u/.config/orvane"},
        {"", "/home/u", "/home/u/.config/orvane"},
        {nullptr, "/home/u", "/home/u/.config/orvane"},
    };
    for (const auto& [xdg, home, expected] : cases) {
        xdg ? ::setenv("XDG_CONFIG_HOME", xdg, 1) : ::unsetenv("XDG_CONFIG_HOME");
        ::setenv("HOME", home, 1);
        EXPECT_EQ(SettingsStore::defaultFolder().lexically_normal(), fs::path(expected)) << (xdg ? xdg : "unset");
    }
    oldXdg ? ::setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
    oldHome ? ::setenv("HOME", savedHome.c_str(), 1) : ::unsetenv("HOME");
}

TEST(WatchListFile, SavedAsReadableJsonAndOpenedOnlyWhenItHoldsTagNames) {
    Scratch scratch;
    const fs::path path = scratch.dir / "line 3.json";
    std::string error;
    ASSERT_TRUE(saveWatchList(path, {"A", "Prog:B.C", "Grid[1,2]"}, &error)) << error;
    EXPECT_EQ(read(path), "{\n    \"tags\": [\n        \"A\",\n        \"Prog:B.C\",\n        \"Grid[1,2]\"\n"
                          "    ]\n}\n");
    EXPECT_EQ(loadWatchList(path, &error), (std::vector<std::string>{"A", "Prog:B.C", "Grid[1,2]"}));
    ASSERT_TRUE(saveWatchList(path, {}, nullptr));
    EXPECT_EQ(loadWatchList(path, nullptr), std::vector<std::string>{});
    write(path, "{\"name\": \"line 3\", \"tags\": [\"X\"]}");
    EXPECT_EQ(loadWatchList(path, nullptr), std::vector<std::string>{"X"});

    // Text of the file (null: no file), then what the message says.
    const std::pair<const char*, const char*> bad[] = {
        {nullptr, "cannot be read"},
        {"", "not valid JSON"},
        {"{\"tags\": [\"A\"", "not valid JSON"},
        {"[\"A\"]", "list of tag names"},
        {"{}", "list of tag names"},
        {"{\"tags\": \"A\"}", "list of tag names"},
        {"{\"tags\": [\"A\", null]}", "list of tag names"},
    };
    const fs::path other = scratch.dir / "other.json";
    for (const auto& [text, why] : bad) {
        fs::remove(other);
        if (text) {
            write(other, text);
        }
        error.clear();
        EXPECT_EQ(loadWatchList(other, &error), std::nullopt) << (text ? text : "no file");
        EXPECT_NE(error.find(other.string()), std::string::npos) << error;
        EXPECT_NE(error.find(why), std::string::npos) << error;
        EXPECT_EQ(loadWatchList(other, nullptr), std::nullopt);
    }

    // Saving into a missing folder, or over a folder, fails and leaves nothing behind.
    for (const fs::path& target : {scratch.dir / "missing" / "list.json", scratch.dir / "folder.json"}) {
        fs::create_directories(scratch.dir / "folder.json");
        error.clear();
        EXPECT_FALSE(saveWatchList(target, {"A"}, &error)) << target;
        EXPECT_NE(error.find(target.string()), std::string::npos) << error;
        EXPECT_FALSE(saveWatchList(target, {"A"}, nullptr));
    }
    EXPECT_EQ(names(scratch.dir), (std::set<std::string>{"folder.json", "line 3.json", "other.json"}));
    EXPECT_TRUE(fs::is_directory(scratch.dir / "folder.json"));
}
