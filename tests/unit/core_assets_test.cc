// The pak reader against hand-built files: every error text, the range boundaries,
// name lookups, and loading a second pak over the first.
#include "AssetManager.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<unsigned char>;
constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

void put32(Bytes& b, size_t at, uint32_t v) {
    if (b.size() < at + 4) {
        b.resize(at + 4);
    }
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<unsigned char>(v >> (8 * i));
    }
}

void put64(Bytes& b, size_t at, uint64_t v) {
    put32(b, at, static_cast<uint32_t>(v));
    put32(b, at + 4, static_cast<uint32_t>(v >> 32));
}

Bytes header(uint64_t count, uint64_t entriesOffset, uint64_t namesOffset, uint32_t version = 1) {
    Bytes b(40, 0);
    b[0] = 'T';
    b[1] = 'P';
    b[2] = 'A';
    b[3] = 'K';
    put32(b, 4, version);
    put64(b, 8, count);
    put64(b, 16, entriesOffset);
    put64(b, 24, namesOffset);
    put64(b, 32, 0xDEADBEEFCAFEF00DULL); // reserved: ignored
    return b;
}

void putEntry(Bytes& b, size_t at, uint64_t nameOffset, uint64_t dataOffset, uint64_t dataSize) {
    put64(b, at, nameOffset);
    put64(b, at + 8, dataOffset);
    put64(b, at + 16, dataSize);
}

void append(Bytes& b, const std::string& text) {
    b.insert(b.end(), text.begin(), text.end());
}

// A one-entry pak: header, entry at 40, name "x\0" at 64, data "hello" at 66 (71 bytes).
Bytes oneEntry() {
    Bytes b = header(1, 40, 64);
    putEntry(b, 40, 0, 66, 5);
    append(b, std::string("x\0", 2));
    append(b, "hello");
    return b;
}

