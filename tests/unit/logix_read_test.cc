// Read reply decoders on hand-built replies: atomic values, atomic array fragments, STRING
// fragments and byte fragments, with their limits and failures.
#include <algorithm>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "logix_internal.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The type code, then `bytes` bytes of `fill`.
Bytes typed(uint16_t type, Bytes data) {
    data.insert(data.begin(), {uint8_t(type), uint8_t(type >> 8)});
    return data;
}
Bytes fragment(uint16_t type, uint32_t bytes, uint8_t fill = 0x11) { return typed(type, Bytes(bytes, fill)); }

uint8_t decode_atomic(uint8_t status, Bytes data, zelkc_logix_value* out) {
    zelkc_cip_response response{};
    response.service = 0xCC;
    response.general_status = status;
    response.data.data = data.empty() ? nullptr : data.data(); // an exactly sized copy
    response.data.size = uint32_t(data.size());
    return read_atomic_response(&response, out);
}

TEST(LogixAtomicReply, DecodesEveryReadableType) {
    const struct {
        uint16_t type;
        Bytes value;
        uint64_t expected; // the union's bytes read as a little-endian integer
    } cases[] = {
        {0xC1, {0x00}, 0},    {0xC1, {0x01}, 1},    {0xC1, {0x02}, 1}, // BOOL is stored as 0 or 1
        {0xC1, {0xFF}, 1},    {0xC2, {0xFF}, 0xFF}, {0xC3, {0x34, 0x12}, 0x1234},
        {0xC4, {1, 2, 3, 4}, 0x04030201},
        {0xC5, {1, 2, 3, 4, 5, 6, 7, 8}, 0x0807060504030201},
        {0xC6, {0xC8}, 0xC8}, {0xC7, {0x60, 0xEA}, 0xEA60},
        {0xC8, {0, 0x28, 0x6B, 0xEE}, 0xEE6B2800},
        {0xC9, {8, 7, 6, 5, 4, 3, 2, 1}, 0x0102030405060708},
        {0xCA, {0x00, 0x00, 0x50, 0x40}, 0x40500000}, // 3.25f
        {0xCB, {1, 1, 1, 1, 1, 1, 1, 0x40}, 0x4001010101010101},
        {0xD1, {0xAB}, 0xAB}, {0xD2, {0xEF, 0xBE}, 0xBEEF},
        {0xD3, {0xEF, 0xBE, 0xAD, 0xDE}, 0xDEADBEEF},
        {0xD4, {1, 2, 3, 4, 5, 6, 7, 8}, 0x0807060504030201},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.type << " " << c.expected);
        Bytes data = typed(c.type, c.value);
        data.push_back(0x99); // trailing bytes are ignored
        zelkc_logix_value v{};
        std::memset(&v.value, 0, sizeof v.value);
        ASSERT_EQ(decode_atomic(0, data, &v), ZELKC_LOGIX_OK);
        EXPECT_EQ(v.type, c.type);
        uint64_t got = 0;
        for (int i = 7; i >= 0; --i) {
            got = (got << 8) | v.value.raw[i];
        }
        EXPECT_EQ(got, c.expected);
    }
}

