// Template decoding on hand-built bytes (attribute reply, definition fragments, definition) and
// member expansion through a pre-filled template cache (no controller needed when every template
// is cached): hidden members, type names, self-containing structures, depth and size limits,
// allocation failures.
#include <gtest/gtest.h>

#include <cstring>
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

Bytes attributes(uint32_t words, uint16_t members, uint16_t count = 2, uint16_t id1 = 4, uint16_t status1 = 0,
                 uint16_t id2 = 2, uint16_t status2 = 0) {
    Bytes b;
    put16(b, count);
    put16(b, id1);
    put16(b, status1);
    put32(b, words);
    put16(b, id2);
    put16(b, status2);
    put16(b, members);
    return b;
}

uint8_t decode_attributes(uint8_t status, const Bytes& b, uint32_t* bytes, uint16_t* members) {
    Bytes exact(b);
    return zelkc_logix_template_attributes_decode(status, exact.data(), uint32_t(exact.size()), bytes,
                                                  members);
}

TEST(LogixTemplateAttributes, ChecksLayoutStatusAndSizes) {
    uint32_t bytes = 0;
    uint16_t members = 0;
    ASSERT_EQ(decode_attributes(0, attributes(20, 3), &bytes, &members), ZELKC_LOGIX_OK);
    EXPECT_EQ(bytes, 20u * 4 - 23);
    EXPECT_EQ(members, 3);
    EXPECT_EQ(decode_attributes(0, attributes(0x40005, 1), &bytes, &members), ZELKC_LOGIX_OK);
    EXPECT_EQ(bytes, 0x40005u * 4 - 23);

    EXPECT_EQ(decode_attributes(0, attributes(5, 0), &bytes, &members), ZELKC_LOGIX_ERR_BAD_REPLY);
    EXPECT_EQ(decode_attributes(0, attributes(0x40006, 0), &bytes, &members), ZELKC_LOGIX_ERR_LIMIT);
    EXPECT_EQ(decode_attributes(0, attributes(0xFFFFFFFF, 0), &bytes, &members), ZELKC_LOGIX_ERR_LIMIT);
    // 10 words give 17 definition bytes: room for 2 members (16 bytes) and a name, not for 3.
    EXPECT_EQ(decode_attributes(0, attributes(10, 2), &bytes, &members), ZELKC_LOGIX_OK);
    EXPECT_EQ(decode_attributes(0, attributes(10, 3), &bytes, &members), ZELKC_LOGIX_ERR_BAD_REPLY);
    EXPECT_EQ(decode_attributes(0, attributes(6, 0xFFFF), &bytes, &members), ZELKC_LOGIX_ERR_BAD_REPLY);

    EXPECT_EQ(decode_attributes(8, attributes(20, 3), &bytes, &members), ZELKC_LOGIX_ERR_DEVICE);
    EXPECT_EQ(decode_attributes(0, attributes(20, 3, 3), &bytes, &members), ZELKC_LOGIX_ERR_BAD_REPLY);
    EXPECT_EQ(decode_attributes(0, attributes(20, 3, 2, 2, 0, 4), &bytes, &members),
              ZELKC_LOGIX_ERR_BAD_REPLY);
    EXPECT_EQ(decode_attributes(0, attributes(20, 3, 2, 4, 5), &bytes, &members), ZELKC_LOGIX_ERR_DEVICE);
    EXPECT_EQ(decode_attributes(0, attributes(20, 3, 2, 4, 0, 2, 5), &bytes, &members),
              ZELKC_LOGIX_ERR_DEVICE);
    Bytes longer = attributes(20, 3);
    longer.push_back(0);
    EXPECT_EQ(decode_attributes(0, longer, &bytes, &members), ZELKC_LOGIX_ERR_BAD_REPLY);
    Bytes shorter = attributes(20, 3);
    shorter.pop_back();
    EXPECT_EQ(decode_attributes(0, shorter, &bytes, &members), ZELKC_LOGIX_ERR_BAD_REPLY);
    EXPECT_EQ(zelkc_logix_template_attributes_decode(0, nullptr, 0, &bytes, &members),
              ZELKC_LOGIX_ERR_BAD_REPLY);
}