std::string initError(const Bytes& bytes) {
    try {
        AssetManager::init(bytes.data(), bytes.size());
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

std::string text(const AssetView& view) {
    return std::string(reinterpret_cast<const char*>(view.data.data()), view.data.size());
}

} // namespace

TEST(AssetPak, HeaderChecksInOrder) {
    Bytes empty40 = header(0, 40, 39);
    EXPECT_EQ(initError(Bytes(empty40.begin(), empty40.begin() + 39)), "asset file too small");
    EXPECT_EQ(initError(Bytes()), "asset file too small");

    Bytes badMagic = empty40;
    badMagic[3] = 'X';
    put32(badMagic, 4, 2); // the magic is checked before the version
    EXPECT_EQ(initError(badMagic), "Bad magic (not TPAK)");

    Bytes v2 = oneEntry();
    put32(v2, 4, 2);
    EXPECT_EQ(initError(v2), "Unsupported pak version");
    put32(v2, 4, 0);
    EXPECT_EQ(initError(v2), "Unsupported pak version");

    // The smallest valid pak: no entries, the names offset on the last byte.
    EXPECT_EQ(initError(empty40), "");
    EXPECT_FALSE(AssetManager::getAsset("").has_value());
    EXPECT_FALSE(AssetManager::getAsset("x").has_value());

    EXPECT_EQ(initError(header(0, 40, 40)), "Pak out of range while reading names blob");
    EXPECT_EQ(initError(header(0, 40, kMax)), "Pak out of range while reading names blob");
}

TEST(AssetPak, EntriesTableRange) {
    // One record needs 24 bytes at offset 40; the file ends at 63.
    Bytes short1 = oneEntry();
    short1.resize(63);
    put64(short1, 24, 0);
    EXPECT_EQ(initError(short1), "Pak out of range while reading entries table");

    // The table is checked before the names blob.
    EXPECT_EQ(initError(header(1, 40, 1000)), "Pak out of range while reading entries table");
    EXPECT_EQ(initError(header(0, 41, 39)), "Pak out of range while reading entries table");
    EXPECT_EQ(initError(header(0, kMax, 39)), "Pak out of range while reading entries table");
    // count * 24 does not fit in 64 bits; without the check it would wrap to a small size.
    EXPECT_EQ(initError(header(kMax / 24 + 1, 0, 39)), "Pak out of range while reading entries table");
    EXPECT_EQ(initError(header(0xAAAAAAAAAAAAAAACULL, 0, 39)),
              "Pak out of range while reading entries table");
}

TEST(AssetPak, NameStartRange) {
    Bytes b = oneEntry();
    put64(b, 40, 71 - 64); // the name would start one past the last byte
    EXPECT_EQ(initError(b), "Pak out of range while reading name string start");
    // names offset (64) + name offset wraps around 64 bits to offset 0, where "TPAK\x01" would
    // read as a terminated name: still refused.
    put64(b, 40, kMax - 63);
    EXPECT_EQ(initError(b), "Pak out of range while reading name string start");
    // The name start is checked before the data region.
    put64(b, 40, 1000);
    put64(b, 56, 1000);
    EXPECT_EQ(initError(b), "Pak out of range while reading name string start");
}

TEST(AssetPak, DataRegionBoundaries) {
    Bytes b = oneEntry();
    ASSERT_EQ(initError(b), ""); // data ends exactly at the end of the file
    ASSERT_TRUE(AssetManager::getAsset("x").has_value());
    EXPECT_EQ(text(*AssetManager::getAsset("x")), "hello");

    put64(b, 56, 6);
    EXPECT_EQ(initError(b), "Pak out of range while reading file data");
    put64(b, 56, 0);
    put64(b, 48, 71); // an empty region at the very end is in range
    EXPECT_EQ(initError(b), "");
    EXPECT_EQ(AssetManager::getAsset("x")->data.size(), 0u);
    put64(b, 48, 72);
    EXPECT_EQ(initError(b), "Pak out of range while reading file data");
    // offset + size overflows 64 bits and would wrap to a small end.
    put64(b, 48, 2);
    put64(b, 56, kMax);
    EXPECT_EQ(initError(b), "Pak out of range while reading file data");
    put64(b, 48, kMax);
    put64(b, 56, 2);
    EXPECT_EQ(initError(b), "Pak out of range while reading file data");
}

TEST(AssetPak, UnterminatedName) {
    // The name's bytes run to the end of the file with no zero byte.
    Bytes b = header(1, 40, 64);
    putEntry(b, 40, 0, 0, 4);
    append(b, "abc");
    EXPECT_EQ(initError(b), "Unterminated name in pak");
    // The terminator may be the file's last byte.
    b.push_back(0);
    EXPECT_EQ(initError(b), "");
    EXPECT_EQ(text(*AssetManager::getAsset("abc")), "TPAK");
}

TEST(AssetPak, FailureMidTableKeepsTheEntriesBefore) {
    Bytes b = header(2, 40, 88);
    putEntry(b, 40, 0, 0, 1);
    putEntry(b, 64, 2, 0, 1000);
    append(b, std::string("a\0b\0", 4));
    EXPECT_EQ(initError(b), "Pak out of range while reading file data");
    EXPECT_TRUE(AssetManager::getAsset("a").has_value());
    EXPECT_FALSE(AssetManager::getAsset("b").has_value());
}

TEST(AssetPak, LookupIsExactByteWiseBinarySearch) {
    // Names "a", "ab", "b", "\xC3\xA9" (sorted as unsigned bytes), data regions that overlap.
    const std::string names("a\0ab\0b\0\xC3\xA9\0", 10);
    Bytes b = header(4, 40, 136);
    putEntry(b, 40, 0, 146, 3);
    putEntry(b, 64, 2, 147, 2);
    putEntry(b, 88, 5, 146, 1);
    putEntry(b, 112, 7, 148, 1);
    append(b, names);
    append(b, "123");
    ASSERT_EQ(b.size(), 149u);
    ASSERT_EQ(initError(b), "");

    EXPECT_EQ(text(*AssetManager::getAsset("a")), "123");
    EXPECT_EQ(text(*AssetManager::getAsset("ab")), "23");
    EXPECT_EQ(text(*AssetManager::getAsset("b")), "1");
    EXPECT_EQ(text(*AssetManager::getAsset("\xC3\xA9")), "3");
    EXPECT_EQ(AssetManager::getAsset("ab")->name, "ab");
    for (const char* missing : {"aa", "", "A", "AB", "abc", "c", "\xC3"}) {
        EXPECT_FALSE(AssetManager::getAsset(missing).has_value()) << missing;
    }
    // A lookup name with an embedded zero byte matches nothing.
    EXPECT_FALSE(AssetManager::getAsset(std::string("a\0", 2)).has_value());
}

TEST(AssetPak, DuplicateNamesFindTheFirst) {
    Bytes b = header(3, 40, 112);
    putEntry(b, 40, 0, 0, 1);
    putEntry(b, 64, 0, 1, 1);
    putEntry(b, 88, 0, 2, 1);
    append(b, std::string("d\0", 2));
    ASSERT_EQ(initError(b), "");
    EXPECT_EQ(text(*AssetManager::getAsset("d")), "T");
}

TEST(AssetPak, SecondLoadReplacesTheFirst) {
    Bytes first = oneEntry();
    ASSERT_EQ(initError(first), "");
    Bytes second = header(1, 40, 64);
    putEntry(second, 40, 0, 0, 4);
    append(second, std::string("y\0", 2));
    ASSERT_EQ(initError(second), "");
    // Under AddressSanitizer a view left pointing into the first load's bytes would be caught here.
    EXPECT_FALSE(AssetManager::getAsset("x").has_value());
    ASSERT_TRUE(AssetManager::getAsset("y").has_value());
    EXPECT_EQ(text(*AssetManager::getAsset("y")), "TPAK");
    // Reloading from bytes that belong to the current load copies them before releasing it.
    Bytes nested = header(1, 40, 64);
    putEntry(nested, 40, 0, 0, 4);
    append(nested, std::string("z\0", 2));
    ASSERT_EQ(initError(nested), "");
    const AssetView whole = *AssetManager::getAsset("z"); // "TPAK", the first 4 of the 66 bytes
    const std::span<unsigned char> all(whole.data.data(), nested.size());
    ASSERT_NO_THROW(AssetManager::init(all.data(), all.size()));
    EXPECT_EQ(text(*AssetManager::getAsset("z")), "TPAK");
    EXPECT_THROW(AssetManager::init(nullptr, 1), std::invalid_argument);
    EXPECT_FALSE(AssetManager::getAsset("z").has_value());
    // A failed load leaves nothing of the earlier one behind.
    EXPECT_NE(initError(Bytes(10, 0)), "");
    EXPECT_FALSE(AssetManager::getAsset("y").has_value());
}

TEST(AssetPak, FromFile) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() /
        ("orvane_pak_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
         std::to_string(reinterpret_cast<uintptr_t>(&dir)));
    std::filesystem::create_directories(dir);
    const std::string missing = (dir / "missing.pak").string();
    try {
        AssetManager::init(missing);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Failed to open asset file: " + missing);
    }

    try {
        AssetManager::init(dir.string());
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Failed to open asset file: " + dir.string());
    }

    const std::string emptyPath = (dir / "empty.pak").string();
    std::ofstream(emptyPath, std::ios::binary).close();
    EXPECT_THROW(
        {
            try {
                AssetManager::init(emptyPath);
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "Pak file empty or unreadable");
                throw;
            }
        },
        std::runtime_error);

    const std::string good = (dir / "good.pak").string();
    const Bytes bytes = oneEntry();
    {
        std::ofstream out(good, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    AssetManager::init(good);
    ASSERT_TRUE(AssetManager::getAsset("x").has_value());
    EXPECT_EQ(text(*AssetManager::getAsset("x")), "hello");
    // The file form and the memory form keep separate copies; the last init answers lookups.
    Bytes other = header(0, 40, 39);
    AssetManager::init(other.data(), other.size());
    EXPECT_FALSE(AssetManager::getAsset("x").has_value());
    std::filesystem::remove_all(dir);
}
