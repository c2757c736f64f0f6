// Read reply decoders on hand-built replies, one hex string per reply (type code first): atomic
// values, the statuses a batch entry keeps, and atomic array, STRING and byte fragments with
// their limits and failures.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../support/hex.h"
#include "logix_internal.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A reply with `status` and an exactly sized copy of `data`.
struct Reply : zelkc_cip_response {
    Bytes bytes;
    Reply(uint8_t status, const std::string& data) : zelkc_cip_response{}, bytes(hex(data)) {
        general_status = status;
        this->data = {bytes.empty() ? nullptr : bytes.data(), uint32_t(bytes.size()), 0};
    }
};

TEST(LogixAtomicReply, DecodesEveryReadableTypeAndRefusesTheRest) {
    // Status, reply data, result, the value record's bytes as a little-endian integer; every
    // width (the integration test reads every type), BOOL as 0 or 1, short and unknown replies.
    const struct {
        uint8_t status;
        const char* data;
        uint8_t expected;
        uint64_t value;
    } cases[] = {
        {0, "C100 00", 0, 0}, {0, "C100 02", 0, 1}, {0, "C100 FF 99", 0, 1}, {0, "C300 3412", 0, 0x1234},
        {0, "C400 01020304", 0, 0x04030201}, {0, "C500 0102030405060708 99", 0, 0x0807060504030201},
        {0, "CB00 0101010101010140", 0, 0x4001010101010101}, {0, "D400 0102030405060708", 0, 0x0807060504030201},
        {6, "C400 01020304", ZELKC_LOGIX_ERR_DEVICE, 0}, {4, "", ZELKC_LOGIX_ERR_DEVICE, 0}, // partial: refused
        {0, "C200", ZELKC_LOGIX_ERR_BAD_REPLY, 0}, {0, "", ZELKC_LOGIX_ERR_BAD_REPLY, 0},
        {0, "C400 010203", ZELKC_LOGIX_ERR_BAD_REPLY, 0}, {0, "C500 01020304050607", ZELKC_LOGIX_ERR_BAD_REPLY, 0},
        {0, "C000 01020304050607", ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE, 0}, {0, "CC00 0102", ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE, 0},
        {0, "D500 0102030405", ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE, 0}, {0, "A002 0102", ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE, 0},
        {0, "C401 0102030405060708", ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE, 0},
    };
    for (const auto& c : cases) {
        zelkc_logix_value v{};
        const Reply reply(c.status, c.data);
        ASSERT_EQ(read_atomic_response(&reply, &v), c.expected) << c.data;
        EXPECT_EQ(v.value.u64, c.value) << c.data; // a little-endian host
        const bool typed = c.status == 0 && reply.bytes.size() >= 3; // the reported type is kept
        EXPECT_EQ(v.type, typed ? logix_le16(reply.bytes.data()) : 0) << c.data;
    }
}

// One fragment reader of each kind, fed exactly sized copies of the replies.
template <typename Read, uint8_t (*accept)(Read*, uint8_t, const uint8_t*, uint32_t, bool*)>
struct Feed {
    Read read{};
    bool done = false;
    uint8_t take(uint8_t status, const std::string& data) {
        const Bytes exact = hex(data);
        return accept(&read, status, exact.empty() ? nullptr : exact.data(), uint32_t(exact.size()), &done);
    }
};
struct ArrayRead : Feed<zelkc_logix_array_read, zelkc_logix_array_fragment_accept> {
    zelkc_logix_value_array out{};
    explicit ArrayRead(uint32_t count) { read = {&out, count, 0, 0}; }
    ~ArrayRead() { zelkc_logix_value_array_free(&out); }
};
struct StringRead : Feed<zelkc_logix_string_read, zelkc_logix_string_fragment_accept> {
    std::vector<char> buf;
    explicit StringRead(uint32_t capacity) : buf(capacity, 'x') { read.buf = buf.data(), read.capacity = capacity; }
};
struct BytesRead : Feed<zelkc_logix_bytes_read, zelkc_logix_bytes_fragment_accept> {
    Bytes buf = Bytes(10, 0xEE);
    BytesRead() { read.buf = buf.data(), read.size = 6; } // 6 bytes asked for, 4 more to catch overruns
};

// `n` bytes of 0x11 as hex.
std::string ones(size_t n) { return std::string(2 * n, '1'); }

