// The symbol list page decoder on hand-built pages: layout checks, instance order, left-out
// entries, program prefixes, partial pages without progress and the list size limit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logix_internal.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put(Bytes& b, uint32_t v, int size) {
    for (int i = 0; i < size; ++i) {
        b.push_back(uint8_t(v >> (8 * i)));
    }
}

struct Entry {
    uint32_t instance;
    std::string name;
    uint16_t type;
    uint32_t d0 = 0, d1 = 0;
};

void add(Bytes& b, const Entry& e) {
    put(b, e.instance, 4);
    put(b, uint32_t(e.name.size()), 2);
    b.insert(b.end(), e.name.begin(), e.name.end());
    put(b, e.type, 2);
    put(b, e.d0, 4);
    put(b, e.d1, 4);
    put(b, 0, 4);
}

Bytes page_of(std::initializer_list<Entry> entries) {
    Bytes b;
    for (const auto& e : entries) {
        add(b, e);
    }
    return b;
}

struct Page {
    zelkc_logix_tag_info_list list{};
    uint32_t capacity = 0;
    uint32_t next = 0;
    ~Page() { zelkc_logix_tag_info_list_free(&list); }
    uint8_t decode(uint8_t status, Bytes b) {
        // `b` is an exactly sized copy, so a read past the end is caught by the sanitizer build.
        return zelkc_logix_browse_page_decode(status, b.empty() ? nullptr : b.data(), uint32_t(b.size()), &list,
                                              &capacity, &next);
    }
    std::vector<std::string> names() const {
        std::vector<std::string> n;
        for (uint32_t i = 0; i < list.count; ++i) {
            n.emplace_back(list.items[i].name);
        }
        return n;
    }
};

TEST(LogixBrowsePage, DecodesEntriesLeavesOutSystemSymbolsAndPages) {
    Page page;
    ASSERT_EQ(page.decode(6, page_of({{1, "Counter", 0x00C4},
                                      {2, "Program:MainProgram", 0x1068},
                                      {3, "Hidden", 0x10C4},      // system bit: left out
                                      {4, "__CONTAINER", 0x00C4}, // left out
                                      {5, "__CONTAINERS", 0x00C4},
                                      {6, "Matrix", 0x40C4, 2, 3},
                                      {7, "Program:", 0x1068}, // too short for the prefix: copied whole
                                      {8, "Program:X", 0x1068},
                                      {9, "Mix", 0x8FCE, 5},
                                      {12, "__CONTAINER", 0x00C4}})),
              ZELKC_LOGIX_OK);
    EXPECT_EQ(page.next, 13u); // the next page starts after the left-out entry
    const zelkc_logix_tag_info& matrix = page.list.items[3];
    EXPECT_EQ(matrix.id, 6u);
    EXPECT_EQ(matrix.symbol_type, 0x40C4);
    EXPECT_EQ(matrix.dims[0], 2u);
    EXPECT_EQ(matrix.dims[1], 3u);
    EXPECT_EQ(matrix.type_name, nullptr);
    EXPECT_EQ(page.list.items[1].symbol_type, 0x1068);
    ASSERT_EQ(page.decode(0, page_of({{13, "B", 0x00C3}})), ZELKC_LOGIX_OK); // instance asked for: accepted
    EXPECT_EQ(page.names(), (std::vector<std::string>{"Counter", "MainProgram", "__CONTAINERS", "Matrix",
                                                      "Program:", "X", "Mix", "B"}));
    EXPECT_EQ(page.decode(0, {}), ZELKC_LOGIX_OK); // an empty final page is a successful end

    Page hidden; // a partial page of only left-out entries still progresses
    EXPECT_EQ(hidden.decode(6, page_of({{3, "__CONTAINER", 0x00C4}})), ZELKC_LOGIX_OK);
    EXPECT_EQ(hidden.list.count, 0u);
    EXPECT_EQ(hidden.next, 4u);
}

TEST(LogixBrowsePage, MalformedPagesAreRefused) {
    struct Case {
        const char* what;
        Bytes bytes;
        uint8_t status = 0;
        uint32_t next = 0;
        uint8_t expected = ZELKC_LOGIX_ERR_BAD_REPLY;
    };
    const Bytes a = page_of({{1, "A", 0x00C4}});
    Bytes name_past_end;
    put(name_past_end, 1, 4);
    put(name_past_end, 0xFFFF, 2);
    Bytes broken = page_of({{1, "A", 0x10C4}, {2, "B", 0x00C4}});
    broken.resize(broken.size() - 3);
    Bytes short_entry = a, trailing = a;
    short_entry.pop_back();
    trailing.insert(trailing.end(), {1, 2, 3, 4, 5});
    const Case cases[] = {
        {"entry one byte short", short_entry},
        {"five trailing bytes", trailing},
        {"name length 0", page_of({{1, "", 0x00C4}})},
        {"NUL inside a name", page_of({{1, std::string("A\0B", 3), 0x00C4}})},
        {"instance 0xFFFFFFFF", page_of({{0xFFFFFFFF, "A", 0x00C4}})},
        {"repeated instance", page_of({{4, "A", 0x00C4}, {4, "B", 0x00C4}})},
        {"falling instance", page_of({{4, "A", 0x00C4}, {3, "B", 0x00C4}})},
        {"instance below the one asked for", page_of({{6, "A", 0x00C4}}), 0, 7},
        {"name length past the end", name_past_end},
        {"partial page without entries", {}, 6},
        {"partial page ending in a broken entry", broken, 6},
        {"status 5", {}, 5, 0, ZELKC_LOGIX_ERR_DEVICE},
        {"status 0x1E", {}, 0x1E, 0, ZELKC_LOGIX_ERR_DEVICE},
    };
    for (const auto& c : cases) {
        Page page;
        page.next = c.next;
        EXPECT_EQ(page.decode(c.status, c.bytes), c.expected) << c.what;
    }
}

TEST(LogixBrowsePage, ListStopsAtTheLimit) {
    Page page;
    Bytes b;
    for (uint32_t i = 0; i < ZELKC_LOGIX_MAX_TAG_INFOS; ++i) {
        add(b, {i, "T", 0x00C4});
    }
    ASSERT_EQ(page.decode(6, b), ZELKC_LOGIX_OK);
    EXPECT_EQ(page.list.count, ZELKC_LOGIX_MAX_TAG_INFOS);
    // Left-out symbols do not count against the limit; the next listed one does.
    EXPECT_EQ(page.decode(0, page_of({{ZELKC_LOGIX_MAX_TAG_INFOS, "Sys", 0x10C4},
                                      {ZELKC_LOGIX_MAX_TAG_INFOS + 1, "T", 0x00C4}})),
              ZELKC_LOGIX_ERR_LIMIT);
}

} // namespace
