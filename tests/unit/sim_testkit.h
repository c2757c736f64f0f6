// Hand-built EtherNet/IP and CIP messages for the simulator's tests, written from the wire
// formats (little-endian integers, 24-byte encapsulation header, CPF, CIP request/reply), and
// bytes as a protocol analyser shows them: "cc 00 00 00", "xx" marking a byte not compared.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace simtest {

using Bytes = std::vector<uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b) {
    // Element by element: g++ 12 warns falsely (-Warray-bounds) about inserting small vectors.
    for (uint8_t x : b)
        a.push_back(x);
    return a;
}
inline Bytes u16(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8)}; }
inline Bytes u32(uint32_t v) { return u16(v) + u16(v >> 16); }
inline uint16_t rd16(const Bytes& b, size_t at) { return uint16_t(b.at(at) | (b.at(at + 1) << 8)); }
inline uint32_t rd32(const Bytes& b, size_t at) { return rd16(b, at) | (uint32_t(rd16(b, at + 2)) << 16); }
// ANSI extended symbol segment: 0x91, length, characters, pad to even.
inline Bytes sym(const std::string& name) {
    Bytes b{0x91, uint8_t(name.size())};
    for (char c : name)
        b.push_back(uint8_t(c));
    return name.size() % 2 ? b + Bytes{0} : b;
}
inline Bytes elem8(uint8_t i) { return {0x28, i}; }
inline Bytes cls(uint8_t c) { return {0x20, c}; }
inline Bytes inst(uint32_t i) { return i < 256 ? Bytes{0x24, uint8_t(i)} : Bytes{0x25, 0} + u16(i); }
// A CIP request: service, path size in words, path, data.
inline Bytes req(uint8_t service, const Bytes& path, const Bytes& data = {}) {
    return Bytes{service, uint8_t(path.size() / 2)} + path + data;
}

inline std::string hex(const Bytes& b) {
    std::string s;
    for (uint8_t x : b)
        s += std::string(s.empty() ? "" : " ") + "0123456789abcdef"[x >> 4] + "0123456789abcdef"[x & 15];
    return s;
}
inline Bytes bytes(const std::string& hex) {
    Bytes b;
    for (size_t i = 0; i + 1 < hex.size(); i += 3)
        b.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return b;
}
// `got` with the places `want` marks "xx" masked alike: compare the result with `want`.
inline std::string masked(std::string got, const std::string& want) {
    for (size_t i = 0; i < got.size() && i < want.size(); ++i)
        if (want[i] == 'x')
            got[i] = 'x';
    return got;
}

// A complete encapsulation message.
inline Bytes encap(uint16_t command, uint32_t session, const Bytes& data,
                   uint64_t context = 0x1122334455667788ull) {
    return u16(command) + u16(uint32_t(data.size())) + u32(session) + u32(0) + u32(uint32_t(context)) +
           u32(uint32_t(context >> 32)) + u32(0) + data;
}
inline const Bytes kRegisterSession = encap(0x0065, 0, {1, 0, 0, 0});
// SendRRData CPF around a CIP request: null address item, unconnected data item.
inline Bytes cpf(const Bytes& cip) {
    return u32(0) + u16(0) + u16(2) + u16(0) + u16(0) + u16(0xB2) + u16(uint32_t(cip.size())) + cip;
}

} // namespace simtest
