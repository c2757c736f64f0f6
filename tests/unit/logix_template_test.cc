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

Bytes hex(std::string text) {
    std::erase(text, ' ');
    Bytes b;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        b.push_back(uint8_t(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return b;
}

TEST(LogixTemplateAttributes, ChecksLayoutStatusAndSizes) {
    // Count 2, attribute 4 (status, size in words), attribute 2 (status, member count).
    const struct {
        uint8_t status;
        const char* reply;
        uint8_t expected;
        uint32_t bytes = 0;
        uint16_t members = 0;
    } cases[] = {
        {0, "0200 0400 0000 14000000 0200 0000 0300", ZELKC_LOGIX_OK, 20 * 4 - 23, 3},
        {0, "0200 0400 0000 05000400 0200 0000 0100", ZELKC_LOGIX_OK, 0x40005 * 4 - 23, 1}, // the largest
        {0, "0200 0400 0000 0A000000 0200 0000 0200", ZELKC_LOGIX_OK, 17, 2}, // 2 members and a name in 17
        {0, "0200 0400 0000 0A000000 0200 0000 0300", ZELKC_LOGIX_ERR_BAD_REPLY}, // not 3
        {0, "0200 0400 0000 05000000 0200 0000 0000", ZELKC_LOGIX_ERR_BAD_REPLY},
        {0, "0200 0400 0000 06000000 0200 0000 FFFF", ZELKC_LOGIX_ERR_BAD_REPLY},
        {0, "0200 0400 0000 06000400 0200 0000 0000", ZELKC_LOGIX_ERR_LIMIT},
        {0, "0200 0400 0000 FFFFFFFF 0200 0000 0000", ZELKC_LOGIX_ERR_LIMIT}, // size overflows
        {8, "0200 0400 0000 14000000 0200 0000 0300", ZELKC_LOGIX_ERR_DEVICE},
        {0, "0300 0400 0000 14000000 0200 0000 0300", ZELKC_LOGIX_ERR_BAD_REPLY},
        {0, "0200 0200 0000 14000000 0400 0000 0300", ZELKC_LOGIX_ERR_BAD_REPLY}, // ids swapped
        {0, "0200 0400 0500 14000000 0200 0000 0300", ZELKC_LOGIX_ERR_DEVICE},
        {0, "0200 0400 0000 14000000 0200 0500 0300", ZELKC_LOGIX_ERR_DEVICE},
        {0, "0200 0400 0000 14000000 0200 0000 0300 00", ZELKC_LOGIX_ERR_BAD_REPLY},
        {0, "0200 0400 0000 14000000 0200 0000 03", ZELKC_LOGIX_ERR_BAD_REPLY},
        {0, "", ZELKC_LOGIX_ERR_BAD_REPLY},
    };
    for (const auto& c : cases) {
        const Bytes exact = hex(c.reply);
        uint32_t bytes = 0;
        uint16_t members = 0;
        EXPECT_EQ(zelkc_logix_template_attributes_decode(c.status, exact.empty() ? nullptr : exact.data(),
                                                         uint32_t(exact.size()), &bytes, &members),
                  c.expected)
            << c.reply;
        EXPECT_EQ(bytes, c.bytes) << c.reply;
        EXPECT_EQ(members, c.members) << c.reply;
    }
}

// A definition of `size` bytes read in fragments; each reply's bytes are the offset's low byte.
struct Fragments {
    Bytes definition;
    zelkc_logix_template_read read{};
    bool done = false;
    explicit Fragments(uint32_t size) : definition(size) {
        read.definition = definition.data();
        read.size = size;
    }
    uint8_t take(uint8_t status, uint32_t bytes) {
        Bytes data(bytes, uint8_t(read.offset));
        return zelkc_logix_template_fragment_accept(&read, zelkc_logix_template_read_ask(&read), status,
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
    EXPECT_EQ(split.definition[59], 0);
    EXPECT_EQ(split.definition[60], 60); // the second fragment lands at its offset
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

// Decodes a definition of `members` members as "name;members..." text, or as the result code.
std::string decode(const std::string& definition, uint16_t members) {
    const Bytes exact = hex(definition);
    char* name = reinterpret_cast<char*>(1);
    zelkc_logix_tag_info_list list{};
    const uint8_t rc = zelkc_logix_template_definition_decode(exact.empty() ? nullptr : exact.data(),
                                                              uint32_t(exact.size()), members, &name, &list);
    if (rc != ZELKC_LOGIX_OK) {
        EXPECT_TRUE(name == nullptr && list.items == nullptr && list.count == 0);
        return "rc " + std::to_string(rc);
    }
    std::string text = name;
    for (uint32_t i = 0; i < list.count; ++i) {
        const zelkc_logix_tag_info& m = list.items[i];
        text += " " + std::to_string(m.id) + ":" + m.name + ":" + std::to_string(m.symbol_type) + ":" +
                std::to_string(m.dims[0]) + ":" + std::to_string(m.dims[1]) + ":" + std::to_string(m.dims[2]);
    }
    zelkc_cip_free(name);
    zelkc_logix_tag_info_list_free(&list);
    return text;
}

TEST(LogixTemplateDefinition, MembersHiddenHostsNamesAndMalformedDefinitions) {
    // Member infos (element count or bit, type, offset), the name string, the member names.
    const std::string motor = "0000 C200 00000000  0000 C100 00000000  0100 C100 00000000  "
                              "0000 C200 01000000  0A00 C420 04000000  0000 2381 2C000000  "
                              "0000 C300 40000000  0000 C200 44000000 "
                              "4D6F746F723B6E2065787472 00 " // "Motor;n extra"
                              "5A5A5A5A5A5A5A5A5A5A4D00 5275 6E00 4661756C7400 " // hidden host, Run, Fault
                              "5A5A5A5A5A5A5A5A5A597800 436F756E747300 496E6E657200 " // ZZZZZZZZZYx Counts Inner
                              "5A5A5A5A5A5A5A5A5A5A00 5A5A5A5A5A5A5A5A5A5A00 7879"; // INT ZZZZZZZZZZ, SINT host
    const std::pair<std::string, std::string> cases[] = {
        {motor, "Motor 1:Run:193:0:0:0 2:Fault:193:0:0:0 3:ZZZZZZZZZYx:194:0:0:0 4:Counts:8388:10:0:0 "
                "5:Inner:33059:0:0:0 6:ZZZZZZZZZZ:195:0:0:0"},
        {"0000 C400 00000000 5200 C220 04000000 535452494E473B78 00 4C454E00 4441544100", "STRING 0:LEN:196:0:0:0 "
                                                                                          "1:DATA:8386:82:0:0"},
        {"456D70747900", "Empty"},
        {"0000 C200 00000000 4800 5A5A5A5A5A5A5A5A5A5A6100", "H"}, // hidden members only
        {"0000 C440 00000000 5400 4D00", "rc 19"},                  // 2-D member
        {"0000 C460 00000000 5400 4D00", "rc 19"},
        {"3B7800", "rc 5"},        // empty type name
        {"00", "rc 5"},            // empty name string
        {"4E616D65", "rc 5"},      // unterminated name string
        {"0000 C400 00000000 0000 C400 00000000 5400", "rc 5"},       // no member names
        {"0000 C400 00000000 0000 C400 00000000 5400 4100 42", "rc 5"}, // last one unterminated
        {"0000 C400 00000000 0000 C400 00000000 5400 4100 00", "rc 5"}, // an empty one
        {"0000 C400 00000000", "rc 5"},                                 // nothing beyond the infos
    };
    const uint16_t counts[] = {8, 2, 0, 1, 1, 1, 0, 0, 0, 2, 2, 2, 1};
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(decode(cases[i].first, counts[i]), cases[i].second) << i;
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
    // Template `id` named `name` with members of the given types, named "M<index>".
    void add(uint32_t id, const char* name, const std::vector<uint16_t>& types) {
        auto* e = new zelkc_logix_template_entry{};
        e->info.type_name = logix_strndup(name, std::strlen(name));
        e->members.count = uint32_t(types.size());
        e->members.items = static_cast<zelkc_logix_tag_info*>(
            types.empty() ? nullptr : zelkc_cip_alloc(types.size() * sizeof(zelkc_logix_tag_info)));
        for (size_t i = 0; i < types.size(); ++i) {
            e->members.items[i] = zelkc_logix_tag_info{uint32_t(i), types[i], logix_strndup("M", 1), {}, nullptr, 0, nullptr};
        }
        slots[id] = e;
    }
    // Expands a tag of template `id` with `total` infos counted before it; no client, so every
    // template needed must be in the cache.
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
        cache.add(id, "Level", {uint16_t(0x8000 | (id + 1))});
    }
    cache.add(65, "Leaf", {0x00C4});
    cache.add(100, "Loop", {0x00C4, 0x8065, 0x00C4});
    cache.add(101, "Back", {0x8064});
    cache.add(102, "Five", std::vector<uint16_t>(5, 0x00C4));
    cache.add(103, "Nothing", {});
    Tag empty, deep, deeper, loop, full, over;
    uint32_t total = 1;
    ASSERT_EQ(cache.expand(&empty, 103, &total), ZELKC_LOGIX_OK); // the type name and no children
    EXPECT_STREQ(empty.type_name, "Nothing");
    EXPECT_EQ(empty.children, nullptr);
    EXPECT_EQ(total, 1u);
    // From template 2 the structure member of template 65 sits at depth 63, its DINT at 64;
    // from template 1 at depth 64: refused.
    EXPECT_EQ(cache.expand(&deep, 2, &total), ZELKC_LOGIX_OK);
    EXPECT_EQ(total, 1u + 64u);
    EXPECT_STREQ(deep.children[0].children[0].type_name, "Level");
    EXPECT_EQ(cache.expand(&deeper, 1, &total), ZELKC_LOGIX_ERR_LIMIT);
    // A self-containing structure; what was built so far stays counted and releasable.
    EXPECT_EQ(cache.expand(&loop, 100, &total), ZELKC_LOGIX_ERR_BAD_REPLY);
    EXPECT_EQ(loop.child_count, 2u);
    // Five members fill the result exactly to the limit; one info more is refused.
    total = ZELKC_LOGIX_MAX_TAG_INFOS - 5;
    EXPECT_EQ(cache.expand(&full, 102, &total), ZELKC_LOGIX_OK);
    EXPECT_EQ(total, ZELKC_LOGIX_MAX_TAG_INFOS);
    total = ZELKC_LOGIX_MAX_TAG_INFOS - 4;
    EXPECT_EQ(cache.expand(&over, 102, &total), ZELKC_LOGIX_ERR_LIMIT);
}

} // namespace
