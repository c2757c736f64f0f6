// The pak writer: its layout read back by AssetManager, its refusals, the mkpak command,
// and the built assets.pak holding every asset the application asks for.
#include "AssetManager.h"
#include "PakWriter.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

std::string assetText(const std::string& name) {
    const auto view = AssetManager::getAsset(name);
    return view ? std::string(reinterpret_cast<const char*>(view->data.data()), view->data.size())
                : "(missing)";
}

std::vector<unsigned char> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

} // namespace

TEST(PakWriter, LayoutIsSortedAndReadsBack) {
    // Given out of order, with a prefix name, a byte above 0x7F and an empty asset.
    const auto pak = pak::build({
        {"b", bytesOf("bee")},
        {"\xC3\xA9t\xC3\xA9", bytesOf("summer")},
        {"ab", bytesOf("")},
        {"a", bytesOf("A")},
        {"icons/tag.svg", bytesOf("<svg/>")},
    });
    // The reader's binary search finds every name only when the table is sorted its way.
    AssetManager::init(pak.data(), pak.size());
    EXPECT_EQ(assetText("a"), "A");
    EXPECT_EQ(assetText("ab"), "");
    EXPECT_EQ(assetText("b"), "bee");
    EXPECT_EQ(assetText("icons/tag.svg"), "<svg/>");
    EXPECT_EQ(assetText("\xC3\xA9t\xC3\xA9"), "summer");

    const auto empty = pak::build({});
    ASSERT_NO_THROW(AssetManager::init(empty.data(), empty.size()));
    EXPECT_EQ(assetText("a"), "(missing)");
    EXPECT_THROW(pak::build({{"x", {}}, {"y", {}}, {"x", {}}}), std::runtime_error);
    EXPECT_THROW(pak::build({{"", {}}}), std::runtime_error);
    EXPECT_THROW(pak::build({{std::string("a\0b", 3), {}}}), std::runtime_error);
}

TEST(PakWriter, CommandLine) {
    const fs::path dir = fs::temp_directory_path() / ("orvane_mkpak_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "tag.svg", std::ios::binary) << "<svg/>";
    std::ofstream(dir / "font.ttf", std::ios::binary) << std::string("\0\x01\xFF", 3);
    const std::string out = (dir / "assets.pak").string();
    const std::string svg = (dir / "tag.svg").string(), ttf = (dir / "font.ttf").string();
    std::string err;
    // Runs mkpak with the output and the arguments; its exit status, standard error in err.
    auto mkpak = [&](const std::string& args) {
        const std::string command = std::string("'") + MKPAK_PATH + "' '" + out + "' " + args + " 2>'" +
                                    (dir / "stderr.txt").string() + "'";
        const int status = std::system(command.c_str());
        std::ifstream in(dir / "stderr.txt", std::ios::binary);
        err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };

    ASSERT_EQ(mkpak("icons/tag.svg='" + svg + "' fonts/f.ttf='" + ttf + "'"), 0) << err;
    AssetManager::init(out);
    EXPECT_EQ(assetText("icons/tag.svg"), "<svg/>");
    EXPECT_EQ(assetText("fonts/f.ttf"), std::string("\0\x01\xFF", 3));

    EXPECT_EQ(mkpak("a='" + svg + "' a='" + ttf + "'"), 1);
    EXPECT_NE(err.find("duplicate asset name 'a'"), std::string::npos) << err;
    const std::string missing = (dir / "missing.svg").string();
    EXPECT_EQ(mkpak("a='" + svg + "' icons/missing.svg='" + missing + "'"), 1);
    EXPECT_NE(err.find("icons/missing.svg"), std::string::npos) << err;
    EXPECT_NE(err.find(missing), std::string::npos) << err;
    EXPECT_NE(mkpak("just-a-name"), 0);
    EXPECT_NE(err.find("NAME=FILE"), std::string::npos) << err;
    // The failed runs left the earlier pak untouched.
    AssetManager::init(out);
    EXPECT_EQ(assetText("fonts/f.ttf"), std::string("\0\x01\xFF", 3));
    fs::remove_all(dir);
}

TEST(AssetsPak, HoldsEveryAssetTheApplicationAsksFor) {
    AssetManager::init(std::string(ASSETS_PAK_PATH));
    auto startsWith = [](const std::string& name, const std::string& prefix) {
        const std::string text = assetText(name);
        return text.size() > prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
    };
    EXPECT_TRUE(startsWith("fonts/montserrat-font/MontserratMedium.ttf", std::string("\0\x01\0\0", 4)));
    EXPECT_TRUE(startsWith("icons/loading.png", "\x89PNG\r\n\x1a\n"));
    for (const char* svg : {"icons/folder.svg", "icons/remove.svg", "icons/tag.svg", "icons/zelk.svg"}) {
        EXPECT_TRUE(startsWith(svg, "<svg ")) << svg;
    }
    EXPECT_TRUE(fs::exists(fs::path(ASSETS_PAK_PATH).parent_path() / "Montserrat-OFL.txt"));
}