TEST(LogixFragments, ArraysAssembleAtTheirOffsets) {
    ArrayRead a(5);
    ASSERT_EQ(a.take(6, "C400 00000000 01000000"), ZELKC_LOGIX_OK);
    EXPECT_EQ(a.read.offset, 8u); // the next request's offset
    ASSERT_EQ(a.take(0, "C400 02000000 03000000 04000000"), ZELKC_LOGIX_OK);
    EXPECT_TRUE(a.done && a.out.type == 0xC4);
    EXPECT_EQ(Bytes(a.out.data, a.out.data + a.out.count * 4), hex("00000000 01000000 02000000 03000000 04000000"));
    // Three elements of each readable type in one reply: the first reply fixes type and size.
    for (const auto& [type, size] : {std::pair{"C200", 1}, {"C600", 1}, {"C300", 2}, {"C700", 2}, {"C800", 4},
                                     {"CA00", 4}, {"C500", 8}, {"C900", 8}, {"CB00", 8}}) {
        EXPECT_EQ(ArrayRead(3).take(0, type + ones(3 * size)), ZELKC_LOGIX_OK) << type;
        EXPECT_EQ(ArrayRead(3).take(0, type + ones(3 * size - 1)), ZELKC_LOGIX_ERR_BAD_REPLY) << type;
    }
    // After a partial reply of two DINTs: overshoot, an early end, a changed type code.
    for (const std::string& last : {"C400" + ones(13), "C400" + ones(11), "C800" + ones(12)}) {
        ArrayRead r(5);
        ASSERT_EQ(r.take(6, "C400" + ones(8)), ZELKC_LOGIX_OK);
        EXPECT_EQ(r.take(0, last), ZELKC_LOGIX_ERR_BAD_REPLY) << last;
    }
}

TEST(LogixFragments, StringsStreamLenAndCharacters) {
    StringRead tight(5), longest(65536), s(96), changed(96);
    EXPECT_EQ(tight.take(0, "A002 CE0F 05000000 48656C6C6F"), ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL); // no room for NUL
    EXPECT_EQ(tight.read.length, 5u);
    ASSERT_EQ(longest.take(6, "A002 0100 FFFF0000 61"), ZELKC_LOGIX_OK);
    EXPECT_EQ(longest.read.length, 65535u);
    ASSERT_EQ(s.take(6, "A002 0700 0300"), ZELKC_LOGIX_OK); // LEN split, characters across three
    ASSERT_EQ(s.take(6, "A002 0700 0000 61"), ZELKC_LOGIX_OK);
    ASSERT_EQ(s.take(6, "A002 0700 62"), ZELKC_LOGIX_OK);
    EXPECT_EQ(s.read.offset, 6u);
    ASSERT_EQ(s.take(6, "A002 0700 6364"), ZELKC_LOGIX_OK); // done: the rest of the array is not fetched
    EXPECT_STREQ(s.buf.data(), "abc");
    ASSERT_EQ(changed.take(6, "A002 0100 04000000 6162"), ZELKC_LOGIX_OK);
    EXPECT_EQ(changed.take(0, "A002 0200 6364"), ZELKC_LOGIX_ERR_BAD_REPLY); // handle changed
    // The CIP forms: 0xD0 with a 16-bit length, 0xDA with an 8-bit one; each may come in fragments
    // (the offset counts the bytes after the type code) and must keep its form; characters beyond
    // the length are not taken.
    const std::tuple<std::vector<std::pair<uint8_t, std::string>>, uint8_t, std::string, uint32_t> forms[] = {
        {{{0, "D000 0500 48656C6C6F"}}, 0, "Hello", 7}, {{{0, "DA00 03 616263 7A7A"}}, 0, "abc", 6},
        {{{0, "D000 0000"}}, 0, "", 2}, {{{0, "DA00 00"}}, 0, "", 1},
        {{{6, "D000 04"}, {6, "D000 00 6162"}, {0, "D000 6364"}}, 0, "abcd", 6},
        {{{6, "DA00 02 61"}, {0, "DA00 62"}}, 0, "ab", 3},
        {{{6, "D000 0300 61"}, {0, "DA00 6263"}}, ZELKC_LOGIX_ERR_BAD_REPLY, "", 3}, // the form changed
        {{{6, "DA00 02 61"}, {0, "A002 CE0F 62"}}, ZELKC_LOGIX_ERR_BAD_REPLY, "", 2},
        {{{0, "D000 0300 6162"}}, ZELKC_LOGIX_ERR_BAD_REPLY, "", 4}, {{{0, "D000 03"}}, ZELKC_LOGIX_ERR_BAD_REPLY, "", 1},
        {{{0, "D000"}}, ZELKC_LOGIX_ERR_BAD_REPLY, "", 0}, {{{0, "DA"}}, ZELKC_LOGIX_ERR_TYPE_MISMATCH, "", 0},
        {{{0, "D000 6000 61"}}, ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL, "", 3}, // 96 characters need 97 bytes
    };
    for (const auto& [replies, expected, text, offset] : forms) {
        StringRead r(96);
        uint8_t rc = ZELKC_LOGIX_OK;
        for (size_t i = 0; i < replies.size() && rc == ZELKC_LOGIX_OK; ++i)
            rc = r.take(replies[i].first, replies[i].second);
        EXPECT_EQ(rc, expected) << replies[0].second;
        EXPECT_EQ(r.read.offset, offset) << replies[0].second;
        if (rc == ZELKC_LOGIX_OK) {
            EXPECT_EQ(std::pair(std::string(r.buf.data()), r.done), std::pair(text, true)) << replies[0].second;
        }
    }
}

