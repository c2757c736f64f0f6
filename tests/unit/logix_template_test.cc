// Template decoding on hand-built bytes, one hex string per reply (attribute reply, definition
// fragments, definition), and member expansion through a pre-filled template cache (no controller
// needed when every template is cached): self-containing structures, depth and size limits.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../support/hex.h"
#include "logix_internal.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(LogixTemplateAttributes, ChecksLayoutStatusAndSizes) {
    // Count 2, attribute 4 (status, size in words), attribute 2 (status, member count); the result,
    // then the definition bytes and member count on success.
    const std::tuple<uint8_t, const char*, uint8_t, uint32_t, uint16_t> cases[] = {
        {0, "0200 0400 0000 14000000 0200 0000 0300", ZELKC_LOGIX_OK, 20 * 4 - 23, 3},
        {0, "0200 0400 0000 05000400 0200 0000 0100", ZELKC_LOGIX_OK, 0x40005 * 4 - 23, 1}, // the largest
        {0, "0200 0400 0000 0A000000 0200 0000 0200", ZELKC_LOGIX_OK, 17, 2}, // 2 members and a name in 17
        {0, "0200 0400 0000 0A000000 0200 0000 0300", ZELKC_LOGIX_ERR_BAD_REPLY, 0, 0}, // not 3
        {0, "0200 0400 0000 05000000 0200 0000 0000", ZELKC_LOGIX_ERR_BAD_REPLY, 0, 0},
        {0, "0200 0400 0000 06000400 0200 0000 0000", ZELKC_LOGIX_ERR_LIMIT, 0, 0},
        {0, "0200 0400 0000 FFFFFFFF 0200 0000 0000", ZELKC_LOGIX_ERR_LIMIT, 0, 0}, // size overflows
        {8, "0200 0400 0000 14000000 0200 0000 0300", ZELKC_LOGIX_ERR_DEVICE, 0, 0},
        {0, "0200 0200 0000 14000000 0400 0000 0300", ZELKC_LOGIX_ERR_BAD_REPLY, 0, 0}, // ids swapped
        {0, "0200 0400 0000 14000000 0200 0500 0300", ZELKC_LOGIX_ERR_DEVICE, 0, 0},
        {0, "0200 0400 0000 14000000 0200 0000 0300 00", ZELKC_LOGIX_ERR_BAD_REPLY, 0, 0},
        {0, "0200 0400 0000 14000000 0200 0000 03", ZELKC_LOGIX_ERR_BAD_REPLY, 0, 0},
    };
    for (const auto& [status, reply, expected, definition_bytes, member_count] : cases) {
        const Bytes exact = hex(reply);
        uint32_t bytes = 0;
        uint16_t members = 0;
        EXPECT_EQ(zelkc_logix_template_attributes_decode(status, exact.empty() ? nullptr : exact.data(),
                                                         uint32_t(exact.size()), &bytes, &members),
                  expected)
            << reply;
        EXPECT_EQ(std::pair(bytes, members), std::pair(definition_bytes, member_count)) << reply;
    }
}

// A definition of `size` bytes read in fragments; each fragment's bytes are its offset's low byte.
struct Fragments {
    Bytes definition;
    zelkc_logix_template_read read{};
    bool done = false;
    explicit Fragments(uint32_t size) : definition(size) { read = {definition.data(), size, 0, 0}; }
    uint8_t take(uint8_t status, uint32_t bytes) {
        Bytes data(bytes, uint8_t(read.offset));
        return zelkc_logix_template_fragment_accept(&read, zelkc_logix_template_read_ask(&read), status,
                                                    data.empty() ? nullptr : data.data(), bytes, &done);
    }
};

