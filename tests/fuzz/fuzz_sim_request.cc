// Fuzzes the simulator's request decoding: CIP requests straight to the Message Router, raw
// encapsulation streams, CIP requests inside a registered session's SendRRData, and CIP requests
// on a class 3 connection in SendUnitData (sent twice with one sequence count: the repeat must
// get the same reply). The first input byte picks the mode and the size limits; the rest is the
// input proper.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "logixsim/server.h"

namespace {

uint16_t rd16(const std::vector<uint8_t>& b, size_t at) {
    return uint16_t(b[at] | (b[at + 1] << 8));
}

// Every CIP reply has a service with the reply bit, a status and the announced extra status.
void check_cip_reply(const std::vector<uint8_t>& r) {
    if (r.size() < 4 || (r[0] & 0x80) == 0 || r[1] != 0 || r.size() < 4 + 2 * size_t(r[3]))
        std::abort();
}

// The stream a connection sends back is made of whole encapsulation messages.
void check_stream(const std::vector<uint8_t>& out) {
    size_t at = 0;
    while (at < out.size()) {
        if (out.size() - at < 24 || out.size() - at - 24 < rd16(out, at + 2))
            std::abort();
        at += 24 + rd16(out, at + 2);
    }
}

std::vector<uint8_t> message(uint16_t command, uint32_t session, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> m = {uint8_t(command),          uint8_t(command >> 8), uint8_t(body.size()),
                              uint8_t(body.size() >> 8), uint8_t(session),      uint8_t(session >> 8),
                              uint8_t(session >> 16),    uint8_t(session >> 24)};
    m.resize(24, 0);
    for (uint8_t b : body) // element by element: g++ 12 warns falsely about the range insert
        m.push_back(b);
    return m;
}

void connected(logixsim::Connection& conn, uint8_t control, const uint8_t* data, size_t size) {
    if (size > 0xFFFF - 64)
        return;
    std::vector<uint8_t> out = conn.feed(message(0x65, 0, {1, 0, 0, 0}).data(), 28);
    if (out.size() != 28)
        std::abort();
    uint32_t session = uint32_t(rd16(out, 4)) | uint32_t(rd16(out, 6)) << 16;
    // In SendRRData, a Large Forward Open of a size picked by the control byte (refused above
    // 4002 bytes): T->O id 0x12345678, triad 1/0x3333/0x1337, 100 ms packet intervals, class 3
    // to the Message Router in slot 0.
    uint32_t conn_size = 8u + 500u * (control >> 4);
    const uint8_t lo = uint8_t(conn_size), hi = uint8_t(conn_size >> 8);
    std::vector<uint8_t> rr = {0,    0,    0, 0,    0,    0,    2,    0,    0,    0, 0, 0,  0xB2, 0,    52,
                               0,    0x5B, 2, 0x20, 0x06, 0x24, 0x01, 0x0A, 0x0E, 0, 0, 0,  0,    0x78, 0x56,
                               0x34, 0x12, 1, 0,    0x33, 0x33, 0x37, 0x13, 0,    0, 0, 0,  0,    0,    0xA0,
                               0x86, 1,    0, lo,   hi,   0,    0x42, 0xA0, 0x86, 1, 0, lo, hi,   0,    0x42,
                               0xA3, 3,    1, 0,    0x20, 2,    0x24, 1};
    out = conn.feed(message(0x6F, session, rr).data(), 24 + rr.size());
    check_stream(out);
    if (out.size() < 48)
        std::abort();
    // SendUnitData on the connection (its O->T id from the reply), sequence count 7, the input.
    std::vector<uint8_t> unit = {0, 0, 0, 0, 0, 0, 2, 0, 0xA1, 0, 4, 0, 0, 0, 0, 0, 0xB1, 0, 0, 0, 7, 0};
    for (size_t i = 0; i < 4; ++i)
        unit[12 + i] = out[44 + i];
    unit[18] = uint8_t(size + 2);
    unit[19] = uint8_t((size + 2) >> 8);
    unit.insert(unit.end(), data, data + size);
    std::vector<uint8_t> m = message(0x70, session, unit);
    std::vector<uint8_t> first = conn.feed(m.data(), m.size());
    check_stream(first);
    std::vector<uint8_t> again = conn.feed(m.data(), m.size());
    // Unless the request closed its own connection, the repeat is answered from the first reply.
    if (again.size() >= 12 && rd16(again, 8) == 0 && again != first)
        std::abort();
    if (first.size() >= 46 && rd16(first, 8) == 0) {
        if (first.size() - 44 > conn_size) // the data item never outgrows the connection
            std::abort();
        if (size > 0)
            check_cip_reply(std::vector<uint8_t>(first.begin() + 46, first.end()));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    uint8_t control = data[0];
    ++data;
    --size;
    logixsim::Options options;
    if (control & 0x04)
        options.faults.reply_limit = 1 + (control >> 3);
    if (control & 0x08)
        options.faults.packet_limit = 16u * (control >> 4);
    logixsim::Connection conn(logixsim::demo_controller(), options);
    switch (control & 0x03) {
    case 0:
        check_cip_reply(conn.cip(data, size));
        break;
    case 3:
        connected(conn, control, data, size);
        break;
    case 1:
        check_stream(conn.feed(data, size));
        break;
    case 2: {
        const uint8_t reg[28] = {0x65, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                 0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
        std::vector<uint8_t> out = conn.feed(reg, sizeof reg);
        if (out.size() != 28)
            std::abort();
        size_t n = 16 + size;
        if (n > 0xFFFF)
            return 0;
        std::vector<uint8_t> m(24 + n, 0);
        m[0] = 0x6F;
        m[2] = uint8_t(n);
        m[3] = uint8_t(n >> 8);
        for (int i = 0; i < 4; ++i)
            m[4 + size_t(i)] = out[4 + size_t(i)]; // the session handle
        uint8_t cpf[16] = {0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0xB2, 0, uint8_t(size), uint8_t(size >> 8)};
        for (size_t i = 0; i < 16; ++i)
            m[24 + i] = cpf[i];
        for (size_t i = 0; i < size; ++i)
            m[40 + i] = data[i];
        out = conn.feed(m.data(), m.size());
        check_stream(out);
        if (size > 0 && out.size() >= 40)
            check_cip_reply(std::vector<uint8_t>(out.begin() + 40, out.end()));
        break;
    }
    }
    return 0;
}