TEST(LogixAtomicReply, Failures) {
    const struct {
        uint8_t status;
        Bytes data;
        uint8_t expected;
    } cases[] = {
        {6, {0xC4, 0x00, 1, 2, 3, 4}, ZELKC_LOGIX_ERR_DEVICE}, // a partial reply is not accepted
        {4, {}, ZELKC_LOGIX_ERR_DEVICE},
        {0, {0xC2, 0x00}, ZELKC_LOGIX_ERR_BAD_REPLY},
        {0, {}, ZELKC_LOGIX_ERR_BAD_REPLY},
        {0, {0xC4, 0x00, 1, 2, 3}, ZELKC_LOGIX_ERR_BAD_REPLY},
        {0, {0xC5, 0x00, 1, 2, 3, 4, 5, 6, 7}, ZELKC_LOGIX_ERR_BAD_REPLY},
        {0, {0xC3, 0x00, 1}, ZELKC_LOGIX_ERR_BAD_REPLY},
        {0, fragment(0x00C0, 8), ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE},
        {0, fragment(0x00CC, 8), ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE},
        {0, fragment(0x00D0, 8), ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE},
        {0, fragment(0x00D5, 8), ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE},
        {0, fragment(0x02A0, 8), ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE},
        {0, fragment(0x01C4, 8), ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE},
    };
    for (const auto& c : cases) {
        zelkc_logix_value v{};
        EXPECT_EQ(decode_atomic(c.status, c.data, &v), c.expected) << testing::PrintToString(c.data);
    }
    zelkc_logix_value v{};
    EXPECT_EQ(decode_atomic(0, {0xCD, 0x00, 1, 2, 3, 4}, &v), ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE);
    EXPECT_EQ(v.type, 0xCD); // the reported type is kept for the caller
}

// One fragment reader of each kind, fed exactly sized copies of the replies.
template <typename Read, uint8_t (*accept)(Read*, uint8_t, const uint8_t*, uint32_t, bool*)>
struct Feed {
    Read read{};
    bool done = false;
    uint8_t take(uint8_t status, Bytes data) {
        return accept(&read, status, data.empty() ? nullptr : data.data(), uint32_t(data.size()), &done);
    }
};

struct ArrayRead : Feed<zelkc_logix_array_read, zelkc_logix_array_fragment_accept> {
    zelkc_logix_value_array out{};
    explicit ArrayRead(uint32_t count) {
        read.out = &out;
        read.count = count;
    }
    ~ArrayRead() { zelkc_logix_value_array_free(&out); }
};

