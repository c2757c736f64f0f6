// The symbol list page decoder on hand-built pages: layout checks, instance order, left-out
// entries, program prefixes, partial pages without progress and the list size limit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "logix_internal.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void put32(Bytes& b, uint32_t v) {
    put16(b, uint16_t(v));
    put16(b, uint16_t(v >> 16));
}

void entry(Bytes& b, uint32_t instance, const std::string& name, uint16_t type, uint32_t d0 = 0,
           uint32_t d1 = 0, uint32_t d2 = 0) {
    put32(b, instance);
    put16(b, uint16_t(name.size()));
    for (char c : name) {
        b.push_back(uint8_t(c));
    }
    put16(b, type);
    put32(b, d0);
    put32(b, d1);
    put32(b, d2);
}

struct Page {
    zelkc_logix_tag_info_list list{};
    uint32_t capacity = 0;
    uint32_t next = 0;
    ~Page() { zelkc_logix_tag_info_list_free(&list); }
    uint8_t decode(uint8_t status, const Bytes& b) {
        // An exactly sized copy so a read past the end is caught by the sanitizer build.
        std::vector<uint8_t> exact(b);
        return zelkc_logix_browse_page_decode(status, exact.empty() ? nullptr : exact.data(),
                                              uint32_t(exact.size()), &list, &capacity, &next);
    }
    std::vector<std::string> names() const {
        std::vector<std::string> n;
        for (uint32_t i = 0; i < list.count; ++i) {
            n.emplace_back(list.items[i].name);
        }
        return n;
    }
};

TEST(LogixBrowsePage, DecodesEntriesAndLeavesOutSystemSymbols) {
    Bytes b;
    entry(b, 1, "Counter", 0x00C4);
    entry(b, 2, "Program:MainProgram", 0x1068);
    entry(b, 3, "Hidden", 0x10C4);       // system bit: left out
    entry(b, 4, "__CONTAINER", 0x00C4);  // left out
    entry(b, 5, "__CONTAINERS", 0x00C4); // stays
    entry(b, 6, "Matrix", 0x40C4, 2, 3, 0);
    entry(b, 7, "Program:", 0x1068); // too short for the prefix: copied whole
    entry(b, 8, "Program:X", 0x1068);
    entry(b, 9, "Mix", 0x8FCE, 5);
    Page page;
    ASSERT_EQ(page.decode(0, b), ZELKC_LOGIX_OK);
    EXPECT_EQ(page.names(), (std::vector<std::string>{"Counter", "MainProgram", "__CONTAINERS", "Matrix",
                                                      "Program:", "X", "Mix"}));
    EXPECT_EQ(page.next, 10u);
    const zelkc_logix_tag_info& matrix = page.list.items[3];
    EXPECT_EQ(matrix.id, 6u);
    EXPECT_EQ(matrix.symbol_type, 0x40C4);
    EXPECT_EQ(matrix.dims[0], 2u);
    EXPECT_EQ(matrix.dims[1], 3u);
    EXPECT_EQ(matrix.type_name, nullptr);
    EXPECT_EQ(page.list.items[1].symbol_type, 0x1068);
}

TEST(LogixBrowsePage, PagingAdvancesPastLeftOutEntries) {
    Page page;
    Bytes first;
    entry(first, 0, "A", 0x00C4);
    entry(first, 10, "__CONTAINER", 0x00C4);
    ASSERT_EQ(page.decode(6, first), ZELKC_LOGIX_OK);
    EXPECT_EQ(page.next, 11u); // the next page starts after the left-out entry
    Bytes second;
    entry(second, 11, "B", 0x00C3); // equal to the instance asked for: accepted
    ASSERT_EQ(page.decode(0, second), ZELKC_LOGIX_OK);
    EXPECT_EQ(page.names(), (std::vector<std::string>{"A", "B"}));
    // An empty final page is a successful end.
    EXPECT_EQ(page.decode(0, {}), ZELKC_LOGIX_OK);
}

