// The pak writer: its layout read back by AssetManager, its refusals, the mkpak command,
// and the built assets.pak holding every asset the application asks for.
#include "AssetManager.h"
#include "PakWriter.h"

#include <cstdint>
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

using Bytes = std::vector<unsigned char>;

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

uint64_t get64(const Bytes& b, size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = v << 8 | b[at + i];
    }
    return v;
}

std::string assetText(const std::string& name) {
    const auto view = AssetManager::getAsset(name);
    if (!view) {
        return "(missing)";
    }
    return std::string(reinterpret_cast<const char*>(view->data.data()), view->data.size());
}

std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class TempDir {
public:
    TempDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path = std::filesystem::temp_directory_path() /
               (std::string("orvane_mkpak_") + info->name() + "_" + std::to_string(::getpid()));
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::filesystem::path file(const std::string& name, const std::string& content) const {
        std::ofstream(path / name, std::ios::binary) << content;
        return path / name;
    }
    std::filesystem::path path;
};

// Runs the mkpak executable with arguments; returns its exit status, stderr in *err.
int runMkpak(const std::string& args, const TempDir& dir, std::string* err) {
    const std::filesystem::path errFile = dir.path / "stderr.txt";
    const std::string command = std::string("'") + MKPAK_PATH + "' " + args + " 2>'" + errFile.string() + "'";
    const int status = std::system(command.c_str());
    *err = readText(errFile);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(PakWriter, LayoutIsSortedAndReadsBack) {
    // Given out of order, with a prefix name, a byte above 0x7F and an empty asset.
    const Bytes pak = pak::build({
        {"b", bytesOf("bee")},
        {"\xC3\xA9t\xC3\xA9", bytesOf("summer")},
        {"ab", bytesOf("")},
        {"a", bytesOf("A")},
        {"icons/tag.svg", bytesOf("<svg/>")},
    });
    ASSERT_GE(pak.size(), 40u);
    EXPECT_EQ(std::string(pak.begin(), pak.begin() + 8), std::string("TPAK\x01\0\0\0", 8));
    EXPECT_EQ(get64(pak, 8), 5u);
    EXPECT_EQ(get64(pak, 16), 40u);
    const uint64_t names = get64(pak, 24);
    // Table order is the reader's order: "a" < "ab" < "b" < "icons/tag.svg" < "\xC3\xA9t\xC3\xA9".
    const std::vector<std::string> expected = {"a", "ab", "b", "icons/tag.svg", "\xC3\xA9t\xC3\xA9"};
    for (size_t i = 0; i < expected.size(); ++i) {
        const char* name = reinterpret_cast<const char*>(pak.data() + names + get64(pak, 40 + 24 * i));
        EXPECT_EQ(std::string(name), expected[i]) << i;
    }

    AssetManager::init(pak.data(), pak.size());
    EXPECT_EQ(assetText("a"), "A");
    EXPECT_EQ(assetText("ab"), "");
    EXPECT_EQ(assetText("b"), "bee");
    EXPECT_EQ(assetText("icons/tag.svg"), "<svg/>");
    EXPECT_EQ(assetText("\xC3\xA9t\xC3\xA9"), "summer");
    EXPECT_EQ(assetText("aa"), "(missing)");
}

TEST(PakWriter, EmptyPakIsValid) {
    const Bytes pak = pak::build({});
    ASSERT_NO_THROW(AssetManager::init(pak.data(), pak.size()));
    EXPECT_FALSE(AssetManager::getAsset("").has_value());
}

TEST(PakWriter, RefusesBadNames) {
    EXPECT_THROW(pak::build({{"x", {}}, {"y", {}}, {"x", {}}}), std::runtime_error);
    EXPECT_THROW(pak::build({{"", {}}}), std::runtime_error);
    EXPECT_THROW(pak::build({{std::string("a\0b", 3), {}}}), std::runtime_error);
}

TEST(PakWriter, WriteReadsFilesAndRefusesDuplicatesAndUnreadableFiles) {
    TempDir dir;
    const auto one = dir.file("one.txt", "first");
    const auto two = dir.file("two.bin", std::string("\0\x01\xFF", 3));
    const std::string out = (dir.path / "out.pak").string();

    pak::write(out, {{"z/two", two.string()}, {"one", one.string()}});
    AssetManager::init(out);
    EXPECT_EQ(assetText("one"), "first");
    EXPECT_EQ(assetText("z/two"), std::string("\0\x01\xFF", 3));

    const std::string missing = (dir.path / "missing.svg").string();
    try {
        pak::write(out, {{"one", one.string()}, {"icons/missing.svg", missing}});
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find(missing), std::string::npos) << what;
        EXPECT_NE(what.find("icons/missing.svg"), std::string::npos) << what;
    }
    try {
        pak::write(out, {{"one", one.string()}, {"one", two.string()}});
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("duplicate asset name 'one'"), std::string::npos) << e.what();
    }
    // The earlier pak is untouched by the failed runs.
    AssetManager::init(out);
    EXPECT_EQ(assetText("z/two"), std::string("\0\x01\xFF", 3));
}

TEST(PakWriter, CommandLine) {
    TempDir dir;
    const auto svg = dir.file("tag.svg", "<svg/>");
    const auto ttf = dir.file("font.ttf", "font bytes");
    const std::string out = (dir.path / "assets.pak").string();
    std::string err;

    EXPECT_EQ(
        runMkpak("'" + out + "' icons/tag.svg='" + svg.string() + "' fonts/f.ttf='" + ttf.string() + "'", dir,
                 &err),
        0)
        << err;
    AssetManager::init(out);
    EXPECT_EQ(assetText("icons/tag.svg"), "<svg/>");
    EXPECT_EQ(assetText("fonts/f.ttf"), "font bytes");

    EXPECT_EQ(runMkpak("'" + out + "' a='" + svg.string() + "' a='" + ttf.string() + "'", dir, &err), 1);
    EXPECT_NE(err.find("duplicate asset name 'a'"), std::string::npos) << err;
    EXPECT_EQ(runMkpak("'" + out + "' a='" + (dir.path / "nope").string() + "'", dir, &err), 1);
    EXPECT_NE(err.find("cannot read"), std::string::npos) << err;
    EXPECT_NE(runMkpak("'" + out + "' just-a-name", dir, &err), 0);
    EXPECT_NE(err.find("NAME=FILE"), std::string::npos) << err;
}

TEST(AssetsPak, HoldsEveryAssetTheApplicationAsksFor) {
    AssetManager::init(std::string(ASSETS_PAK_PATH));
    auto startsWith = [](const std::string& name, const std::string& prefix) {
        const auto view = AssetManager::getAsset(name);
        return view && view->data.size() > prefix.size() &&
               std::string(reinterpret_cast<const char*>(view->data.data()), prefix.size()) == prefix;
    };
    EXPECT_TRUE(startsWith("fonts/montserrat-font/MontserratMedium.ttf", std::string("\0\x01\0\0", 4)));
    EXPECT_TRUE(startsWith("icons/loading.png", "\x89PNG\r\n\x1a\n"));
    for (const char* svg : {"icons/folder.svg", "icons/remove.svg", "icons/tag.svg", "icons/zelk.svg"}) {
        EXPECT_TRUE(startsWith(svg, "<svg ")) << svg;
    }
    EXPECT_TRUE(
        std::filesystem::exists(std::filesystem::path(ASSETS_PAK_PATH).parent_path() / "Montserrat-OFL.txt"));
}