TEST(LogixArrayFragments, AssemblesFragmentsAndRefusesOvershoot) {
    ArrayRead a(100);
    ASSERT_EQ(a.take(6, fragment(0xC4, 240, 0x01)), ZELKC_LOGIX_OK);
    EXPECT_FALSE(a.done);
    EXPECT_EQ(a.read.offset, 240u); // the next request's offset
    ASSERT_EQ(a.take(0, fragment(0xC4, 160, 0x02)), ZELKC_LOGIX_OK);
    EXPECT_TRUE(a.done);
    EXPECT_EQ(a.out.type, 0xC4);
    EXPECT_EQ(a.out.count, 100u);
    EXPECT_EQ(a.out.data[239], 0x01);
    EXPECT_EQ(a.out.data[240], 0x02);
    EXPECT_EQ(a.out.data[399], 0x02);

    const struct {
        const char* what;
        uint32_t count;
        uint16_t second_type;
        uint32_t first, second; // bytes of a partial first reply (0: none) and of the last one
        uint8_t expected;
    } cases[] = {
        {"overshoot", 100, 0xC4, 240, 164, ZELKC_LOGIX_ERR_BAD_REPLY},
        {"ends early", 100, 0xC4, 240, 100, ZELKC_LOGIX_ERR_BAD_REPLY},
        {"changed type code", 10, 0xC8, 20, 20, ZELKC_LOGIX_ERR_BAD_REPLY},
        {"BOOL", 4, 0xC1, 0, 4, ZELKC_LOGIX_ERR_NOT_SUPPORTED},
        {"BYTE", 4, 0xD1, 0, 4, ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE},
        {"LWORD", 4, 0xD4, 0, 32, ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE},
        {"0xCC", 4, 0xCC, 0, 4, ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE},
        {"structure", 4, 0x02A0, 0, 4, ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE},
        {"SINT", 3, 0xC2, 0, 3, ZELKC_LOGIX_OK},
        {"USINT", 3, 0xC6, 0, 3, ZELKC_LOGIX_OK},
        {"INT", 3, 0xC3, 0, 6, ZELKC_LOGIX_OK},
        {"UINT", 3, 0xC7, 0, 6, ZELKC_LOGIX_OK},
        {"UDINT", 3, 0xC8, 0, 12, ZELKC_LOGIX_OK},
        {"REAL", 3, 0xCA, 0, 12, ZELKC_LOGIX_OK},
        {"LINT", 3, 0xC5, 0, 24, ZELKC_LOGIX_OK},
        {"ULINT", 3, 0xC9, 0, 24, ZELKC_LOGIX_OK},
        {"LREAL", 3, 0xCB, 0, 24, ZELKC_LOGIX_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ArrayRead r(c.count);
        if (c.first != 0) {
            ASSERT_EQ(r.take(6, fragment(0xC4, c.first)), ZELKC_LOGIX_OK);
        }
        EXPECT_EQ(r.take(0, fragment(c.second_type, c.second)), c.expected);
        EXPECT_EQ(r.done, c.expected == ZELKC_LOGIX_OK);
        if (c.first == 0 && c.expected != ZELKC_LOGIX_OK) {
            EXPECT_EQ(r.out.data, nullptr);
        }
    }
    EXPECT_EQ(ArrayRead(10).take(6, fragment(0xC4, 40)), ZELKC_LOGIX_ERR_BAD_REPLY); // partial, nothing left
    EXPECT_EQ(ArrayRead(3).take(0x1E, fragment(0xC4, 12)), ZELKC_LOGIX_ERR_DEVICE);
    EXPECT_EQ(ArrayRead(3).take(0, {0xC4, 0x00}), ZELKC_LOGIX_ERR_BAD_REPLY);
}

// A STRING structure reply: marker, handle, then the structure bytes.
Bytes string_reply(uint16_t handle, Bytes payload, uint16_t marker = 0x02A0) {
    return typed(marker, typed(handle, std::move(payload)));
}
Bytes string_struct(uint32_t len, const std::string& chars) {
    Bytes b(4 + chars.size());
    for (int i = 0; i < 4; ++i)
        b[i] = uint8_t(len >> (8 * i));
    std::copy(chars.begin(), chars.end(), b.begin() + 4);
    return b;
}

struct StringRead : Feed<zelkc_logix_string_read, zelkc_logix_string_fragment_accept> {
    std::vector<char> buf;
    explicit StringRead(uint32_t capacity) : buf(capacity, 'x') {
        read.buf = buf.data();
        read.capacity = capacity;
    }
};

TEST(LogixStringFragments, CapacityLengthAndStream) {
    StringRead tight(5); // no room for the terminator
    EXPECT_EQ(tight.take(0, string_reply(0x0FCE, string_struct(5, "Hello"))), ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(tight.read.length, 5u);

    StringRead fits(6);
    ASSERT_EQ(fits.take(6, string_reply(0x0FCE, string_struct(5, std::string("Hello") + std::string(77, '\0')))),
              ZELKC_LOGIX_OK);
    EXPECT_TRUE(fits.done); // the rest of the character array is not fetched
    EXPECT_STREQ(fits.buf.data(), "Hello");

    StringRead empty(4);
    ASSERT_EQ(empty.take(0, string_reply(1, string_struct(0, ""))), ZELKC_LOGIX_OK);
    EXPECT_TRUE(empty.done);
    EXPECT_STREQ(empty.buf.data(), "");
    EXPECT_EQ(empty.read.length, 0u);

    StringRead s(96); // LEN split across replies, characters across three
    ASSERT_EQ(s.take(6, string_reply(7, {3, 0})), ZELKC_LOGIX_OK);
    EXPECT_FALSE(s.done);
    EXPECT_EQ(s.read.offset, 2u);
    ASSERT_EQ(s.take(6, string_reply(7, {0, 0, 'a'})), ZELKC_LOGIX_OK);
    EXPECT_FALSE(s.done);
    ASSERT_EQ(s.take(6, string_reply(7, {'b'})), ZELKC_LOGIX_OK);
    ASSERT_EQ(s.take(0, string_reply(7, {'c', 'd'})), ZELKC_LOGIX_OK);
    EXPECT_TRUE(s.done);
    EXPECT_STREQ(s.buf.data(), "abc");
    EXPECT_EQ(s.read.length, 3u);
}

TEST(LogixStringFragments, Failures) {
    EXPECT_EQ(StringRead(96).take(0, string_reply(1, {2, 0})), ZELKC_LOGIX_ERR_BAD_REPLY); // LEN incomplete
    EXPECT_EQ(StringRead(96).take(0, string_reply(1, string_struct(4, "ab"))), ZELKC_LOGIX_ERR_BAD_REPLY);
    EXPECT_EQ(StringRead(96).take(0, string_reply(1, {})), ZELKC_LOGIX_ERR_BAD_REPLY); // no payload
    EXPECT_EQ(StringRead(70000).take(0, string_reply(1, string_struct(65536, "a"))), ZELKC_LOGIX_ERR_BAD_REPLY);
    EXPECT_EQ(StringRead(96).take(0, string_reply(1, string_struct(1, "a"), 0x00C4)), ZELKC_LOGIX_ERR_TYPE_MISMATCH);
    EXPECT_EQ(StringRead(96).take(0, {0xA0, 0x02, 0x01}), ZELKC_LOGIX_ERR_TYPE_MISMATCH);
    EXPECT_EQ(StringRead(96).take(5, string_reply(1, string_struct(1, "a"))), ZELKC_LOGIX_ERR_DEVICE);
    StringRead changed(96);
    ASSERT_EQ(changed.take(6, string_reply(1, string_struct(4, "ab"))), ZELKC_LOGIX_OK);
    EXPECT_EQ(changed.take(0, string_reply(2, {'c', 'd'})), ZELKC_LOGIX_ERR_BAD_REPLY); // handle changed
    StringRead big(96); // the offset would pass 2^32 - 1
    big.read.started = true;
    big.read.handle = 1;
    big.read.offset = 0xFFFFFFFE;
    EXPECT_EQ(big.take(6, string_reply(1, {1, 2})), ZELKC_LOGIX_ERR_BAD_REPLY);
}

struct BytesRead : Feed<zelkc_logix_bytes_read, zelkc_logix_bytes_fragment_accept> {
    std::vector<uint8_t> buf;
    explicit BytesRead(uint32_t size) : buf(size) {
        read.buf = buf.data();
        read.size = size;
    }
};

TEST(LogixBytesFragments, ExactSizeAndFailures) {
    BytesRead b(10);
    ASSERT_EQ(b.take(6, fragment(0xC6, 4, 1)), ZELKC_LOGIX_OK);
    ASSERT_EQ(b.take(0, fragment(0xC6, 6, 2)), ZELKC_LOGIX_OK);
    EXPECT_TRUE(b.done);
    EXPECT_EQ(b.read.received, 10u);
    EXPECT_EQ(b.buf[3], 1);
    EXPECT_EQ(b.buf[4], 2);

    BytesRead changed(10);
    ASSERT_EQ(changed.take(6, fragment(0xC2, 4)), ZELKC_LOGIX_OK);
    EXPECT_EQ(changed.take(0, fragment(0xC6, 6)), ZELKC_LOGIX_ERR_BAD_REPLY);
    const struct {
        uint8_t status;
        Bytes data;
        uint8_t expected;
    } cases[] = {
        {6, fragment(0xC2, 10), ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL}, // the tag holds more than asked for
        {0, fragment(0xC2, 11), ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL},
        {0, fragment(0xC2, 9), ZELKC_LOGIX_ERR_BAD_REPLY},
        {0, fragment(0xC4, 10), ZELKC_LOGIX_ERR_TYPE_MISMATCH},
        {0, fragment(0xC2, 0), ZELKC_LOGIX_ERR_BAD_REPLY},
        {0, {0xC2}, ZELKC_LOGIX_ERR_BAD_REPLY},
        {8, fragment(0xC2, 10), ZELKC_LOGIX_ERR_DEVICE},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BytesRead(10).take(c.status, c.data), c.expected) << testing::PrintToString(c.data);
    }
}

} // namespace
