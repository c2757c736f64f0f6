// The symbol list page decoder on hand-built pages: layout checks, instance order, left-out
// entries, program prefixes, partial pages without progress and the list size limit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logix_internal.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Entry {
    uint32_t instance;
    std::string name;
    uint16_t type;
    uint32_t d0 = 0, d1 = 0;
};

// Entries as a page lists them: instance, name length, name, type word, three dimensions.
Bytes page_of(const std::vector<Entry>& entries) {
    Bytes b;
    auto put = [&b](uint32_t v, int size) {
        for (int i = 0; i < size; ++i) {
            b.push_back(uint8_t(v >> (8 * i)));
        }
    };
    for (const auto& e : entries) {
        put(e.instance, 4);
        put(uint32_t(e.name.size()), 2);
        b.insert(b.end(), e.name.begin(), e.name.end());
        put(e.type, 2), put(e.d0, 4), put(e.d1, 4), put(0, 4);
    }
    return b;
}

struct Page {
    zelkc_logix_tag_info_list list{};
    uint32_t capacity = 0, next = 0;
    ~Page() { zelkc_logix_tag_info_list_free(&list); }
    // `b` is an exactly sized copy, so a read past its end is caught by the sanitizer build.
    uint8_t decode(uint8_t status, Bytes b) {
        return zelkc_logix_browse_page_decode(status, b.empty() ? nullptr : b.data(), uint32_t(b.size()), &list,
                                              &capacity, &next);
    }
    std::string text() const { // id, name, type word and dimensions of each entry
        std::string t;
        for (const zelkc_logix_tag_info* e = list.items; e != list.items + list.count; ++e) {
            t += std::to_string(e->id) + ":" + e->name + ":" + std::to_string(e->symbol_type) + ":" +
                 std::to_string(e->dims[0]) + "," + std::to_string(e->dims[1]) + "," + std::to_string(e->dims[2]) + " ";
        }
        return t;
    }
};

TEST(LogixBrowsePage, DecodesEntriesLeavesOutSystemSymbolsAndPages) {
    Page page; // left out: the system bit (3) and __CONTAINER (4, 12); "Program:" is too short for the prefix
    ASSERT_EQ(page.decode(6, page_of({{1, "Counter", 0x00C4}, {2, "Program:MainProgram", 0x1068}, {3, "Hidden", 0x10C4},
                                      {4, "__CONTAINER", 0x00C4}, {5, "__CONTAINERS", 0x00C4}, {6, "Matrix", 0x40C4, 2, 3},
                                      {7, "Program:", 0x1068}, {8, "Program:X", 0x1068}, {12, "__CONTAINER", 0x00C4}})),
              ZELKC_LOGIX_OK);
    EXPECT_EQ(page.next, 13u); // the next page starts after the left-out entry
    ASSERT_EQ(page.decode(0, page_of({{13, "B", 0x8FCE, 5}})), ZELKC_LOGIX_OK); // the instance asked for
    EXPECT_EQ(page.decode(0, {}), ZELKC_LOGIX_OK); // an empty final page is a successful end
    EXPECT_EQ(page.text(), "1:Counter:196:0,0,0 2:MainProgram:4200:0,0,0 5:__CONTAINERS:196:0,0,0 "
                           "6:Matrix:16580:2,3,0 7:Program::4200:0,0,0 8:X:4200:0,0,0 13:B:36814:5,0,0 ");
}

TEST(LogixBrowsePage, MalformedPagesAreRefused) {
    const Bytes a = page_of({{1, "A", 0x00C4}});
    Bytes broken = page_of({{1, "A", 0x10C4}, {2, "B", 0x00C4}});
    broken.resize(broken.size() - 3);
    Bytes trailing = a;
    trailing.insert(trailing.end(), {1, 2, 3, 4, 5});
    // What is wrong, the page, its status, the instance asked for; BAD_REPLY unless said.
    const std::tuple<const char*, Bytes, uint8_t, uint32_t> cases[] = {
        {"entry one byte short", Bytes(a.begin(), a.end() - 1), 0, 0}, {"five trailing bytes", trailing, 0, 0},
        {"name length 0", page_of({{1, "", 0x00C4}}), 0, 0},
        {"NUL inside a name", page_of({{1, std::string("A\0B", 3), 0x00C4}}), 0, 0},
        {"instance 0xFFFFFFFF", page_of({{0xFFFFFFFF, "A", 0x00C4}}), 0, 0},
        {"repeated instance", page_of({{4, "A", 0x00C4}, {4, "B", 0x00C4}}), 0, 0},
        {"falling instance", page_of({{4, "A", 0x00C4}, {3, "B", 0x00C4}}), 0, 0},
        {"instance below the one asked for", page_of({{6, "A", 0x00C4}}), 0, 7},
        {"name length past the end", {1, 0, 0, 0, 0xFF, 0xFF}, 0, 0}, {"partial page without entries", {}, 6, 0},
        {"partial page ending in a broken entry", broken, 6, 0}, {"DEVICE: 5", {}, 5, 0}, {"DEVICE: 0x1E", {}, 0x1E, 0},
    };
    for (const auto& [what, bytes, status, next] : cases) {
        Page page;
        page.next = next;
        EXPECT_EQ(page.decode(status, bytes), what[0] == 'D' ? ZELKC_LOGIX_ERR_DEVICE : ZELKC_LOGIX_ERR_BAD_REPLY) << what;
    }
}

TEST(LogixBrowsePage, ListStopsAtTheLimit) {
    Page page;
    std::vector<Entry> entries;
    for (uint32_t i = 0; i < ZELKC_LOGIX_MAX_TAG_INFOS; ++i) {
        entries.push_back({i, "T", 0x00C4});
    }
    ASSERT_EQ(page.decode(6, page_of(entries)), ZELKC_LOGIX_OK);
    EXPECT_EQ(page.list.count, ZELKC_LOGIX_MAX_TAG_INFOS);
    // Left-out symbols do not count against the limit; the next listed one does.
    EXPECT_EQ(page.decode(0, page_of({{ZELKC_LOGIX_MAX_TAG_INFOS, "Sys", 0x10C4},
                                      {ZELKC_LOGIX_MAX_TAG_INFOS + 1, "T", 0x00C4}})),
              ZELKC_LOGIX_ERR_LIMIT);
}

} // namespace
