// Remembered sessions: what is written and read back, which files are set aside as corrupt (and that
// nothing set aside earlier is replaced), saves that fail without harming the previous file, and
// watch list files.
#include "Settings.h"

#include "core_scratch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <map>

#include <fmt/chrono.h>

using namespace scratch;

namespace {
Settings sample() {
    Settings s{"10.0.0.5/3", 2222, 1920, 1080, 0.1f, true, 312.5f, 250, 2, "/data/rec, today", {}, {}, {}};
    s.watchLists = {{controllerKey(1, 166, 0xC0FFEE), {"A", "Prog:B.C"}}, {controllerKey(1, 55, 0x1), {}}};
    s.valueBases = {{controllerKey(1, 166, 0xC0FFEE), {{"A", "hex"}, {"Prog:B.C", "binary"}}}};
    s.trendedTags = {{controllerKey(1, 166, 0xC0FFEE), {"Prog:B.C"}}};
    return s;
}
} // namespace

TEST(Settings, SavedReadBackAndLaidOutForPeople) {
    Folder tmp("orvane-settings-test");
    SettingsStore store(tmp.dir / "nested" / "orvane");
    EXPECT_EQ(store.load(), Settings{}); // no file yet: defaults, quietly, nothing created
    EXPECT_EQ(store.problem(), "");
    EXPECT_FALSE(fs::exists(tmp.dir / "nested"));
    ASSERT_TRUE(store.save(sample())) << store.problem();
    EXPECT_EQ(store.load(), sample());
    EXPECT_EQ(names(store.file().parent_path()), std::set<std::string>{"settings.json"});
    const std::string text = read(store.file());
    for (const char* part :
         {"{\n    \"address\": \"10.0.0.5/3\",\n    \"port\": 2222,\n", "\"treeWidth\": 0.1,\n",
          "\"1-166-00C0FFEE\": [\n            \"A\",\n", "\"1-55-00000001\": []\n",
          "\"valueBases\": {\n        \"1-166-00C0FFEE\": {\n            \"A\": \"hex\",\n",
          "\"trendedTags\": {\n        \"1-166-00C0FFEE\": [\n            \"Prog:B.C\"\n"}) {
        EXPECT_NE(text.find(part), std::string::npos) << part << "\nin\n" << text;
    }
    // What JSON cannot hold still reads back: non-finite sizes as 0, bytes that are not UTF-8 as U+FFFD.
    Settings odd, expected;
    odd.treeWidth = NAN, odd.trendHeight = INFINITY, odd.address = "plc\xff";
    expected.address = "plc\xef\xbf\xbd";
    ASSERT_TRUE(store.save(odd)) << store.problem();
    EXPECT_EQ(store.load(), expected);
    EXPECT_EQ(controllerKey(65535, 65535, 0xFFFFFFFF), "65535-65535-FFFFFFFF");

    // The folder: XDG_CONFIG_HOME when absolute, else HOME's .config.
    ::setenv("HOME", "/h", 1);
    for (const char* xdg : {"/cfg/", "cfg", ""}) {
        ::setenv("XDG_CONFIG_HOME", xdg, 1);
        EXPECT_EQ(SettingsStore::defaultFolder().lexically_normal(),
                  fs::path(*xdg == '/' ? "/cfg/orvane" : "/h/.config/orvane"));
    }
}

