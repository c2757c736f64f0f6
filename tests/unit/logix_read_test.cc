// Read reply decoders on hand-built replies: atomic values, atomic array fragments, STRING
// fragments and byte fragments, with their limits and failures.
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

// A reply record whose data is an exactly sized copy of `data`.
struct Reply {
    Bytes bytes;
    zelkc_cip_response response{};
    Reply(uint8_t status, const Bytes& data) : bytes(data) {
        response.service = 0xCC;
        response.general_status = status;
        response.data.data = bytes.empty() ? nullptr : bytes.data();
        response.data.size = uint32_t(bytes.size());
    }
};

uint8_t decode(uint8_t status, const Bytes& data, zelkc_logix_value* out) {
    Reply r(status, data);
    return read_atomic_response(&r.response, out);
}

TEST(LogixAtomicReply, DecodesEveryReadableType) {
    struct Case {
        uint16_t type;
        Bytes value;
        uint64_t expected; // the union's bytes read as a little-endian integer
    };
    const Case cases[] = {
        {0xC2, {0xFF}, 0xFF},
        {0xC3, {0x34, 0x12}, 0x1234},
        {0xC4, {1, 2, 3, 4}, 0x04030201},
        {0xC5, {1, 2, 3, 4, 5, 6, 7, 8}, 0x0807060504030201},
        {0xC6, {0xC8}, 0xC8},
        {0xC7, {0x60, 0xEA}, 0xEA60},
        {0xC8, {0, 0x28, 0x6B, 0xEE}, 0xEE6B2800},
        {0xC9, {8, 7, 6, 5, 4, 3, 2, 1}, 0x0102030405060708},
        {0xCA, {0x00, 0x00, 0x50, 0x40}, 0x40500000},
        {0xCB, {1, 1, 1, 1, 1, 1, 1, 0x40}, 0x4001010101010101},
        {0xD1, {0xAB}, 0xAB},
        {0xD2, {0xEF, 0xBE}, 0xBEEF},
        {0xD3, {0xEF, 0xBE, 0xAD, 0xDE}, 0xDEADBEEF},
        {0xD4, {1, 2, 3, 4, 5, 6, 7, 8}, 0x0807060504030201},
    };
    for (const auto& c : cases) {
        Bytes data;
        put16(data, c.type);
        data.insert(data.end(), c.value.begin(), c.value.end());
        data.push_back(0x99); // trailing bytes are ignored
        zelkc_logix_value v{};
        std::memset(&v.value, 0, sizeof v.value);
        ASSERT_EQ(decode(0, data, &v), ZELKC_LOGIX_OK) << std::hex << c.type;
        EXPECT_EQ(v.type, c.type);
        uint64_t got = 0;
        for (int i = 7; i >= 0; --i) {
            got = (got << 8) | v.value.raw[i];
        }
        EXPECT_EQ(got, c.expected) << std::hex << c.type;
    }
    zelkc_logix_value v{};
    ASSERT_EQ(decode(0, {0xCA, 0x00, 0x00, 0x00, 0x50, 0x40}, &v), ZELKC_LOGIX_OK);
    EXPECT_EQ(v.value.f32, 3.25f);
}

TEST(LogixAtomicReply, BoolIsNormalisedToZeroOrOne) {
    for (uint8_t raw : {0x00, 0x01, 0x02, 0xFF}) {
        zelkc_logix_value v{};
        std::memset(v.value.raw, 0x55, sizeof v.value.raw);
        ASSERT_EQ(decode(0, {0xC1, 0x00, raw}, &v), ZELKC_LOGIX_OK);
        EXPECT_EQ(v.value.u8, raw != 0 ? 1 : 0) << int(raw);
    }
}