TEST(LogixTemplateFragments, PartialReadsAndTheirEnd) {
    Fragments split(100), big(70000);
    ASSERT_EQ(split.take(6, 60), ZELKC_LOGIX_OK);
    ASSERT_EQ(split.take(0, 40), ZELKC_LOGIX_OK);
    EXPECT_TRUE(split.done);
    EXPECT_EQ(Bytes(&split.definition[59], &split.definition[61]), Bytes({0, 60})); // each at its offset
    // Partial although complete, empty, overshooting, an error status.
    EXPECT_EQ(std::vector<uint8_t>({Fragments(100).take(6, 100), Fragments(100).take(0, 0), Fragments(100).take(0, 101),
                                    Fragments(100).take(5, 10)}),
              std::vector<uint8_t>({5, 5, 5, 7}));
    // Above 65535 bytes the request is capped, and a full answer with status 0 does not end the
    // read while bytes remain.
    ASSERT_EQ(big.take(0, 65535), ZELKC_LOGIX_OK);
    EXPECT_FALSE(big.done);
    EXPECT_EQ(zelkc_logix_template_read_ask(&big.read), 70000u - 65535u);
    ASSERT_EQ(big.take(0, 70000 - 65535), ZELKC_LOGIX_OK);
    EXPECT_TRUE(big.done);
    // A device that answers in fragments far smaller than asked is cut off: 8 fragments plus one
    // for every 64 bytes, here 8 + 6 = 14 of 10 bytes for 400, then the reply counts as malformed.
    Fragments drip(400);
    uint8_t rc = ZELKC_LOGIX_OK;
    int taken = 0;
    while (rc == ZELKC_LOGIX_OK && !drip.done)
        rc = drip.take(6, 10), ++taken;
    EXPECT_EQ(std::pair(rc, taken), std::pair(uint8_t(ZELKC_LOGIX_ERR_BAD_REPLY), 15));
}

// Decodes a definition of `members` members as "name id:name:type:count..." text, or the result.
std::string decode(const std::string& definition, uint16_t members) {
    const Bytes exact = hex(definition);
    char* name = reinterpret_cast<char*>(1);
    zelkc_logix_tag_info_list list{};
    const uint8_t rc = zelkc_logix_template_definition_decode(exact.empty() ? nullptr : exact.data(),
                                                              uint32_t(exact.size()), members, &name, &list);
    EXPECT_TRUE(rc == ZELKC_LOGIX_OK || (name == nullptr && list.items == nullptr && list.count == 0));
    std::string text = rc != ZELKC_LOGIX_OK ? "rc " + std::to_string(rc) : name;
    for (uint32_t i = 0; i < list.count; ++i) {
        const zelkc_logix_tag_info& m = list.items[i];
        text += " " + std::to_string(m.id) + ":" + m.name + ":" + std::to_string(m.symbol_type) + ":" +
                std::to_string(m.dims[0] + m.dims[1] + m.dims[2]);
    }
    zelkc_cip_free(rc == ZELKC_LOGIX_OK ? name : nullptr);
    zelkc_logix_tag_info_list_free(&list);
    return text;
}

TEST(LogixTemplateDefinition, MembersHiddenHostsNamesAndMalformedDefinitions) {
    // Member infos (element count or bit, type, offset), the name string, the member names: a
    // hidden SINT host, Run and Fault (bits 0 and 1), ZZZZZZZZZYx, Counts[10], Inner, an INT and a
    // SINT named ZZZZZZZZZZ; trailing bytes.
    const std::string motor = "0000 C200 00000000  0000 C100 00000000  0100 C100 00000000  0000 C200 01000000 "
                              "0A00 C420 04000000  0000 2381 2C000000  0000 C300 40000000  0000 C200 44000000 "
                              "4D6F746F723B6E00 5A5A5A5A5A5A5A5A5A5A4D00 52756E00 4661756C7400 "
                              "5A5A5A5A5A5A5A5A5A597800 436F756E747300 496E6E657200 "
                              "5A5A5A5A5A5A5A5A5A5A00 5A5A5A5A5A5A5A5A5A5A00 7879";
    const std::tuple<std::string, uint16_t, std::string> cases[] = {
        {motor, 8, "Motor 1:Run:193:0 2:Fault:193:0 3:ZZZZZZZZZYx:194:0 4:Counts:8388:10 5:Inner:33059:0 "
                   "6:ZZZZZZZZZZ:195:0"},
        {"456D70747900", 0, "Empty"},
        {"0000 C200 00000000 4800 5A5A5A5A5A5A5A5A5A5A6100", 1, "H"}, // hidden members only
        {"0000 C440 00000000 5400 4D00", 1, "rc 19"},                  // 2-D member
        {"0000 C460 00000000 5400 4D00", 1, "rc 19"},                  // 3-D member
        {"3B7800", 0, "rc 5"}, {"00", 0, "rc 5"}, {"4E616D65", 0, "rc 5"}, // empty, empty, unterminated
        {"0000 C400 00000000 0000 C400 00000000 5400", 2, "rc 5"},     // no member names
        {"0000 C400 00000000 0000 C400 00000000 5400 4100 42", 2, "rc 5"}, // the last unterminated
        {"0000 C400 00000000 0000 C400 00000000 5400 4100 00", 2, "rc 5"}, // an empty one
        {"0000 C400 00000000", 1, "rc 5"},                                  // nothing beyond the infos
    };
    for (const auto& [definition, members, expected] : cases) {
        EXPECT_EQ(decode(definition, members), expected) << definition;
    }
}