TEST(Settings, FieldsOutOfRangeFallBackAndFilesOfTheWrongShapeAreSetAside) {
    Folder tmp("orvane-settings-test");
    Settings edges;
    edges.port = 65535, edges.windowWidth = 200, edges.windowHeight = 16384, edges.treeWidth = 250;
    edges.trendHeight = 80.5f, edges.watchRateMs = 100, edges.lanes = 8, edges.watchLists["k"] = {"A", "A"};
    // Read as written, ignoring what is unknown; read as the defaults; set aside as corrupt.
    const std::pair<const char*, std::optional<Settings>> read[] = {
        {R"({"port": 65535, "windowWidth": 200, "windowHeight": 16384, "treeWidth": 250, "trendHeight": 80.5,
            "watchRateMs": 100, "lanes": 8, "watchLists": {"k": ["A", "A"]}, "later": [1, {"x": null}]})",
         edges}};
    const char* defaults[] = {"{}",
                              R"({"watchRateMs": 333})",
                              R"({"watchRateMs": -250})",
                              R"({"watchRateMs": 4294968296})",
                              R"({"lanes": 0})",
                              R"({"lanes": 9})",
                              R"({"port": 0, "windowHeight": 199})",
                              R"({"port": 65536, "windowWidth": 18446744073709551615})",
                              R"({"treeWidth": -1, "trendHeight": 1e300})"};
    const char* corrupt[] = {"",
                             R"({"address": "10.0.0.5")",
                             "\xff{}",
                             "[1, 2]",
                             R"("x")",
                             R"({"port": "502"})",
                             R"({"port": 502.0})",
                             R"({"windowHeight": true})",
                             R"({"treeWidth": "wide"})",
                             R"({"trendShown": 1})",
                             R"({"lanes": "4"})",
                             R"({"address": null})",
                             R"({"recordFolder": ["/tmp"]})",
                             R"({"watchLists": []})",
                             R"({"watchLists": {"k": "A"}})",
                             R"({"watchLists": {"k": ["A", 3]}})",
                             R"({"trendedTags": ["A"]})",
                             R"({"trendedTags": {"k": ["A", null]}})",
                             R"({"address": "a", "trendShown": "yes"})"};
    std::vector<std::pair<std::string, std::optional<Settings>>> cases(std::begin(read), std::end(read));
    for (const char* text : defaults) {
        cases.emplace_back(text, Settings{});
    }
    for (const char* text : corrupt) {
        cases.emplace_back(text, std::nullopt);
    }
    int n = 0;
    for (const auto& [text, expected] : cases) {
        SettingsStore store(tmp.dir / std::to_string(n++));
        fs::create_directories(store.file().parent_path());
        write(store.file(), text);
        EXPECT_EQ(store.load(), expected.value_or(Settings{})) << text;
        const std::set<std::string> left = names(store.file().parent_path());
        ASSERT_EQ(left.size(), 1u) << text;
        if (expected) {
            EXPECT_EQ(store.problem(), "") << text;
            EXPECT_EQ(scratch::read(store.file()), text);
            continue;
        }
        // Set aside under a dated name with its bytes intact; one sentence names both files.
        const fs::path moved = store.file().parent_path() / *left.begin();
        EXPECT_EQ(moved.filename().string().rfind("settings.json.corrupt-2", 0), 0u) << moved;
        EXPECT_EQ(moved.filename().string().size(),
                  std::string("settings.json.corrupt-20261207-011500").size());
        EXPECT_EQ(scratch::read(moved), text);
        EXPECT_NE(store.problem().find(store.file().string() + " "), std::string::npos) << store.problem();
        EXPECT_NE(store.problem().find(moved.string() + " "), std::string::npos) << store.problem();
        EXPECT_EQ(store.load(), Settings{}); // the next start finds no file and says nothing
        EXPECT_EQ(store.problem(), "");
    }
}

TEST(Settings, ASetAsideFileNeverReplacesAnEarlierOne) {
    Folder tmp("orvane-settings-test");
    SettingsStore store(tmp.dir);
    // Every dated name this run could pick, from a second ago to two minutes on, already taken.
    std::map<std::string, std::string> taken; // name, contents
    const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    for (int s = -1; s <= 120; ++s) {
        const std::time_t at = std::chrono::system_clock::to_time_t(now + std::chrono::seconds(s));
        const std::string name = fmt::format("settings.json.corrupt-{:%Y%m%d-%H%M%S}", fmt::gmtime(at));
        write(tmp.dir / name, taken[name] = "earlier " + name);
    }
    write(store.file(), "corrupt");
    EXPECT_EQ(store.load(), Settings{});
    std::set<std::string> added = names(tmp.dir);
    for (const auto& [name, contents] : taken) {
        EXPECT_EQ(read(tmp.dir / name), contents);
        added.erase(name);
    }
    ASSERT_EQ(added.size(), 1u);
    const std::string moved = *added.begin();
    EXPECT_TRUE(taken.count(moved.substr(0, moved.size() - 2)) && moved.ends_with("-2")) << moved;
    EXPECT_EQ(read(tmp.dir / moved), "corrupt");
    // A settings.json that is a folder cannot be read: it is moved aside too.
    fs::create_directories(store.file() / "inside");
    EXPECT_EQ(store.load(), Settings{});
    EXPECT_NE(store.problem().find("cannot be read"), std::string::npos) << store.problem();
    EXPECT_FALSE(fs::exists(store.file()));
}

