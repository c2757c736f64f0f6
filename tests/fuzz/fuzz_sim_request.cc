// Fuzzes the simulator's request decoding: CIP requests straight to the Message Router, raw
// encapsulation streams, and CIP requests inside a registered session's SendRRData.
// The first input byte picks the mode and the size limits; the rest is the input proper.
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
    case 3:
        check_cip_reply(conn.cip(data, size));
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