// A template cache filled by hand: template `id` named `name` with members of the given types.
struct Cache {
    std::vector<zelkc_logix_template_entry> entries = std::vector<zelkc_logix_template_entry>(4096);
    std::vector<zelkc_logix_template_entry*> slots = std::vector<zelkc_logix_template_entry*>(4096, nullptr);
    ~Cache() {
        for (auto& e : entries) {
            zelkc_logix_tag_info_free(&e.info);
            zelkc_logix_tag_info_list_free(&e.members);
        }
    }
    void add(uint32_t id, const char* name, const std::vector<uint16_t>& types) {
        zelkc_logix_template_entry& e = entries[id];
        e.info.type_name = logix_strndup(name, std::strlen(name));
        e.members.count = uint32_t(types.size());
        e.members.items = static_cast<zelkc_logix_tag_info*>(
            types.empty() ? nullptr : zelkc_cip_alloc(types.size() * sizeof(zelkc_logix_tag_info)));
        for (size_t i = 0; i < types.size(); ++i) {
            e.members.items[i] = {uint32_t(i), types[i], logix_strndup("M", 1), {}, nullptr, 0, nullptr};
        }
        slots[id] = &e;
    }
    // Expands a tag of template `id` with `total` infos counted before it; no client, so every
    // template needed must be in the cache.
    uint8_t expand(uint32_t id, uint32_t* total, zelkc_logix_tag_info* tag) {
        *tag = {0, uint16_t(0x8000 | id), logix_strndup("Tag", 3), {}, nullptr, 0, nullptr};
        uint8_t refused[ZELKC_LOGIX_TEMPLATE_SLOTS] = {};
        logix_expansion x{slots.data(), refused, *total, 0};
        const uint8_t rc = expand_tag(nullptr, tag, &x, 0);
        *total = x.total;
        return rc;
    }
};

TEST(LogixExpansion, EmptyTemplatesLoopsDepthAndSizeLimits) {
    Cache cache;
    for (uint32_t id = 1; id <= 64; ++id) {
        cache.add(id, "Level", {uint16_t(0x8000 | (id + 1))}); // template i holds one of template i+1
    }
    cache.add(65, "Leaf", {0x00C4});
    cache.add(100, "Loop", {0x00C4, 0x8065, 0x00C4}); // template 101 holds template 100 again
    cache.add(101, "Back", {0x8064});
    cache.add(102, "Five", std::vector<uint16_t>(5, 0x00C4));
    cache.add(103, "Nothing", {});
    zelkc_logix_tag_info t[6] = {};
    uint32_t total = 1;
    ASSERT_EQ(cache.expand(103, &total, &t[0]), ZELKC_LOGIX_OK); // the type name and no children
    EXPECT_EQ(std::string(t[0].type_name) + std::to_string(t[0].child_count), "Nothing0");
    // From template 2 the structure member of template 65 sits at depth 63, its DINT at 64; from
    // template 1 at depth 64: refused.
    EXPECT_EQ(cache.expand(2, &total, &t[1]), ZELKC_LOGIX_OK);
    EXPECT_EQ(total, 1u + 64u);
    EXPECT_EQ(cache.expand(1, &total, &t[2]), ZELKC_LOGIX_ERR_LIMIT);
    // A self-containing structure; what was built so far stays counted and releasable.
    EXPECT_EQ(cache.expand(100, &total, &t[3]), ZELKC_LOGIX_ERR_BAD_REPLY);
    EXPECT_EQ(t[3].child_count, 2u);
    // Five members fill the result exactly to the limit; one info more is refused.
    total = ZELKC_LOGIX_MAX_TAG_INFOS - 5;
    EXPECT_EQ(cache.expand(102, &total, &t[4]), ZELKC_LOGIX_OK);
    EXPECT_EQ(total, ZELKC_LOGIX_MAX_TAG_INFOS);
    total = ZELKC_LOGIX_MAX_TAG_INFOS - 4;
    EXPECT_EQ(cache.expand(102, &total, &t[5]), ZELKC_LOGIX_ERR_LIMIT);
    for (zelkc_logix_tag_info& tag : t) {
        zelkc_logix_tag_info_free(&tag);
    }
}

} // namespace