TEST(LogixAtomicReply, Failures) {
    zelkc_logix_value v{};
    EXPECT_EQ(decode(6, {0xC4, 0x00, 1, 2, 3, 4}, &v), ZELKC_LOGIX_ERR_DEVICE); // partial is not accepted
    EXPECT_EQ(decode(4, {}, &v), ZELKC_LOGIX_ERR_DEVICE);
    EXPECT_EQ(decode(0, {0xC2, 0x00}, &v), ZELKC_LOGIX_ERR_BAD_REPLY);
    EXPECT_EQ(decode(0, {}, &v), ZELKC_LOGIX_ERR_BAD_REPLY);
    EXPECT_EQ(decode(0, {0xC4, 0x00, 1, 2, 3}, &v), ZELKC_LOGIX_ERR_BAD_REPLY);
    EXPECT_EQ(decode(0, {0xC5, 0x00, 1, 2, 3, 4, 5, 6, 7}, &v), ZELKC_LOGIX_ERR_BAD_REPLY);
    EXPECT_EQ(decode(0, {0xC3, 0x00, 1}, &v), ZELKC_LOGIX_ERR_BAD_REPLY);
    v.type = 0;
    EXPECT_EQ(decode(0, {0xCD, 0x00, 1, 2, 3, 4}, &v), ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE);
    EXPECT_EQ(v.type, 0xCD); // the reported type is kept for the caller
    for (uint16_t type : {0x00C0, 0x00CC, 0x00D0, 0x00D5, 0x02A0, 0x01C4}) {
        Bytes data;
        put16(data, type);
        data.insert(data.end(), 8, 0);
        EXPECT_EQ(decode(0, data, &v), ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE) << std::hex << type;
    }
    EXPECT_EQ(read_atomic_response(nullptr, &v), ZELKC_LOGIX_ERR_INVALID_ARGUMENT);
}

Bytes fragment(uint16_t type, uint32_t bytes, uint8_t fill = 0x11) {
    Bytes b;
    put16(b, type);
    b.insert(b.end(), bytes, fill);
    return b;
}

struct ArrayRead {
    zelkc_logix_value_array out{};
    zelkc_logix_array_read read{};
    explicit ArrayRead(uint32_t count) {
        read.out = &out;
        read.count = count;
    }
    ~ArrayRead() { zelkc_logix_value_array_free(&out); }
    uint8_t take(uint8_t status, const Bytes& data, bool* done) {
        Bytes exact(data);
        return zelkc_logix_array_fragment_accept(&read, status, exact.empty() ? nullptr : exact.data(),
                                                 uint32_t(exact.size()), done);
    }
};

TEST(LogixArrayFragments, AssemblesFragmentsAndRefusesOvershoot) {
    bool done = false;
    {
        ArrayRead a(100);
        ASSERT_EQ(a.take(6, fragment(0xC4, 240, 0x01), &done), ZELKC_LOGIX_OK);
        EXPECT_FALSE(done);
        EXPECT_EQ(a.read.offset, 240u); // the next request's offset
        ASSERT_EQ(a.take(0, fragment(0xC4, 160, 0x02), &done), ZELKC_LOGIX_OK);
        EXPECT_TRUE(done);
        EXPECT_EQ(a.out.type, 0xC4);
        EXPECT_EQ(a.out.count, 100u);
        EXPECT_EQ(a.out.data[239], 0x01);
        EXPECT_EQ(a.out.data[240], 0x02);
        EXPECT_EQ(a.out.data[399], 0x02);
    }
    {
        ArrayRead a(100);
        ASSERT_EQ(a.take(6, fragment(0xC4, 240), &done), ZELKC_LOGIX_OK);
        EXPECT_EQ(a.take(0, fragment(0xC4, 164), &done), ZELKC_LOGIX_ERR_BAD_REPLY);
    }
    {
        ArrayRead a(100); // ends early
        ASSERT_EQ(a.take(6, fragment(0xC4, 240), &done), ZELKC_LOGIX_OK);
        EXPECT_EQ(a.take(0, fragment(0xC4, 100), &done), ZELKC_LOGIX_ERR_BAD_REPLY);
    }
    {
        ArrayRead a(10); // partial with nothing left to fill
        EXPECT_EQ(a.take(6, fragment(0xC4, 40), &done), ZELKC_LOGIX_ERR_BAD_REPLY);
    }
    {
        ArrayRead a(10); // changed type code
        ASSERT_EQ(a.take(6, fragment(0xC4, 20), &done), ZELKC_LOGIX_OK);
        EXPECT_EQ(a.take(0, fragment(0xC8, 20), &done), ZELKC_LOGIX_ERR_BAD_REPLY);
    }
    const std::pair<uint16_t, uint8_t> refused[] = {{0xC1, ZELKC_LOGIX_ERR_NOT_SUPPORTED},
                                                    {0xD1, ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE},
                                                    {0xD4, ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE},
                                                    {0xCC, ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE},
                                                    {0x02A0, ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE}};
    for (auto [type, rc] : refused) {
        ArrayRead a(4);
        EXPECT_EQ(a.take(0, fragment(type, 4), &done), rc) << std::hex << type;
        EXPECT_EQ(a.out.data, nullptr);
    }
    const std::pair<uint16_t, uint32_t> sizes[] = {{0xC2, 1}, {0xC6, 1}, {0xC3, 2}, {0xC7, 2}, {0xC8, 4},
                                                   {0xCA, 4}, {0xC5, 8}, {0xC9, 8}, {0xCB, 8}};
    for (auto [type, size] : sizes) {
        ArrayRead a(3);
        ASSERT_EQ(a.take(0, fragment(type, 3 * size), &done), ZELKC_LOGIX_OK) << std::hex << type;
        EXPECT_TRUE(done);
    }
    ArrayRead a(3);
    EXPECT_EQ(a.take(0x1E, fragment(0xC4, 12), &done), ZELKC_LOGIX_ERR_DEVICE);
    EXPECT_EQ(a.take(0, {0xC4, 0x00}, &done), ZELKC_LOGIX_ERR_BAD_REPLY);
}