TEST(LogixBrowsePage, MalformedPagesAreBadReplies) {
    struct Case {
        const char* what;
        Bytes bytes;
        uint8_t status;
        uint32_t next;
    };
    std::vector<Case> cases;
    auto add = [&](const char* what, Bytes b, uint8_t status = 0, uint32_t next = 0) {
        cases.push_back({what, std::move(b), status, next});
    };
    {
        Bytes b;
        entry(b, 1, "A", 0x00C4);
        b.resize(b.size() - 1);
        add("entry one byte short", b);
    }
    {
        Bytes b;
        entry(b, 1, "A", 0x00C4);
        b.insert(b.end(), {1, 2, 3, 4, 5});
        add("five trailing bytes", b);
    }
    {
        Bytes b;
        entry(b, 1, "", 0x00C4);
        add("name length 0", b);
    }
    {
        Bytes b;
        entry(b, 1, std::string("A\0B", 3), 0x00C4);
        add("NUL inside a name", b);
    }
    {
        Bytes b;
        entry(b, 0xFFFFFFFF, "A", 0x00C4);
        add("instance 0xFFFFFFFF", b);
    }
    {
        Bytes b;
        entry(b, 4, "A", 0x00C4);
        entry(b, 4, "B", 0x00C4);
        add("repeated instance", b);
    }
    {
        Bytes b;
        entry(b, 4, "A", 0x00C4);
        entry(b, 3, "B", 0x00C4);
        add("falling instance", b);
    }
    {
        Bytes b;
        entry(b, 6, "A", 0x00C4);
        add("instance below the one asked for", b, 0, 7);
    }
    {
        Bytes b;
        put32(b, 1);
        put16(b, 0xFFFF); // name length running far past the page
        add("name length past the end", b);
    }
    add("partial page without entries", {}, 6);
    {
        Bytes b;
        entry(b, 1, "A", 0x10C4);
        entry(b, 2, "B", 0x00C4);
        b.resize(b.size() - 3);
        add("partial page ending in a broken entry", b, 6);
    }
    for (const auto& c : cases) {
        Page page;
        page.next = c.next;
        EXPECT_EQ(page.decode(c.status, c.bytes), ZELKC_LOGIX_ERR_BAD_REPLY) << c.what;
    }
    Page page;
    EXPECT_EQ(page.decode(5, {}), ZELKC_LOGIX_ERR_DEVICE);
    EXPECT_EQ(page.decode(0x1E, {}), ZELKC_LOGIX_ERR_DEVICE);
}

TEST(LogixBrowsePage, PartialPageOfOnlyLeftOutEntriesStillProgresses) {
    Page page;
    Bytes b;
    entry(b, 3, "__CONTAINER", 0x00C4);
    EXPECT_EQ(page.decode(6, b), ZELKC_LOGIX_OK);
    EXPECT_EQ(page.list.count, 0u);
    EXPECT_EQ(page.next, 4u);
}

TEST(LogixBrowsePage, ListStopsAtTheLimit) {
    Page page;
    Bytes b;
    for (uint32_t i = 0; i < ZELKC_LOGIX_MAX_TAG_INFOS; ++i) {
        entry(b, i, "T", 0x00C4);
    }
    ASSERT_EQ(page.decode(6, b), ZELKC_LOGIX_OK);
    EXPECT_EQ(page.list.count, ZELKC_LOGIX_MAX_TAG_INFOS);
    // Left-out symbols do not count against the limit; the next listed one does.
    Bytes more;
    entry(more, ZELKC_LOGIX_MAX_TAG_INFOS, "Sys", 0x10C4);
    entry(more, ZELKC_LOGIX_MAX_TAG_INFOS + 1, "T", 0x00C4);
    EXPECT_EQ(page.decode(0, more), ZELKC_LOGIX_ERR_LIMIT);
}

} // namespace