TEST(LogixFragments, BytesFillExactlyTheBufferAskedFor) {
    BytesRead b, over;
    ASSERT_EQ(b.take(6, "C600 01020304"), ZELKC_LOGIX_OK);
    ASSERT_EQ(b.take(0, "C600 0506"), ZELKC_LOGIX_OK);
    EXPECT_EQ(b.buf, hex("010203040506 EEEEEEEE"));
    ASSERT_EQ(over.take(6, "C200 01020304"), ZELKC_LOGIX_OK); // a second fragment past the end is not written
    EXPECT_EQ(over.take(0, "C600 050607"), ZELKC_LOGIX_ERR_BAD_REPLY); // nor one of another type
    EXPECT_EQ(over.take(0, "C200 050607"), ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(over.buf, hex("01020304 EEEE EEEEEEEE"));
}

// The first reply to a fresh reader: 'a' an array of 2 DINTs, 's' a STRING, 'b' 6 bytes.
TEST(LogixFragments, MalformedFirstReplies) {
    const std::tuple<char, uint8_t, std::string, uint8_t> cases[] = {
        {'a', 6, "C400" + ones(8), ZELKC_LOGIX_ERR_BAD_REPLY}, // partial with nothing left
        {'a', 0x1E, "C400" + ones(8), ZELKC_LOGIX_ERR_DEVICE},  {'a', 0, "C400", ZELKC_LOGIX_ERR_BAD_REPLY},
        {'a', 0, "C100" + ones(2), ZELKC_LOGIX_ERR_NOT_SUPPORTED}, {'a', 0, "D100" + ones(2), ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE},
        {'a', 0, "D400" + ones(16), ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE}, {'a', 0, "A002" + ones(8), ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE},
        {'s', 0, "A002 0100 0200", ZELKC_LOGIX_ERR_BAD_REPLY}, // LEN incomplete
        {'s', 0, "A002 0100 04000000 6162", ZELKC_LOGIX_ERR_BAD_REPLY}, {'s', 0, "A002 0100", ZELKC_LOGIX_ERR_BAD_REPLY},
        {'s', 0, "A002 0100 00000100 61", ZELKC_LOGIX_ERR_BAD_REPLY}, // LEN 65536
        {'s', 0, "C400 0100 01000000 61", ZELKC_LOGIX_ERR_TYPE_MISMATCH}, {'s', 0, "A002 01", ZELKC_LOGIX_ERR_TYPE_MISMATCH},
        {'s', 5, "A002 0100 01000000 61", ZELKC_LOGIX_ERR_DEVICE},
        {'b', 6, "C200 010203040506", ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL}, // the tag holds more than asked for
        {'b', 0, "C200 01020304050607", ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL}, {'b', 0, "C200 0102030405", ZELKC_LOGIX_ERR_BAD_REPLY},
        {'b', 0, "C400 010203040506", ZELKC_LOGIX_ERR_TYPE_MISMATCH}, {'b', 0, "C200", ZELKC_LOGIX_ERR_BAD_REPLY},
        {'b', 0, "C2", ZELKC_LOGIX_ERR_BAD_REPLY}, {'b', 8, "C200 010203040506", ZELKC_LOGIX_ERR_DEVICE},
    };
    for (const auto& [kind, status, data, expected] : cases) {
        ArrayRead array(2);
        const uint8_t rc = kind == 'a'   ? array.take(status, data)
                           : kind == 's' ? StringRead(70000).take(status, data)
                                         : BytesRead().take(status, data);
        EXPECT_EQ(rc, expected) << kind << " " << data;
        EXPECT_TRUE(array.out.data == nullptr || rc == ZELKC_LOGIX_ERR_BAD_REPLY) << data; // refused types: nothing kept
    }
}

} // namespace
