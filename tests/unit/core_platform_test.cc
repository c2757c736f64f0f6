// The platform layer's files and clocks, the same on every platform (this test also runs under Wine):
// a replace over an existing file, exclusive creation, appends that keep earlier lines and their
// bytes (no newline translation), a failed temporary, and UTC time.
#include "Platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

class PlatformFiles : public testing::Test {
protected:
    void SetUp() override {
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               (std::string("orvane-platform-") + info->name() + "-" +
                std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    static std::string bytes(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }
    // Writes `text` to `target` through a temporary beside it, as the settings are written.
    std::string replaceWith(const fs::path& target, const std::string& text) {
        std::string name = (dir_ / "settings.json.tmp-XXXXXX").string();
        int fd = -1;
        std::string problem = platform::createTemporary(&name, target, &fd);
        if (problem.empty()) {
            problem = platform::writeAndSync(fd, text);
            platform::closeFile(fd);
        }
        return problem.empty() ? platform::replaceFile(name, target) : problem;
    }
    fs::path dir_;
};

TEST_F(PlatformFiles, ReplaceOverAnExistingFileKeepsBytesAndLeavesNoTemporary) {
    const fs::path target = dir_ / "settings.json";
    for (const std::string& text :
         {std::string("{\n  \"a\": 1\n}\n"), std::string("{\r\n}\n"), std::string("\0\xff\n", 3)}) {
        ASSERT_EQ(replaceWith(target, text), "");
        EXPECT_EQ(bytes(target), text);
    }
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir_)) {
        files += entry.is_regular_file() ? 1 : 0;
    }
    EXPECT_EQ(files, 1u);
}

TEST_F(PlatformFiles, CreateNewFileRefusesAnExistingOne) {
    const fs::path path = dir_ / "recording.csv";
    std::FILE* first = platform::createNewFile(path);
    ASSERT_NE(first, nullptr);
    std::fputs("a,b\n", first);
    std::fclose(first);
    EXPECT_EQ(platform::createNewFile(path), nullptr);
    EXPECT_EQ(bytes(path), "a,b\n");
}

TEST_F(PlatformFiles, AppendKeepsEarlierLines) {
    const fs::path path = dir_ / "writes.jsonl";
    for (const char* line : {"{\"n\":1}\n", "{\"n\":2}\n"}) {
        int fd = -1;
        ASSERT_EQ(platform::openForAppend(path, &fd), "");
        EXPECT_EQ(platform::writeAndSync(fd, line), "");
        EXPECT_EQ(platform::closeFile(fd), "");
    }
    EXPECT_EQ(bytes(path), "{\"n\":1}\n{\"n\":2}\n");
}

TEST_F(PlatformFiles, FailuresNameWhatFailed) {
    std::string name = (dir_ / "missing" / "x.tmp-XXXXXX").string();
    int fd = -1;
    EXPECT_NE(platform::createTemporary(&name, dir_ / "missing" / "x", &fd), "");
    EXPECT_NE(platform::replaceFile(dir_ / "absent", dir_ / "target"), "");
    EXPECT_NE(platform::openForAppend(dir_ / "missing" / "w.jsonl", &fd), "");
}

TEST(PlatformTime, UtcOfKnownInstants) {
    const struct {
        std::time_t seconds;
        int year, month, day, hour, minute, second;
    } cases[] = {
        {0, 1970, 1, 1, 0, 0, 0}, {951782400, 2000, 2, 29, 0, 0, 0}, {1767225599, 2025, 12, 31, 23, 59, 59}};
    for (const auto& c : cases) {
        const std::tm tm = platform::utcTime(c.seconds);
        EXPECT_EQ(tm.tm_year + 1900, c.year) << c.seconds;
        EXPECT_EQ(tm.tm_mon + 1, c.month) << c.seconds;
        EXPECT_EQ(tm.tm_mday, c.day) << c.seconds;
        EXPECT_EQ(tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec, c.hour * 3600 + c.minute * 60 + c.second)
            << c.seconds;
    }
    std::tm local{};
    EXPECT_TRUE(platform::localTime(951782400, &local));
}

TEST(PlatformFolders, SettingsAndStateAreAbsoluteAndApart) {
    const fs::path settings = platform::settingsFolder();
    const fs::path state = platform::stateFolder();
    EXPECT_TRUE(settings.is_absolute()) << settings;
    EXPECT_TRUE(state.is_absolute()) << state;
    EXPECT_NE(settings, state);
    EXPECT_FALSE(platform::userName().empty());
    EXPECT_TRUE(fs::is_directory(platform::executableDirectory()));
}

} // namespace
