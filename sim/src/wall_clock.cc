// The wall clock object (class 0x8B instance 1): the simulator's own clock, read and set as
// microseconds since 1970 or as calendar fields.
#include <algorithm>
#include <ctime>

#include "objects.h"
#include "platform.h"

namespace logixsim::detail {

namespace {

// The wall clock goes up to the end of the year 9999.
constexpr uint64_t kLatestClockUs = 253402300799999999ull;

// The wall clock: attribute 0x0B is microseconds since 1970 (64-bit); attribute 6 the local
// time in the same form, which is the same value here (the simulated controller keeps UTC);
// attribute 5 the time as year, month, day, hour, minute, second, microsecond (32 bits each).
Bytes wall_clock(Cip& cip, uint8_t service, const std::vector<Segment>& segs, const uint8_t* data, size_t dlen) {
    auto get = [&](uint16_t a, Bytes& d) {
        int64_t now = cip.store.clock_us();
        if (a == 0x0B || a == 6) {
            put_u64(d, static_cast<uint64_t>(now));
            return true;
        }
        if (a != 5)
            return false;
        std::time_t seconds = static_cast<std::time_t>(now / 1000000);
        const std::tm t = platform::utc_time(seconds);
        for (int v : {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec})
            put_u32(d, static_cast<uint32_t>(v));
        put_u32(d, static_cast<uint32_t>(now % 1000000));
        return true;
    };
    // Sets attribute `a` from the reader; the status of that attribute.
    auto set = [&](uint16_t a, Reader& in) -> uint8_t {
        if (a == 0x0B || a == 6) {
            uint32_t lo = 0, hi = 0;
            if (!in.u32(lo) || !in.u32(hi))
                return kStatusNotEnoughData;
            uint64_t us = (static_cast<uint64_t>(hi) << 32) | lo;
            if (us > kLatestClockUs)
                return kStatusInvalidAttributeValue;
            cip.store.set_clock_us(static_cast<int64_t>(us));
            return kStatusOk;
        }
        if (a != 5)
            return kStatusAttributeUnsupported;
        uint32_t f[7];
        for (uint32_t& v : f)
            if (!in.u32(v))
                return kStatusNotEnoughData;
        if (f[0] < 1970 || f[0] > 9999 || f[1] < 1 || f[1] > 12 || f[2] < 1 || f[2] > 31 || f[3] > 23 ||
            f[4] > 59 || f[5] > 59 || f[6] > 999999)
            return kStatusInvalidAttributeValue;
        std::tm t{};
        t.tm_year = static_cast<int>(f[0]) - 1900;
        t.tm_mon = static_cast<int>(f[1]) - 1;
        t.tm_mday = static_cast<int>(f[2]);
        t.tm_hour = static_cast<int>(f[3]);
        t.tm_min = static_cast<int>(f[4]);
        t.tm_sec = static_cast<int>(f[5]);
        cip.store.set_clock_us(static_cast<int64_t>(platform::from_utc(&t)) * 1000000 + f[6]);
        return kStatusOk;
    };
    Reader r(data, dlen);
    switch (service) {
    case 0x0E:
    case 0x10: {
        if (segs.size() < 3 || segs[2].kind != Segment::Attribute)
            return reply(service, kStatusPathSegment);
        uint16_t a = static_cast<uint16_t>(std::min<uint32_t>(segs[2].value, 0xFFFF));
        Bytes d;
        if (service == 0x0E)
            return get(a, d) ? reply(service, kStatusOk, {}, d)
                             : reply(service, kStatusAttributeUnsupported);
        uint8_t st = set(a, r);
        if (st == kStatusOk && r.left() != 0)
            st = kStatusTooMuchData;
        return reply(service, st);
    }
    case 0x03:
    case 0x04: {
        uint16_t count = 0;
        if (!r.u16(count) || count == 0)
            return reply(service, kStatusNotEnoughData);
        Bytes d;
        put_u16(d, count);
        bool failed = false;
        for (uint16_t i = 0; i < count; ++i) {
            uint16_t a = 0;
            if (!r.u16(a))
                return reply(service, kStatusNotEnoughData);
            put_u16(d, a);
            if (service == 0x03) {
                size_t at = d.size();
                put_u16(d, 0);
                if (!get(a, d)) {
                    set_u16(d.data() + at, kStatusAttributeUnsupported);
                    failed = true;
                }
                continue;
            }
            uint8_t st = set(a, r);
            put_u16(d, st);
            if (st != kStatusOk) { // the values after it cannot be told apart any more
                set_u16(d.data(), static_cast<uint16_t>(i + 1));
                return reply(service, kStatusAttributeList, {}, d);
            }
        }
        return reply(service, failed ? kStatusAttributeList : kStatusOk, {}, d);
    }
    default:
        return reply(service, kStatusServiceUnsupported);
    }
}

} // namespace

Bytes wall_clock_object(Cip& cip, const Request& r) {
    if (!r.has_instance || r.instance != 1)
        return reply(r.service, kStatusPathUnknown);
    return wall_clock(cip, r.service, r.segs, r.data, r.dlen);
}

} // namespace logixsim::detail
