// The pak reader against hand-built files: every error text, the range boundaries,
// name lookups, and loading a second pak over the first.
#include "AssetManager.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<unsigned char>;
constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

// b with the little-endian value v written over width bytes at offset at (growing b if needed).
Bytes with(Bytes b, size_t at, uint64_t v, int width = 8) {
    b.resize(std::max(b.size(), at + width));
    for (int i = 0; i < width; ++i) {
        b[at + i] = static_cast<unsigned char>(v >> (8 * i));
    }
    return b;
}

struct Entry {
    uint64_t nameOffset, dataOffset, dataSize;
};

// A version-1 header (reserved field non-zero: it is ignored), records from offset 40, then tail.
Bytes pak(uint64_t count, uint64_t entriesOffset, uint64_t namesOffset,
          const std::vector<Entry>& records = {}, const std::string& tail = "") {
    Bytes b{'T', 'P', 'A', 'K', 1, 0, 0, 0};
    b = with(with(with(with(b, 8, count), 16, entriesOffset), 24, namesOffset), 32, 0xDEADBEEFCAFEF00DULL);
    for (const Entry& e : records) {
        const size_t at = b.size();
        b = with(with(with(b, at, e.nameOffset), at + 8, e.dataOffset), at + 16, e.dataSize);
    }
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

// The text of the error that init(args...) throws, "" when it loads.
template <typename... Args> std::string initError(const Args&... args) {
    try {
        AssetManager::init(args...);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

std::string initError(const Bytes& bytes) {
    return initError(bytes.data(), bytes.size());
}

// The bytes of the asset named name, or "(missing)".
std::string asset(const std::string& name) {
    const auto view = AssetManager::getAsset(name);
    return view ? std::string(reinterpret_cast<const char*>(view->data.data()), view->data.size())
                : "(missing)";
}

const std::string kRange = "Pak out of range while reading ";

} // namespace

TEST(AssetPak, ChecksInOrderAndBoundaries) {
    const Bytes empty = pak(0, 40, 39); // the smallest valid pak: names offset on its last byte
    const Bytes one = pak(1, 40, 64, {{0, 66, 5}}, std::string("x\0hello", 7)); // 71 bytes
    const Bytes twoEntries = pak(2, 40, 88, {{0, 0, 1}, {2, 0, 1000}}, std::string("a\0b\0", 4));
    struct Case {
        const char* what;
        Bytes bytes;
        std::string error;     // "" for a pak that loads
        const char* name = ""; // then looked up: its content, or "(missing)"
        const char* content = "(missing)";
    };
    const Case cases[] = {
        {"39 bytes", Bytes(empty.begin(), empty.begin() + 39), "asset file too small"},
        {"no bytes", Bytes(), "asset file too small"},
        {"magic before version", with(with(empty, 3, 'X', 1), 4, 2, 4), "Bad magic (not TPAK)"},
        {"version 2", with(one, 4, 2, 4), "Unsupported pak version"},
        {"version 0", with(one, 4, 0, 4), "Unsupported pak version"},
        {"empty pak", empty, ""},
        {"names offset at the end", pak(0, 40, 40), kRange + "names blob"},
        {"names offset far out", pak(0, 40, kMax), kRange + "names blob"},
        {"table one byte short", with(Bytes(one.begin(), one.begin() + 63), 24, 0), kRange + "entries table"},
        {"table before names", pak(1, 40, 1000), kRange + "entries table"},
        {"empty table past the end", pak(0, 41, 39), kRange + "entries table"},
        {"table offset far out", pak(0, kMax, 39), kRange + "entries table"},
        // count * 24 does not fit in 64 bits; without the check it would wrap to a small size.
        {"count overflow", pak(kMax / 24 + 1, 0, 39), kRange + "entries table"},
        {"count overflow to 16", pak(0xAAAAAAAAAAAAAAACULL, 0, 39), kRange + "entries table"},
        {"name one past the end", with(one, 40, 7), kRange + "name string start"},
        // names offset + name offset wraps to 0, where "TPAK\x01" would read as a terminated name.
        {"name offset wraps", with(one, 40, kMax - 63), kRange + "name string start"},
        {"name before data", with(with(one, 40, 1000), 56, 1000), kRange + "name string start"},
        {"data ends at the end", one, "", "x", "hello"},
        {"data one byte further", with(one, 56, 6), kRange + "file data", "x"},
        {"empty data at the end", with(with(one, 56, 0), 48, 71), "", "x", ""},
        {"empty data past the end", with(with(one, 56, 0), 48, 72), kRange + "file data", "x"},
        {"size wraps", with(with(one, 48, 2), 56, kMax), kRange + "file data"},
        {"offset wraps", with(with(one, 48, kMax), 56, 2), kRange + "file data"},
        {"unterminated name", pak(1, 40, 64, {{0, 0, 4}}, "abc"), "Unterminated name in pak"},
        {"terminator is the last byte", pak(1, 40, 64, {{0, 0, 4}}, std::string("abc\0", 4)), "", "abc",
         "TPAK"},
        // A failure mid-table keeps the entries before it, and only those.
        {"kept before failure", twoEntries, kRange + "file data", "a", "T"},
        {"failing entry dropped", twoEntries, kRange + "file data", "b", "(missing)"},
        {"duplicates find the first",
         pak(3, 40, 112, {{0, 0, 1}, {0, 1, 1}, {0, 2, 1}}, std::string("d\0", 2)), "", "d", "T"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(initError(c.bytes), c.error);
        EXPECT_EQ(asset(c.name), c.content);
    }
}

TEST(AssetPak, LookupIsExactByteWiseBinarySearch) {
    // Names "a", "ab", "b", "\xC3\xA9" (sorted as unsigned bytes); data regions overlap.
    const std::string names("a\0ab\0b\0\xC3\xA9\0", 10);
    ASSERT_EQ(initError(pak(4, 40, 136, {{0, 146, 3}, {2, 147, 2}, {5, 146, 1}, {7, 148, 1}}, names + "123")),
              "");
    EXPECT_EQ(asset("a"), "123");
    EXPECT_EQ(asset("ab"), "23");
    EXPECT_EQ(asset("b"), "1");
    EXPECT_EQ(asset("\xC3\xA9"), "3");
    EXPECT_EQ(AssetManager::getAsset("ab")->name, "ab");
    for (const char* missing : {"aa", "", "A", "AB", "abc", "c", "\xC3"}) {
        EXPECT_EQ(asset(missing), "(missing)") << missing;
    }
    EXPECT_EQ(asset(std::string("a\0", 2)), "(missing)"); // an embedded zero byte matches nothing
}

TEST(AssetPak, SecondLoadReplacesTheFirst) {
    ASSERT_EQ(initError(pak(1, 40, 64, {{0, 66, 5}}, std::string("x\0hello", 7))), "");
    const Bytes second = pak(1, 40, 64, {{0, 0, 4}}, std::string("y\0", 2));
    ASSERT_EQ(initError(second), "");
    // Under AddressSanitizer a view left pointing into the first load's bytes would be caught here.
    EXPECT_EQ(asset("x"), "(missing)");
    EXPECT_EQ(asset("y"), "TPAK");
    // Reloading from bytes that belong to the current load copies them before releasing it.
    const auto view = AssetManager::getAsset("y"); // the first 4 of the 66 loaded bytes
    ASSERT_EQ(initError(Bytes(view->data.data(), view->data.data() + second.size())), "");
    EXPECT_EQ(asset("y"), "TPAK");
}

TEST(AssetPak, FromFile) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("orvane_pak_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    EXPECT_EQ(initError((dir / "missing.pak").string()),
              "Failed to open asset file: " + (dir / "missing.pak").string());
    EXPECT_EQ(initError(dir.string()), "Failed to open asset file: " + dir.string());
    std::ofstream(dir / "empty.pak", std::ios::binary).close();
    EXPECT_EQ(initError((dir / "empty.pak").string()), "Pak file empty or unreadable");

    const Bytes good = pak(1, 40, 64, {{0, 66, 5}}, std::string("x\0hello", 7));
    std::ofstream(dir / "good.pak", std::ios::binary)
        .write(reinterpret_cast<const char*>(good.data()), static_cast<std::streamsize>(good.size()));
    EXPECT_EQ(initError((dir / "good.pak").string()), "");
    EXPECT_EQ(asset("x"), "hello");
    std::filesystem::remove_all(dir);
}
