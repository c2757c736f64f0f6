// Little-endian byte writing and bounds-checked reading for the simulator's wire formats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace logixsim::detail {

using Bytes = std::vector<uint8_t>;

inline void put_u8(Bytes& out, uint8_t v) {
    out.push_back(v);
}
inline void put_u16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void put_u32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void put_u64(Bytes& out, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void put_bytes(Bytes& out, const uint8_t* data, size_t size) {
    if (size != 0)
        out.insert(out.end(), data, data + size);
}
inline void put_text(Bytes& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
}

inline uint16_t get_u16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get_u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t get_u64(const uint8_t* p) {
    return static_cast<uint64_t>(get_u32(p)) | (static_cast<uint64_t>(get_u32(p + 4)) << 32);
}
inline void set_u16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void set_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A cursor over received bytes; every read checks that the bytes are there.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    size_t left() const { return size_ - pos_; }
    size_t pos() const { return pos_; }
    const uint8_t* here() const { return data_ + pos_; }
    bool u8(uint8_t& v) {
        if (left() < 1)
            return false;
        v = data_[pos_++];
        return true;
    }
    bool u16(uint16_t& v) {
        if (left() < 2)
            return false;
        v = get_u16(data_ + pos_);
        pos_ += 2;
        return true;
    }
    bool u32(uint32_t& v) {
        if (left() < 4)
            return false;
        v = get_u32(data_ + pos_);
        pos_ += 4;
        return true;
    }
    bool skip(size_t n) {
        if (left() < n)
            return false;
        pos_ += n;
        return true;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

} // namespace logixsim::detail