struct Fragments {
    Bytes definition;
    zelkc_logix_template_read read{};
    explicit Fragments(uint32_t size) : definition(size) {
        read.definition = definition.data();
        read.size = size;
    }
    uint8_t take(uint8_t status, uint32_t bytes, bool* done) {
        const uint32_t asked = zelkc_logix_template_read_ask(&read);
        Bytes data(bytes, 0xAB);
        return zelkc_logix_template_fragment_accept(&read, asked, status,
                                                    data.empty() ? nullptr : data.data(), bytes, done);
    }
};

TEST(LogixTemplateFragments, PartialReadsAndTheirEnd) {
    bool done = false;
    {
        Fragments f(100);
        ASSERT_EQ(f.take(6, 60, &done), ZELKC_LOGIX_OK);
        EXPECT_FALSE(done);
        EXPECT_EQ(zelkc_logix_template_read_ask(&f.read), 40u);
        ASSERT_EQ(f.take(0, 40, &done), ZELKC_LOGIX_OK);
        EXPECT_TRUE(done);
        EXPECT_EQ(f.read.offset, 100u);
    }
    {
        Fragments f(100); // status 0 with fewer bytes than asked ends the read
        ASSERT_EQ(f.take(0, 30, &done), ZELKC_LOGIX_OK);
        EXPECT_TRUE(done);
        EXPECT_EQ(f.read.offset, 30u);
    }
    {
        Fragments f(100); // partial although the last byte arrived
        EXPECT_EQ(f.take(6, 100, &done), ZELKC_LOGIX_ERR_BAD_REPLY);
    }
    {
        Fragments f(100);
        EXPECT_EQ(f.take(0, 0, &done), ZELKC_LOGIX_ERR_BAD_REPLY);
        EXPECT_EQ(f.take(0, 101, &done), ZELKC_LOGIX_ERR_BAD_REPLY);
        EXPECT_EQ(f.take(5, 10, &done), ZELKC_LOGIX_ERR_DEVICE);
    }
    {
        // A definition above 65535 bytes: the first request is capped, and a full answer with
        // status 0 does not end the read while bytes remain.
        Fragments f(70000);
        EXPECT_EQ(zelkc_logix_template_read_ask(&f.read), 65535u);
        ASSERT_EQ(f.take(0, 65535, &done), ZELKC_LOGIX_OK);
        EXPECT_FALSE(done);
        EXPECT_EQ(zelkc_logix_template_read_ask(&f.read), 70000u - 65535u);
        ASSERT_EQ(f.take(0, 70000 - 65535, &done), ZELKC_LOGIX_OK);
        EXPECT_TRUE(done);
    }
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
        put16(b, m.info);
        put16(b, m.type);
        put32(b, offset);
        offset += 4;
    }
    b.insert(b.end(), name_string.begin(), name_string.end());
    b.push_back(0);
    if (names) {
        for (const auto& m : members) {
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
    std::vector<uint32_t> ids;
    std::vector<uint16_t> types;
    std::vector<uint32_t> dims;
};

Decoded decode_definition(const Bytes& b, uint16_t member_count) {
    Bytes exact(b);
    char* name = reinterpret_cast<char*>(1);
    zelkc_logix_tag_info_list list{};
    Decoded d;
    d.result = zelkc_logix_template_definition_decode(exact.empty() ? nullptr : exact.data(),
                                                      uint32_t(exact.size()), member_count, &name, &list);
    if (d.result == ZELKC_LOGIX_OK) {
        d.name = name;
        for (uint32_t i = 0; i < list.count; ++i) {
            d.members.emplace_back(list.items[i].name);
            d.ids.push_back(list.items[i].id);
            d.types.push_back(list.items[i].symbol_type);
            d.dims.push_back(list.items[i].dims[0]);
        }
    } else {
        EXPECT_EQ(name, nullptr);
        EXPECT_EQ(list.items, nullptr);
        EXPECT_EQ(list.count, 0u);
    }
    zelkc_cip_free(d.result == ZELKC_LOGIX_OK ? name : nullptr);
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
    Decoded d = decode_definition(definition(members, "Motor;n extra"), uint16_t(members.size()));
    ASSERT_EQ(d.result, ZELKC_LOGIX_OK);
    EXPECT_EQ(d.name, "Motor");
    EXPECT_EQ(d.members,
              (std::vector<std::string>{"Run", "Fault", "ZZZZZZZZZYx", "Counts", "Inner", "ZZZZZZZZZZ"}));
    EXPECT_EQ(d.ids, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(d.types, (std::vector<uint16_t>{0xC1, 0xC1, 0xC2, 0x20C4, 0x8123, 0xC3}));
    // Only a 1-D array member keeps its element count.
    EXPECT_EQ(d.dims, (std::vector<uint32_t>{0, 0, 0, 10, 0, 0}));

    Decoded s = decode_definition(definition({{0, 0x00C4, "LEN"}, {82, 0x20C2, "DATA"}}, "STRING;x"), 2);
    ASSERT_EQ(s.result, ZELKC_LOGIX_OK);
    EXPECT_EQ(s.name, "STRING");

    Decoded empty = decode_definition(definition({}, "Empty"), 0);
    ASSERT_EQ(empty.result, ZELKC_LOGIX_OK);
    EXPECT_EQ(empty.name, "Empty");
    EXPECT_TRUE(empty.members.empty());

    Decoded hidden_only = decode_definition(definition({{0, 0x00C2, "ZZZZZZZZZZa"}}, "H"), 1);
    ASSERT_EQ(hidden_only.result, ZELKC_LOGIX_OK);
    EXPECT_TRUE(hidden_only.members.empty());
}

TEST(LogixTemplateDefinition, MalformedDefinitions) {
    EXPECT_EQ(decode_definition(definition({{0, 0x40C4, "M"}}, "T"), 1).result,
              ZELKC_LOGIX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(decode_definition(definition({{0, 0x60C4, "M"}}, "T"), 1).result,
              ZELKC_LOGIX_ERR_NOT_SUPPORTED);
    EXPECT_EQ(decode_definition(definition({}, ";x"), 0).result, ZELKC_LOGIX_ERR_BAD_REPLY);
    EXPECT_EQ(decode_definition(definition({}, ""), 0).result, ZELKC_LOGIX_ERR_BAD_REPLY);
    Bytes no_nul = definition({}, "Name");
    no_nul.pop_back();
    EXPECT_EQ(decode_definition(no_nul, 0).result, ZELKC_LOGIX_ERR_BAD_REPLY);
    EXPECT_EQ(decode_definition(definition({{0, 0xC4, "A"}, {0, 0xC4, "B"}}, "T", false), 2).result,
              ZELKC_LOGIX_ERR_BAD_REPLY);
    Bytes last_unterminated = definition({{0, 0xC4, "A"}, {0, 0xC4, "B"}}, "T");
    last_unterminated.pop_back();
    EXPECT_EQ(decode_definition(last_unterminated, 2).result, ZELKC_LOGIX_ERR_BAD_REPLY);
    EXPECT_EQ(decode_definition(definition({{0, 0xC4, "A"}, {0, 0xC4, ""}}, "T"), 2).result,
              ZELKC_LOGIX_ERR_BAD_REPLY);
    // Received bytes not beyond the member info.
    Bytes info_only = definition({{0, 0xC4, "A"}}, "T");
    info_only.resize(8);
    EXPECT_EQ(decode_definition(info_only, 1).result, ZELKC_LOGIX_ERR_BAD_REPLY);
    // Trailing bytes after the last member name are ignored.
    Bytes trailing = definition({{0, 0xC4, "A"}}, "T");
    trailing.insert(trailing.end(), {'x', 'y'});
    EXPECT_EQ(decode_definition(trailing, 1).result, ZELKC_LOGIX_OK);
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
        e->members.items = members.empty() ? nullptr
                                           : static_cast<zelkc_logix_tag_info*>(zelkc_cip_alloc(
                                                 members.size() * sizeof(zelkc_logix_tag_info)));
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
    uint8_t expand(zelkc_logix_tag_info* tag, uint32_t* total) {
        // No client: every template the expansion needs must be in the cache.
        return expand_tag(nullptr, tag, slots.data(), 0, total);
    }
};

struct Tag {
    zelkc_logix_tag_info info{};
    explicit Tag(uint16_t type) {
        info.symbol_type = type;
        info.name = logix_strndup("Tag", 3);
    }
    ~Tag() { zelkc_logix_tag_info_free(&info); }
};

TEST(LogixExpansion, NestedStructuresGetOwnedCopies) {
    Cache cache;
    cache.add(1, "Outer", {{0, 0x00C4, "Count"}, {0, 0x8002, "In"}, {3, 0xA002, "Many"}});
    cache.add(2, "Inner", {{0, 0x00C1, "Flag"}});
    Tag a(0x8001), b(0x8001);
    uint32_t total = 2;
    ASSERT_EQ(cache.expand(&a.info, &total), ZELKC_LOGIX_OK);
    ASSERT_EQ(cache.expand(&b.info, &total), ZELKC_LOGIX_OK);
    EXPECT_EQ(total, 2u + 2 * (3 + 1 + 1));
    for (Tag* t : {&a, &b}) {
        EXPECT_STREQ(t->info.type_name, "Outer");
        ASSERT_EQ(t->info.child_count, 3u);
        EXPECT_STREQ(t->info.children[1].name, "In");
        EXPECT_STREQ(t->info.children[1].type_name, "Inner");
        ASSERT_EQ(t->info.children[1].child_count, 1u);
        EXPECT_STREQ(t->info.children[1].children[0].name, "Flag");
        EXPECT_STREQ(t->info.children[2].type_name, "Inner"); // array of structures is expanded too
        EXPECT_EQ(t->info.children[2].dims[0], 3u);
        EXPECT_EQ(t->info.children[0].type_name, nullptr);
    }
    EXPECT_NE(a.info.children, b.info.children);
    EXPECT_NE(a.info.children[0].name, b.info.children[0].name);
    EXPECT_NE(a.info.type_name, b.info.type_name);
    EXPECT_EQ(cache.slots[1]->busy, 0);
}

TEST(LogixExpansion, EmptyTemplateGivesTypeNameAndNoChildren) {
    Cache cache;
    cache.add(9, "Nothing", {});
    Tag t(0x8009);
    uint32_t total = 1;
    ASSERT_EQ(cache.expand(&t.info, &total), ZELKC_LOGIX_OK);
    EXPECT_STREQ(t.info.type_name, "Nothing");
    EXPECT_EQ(t.info.child_count, 0u);
    EXPECT_EQ(t.info.children, nullptr);
}

TEST(LogixExpansion, SelfContainingStructureIsBadReply) {
    Cache cache;
    cache.add(5, "Loop", {{0, 0x00C4, "A"}, {0, 0x8006, "B"}});
    cache.add(6, "Back", {{0, 0x8005, "C"}});
    Tag t(0x8005);
    uint32_t total = 1;
    EXPECT_EQ(cache.expand(&t.info, &total), ZELKC_LOGIX_ERR_BAD_REPLY);
    // What was built so far is counted and releasable (the sanitizer build checks for leaks).
    EXPECT_EQ(t.info.child_count, 2u);
}

TEST(LogixExpansion, DepthLimit) {
    // Template i (1..64) holds one member of template i+1; template 65 holds a DINT.
    Cache cache;
    for (uint32_t id = 1; id <= 64; ++id) {
        cache.add(id, "Level", {{0, uint16_t(0x8000 | (id + 1)), "Next"}});
    }
    cache.add(65, "Leaf", {{0, 0x00C4, "Value"}});
    {
        // Top tag at depth 0 of template 2: the structure member of template 65 sits at depth 63,
        // its atomic member at depth 64: accepted.
        Tag t(0x8002);
        uint32_t total = 1;
        EXPECT_EQ(cache.expand(&t.info, &total), ZELKC_LOGIX_OK);
    }
    {
        // From template 1 the structure of template 65 sits at depth 64: refused.
        Tag t(0x8001);
        uint32_t total = 1;
        EXPECT_EQ(cache.expand(&t.info, &total), ZELKC_LOGIX_ERR_LIMIT);
    }
}

TEST(LogixExpansion, TotalTagInfoLimit) {
    Cache cache;
    std::vector<Member> many(ZELKC_LOGIX_MAX_TAG_INFOS - 1, Member{0, 0x00C4, "M"});
    cache.add(3, "Big", many);
    {
        Tag t(0x8003);
        uint32_t total = 1;
        EXPECT_EQ(cache.expand(&t.info, &total), ZELKC_LOGIX_OK);
        EXPECT_EQ(total, ZELKC_LOGIX_MAX_TAG_INFOS);
    }
    {
        Tag t(0x8003);
        uint32_t total = 2;
        EXPECT_EQ(cache.expand(&t.info, &total), ZELKC_LOGIX_ERR_LIMIT);
    }
}

// Fails the n-th allocation through the library's hooks and counts what stays allocated.
struct FailingAllocator {
    static inline long countdown = -1;
    static inline long live = 0;
    static void* alloc(void*, uint64_t size) {
        if (countdown == 0) {
            return nullptr;
        }
        --countdown;
        ++live;
        return std::malloc(size);
    }
    static void* realloc(void*, void* block, uint64_t size) {
        if (countdown == 0) {
            return nullptr;
        }
        --countdown;
        if (block == nullptr) {
            ++live;
        }
        return std::realloc(block, size);
    }
    static void free(void*, void* block) {
        if (block != nullptr) {
            --live;
        }
        std::free(block);
    }
};

TEST(LogixExpansion, EveryAllocationFailureReleasesEverything) {
    zelkc_cip_allocator failing{FailingAllocator::alloc, FailingAllocator::realloc, FailingAllocator::free,
                                nullptr};
    const Bytes def = definition({{0, 0xC2, "ZZZZZZZZZZh"}, {0, 0xC1, "Run"}, {4, 0x20C4, "Arr"}}, "Motor;x");
    bool succeeded = false;
    for (long n = 0; !succeeded && n < 100; ++n) {
        zelkc_cip_allocator_set_default(&failing);
        FailingAllocator::live = 0;
        FailingAllocator::countdown = n;
        char* name = nullptr;
        zelkc_logix_tag_info_list list{};
        uint8_t rc =
            zelkc_logix_template_definition_decode(def.data(), uint32_t(def.size()), 3, &name, &list);
        if (rc == ZELKC_LOGIX_OK) {
            succeeded = true;
            EXPECT_EQ(list.count, 2u);
            zelkc_cip_free(name);
            zelkc_logix_tag_info_list_free(&list);
        } else {
            EXPECT_EQ(rc, ZELKC_LOGIX_ERR_NO_MEMORY) << n;
        }
        EXPECT_EQ(FailingAllocator::live, 0) << "allocation " << n;
        zelkc_cip_allocator_set_default(nullptr);
    }
    EXPECT_TRUE(succeeded);

    Cache cache;
    cache.add(1, "Outer", {{0, 0x00C4, "Count"}, {0, 0x8002, "In"}});
    cache.add(2, "Inner", {{0, 0x00C1, "Flag"}, {0, 0x00C4, "V"}});
    succeeded = false;
    for (long n = 0; !succeeded && n < 100; ++n) {
        zelkc_cip_allocator_set_default(&failing);
        FailingAllocator::live = 0;
        FailingAllocator::countdown = n;
        zelkc_logix_tag_info tag{};
        tag.symbol_type = 0x8001;
        uint32_t total = 1;
        uint8_t rc = cache.expand(&tag, &total);
        succeeded = rc == ZELKC_LOGIX_OK;
        if (!succeeded) {
            EXPECT_EQ(rc, ZELKC_LOGIX_ERR_NO_MEMORY) << n;
        }
        zelkc_logix_tag_info_free(&tag);
        EXPECT_EQ(FailingAllocator::live, 0) << "allocation " << n;
        zelkc_cip_allocator_set_default(nullptr);
    }
    EXPECT_TRUE(succeeded);
}

} // namespace
