// The pak writer: its layout read back by AssetManager, its refusals, the mkpak command,
// and loading a pak from a file.
#include "AssetManager.h"
#include "PakWriter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string assetText(const std::string& name) {
    const auto view = AssetManager::getAsset(name);
    return view ? std::string(reinterpret_cast<const char*>(view->data.data()), view->data.size())
                : "(missing)";
}

} // namespace

TEST(PakWriter, LayoutIsSortedAndReadsBack) {
    // Given out of order, with a prefix name, a byte above 0x7F and an empty asset. The reader's binary
    // search finds every name only when the table is sorted its way.
    const std::vector<std::pair<std::string, std::string>> assets = {
        {"b", "bee"}, {"\xC3\xA9t\xC3\xA9", "summer"}, {"ab", ""}, {"a", "A"}, {"icons/tag.svg", "<svg/>"}};
    std::vector<pak::Asset> input;
    for (const auto& [name, text] : assets) {
        input.push_back({name, {text.begin(), text.end()}});
    }
    const auto pak = pak::build(input);
    AssetManager::init(pak.data(), pak.size());
    for (const auto& [name, text] : assets) {
        EXPECT_EQ(assetText(name), text) << name;
    }
    const auto empty = pak::build({});
    AssetManager::init(empty.data(), empty.size());
    EXPECT_EQ(assetText("a"), "(missing)");
    for (const std::string& bad : {std::string("x"), std::string(), std::string("a\0b", 3)}) {
        EXPECT_THROW(pak::build({{bad, {}}, {"x", {}}, {"y", {}}}), std::runtime_error) << bad;
    }
}

TEST(PakWriter, CommandLine) {
    const std::string dir =
        std::filesystem::temp_directory_path() / ("orvane_mkpak_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir + "/full/x");
    std::ofstream(dir + "/tag.svg") << "<svg/>";
    // {arguments of mkpak run in dir, exit status, what standard error names}: the failed runs leave
    // the pak untouched; an output that is a directory is refused when the finished temporary file
    // would replace it.
    const std::tuple<const char*, int, const char*> runs[] = {
        {"assets.pak icons/tag.svg=tag.svg", 0, ""},
        {"assets.pak a=tag.svg a=tag.svg", 1, "duplicate asset name 'a'"},
        {"assets.pak a=tag.svg icons/missing.svg=missing.svg", 1,
         "'missing.svg' for asset 'icons/missing.svg'"},
        {"assets.pak just-a-name", 2, "NAME=FILE"},
        {"full a=tag.svg", 1, "cannot replace 'full'"},
    };
    for (const auto& [args, status, message] : runs) {
        const int result =
            std::system(("cd '" + dir + "' && '" + MKPAK_PATH + "' " + args + " 2>stderr.txt").c_str());
        EXPECT_EQ(WIFEXITED(result) ? WEXITSTATUS(result) : -1, status) << args;
        std::ifstream err(dir + "/stderr.txt");
        EXPECT_NE(std::string(std::istreambuf_iterator<char>(err), {}).find(message), std::string::npos)
            << args;
    }
    AssetManager::init(dir + "/assets.pak");
    EXPECT_EQ(assetText("icons/tag.svg"), "<svg/>");
    EXPECT_FALSE(std::filesystem::exists(dir + "/full.tmp"));
    EXPECT_THROW(AssetManager::init(dir + "/full"), std::runtime_error); // a directory opens like a file
    std::filesystem::remove_all(dir);
}
