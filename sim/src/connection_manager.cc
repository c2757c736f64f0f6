// The Connection Manager (class 0x06): Unconnected Send to the controller's slot, Forward Open,
// Large Forward Open and Forward Close; and the table of class 3 connections they keep.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "objects.h"

namespace logixsim::detail {

namespace {

// Connection sizes a Forward Open may ask for, and the least that carries a sequence count and
// a CIP reply header.
constexpr size_t kMaxConnection = 504;
constexpr size_t kMaxLargeConnection = 4002;
constexpr size_t kMinConnection = 8;

// Unconnected Send: the route must lead over the backplane (port 1) to the controller's own
// slot; the embedded request's own reply then comes back unwrapped, as through a real bridge.
Bytes unconnected_send(Cip& cip, const uint8_t* data, size_t dlen, int depth) {
    Reader r(data, dlen);
    uint8_t tick = 0, ticks = 0, words = 0, reserved = 0;
    uint16_t length = 0;
    if (!r.u8(tick) || !r.u8(ticks) || !r.u16(length) || r.left() < length)
        return reply(0x52, kStatusNotEnoughData);
    const uint8_t* message = r.here();
    r.skip(length);
    if ((length & 1) != 0 && !r.skip(1))
        return reply(0x52, kStatusNotEnoughData);
    if (!r.u8(words) || !r.u8(reserved) || r.left() < static_cast<size_t>(words) * 2)
        return reply(0x52, kStatusNotEnoughData);
    const uint8_t* route = r.here();
    size_t route_size = static_cast<size_t>(words) * 2;
    // Remaining path size (the whole route: nothing of it was used), then a reserved byte.
    auto routing_error = [&](uint16_t extended) {
        Bytes remaining{words, 0};
        return reply(0x52, kStatusConnectionFailure, {extended}, remaining);
    };
    if (route_size < 2 || (route[0] & 0xE0) != 0)
        return routing_error(0x0315);
    uint8_t port = route[0] & 0x0F;
    size_t segment_size;
    int link = -1;
    if ((route[0] & 0x10) == 0) {
        segment_size = 2;
        link = route[1];
    } else {
        size_t len = route[1];
        segment_size = 2 + len + (len & 1);
        if (segment_size > route_size)
            return routing_error(0x0315);
        if (len == 1)
            link = route[2];
    }
    if (port != 1)
        return routing_error(0x0311);
    if (segment_size != route_size)
        return routing_error(0x0315);
    if (link != cip.limits.slot)
        return routing_error(0x0312);
    if (depth >= kMaxDepth)
        return reply(0x52, kStatusServiceUnsupported);
    return cip.handle(message, length, depth + 1);
}

// Forward Open (16-bit network connection parameters, up to 504 bytes) and Large Forward
// Open (32-bit, up to 4002 bytes): a class 3 connection to the Message Router, reached
// directly or through a port segment to the controller's slot.
Bytes forward_open(Cip& cip, uint8_t service, const uint8_t* data, size_t dlen) {
    const bool large = service == 0x5B;
    Reader r(data, dlen);
    uint8_t tick = 0, ticks = 0, multiplier = 0, trigger = 0, words = 0;
    uint16_t serial = 0, vendor = 0;
    uint32_t ot_id = 0, to_id = 0, originator = 0, ot_rpi = 0, to_rpi = 0, ot_params = 0, to_params = 0;
    auto params = [&](uint32_t& v) {
        uint16_t p16 = 0;
        bool ok = large ? r.u32(v) : r.u16(p16);
        if (!large)
            v = p16;
        return ok;
    };
    if (!r.u8(tick) || !r.u8(ticks) || !r.u32(ot_id) || !r.u32(to_id) || !r.u16(serial) ||
        !r.u16(vendor) || !r.u32(originator) || !r.u8(multiplier) || !r.skip(3) || !r.u32(ot_rpi) ||
        !params(ot_params) || !r.u32(to_rpi) || !params(to_params) || !r.u8(trigger) || !r.u8(words) ||
        r.left() < static_cast<size_t>(words) * 2)
        return reply(service, kStatusNotEnoughData);
    // A refusal echoes the connection's triad, then the remaining path size and a reserved byte.
    auto refuse = [&](std::initializer_list<uint16_t> extended, uint8_t remaining = 0) {
        Bytes d;
        put_u16(d, serial);
        put_u16(d, vendor);
        put_u32(d, originator);
        put_u8(d, remaining);
        put_u8(d, 0);
        return reply(service, kStatusConnectionFailure, extended, d);
    };
    const uint8_t* path = r.here();
    size_t n = static_cast<size_t>(words) * 2, at = 0;
    if (n >= 2 && (path[0] & 0xE0) == 0) { // a port segment first: the backplane, our slot
        if ((path[0] & 0x10) != 0)
            return refuse({0x0315}, words);
        if ((path[0] & 0x0F) != 1)
            return refuse({0x0311}, words);
        if (path[1] != cip.limits.slot)
            return refuse({0x0312}, words);
        at = 2;
    }
    static const uint8_t kRouter[4] = {0x20, 0x02, 0x24, 0x01};
    if (n - at != sizeof kRouter || std::memcmp(path + at, kRouter, sizeof kRouter) != 0)
        return refuse({0x0315}, words);
    if ((trigger & 0x0F) != 3)
        return refuse({0x0103});
    const size_t max = large ? kMaxLargeConnection : kMaxConnection;
    const uint32_t size_mask = large ? 0xFFFFu : 0x1FFu;
    CipConnection c;
    c.ot_size = ot_params & size_mask;
    c.to_size = to_params & size_mask;
    // Sizes beyond the limit are refused with the largest size allowed as a second word.
    if (c.ot_size > max || c.to_size > max || c.ot_size < kMinConnection || c.to_size < kMinConnection)
        return refuse({0x0109, static_cast<uint16_t>(max)});
    if (ot_rpi == 0 || to_rpi == 0)
        return refuse({0x0111});
    c.to_id = to_id;
    c.serial = serial;
    c.vendor = vendor;
    c.originator = originator;
    c.session = cip.env.session;
    c.timeout_us = static_cast<int64_t>(ot_rpi) * (int64_t{4} << std::min<uint8_t>(multiplier, 7));
    if (uint16_t e = cip.env.connections.open(c); e != 0)
        return refuse({e});
    Bytes d;
    put_u32(d, c.ot_id);
    put_u32(d, c.to_id);
    put_u16(d, serial);
    put_u16(d, vendor);
    put_u32(d, originator);
    put_u32(d, ot_rpi); // actual packet intervals: as asked
    put_u32(d, to_rpi);
    put_u8(d, 0); // application reply size
    put_u8(d, 0);
    return reply(service, kStatusOk, {}, d);
}

Bytes forward_close(Cip& cip, const uint8_t* data, size_t dlen) {
    Reader r(data, dlen);
    uint8_t tick = 0, ticks = 0;
    uint16_t serial = 0, vendor = 0;
    uint32_t originator = 0;
    if (!r.u8(tick) || !r.u8(ticks) || !r.u16(serial) || !r.u16(vendor) || !r.u32(originator))
        return reply(0x4E, kStatusNotEnoughData);
    bool closed = cip.env.connections.close(serial, vendor, originator);
    Bytes d;
    put_u16(d, serial);
    put_u16(d, vendor);
    put_u32(d, originator);
    put_u8(d, 0); // application reply size, or the remaining path size of a refusal
    put_u8(d, 0);
    if (!closed)
        return reply(0x4E, kStatusConnectionFailure, {0x0107}, d);
    return reply(0x4E, kStatusOk, {}, d);
}

} // namespace

Bytes connection_manager_object(Cip& cip, const Request& r) {
    if (!r.has_instance || r.instance != 1)
        return reply(r.service, kStatusPathUnknown);
    if (r.service == 0x52)
        return cip.limits.no_unconnected_send ? reply(0x52, kStatusServiceUnsupported)
                                              : unconnected_send(cip, r.data, r.dlen, r.depth);
    if (r.service == 0x54 || r.service == 0x5B)
        return forward_open(cip, r.service, r.data, r.dlen);
    if (r.service == 0x4E)
        return forward_close(cip, r.data, r.dlen);
    return reply(r.service, kStatusServiceUnsupported);
}

namespace {
int64_t steady_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

ConnectionTable::ConnectionTable(std::function<int64_t()> clock)
    : clock_(clock ? std::move(clock) : std::function<int64_t()>(steady_us)) {}

void ConnectionTable::expire_locked(int64_t now) {
    const int64_t limit = idle_limit_us_.load();
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (now - it->second.last_active_us > (limit > 0 ? limit : it->second.c.timeout_us))
            it = entries_.erase(it);
        else
            ++it;
    }
}

uint16_t ConnectionTable::open(CipConnection& c) {
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t now = clock_();
    expire_locked(now);
    for (const auto& [id, e] : entries_)
        if (e.c.serial == c.serial && e.c.vendor == c.vendor && e.c.originator == c.originator)
            return 0x0100;
    const size_t limit = limit_.load();
    if (entries_.size() >= (limit == 0 ? kCapacity : std::min(limit, kCapacity)))
        return 0x0113;
    while (next_id_ == 0 || entries_.count(next_id_) != 0)
        ++next_id_;
    c.ot_id = next_id_++;
    Entry& e = entries_[c.ot_id];
    e.c = c;
    e.last_active_us = now;
    return 0;
}

bool ConnectionTable::close(uint16_t serial, uint16_t vendor, uint32_t originator) {
    std::lock_guard<std::mutex> lock(mutex_);
    expire_locked(clock_());
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        const CipConnection& c = it->second.c;
        if (c.serial == serial && c.vendor == vendor && c.originator == originator) {
            entries_.erase(it);
            return true;
        }
    }
    return false;
}

void ConnectionTable::close_session(uint32_t session) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->second.c.session == session)
            it = entries_.erase(it);
        else
            ++it;
    }
}

bool ConnectionTable::use(uint32_t ot_id, uint32_t session, uint16_t sequence, Use& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t now = clock_();
    expire_locked(now);
    auto it = entries_.find(ot_id);
    if (it == entries_.end() || it->second.c.session != session)
        return false;
    Entry& e = it->second;
    e.last_active_us = now;
    out.connection = e.c;
    out.repeat = e.answered && e.sequence == sequence;
    if (out.repeat)
        out.previous = e.reply;
    return true;
}

void ConnectionTable::remember(uint32_t ot_id, uint16_t sequence, const Bytes& reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(ot_id);
    if (it == entries_.end())
        return;
    it->second.answered = true;
    it->second.sequence = sequence;
    it->second.reply = reply;
}

size_t ConnectionTable::size() {
    std::lock_guard<std::mutex> lock(mutex_);
    expire_locked(clock_());
    return entries_.size();
}

} // namespace logixsim::detail