TEST(Settings, AFailedSaveLeavesThePreviousFileAsItWas) {
    Folder tmp("orvane-settings-test");
    SettingsStore store(tmp.dir), blocked(tmp.dir / "blocked"), nowhere(tmp.dir / "plain");
    ASSERT_TRUE(store.save(sample()));
    const std::string before = read(store.file());
    Settings big = sample();
    big.watchLists["many"].assign(5000, "Program:MainProgram.SomeTag");
    // The disk fills while the temporary is written; the file's place is a folder (the rename fails);
    // the folder's path is a regular file (it cannot be created).
    EXPECT_FALSE(withFileSizeLimit(4096, [&] { return store.save(big); }));
    fs::create_directories(blocked.file());
    write(blocked.file() / "keep", "kept");
    write(tmp.dir / "plain", "plain");
    EXPECT_FALSE(blocked.save(sample()));
    EXPECT_FALSE(nowhere.save(sample()));
    for (const auto& [failed, why] : {std::pair(&store, "cannot write"), std::pair(&blocked, "cannot rename"),
                                      std::pair(&nowhere, "cannot be created")}) {
        EXPECT_NE(failed->problem().find(why), std::string::npos) << failed->problem();
        EXPECT_NE(failed->problem().find(failed->file().parent_path().string()), std::string::npos);
    }
    EXPECT_EQ(read(store.file()), before);
    EXPECT_EQ(read(blocked.file() / "keep"), "kept");
    EXPECT_EQ(read(tmp.dir / "plain"), "plain");
    EXPECT_EQ(names(tmp.dir), (std::set<std::string>{"settings.json", "blocked", "plain"})); // no temporary
    EXPECT_EQ(names(tmp.dir / "blocked"), std::set<std::string>{"settings.json"});
    EXPECT_TRUE(store.save(big)); // a save that works again clears the problem
    EXPECT_EQ(store.problem(), "");
    EXPECT_EQ(store.load(), big);
}

TEST(WatchListFile, SavedAsReadableJsonAndOpenedOnlyWhenItHoldsTagNames) {
    Folder tmp("orvane-settings-test");
    const fs::path path = tmp.dir / "line 3.json", other = tmp.dir / "other.json";
    std::string error;
    ASSERT_TRUE(saveWatchList(path, {"A", "Prog:B.C"}, &error)) << error;
    EXPECT_EQ(read(path), "{\n    \"tags\": [\n        \"A\",\n        \"Prog:B.C\"\n    ]\n}\n");
    EXPECT_EQ(loadWatchList(path, &error), (std::vector<std::string>{"A", "Prog:B.C"}));
    write(path, R"({"name": "line 3", "tags": []})");
    EXPECT_EQ(loadWatchList(path, nullptr), std::vector<std::string>{});
    // Text of the file (null: no file), then what the message says.
    const std::pair<const char*, const char*> bad[] = {
        {nullptr, "cannot be read"}, {"", "not valid JSON"}, {R"({"tags": ["A")", "not valid JSON"},
        {R"(["A"])", "tag names"},   {"{}", "tag names"},    {R"({"tags": ["A", null]})", "tag names"}};
    for (const auto& [text, why] : bad) {
        text ? write(other, text) : void(fs::remove(other));
        EXPECT_EQ(loadWatchList(other, &error), std::nullopt) << (text ? text : "no file");
        EXPECT_NE(error.find(other.string() + " "), std::string::npos) << error;
        EXPECT_NE(error.find(why), std::string::npos) << error;
        EXPECT_EQ(loadWatchList(other, nullptr), std::nullopt);
    }
    // Saving into a missing folder, or over a folder, fails and leaves nothing behind.
    fs::create_directories(tmp.dir / "folder.json");
    for (const fs::path& target : {tmp.dir / "missing" / "list.json", tmp.dir / "folder.json"}) {
        EXPECT_FALSE(saveWatchList(target, {"A"}, &error)) << target;
        EXPECT_NE(error.find(target.string() + ":"), std::string::npos) << error;
        EXPECT_FALSE(saveWatchList(target, {"A"}, nullptr));
    }
    EXPECT_EQ(names(tmp.dir), (std::set<std::string>{"folder.json", "line 3.json", "other.json"}));
}
