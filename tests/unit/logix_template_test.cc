// Template decoding on hand-built bytes (attribute reply, definition fragments, definition) and
// member expansion through a pre-filled template cache (no controller needed when every template
// is cached): hidden members, type names, self-containing structures, depth and size limits.
#include <gtest/gtest.h>

#include <cstring>
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

// The reply to the attribute request: count, then attribute 4 (words) and attribute 2 (members).
Bytes attributes(uint32_t words, uint16_t members, uint16_t count = 2, uint16_t id1 = 4, uint16_t status1 = 0,
                 uint16_t id2 = 2, uint16_t status2 = 0) {
    Bytes b;
    for (uint32_t v : {uint32_t(count), uint32_t(id1), uint32_t(status1)}) {
        put(b, v, 2);
    }
    put(b, words, 4);
    for (uint32_t v : {uint32_t(id2), uint32_t(status2), uint32_t(members)}) {
        put(b, v, 2);
    }
    return b;
}

TEST(LogixTemplateAttributes, ChecksLayoutStatusAndSizes) {
    struct Case {
        const char* what;
        uint8_t status;
        Bytes reply;
        uint8_t expected;
        uint32_t bytes = 0;
    };
    Bytes longer = attributes(20, 3), shorter = attributes(20, 3);
    longer.push_back(0);
    shorter.pop_back();
    const Case cases[] = {
        {"20 words", 0, attributes(20, 3), ZELKC_LOGIX_OK, 20 * 4 - 23},
        {"largest size", 0, attributes(0x40005, 1), ZELKC_LOGIX_OK, 0x40005 * 4 - 23},
        // 10 words give 17 definition bytes: room for 2 members (16 bytes) and a name, not for 3.
        {"2 members in 10 words", 0, attributes(10, 2), ZELKC_LOGIX_OK, 17},
        {"3 members in 10 words", 0, attributes(10, 3), ZELKC_LOGIX_ERR_BAD_REPLY},
        {"5 words", 0, attributes(5, 0), ZELKC_LOGIX_ERR_BAD_REPLY},
        {"0xFFFF members", 0, attributes(6, 0xFFFF), ZELKC_LOGIX_ERR_BAD_REPLY},
        {"too large", 0, attributes(0x40006, 0), ZELKC_LOGIX_ERR_LIMIT},
        {"size overflows", 0, attributes(0xFFFFFFFF, 0), ZELKC_LOGIX_ERR_LIMIT},
        {"status 8", 8, attributes(20, 3), ZELKC_LOGIX_ERR_DEVICE},
        {"count 3", 0, attributes(20, 3, 3), ZELKC_LOGIX_ERR_BAD_REPLY},
        {"ids swapped", 0, attributes(20, 3, 2, 2, 0, 4), ZELKC_LOGIX_ERR_BAD_REPLY},
        {"attribute 4 failed", 0, attributes(20, 3, 2, 4, 5), ZELKC_LOGIX_ERR_DEVICE},
        {"attribute 2 failed", 0, attributes(20, 3, 2, 4, 0, 2, 5), ZELKC_LOGIX_ERR_DEVICE},
        {"one byte longer", 0, longer, ZELKC_LOGIX_ERR_BAD_REPLY},
        {"one byte shorter", 0, shorter, ZELKC_LOGIX_ERR_BAD_REPLY},
        {"empty", 0, {}, ZELKC_LOGIX_ERR_BAD_REPLY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes exact(c.reply);
        uint32_t bytes = 0;
        uint16_t members = 0;
        ASSERT_EQ(zelkc_logix_template_attributes_decode(c.status, exact.empty() ? nullptr : exact.data(),
                                                         uint32_t(exact.size()), &bytes, &members),
                  c.expected);
        if (c.expected == ZELKC_LOGIX_OK) {
            EXPECT_EQ(bytes, c.bytes);
            EXPECT_EQ(members, c.reply[14]);
        }
    }
}

struct Fragments {
    Bytes definition;
    zelkc_logix_template_read read{};
    bool done = false;
    explicit Fragments(uint32_t size) : definition(size) {
        read.definition = definition.data();
        read.size = size;
    }
    uint8_t take(uint8_t status, uint32_t bytes) {
        const uint32_t asked = zelkc_logix_template_read_ask(&read);
        Bytes data(bytes, 0xAB);
        return zelkc_logix_template_fragment_accept(&read, asked, status,
                                                    data.empty() ? nullptr : data.data(), bytes, &done);
    }
};

TEST(LogixTemplateFragments, PartialReadsAndTheirEnd) {
    Fragments split(100);
    ASSERT_EQ(split.take(6, 60), ZELKC_LOGIX_OK);
    EXPECT_FALSE(split.done);
    EXPECT_EQ(zelkc_logix_template_read_ask(&split.read), 40u);
    ASSERT_EQ(split.take(0, 40), ZELKC_LOGIX_OK);
    EXPECT_TRUE(split.done);
    EXPECT_EQ(split.read.offset, 100u);

    Fragments early(100); // status 0 with fewer bytes than asked ends the read
    ASSERT_EQ(early.take(0, 30), ZELKC_LOGIX_OK);
    EXPECT_TRUE(early.done);
    EXPECT_EQ(early.read.offset, 30u);

    EXPECT_EQ(Fragments(100).take(6, 100), ZELKC_LOGIX_ERR_BAD_REPLY); // partial although complete
    EXPECT_EQ(Fragments(100).take(0, 0), ZELKC_LOGIX_ERR_BAD_REPLY);
    EXPECT_EQ(Fragments(100).take(0, 101), ZELKC_LOGIX_ERR_BAD_REPLY); // overshoot
    EXPECT_EQ(Fragments(100).take(5, 10), ZELKC_LOGIX_ERR_DEVICE);

    // Above 65535 bytes the first request is capped, and a full answer with status 0 does not end
    // the read while bytes remain.
    Fragments big(70000);
    EXPECT_EQ(zelkc_logix_template_read_ask(&big.read), 65535u);
    ASSERT_EQ(big.take(0, 65535), ZELKC_LOGIX_OK);
    EXPECT_FALSE(big.done);
    EXPECT_EQ(zelkc_logix_template_read_ask(&big.read), 70000u - 65535u);
    ASSERT_EQ(big.take(0, 70000 - 65535), ZELKC_LOGIX_OK);
    EXPECT_TRUE(big.done);
}

struct Member {
    uint16_t info;
    uint16_t type;
    std::string name;
};

Bytes definition(const std::vector<Member>& members, const std::string& name_string, bool names = true) {
    Bytes b;
    uint32_t offset = 0;
    for (const auto& m : members) {
        put(b, m.info, 2);
        put(b, m.type, 2);
        put(b, offset, 4);
        offset += 4;
    }
    b.insert(b.end(), name_string.begin(), name_string.end());
    b.push_back(0);
    for (const auto& m : members) {
        if (names) {
            b.insert(b.end(), m.name.begin(), m.name.end());
            b.push_back(0);
        }
    }
    return b;
}

struct Decoded {
    uint8_t result;
    std::string name;
    std::vector<std::string> members;
    std::vector<uint32_t> ids, dims;
    std::vector<uint16_t> types;
};

Decoded decode_definition(Bytes exact, uint16_t member_count) {
    char* name = reinterpret_cast<char*>(1);
    zelkc_logix_tag_info_list list{};
    Decoded d;
    d.result = zelkc_logix_template_definition_decode(exact.empty() ? nullptr : exact.data(),
                                                      uint32_t(exact.size()), member_count, &name, &list);
    if (d.result != ZELKC_LOGIX_OK) {
        EXPECT_EQ(name, nullptr);
        EXPECT_EQ(list.items, nullptr);
        EXPECT_EQ(list.count, 0u);
        return d;
    }
    d.name = name;
    for (uint32_t i = 0; i < list.count; ++i) {
        d.members.emplace_back(list.items[i].name);
        d.ids.push_back(list.items[i].id);
        d.types.push_back(list.items[i].symbol_type);
        d.dims.push_back(list.items[i].dims[0]);
    }
    zelkc_cip_free(name);
    zelkc_logix_tag_info_list_free(&list);
    return d;
}

TEST(LogixTemplateDefinition, MembersHiddenHostsAndNames) {
    const std::vector<Member> members = {
        {0, 0x00C2, "ZZZZZZZZZZMotor0"}, // hidden host of the BOOLs
        {0, 0x00C1, "Run"},
        {1, 0x00C1, "Fault"},
        {0, 0x00C2, "ZZZZZZZZZYx"}, // nine Z and another character: listed
        {10, 0x20C4, "Counts"},
        {0, 0x8123, "Inner"},
        {0, 0x00C3, "ZZZZZZZZZZ"}, // not a SINT: listed
    };
    Bytes trailing = definition(members, "Motor;n extra");
    trailing.insert(trailing.end(), {'x', 'y'}); // bytes after the last member name are ignored
    Decoded d = decode_definition(trailing, uint16_t(members.size()));
    ASSERT_EQ(d.result, ZELKC_LOGIX_OK);
    EXPECT_EQ(d.name, "Motor");
    EXPECT_EQ(d.members,
              (std::vector<std::string>{"Run", "Fault", "ZZZZZZZZZYx", "Counts", "Inner", "ZZZZZZZZZZ"}));
    EXPECT_EQ(d.ids, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(d.types, (std::vector<uint16_t>{0xC1, 0xC1, 0xC2, 0x20C4, 0x8123, 0xC3}));
    EXPECT_EQ(d.dims, (std::vector<uint32_t>{0, 0, 0, 10, 0, 0})); // only a 1-D array keeps its count

    EXPECT_EQ(decode_definition(definition({{0, 0x00C4, "LEN"}, {82, 0x20C2, "DATA"}}, "STRING;x"), 2).name,
              "STRING");
    Decoded empty = decode_definition(definition({}, "Empty"), 0);
    EXPECT_EQ(empty.name, "Empty");
    EXPECT_TRUE(empty.members.empty());
    Decoded hidden_only = decode_definition(definition({{0, 0x00C2, "ZZZZZZZZZZa"}}, "H"), 1);
    ASSERT_EQ(hidden_only.result, ZELKC_LOGIX_OK);
    EXPECT_TRUE(hidden_only.members.empty());
}

TEST(LogixTemplateDefinition, MalformedDefinitions) {
    const std::vector<Member> two = {{0, 0xC4, "A"}, {0, 0xC4, "B"}};
    Bytes no_nul = definition({}, "Name");
    no_nul.pop_back();
    Bytes last_unterminated = definition(two, "T");
    last_unterminated.pop_back();
    Bytes info_only = definition({{0, 0xC4, "A"}}, "T");
    info_only.resize(8); // received bytes not beyond the member info
    const struct {
        const char* what;
        Bytes bytes;
        uint16_t members;
        uint8_t expected;
    } cases[] = {
        {"2-D member", definition({{0, 0x40C4, "M"}}, "T"), 1, ZELKC_LOGIX_ERR_NOT_SUPPORTED},
        {"3-D member", definition({{0, 0x60C4, "M"}}, "T"), 1, ZELKC_LOGIX_ERR_NOT_SUPPORTED},
        {"empty type name", definition({}, ";x"), 0, ZELKC_LOGIX_ERR_BAD_REPLY},
        {"empty name string", definition({}, ""), 0, ZELKC_LOGIX_ERR_BAD_REPLY},
        {"unterminated name string", no_nul, 0, ZELKC_LOGIX_ERR_BAD_REPLY},
        {"no member names", definition(two, "T", false), 2, ZELKC_LOGIX_ERR_BAD_REPLY},
        {"last member name unterminated", last_unterminated, 2, ZELKC_LOGIX_ERR_BAD_REPLY},
        {"empty member name", definition({{0, 0xC4, "A"}, {0, 0xC4, ""}}, "T"), 2, ZELKC_LOGIX_ERR_BAD_REPLY},
        {"member info only", info_only, 1, ZELKC_LOGIX_ERR_BAD_REPLY},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decode_definition(c.bytes, c.members).result, c.expected) << c.what;
    }
}

// A template cache filled by hand, released like the expansion releases it.
struct Cache {
    std::vector<zelkc_logix_template_entry*> slots = std::vector<zelkc_logix_template_entry*>(4096, nullptr);
    ~Cache() {
        for (auto* e : slots) {
            if (e != nullptr) {
                zelkc_logix_tag_info_free(&e->info);
                zelkc_logix_tag_info_list_free(&e->members);
                delete e;
            }
        }
    }
    void add(uint32_t id, const char* name, const std::vector<Member>& members) {
        auto* e = new zelkc_logix_template_entry{};
        e->info.symbol_type = uint16_t(0x8000 | id);
        e->info.type_name = logix_strndup(name, std::strlen(name));
        e->members.count = uint32_t(members.size());
        e->members.items = static_cast<zelkc_logix_tag_info*>(
            members.empty() ? nullptr : zelkc_cip_alloc(members.size() * sizeof(zelkc_logix_tag_info)));
        for (size_t i = 0; i < members.size(); ++i) {
            zelkc_logix_tag_info& m = e->members.items[i];
            std::memset(&m, 0, sizeof m);
            m.id = uint32_t(i);
            m.symbol_type = members[i].type;
            m.dims[0] = members[i].info;
            m.name = logix_strndup(members[i].name.data(), members[i].name.size());
        }
        slots[id] = e;
    }
    // Expands a tag of template `id`; no client, so every template needed must be in the cache.
    uint8_t expand(zelkc_logix_tag_info* tag, uint32_t id, uint32_t* total) {
        tag->symbol_type = uint16_t(0x8000 | id);
        tag->name = logix_strndup("Tag", 3);
        uint8_t refused[ZELKC_LOGIX_TEMPLATE_SLOTS] = {};
        logix_expansion x{slots.data(), refused, *total, 0};
        const uint8_t rc = expand_tag(nullptr, tag, &x, 0);
        *total = x.total;
        return rc;
    }
};

struct Tag : zelkc_logix_tag_info {
    Tag() : zelkc_logix_tag_info{} {}
    ~Tag() { zelkc_logix_tag_info_free(this); }
};

TEST(LogixExpansion, EmptyTemplatesLoopsDepthAndSizeLimits) {
    Cache cache;
    // Template i (1..64) holds one member of template i+1; template 65 holds a DINT.
    for (uint32_t id = 1; id <= 64; ++id) {
        cache.add(id, "Level", {{0, uint16_t(0x8000 | (id + 1)), "Next"}});
    }
    cache.add(65, "Leaf", {{0, 0x00C4, "Value"}});
    cache.add(100, "Loop", {{0, 0x00C4, "A"}, {0, 0x8065, "B"}});
    cache.add(101, "Back", {{0, 0x8064, "C"}});
    cache.add(102, "Five", std::vector<Member>(5, Member{0, 0x00C4, "M"}));
    cache.add(103, "Nothing", {});
    {
        Tag t; // an empty template gives the type name and no children
        uint32_t total = 1;
        ASSERT_EQ(cache.expand(&t, 103, &total), ZELKC_LOGIX_OK);
        EXPECT_STREQ(t.type_name, "Nothing");
        EXPECT_EQ(t.children, nullptr);
        EXPECT_EQ(total, 1u);
    }
    {
        // From template 2 the structure member of template 65 sits at depth 63, its DINT at 64.
        Tag t;
        uint32_t total = 1;
        EXPECT_EQ(cache.expand(&t, 2, &total), ZELKC_LOGIX_OK);
        Tag deeper; // from template 1 the structure of template 65 sits at depth 64: refused
        EXPECT_EQ(cache.expand(&deeper, 1, &total), ZELKC_LOGIX_ERR_LIMIT);
    }
    {
        Tag t; // a self-containing structure; what was built so far stays counted and releasable
        uint32_t total = 1;
        EXPECT_EQ(cache.expand(&t, 100, &total), ZELKC_LOGIX_ERR_BAD_REPLY);
        EXPECT_EQ(t.child_count, 2u);
    }
    {
        Tag t; // five members fill the result exactly to the limit; one info more is refused
        uint32_t total = ZELKC_LOGIX_MAX_TAG_INFOS - 5;
        EXPECT_EQ(cache.expand(&t, 102, &total), ZELKC_LOGIX_OK);
        EXPECT_EQ(total, ZELKC_LOGIX_MAX_TAG_INFOS);
        Tag over;
        total = ZELKC_LOGIX_MAX_TAG_INFOS - 4;
        EXPECT_EQ(cache.expand(&over, 102, &total), ZELKC_LOGIX_ERR_LIMIT);
    }
}

} // namespace
