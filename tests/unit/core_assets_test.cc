// The pak reader against hand-built files: every error text, the range boundaries,
// name lookups, and loading a second pak over the first. Loading from a file is covered with the pak
// writer's tests.
#include "AssetManager.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<unsigned char>;
const std::string kRange = "Pak out of range while reading ";

// b with the little-endian value v written over width bytes at offset at (growing b if needed).
Bytes with(Bytes b, size_t at, uint64_t v, int width = 8) {
    b.resize(std::max(b.size(), at + width));
    for (int i = 0; i < width; ++i) {
        b[at + i] = static_cast<unsigned char>(v >> (8 * i));
    }
    return b;
}

// "TPAK", version 1, then 64-bit words: count, entries offset, names offset, a reserved word (non-zero:
// it is ignored), then name offset, data offset and data size of each record; then tail.
Bytes pak(uint64_t count, uint64_t entriesOffset, uint64_t namesOffset, std::vector<uint64_t> records = {},
          const std::string& tail = "") {
    records.insert(records.begin(), {count, entriesOffset, namesOffset, 0xDEADBEEFCAFEF00DULL});
    Bytes b{'T', 'P', 'A', 'K', 1, 0, 0, 0};
    for (uint64_t word : records) {
        b = with(b, b.size(), word);
    }
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

// The text of the error that loading bytes throws, "" when they load.
std::string initError(const Bytes& bytes) {
    try {
        AssetManager::init(bytes.data(), bytes.size());
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

// The bytes of the asset named name, or "(missing)".
std::string asset(const std::string& name) {
    const auto view = AssetManager::getAsset(name);
    return view ? std::string(reinterpret_cast<const char*>(view->data.data()), view->data.size())
                : "(missing)";
}

} // namespace

TEST(AssetPak, ChecksInOrderAndBoundaries) {
    const Bytes empty = pak(0, 40, 39); // the smallest valid pak: names offset on its last byte
    const Bytes one = pak(1, 40, 64, {0, 66, 5}, std::string("x\0hello", 7)); // 71 bytes
    const Bytes twoEntries = pak(2, 40, 88, {0, 0, 1, 2, 0, 1000}, std::string("a\0b\0", 4));
    struct Case {
        Bytes bytes;
        std::string error;     // "" for a pak that loads
        const char* name = ""; // then looked up: its content, or "(missing)"
        const char* content = "(missing)";
    };
    const Case cases[] = {
        {Bytes(empty.begin(), empty.begin() + 39), "asset file too small"},
        {with(with(empty, 3, 'X', 1), 4, 2, 4), "Bad magic (not TPAK)"}, // magic checked before version
        {with(one, 4, 2, 4), "Unsupported pak version"},
        {empty, ""},
        {pak(0, 40, 40), kRange + "names blob"},                                       // at the end
        {with(Bytes(one.begin(), one.begin() + 63), 24, 0), kRange + "entries table"}, // one byte short
        {pak(1, 40, 1000), kRange + "entries table"},                                  // table before names
        {pak(0, 41, 39), kRange + "entries table"},                                    // empty, past the end
        // count * 24 does not fit in 64 bits; without the check it would wrap to a small size.
        {pak(~0ULL / 24 + 1, 0, 39), kRange + "entries table"},
        {with(one, 40, 7), kRange + "name string start"}, // one past the end
        // names offset + name offset wraps to 0, where "TPAK\x01" would read as a terminated name.
        {with(one, 40, ~0ULL - 63), kRange + "name string start"},
        {with(with(one, 40, 1000), 56, 1000), kRange + "name string start"}, // checked before data
        {one, "", "x", "hello"},                                             // data ends at the end
        {with(one, 56, 6), kRange + "file data", "x"},                       // one byte further
        {with(with(one, 56, 0), 48, 71), "", "x", ""},                       // empty data at the end
        {with(with(one, 56, 0), 48, 72), kRange + "file data", "x"},         // empty, past the end
        {with(with(one, 48, 2), 56, ~0ULL), kRange + "file data"},           // size wraps
        {with(with(one, 48, ~0ULL), 56, 2), kRange + "file data"},           // offset wraps
        {pak(1, 40, 64, {0, 0, 4}, "abc"), "Unterminated name in pak"},
        {pak(1, 40, 64, {0, 0, 4}, std::string("abc\0", 4)), "", "abc", "TPAK"}, // terminator last
        // A failure mid-table keeps the entries before it, and only those; duplicates find the first.
        {twoEntries, kRange + "file data", "a", "T"},
        {twoEntries, kRange + "file data", "b"},
        {pak(3, 40, 112, {0, 0, 1, 0, 1, 1, 0, 2, 1}, std::string("d\0", 2)), "", "d", "T"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(initError(c.bytes), c.error) << "case " << &c - cases;
        EXPECT_EQ(asset(c.name), c.content) << "case " << &c - cases;
    }
}

TEST(AssetPak, LookupIsExactByteWiseBinarySearch) {
    // Names "a", "ab", "b", "\xC3\xA9" (sorted as unsigned bytes); data regions overlap.
    const std::string names("a\0ab\0b\0\xC3\xA9\0", 10);
    ASSERT_EQ(initError(pak(4, 40, 136, {0, 146, 3, 2, 147, 2, 5, 146, 1, 7, 148, 1}, names + "123")), "");
    const char* found[][2] = {{"a", "123"},         {"ab", "23"},         {"b", "1"},
                              {"\xC3\xA9", "3"},    {"aa", "(missing)"},  {"", "(missing)"},
                              {"A", "(missing)"},   {"abc", "(missing)"}, {"c", "(missing)"},
                              {"\xC3", "(missing)"}};
    for (const auto& [name, content] : found) {
        EXPECT_EQ(asset(name), content) << name;
    }
    EXPECT_EQ(AssetManager::getAsset("ab")->name, "ab");
    EXPECT_EQ(asset(std::string("a\0", 2)), "(missing)"); // an embedded zero byte matches nothing

    // A second load replaces the first; reloading from bytes of the current load copies them first.
    const Bytes second = pak(1, 40, 64, {0, 0, 4}, std::string("y\0", 2));
    ASSERT_EQ(initError(second), "");
    EXPECT_EQ(asset("a"), "(missing)");
    const auto view = AssetManager::getAsset("y"); // the first 4 of the 66 loaded bytes
    ASSERT_EQ(initError(Bytes(view->data.data(), view->data.data() + second.size())), "");
    EXPECT_EQ(asset("y"), "TPAK");
}