// A STRING structure reply: marker, handle, then the structure bytes.
Bytes string_reply(uint16_t handle, const Bytes& payload, uint16_t marker = 0x02A0) {
    Bytes b;
    put16(b, marker);
    put16(b, handle);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes string_struct(uint32_t len, const std::string& chars) {
    Bytes b;
    put32(b, len);
    b.insert(b.end(), chars.begin(), chars.end());
    return b;
}

struct StringRead {
    std::vector<char> buf;
    zelkc_logix_string_read read{};
    explicit StringRead(uint32_t capacity) : buf(capacity, 'x') {
        read.buf = buf.data();
        read.capacity = capacity;
    }
    uint8_t take(uint8_t status, const Bytes& data, bool* done) {
        Bytes exact(data);
        return zelkc_logix_string_fragment_accept(&read, status, exact.empty() ? nullptr : exact.data(),
                                                  uint32_t(exact.size()), done);
    }
};

TEST(LogixStringFragments, CapacityLengthAndStream) {
    bool done = false;
    {
        StringRead s(5); // no room for the terminator
        EXPECT_EQ(s.take(0, string_reply(0x0FCE, string_struct(5, "Hello")), &done),
                  ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL);
        EXPECT_EQ(s.read.length, 5u);
    }
    {
        StringRead s(6);
        ASSERT_EQ(s.take(6,
                         string_reply(0x0FCE, string_struct(5, std::string("Hello") + std::string(77, '\0'))),
                         &done),
                  ZELKC_LOGIX_OK);
        EXPECT_TRUE(done); // the rest of the character array is not fetched
        EXPECT_STREQ(s.buf.data(), "Hello");
    }
    {
        StringRead s(4);
        ASSERT_EQ(s.take(0, string_reply(1, string_struct(0, "")), &done), ZELKC_LOGIX_OK);
        EXPECT_TRUE(done);
        EXPECT_STREQ(s.buf.data(), "");
        EXPECT_EQ(s.read.length, 0u);
    }
    {
        // LEN split across replies, characters across three.
        StringRead s(96);
        ASSERT_EQ(s.take(6, string_reply(7, {3, 0}), &done), ZELKC_LOGIX_OK);
        EXPECT_FALSE(done);
        EXPECT_EQ(s.read.offset, 2u);
        ASSERT_EQ(s.take(6, string_reply(7, {0, 0, 'a'}), &done), ZELKC_LOGIX_OK);
        EXPECT_FALSE(done);
        ASSERT_EQ(s.take(6, string_reply(7, {'b'}), &done), ZELKC_LOGIX_OK);
        ASSERT_EQ(s.take(0, string_reply(7, {'c', 'd'}), &done), ZELKC_LOGIX_OK);
        EXPECT_TRUE(done);
        EXPECT_STREQ(s.buf.data(), "abc");
        EXPECT_EQ(s.read.length, 3u);
    }
}

TEST(LogixStringFragments, Failures) {
    bool done = false;
    {
        StringRead s(96);
        EXPECT_EQ(s.take(0, string_reply(1, {2, 0}), &done), ZELKC_LOGIX_ERR_BAD_REPLY); // LEN incomplete
    }
    {
        StringRead s(96);
        EXPECT_EQ(s.take(0, string_reply(1, string_struct(4, "ab")), &done), ZELKC_LOGIX_ERR_BAD_REPLY);
    }
    {
        StringRead s(96);
        ASSERT_EQ(s.take(6, string_reply(1, string_struct(4, "ab")), &done), ZELKC_LOGIX_OK);
        EXPECT_EQ(s.take(0, string_reply(2, {'c', 'd'}), &done), ZELKC_LOGIX_ERR_BAD_REPLY); // handle changed
    }
    {
        StringRead s(96);
        EXPECT_EQ(s.take(0, string_reply(1, {}), &done), ZELKC_LOGIX_ERR_BAD_REPLY); // no payload
    }
    {
        StringRead s(70000);
        EXPECT_EQ(s.take(0, string_reply(1, string_struct(65536, "a")), &done), ZELKC_LOGIX_ERR_BAD_REPLY);
    }
    StringRead s(96);
    EXPECT_EQ(s.take(0, string_reply(1, string_struct(1, "a"), 0x00C4), &done),
              ZELKC_LOGIX_ERR_TYPE_MISMATCH);
    EXPECT_EQ(s.take(0, {0xA0, 0x02, 0x01}, &done), ZELKC_LOGIX_ERR_TYPE_MISMATCH);
    EXPECT_EQ(s.take(5, string_reply(1, string_struct(1, "a")), &done), ZELKC_LOGIX_ERR_DEVICE);
    {
        StringRead big(96); // the offset would pass 2^32 - 1
        big.read.started = true;
        big.read.handle = 1;
        big.read.offset = 0xFFFFFFFE;
        EXPECT_EQ(big.take(6, string_reply(1, {1, 2}), &done), ZELKC_LOGIX_ERR_BAD_REPLY);
    }
}

struct BytesRead {
    std::vector<uint8_t> buf;
    zelkc_logix_bytes_read read{};
    explicit BytesRead(uint32_t size) : buf(size) {
        read.buf = buf.data();
        read.size = size;
    }
    uint8_t take(uint8_t status, const Bytes& data, bool* done) {
        Bytes exact(data);
        return zelkc_logix_bytes_fragment_accept(&read, status, exact.empty() ? nullptr : exact.data(),
                                                 uint32_t(exact.size()), done);
    }
};

TEST(LogixBytesFragments, ExactSizeAndFailures) {
    bool done = false;
    {
        BytesRead b(10); // the tag holds more than asked for
        EXPECT_EQ(b.take(6, fragment(0xC2, 10), &done), ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL);
    }
    {
        BytesRead b(10);
        ASSERT_EQ(b.take(6, fragment(0xC6, 4, 1), &done), ZELKC_LOGIX_OK);
        ASSERT_EQ(b.take(0, fragment(0xC6, 6, 2), &done), ZELKC_LOGIX_OK);
        EXPECT_TRUE(done);
        EXPECT_EQ(b.read.received, 10u);
        EXPECT_EQ(b.buf[3], 1);
        EXPECT_EQ(b.buf[4], 2);
    }
    {
        BytesRead b(10);
        EXPECT_EQ(b.take(0, fragment(0xC2, 11), &done), ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL);
    }
    {
        BytesRead b(10);
        EXPECT_EQ(b.take(0, fragment(0xC2, 9), &done), ZELKC_LOGIX_ERR_BAD_REPLY);
    }
    {
        BytesRead b(10);
        ASSERT_EQ(b.take(6, fragment(0xC2, 4), &done), ZELKC_LOGIX_OK);
        EXPECT_EQ(b.take(0, fragment(0xC6, 6), &done), ZELKC_LOGIX_ERR_BAD_REPLY);
    }
    BytesRead b(10);
    EXPECT_EQ(b.take(0, fragment(0xC4, 10), &done), ZELKC_LOGIX_ERR_TYPE_MISMATCH);
    EXPECT_EQ(b.take(0, fragment(0xC2, 0), &done), ZELKC_LOGIX_ERR_BAD_REPLY);
    EXPECT_EQ(b.take(0, {0xC2}, &done), ZELKC_LOGIX_ERR_BAD_REPLY);
    EXPECT_EQ(b.take(8, fragment(0xC2, 10), &done), ZELKC_LOGIX_ERR_DEVICE);
}

} // namespace
