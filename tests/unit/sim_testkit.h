// Hand-built EtherNet/IP and CIP messages for the simulator's tests, written from the wire
// formats (little-endian integers, 24-byte encapsulation header, CPF, CIP request/reply).
#pragma once

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace simtest {

using Bytes = std::vector<uint8_t>;

inline Bytes& operator+=(Bytes& a, const Bytes& b) {
    // Element by element: g++ 12 warns falsely (-Warray-bounds) about inserting small vectors.
    a.reserve(a.size() + b.size());
    for (uint8_t x : b)
        a.push_back(x);
    return a;
}
inline Bytes operator+(Bytes a, const Bytes& b) {
    return a += b;
}

inline Bytes u16(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8)};
}
inline Bytes u32(uint32_t v) {
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
inline uint16_t rd16(const Bytes& b, size_t at) {
    return uint16_t(b.at(at) | (b.at(at + 1) << 8));
}
inline uint32_t rd32(const Bytes& b, size_t at) {
    return uint32_t(rd16(b, at)) | (uint32_t(rd16(b, at + 2)) << 16);
}

// ANSI extended symbol segment: 0x91, length, characters, pad to even.
inline Bytes sym(const std::string& name) {
    Bytes b{0x91, uint8_t(name.size())};
    for (char c : name)
        b.push_back(uint8_t(c));
    if (name.size() % 2)
        b.push_back(0);
    return b;
}
inline Bytes elem8(uint8_t i) {
    return {0x28, i};
}
inline Bytes elem16(uint16_t i) {
    return Bytes{0x29, 0} + u16(i);
}
inline Bytes elem32(uint32_t i) {
    return Bytes{0x2A, 0} + u32(i);
}
inline Bytes cls(uint8_t c) {
    return {0x20, c};
}
inline Bytes inst(uint32_t i) {
    return i < 256 ? Bytes{0x24, uint8_t(i)} : Bytes{0x25, 0} + u16(i);
}

// A CIP request: service, path size in words, path, data.
inline Bytes req(uint8_t service, const Bytes& path, const Bytes& data = {}) {
    Bytes b{service, uint8_t(path.size() / 2)};
    return b + path + data;
}

struct Reply {
    uint8_t service = 0;
    uint8_t status = 0xEE;
    std::vector<uint16_t> extended;
    Bytes data;
};

// Splits an encoded CIP reply, failing the test when it is malformed.
inline Reply parse(const Bytes& b) {
    Reply r;
    EXPECT_GE(b.size(), 4u);
    if (b.size() < 4)
        return r;
    r.service = b[0];
    EXPECT_EQ(b[1], 0) << "reserved byte";
    r.status = b[2];
    size_t n = b[3];
    EXPECT_GE(b.size(), 4 + 2 * n);
    for (size_t i = 0; i < n && 4 + 2 * i + 1 < b.size(); ++i)
        r.extended.push_back(rd16(b, 4 + 2 * i));
    if (b.size() > 4 + 2 * n)
        r.data.assign(b.begin() + long(4 + 2 * n), b.end());
    return r;
}

// A complete encapsulation message.
inline Bytes encap(uint16_t command, uint32_t session, const Bytes& data,
                   uint64_t context = 0x1122334455667788ull) {
    Bytes b = u16(command) + u16(uint32_t(data.size())) + u32(session) + u32(0) + u32(uint32_t(context)) +
              u32(uint32_t(context >> 32)) + u32(0);
    return b + data;
}
inline Bytes register_session() {
    return encap(0x0065, 0, {1, 0, 0, 0});
}
// SendRRData CPF around a CIP request: null address item, unconnected data item.
inline Bytes cpf(const Bytes& cip) {
    return u32(0) + u16(0) + u16(2) + u16(0) + u16(0) + u16(0xB2) + u16(uint32_t(cip.size())) + cip;
}

inline std::string demo_path() {
    return std::string(SIM_SOURCE_DIR) + "/controllers/demo.json";
}
inline nlohmann::json demo_json() {
    std::ifstream in(demo_path());
    return nlohmann::json::parse(in);
}

} // namespace simtest
