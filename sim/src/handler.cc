// The simulated controller's answers: CIP Message Router requests to the Identity object,
// the Message Router (Multiple Service Packet), the Connection Manager (Unconnected Send),
// the Logix symbol and template objects and symbolic tag reads; and the encapsulation layer.
#include "handler.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace logixsim::detail {

namespace {

// Replies beyond this stay under the 65535-byte encapsulation limit together with their framing.
constexpr size_t kMaxCipReply = 65000;
// Connection sizes a Forward Open may ask for, and the least that carries a sequence count and
// a CIP reply header.
constexpr size_t kMaxConnection = 504;
constexpr size_t kMaxLargeConnection = 4002;
constexpr size_t kMinConnection = 8;
// The wall clock goes up to the end of the year 9999.
constexpr uint64_t kLatestClockUs = 253402300799999999ull;
// Nesting of Unconnected Send and Multiple Service Packet requests inside each other.
constexpr int kMaxDepth = 3;

Bytes reply(uint8_t service, uint8_t status, std::initializer_list<uint16_t> extended = {},
            const Bytes& data = {}) {
    Bytes out;
    out.reserve(4 + 2 * extended.size() + data.size());
    put_u8(out, static_cast<uint8_t>(service | 0x80));
    put_u8(out, 0);
    put_u8(out, status);
    put_u8(out, static_cast<uint8_t>(extended.size()));
    for (uint16_t e : extended)
        put_u16(out, e);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes path_error(uint8_t service, const PathError& e) {
    if (e.extended != 0)
        return reply(service, e.general, {e.extended});
    return reply(service, e.general);
}

struct Segment {
    enum Kind { Class, Instance, Element, ConnectionPoint, Attribute, Symbol } kind;
    uint32_t value = 0;
    std::string name;
};

// Decodes an EPATH of logical and ANSI extended symbol segments; false on anything else.
bool parse_path(const uint8_t* p, size_t n, std::vector<Segment>& out) {
    Reader r(p, n);
    out.reserve(4);
    while (r.left() > 0) {
        uint8_t t = 0;
        r.u8(t);
        if (t == 0x91) {
            uint8_t len = 0;
            if (!r.u8(len) || len == 0 || r.left() < len)
                return false;
            Segment s{Segment::Symbol, 0, std::string(reinterpret_cast<const char*>(r.here()), len)};
            r.skip(len);
            if ((len & 1) != 0 && !r.skip(1))
                return false;
            out.push_back(std::move(s));
            continue;
        }
        if ((t & 0xE0) != 0x20)
            return false;
        uint8_t logical = static_cast<uint8_t>((t >> 2) & 7);
        uint8_t format = t & 3;
        uint32_t value = 0;
        if (format == 0) {
            uint8_t v = 0;
            if (!r.u8(v))
                return false;
            value = v;
        } else if (format == 1) {
            uint16_t v = 0;
            if (!r.skip(1) || !r.u16(v))
                return false;
            value = v;
        } else if (format == 2) {
            if (!r.skip(1) || !r.u32(value))
                return false;
        } else {
            return false;
        }
        static const Segment::Kind kinds[] = {Segment::Class, Segment::Instance, Segment::Element,
                                              Segment::ConnectionPoint, Segment::Attribute};
        if (logical > 4)
            return false;
        out.push_back(Segment{kinds[logical], value, {}});
    }
    return true;
}

class Cip {
public:
    Cip(Env& env, const Limits& limits)
        : env_(env), store_(env.store), c_(env.store.controller()), limits_(limits) {}

    Bytes handle(const uint8_t* req, size_t size, int depth) {
        if (size < 2)
            return reply(size == 0 ? 0 : req[0], kStatusNotEnoughData);
        uint8_t service = req[0];
        if ((service & 0x80) != 0)
            return reply(service, kStatusServiceUnsupported);
        size_t path_size = static_cast<size_t>(req[1]) * 2;
        if (2 + path_size > size)
            return reply(service, kStatusPathSegment);
        std::vector<Segment> segs;
        if (!parse_path(req + 2, path_size, segs))
            return reply(service, kStatusPathSegment);
        const uint8_t* data = req + 2 + path_size;
        size_t dlen = size - 2 - path_size;
        if (segs.empty())
            return reply(service, kStatusPathUnknown);
        if (segs[0].kind == Segment::Symbol)
            return symbolic(service, segs, data, dlen);
        if (segs[0].kind != Segment::Class)
            return reply(service, kStatusPathSegment);
        uint32_t cls = segs[0].value;
        bool has_instance = segs.size() > 1 && segs[1].kind == Segment::Instance;
        uint32_t instance = has_instance ? segs[1].value : 0;
        switch (cls) {
        case 0x01:
            if (!has_instance || instance != 1)
                return reply(service, kStatusPathUnknown);
            return identity(service, segs);
        case 0x02:
            if (!has_instance || instance != 1)
                return reply(service, kStatusPathUnknown);
            if (service != 0x0A || limits_.no_multiple_service)
                return reply(service, kStatusServiceUnsupported);
            return multiple(size, data, dlen, depth);
        case 0x06:
            if (!has_instance || instance != 1)
                return reply(service, kStatusPathUnknown);
            if (service == 0x52)
                return unconnected_send(data, dlen, depth);
            if (service == 0x54 || service == 0x5B)
                return forward_open(service, data, dlen);
            if (service == 0x4E)
                return forward_close(data, dlen);
            return reply(service, kStatusServiceUnsupported);
        case 0x64:
            if (!has_instance || instance != 1)
                return reply(service, kStatusPathUnknown);
            if (service != 0x01)
                return reply(service, kStatusServiceUnsupported);
            {
                Bytes d;
                put_u16(d, static_cast<uint16_t>(c_.name.size()));
                put_text(d, c_.name);
                return reply(service, kStatusOk, {}, d);
            }
        case 0x8B:
            if (!has_instance || instance != 1)
                return reply(service, kStatusPathUnknown);
            return wall_clock(service, segs, data, dlen);
        case 0x6B:
            if (limits_.no_symbol_object)
                return reply(service, kStatusPathUnknown);
            if (service == 0x55)
                return browse(c_.controller, instance, data, dlen);
            if (is_tag_service(service)) {
                const Tag* tag = has_instance ? c_.tag_by_instance(instance) : nullptr;
                if (tag == nullptr)
                    return reply(service, kStatusPathUnknown);
                return tag_service(service, *tag, segs, 2, data, dlen);
            }
            return reply(service, kStatusServiceUnsupported);
        case 0x6C: {
            auto it = has_instance ? c_.templates_by_id.find(instance) : c_.templates_by_id.end();
            if (it == c_.templates_by_id.end() || refused(*it->second))
                return reply(service, kStatusPathUnknown);
            if (service == 0x03)
                return template_attributes(*it->second, data, dlen);
            if (service == 0x4C)
                return read_template(*it->second, data, dlen);
            return reply(service, kStatusServiceUnsupported);
        }
        default:
            return reply(service, kStatusPathUnknown);
        }
    }

private:
    bool refused(const Template& t) const {
        const auto* names = limits_.refused_templates;
        return names != nullptr && std::find(names->begin(), names->end(), t.name) != names->end();
    }

    Env& env_;
    ValueStore& store_;
    const Controller& c_;
    const Limits& limits_;

    Bytes identity(uint8_t service, const std::vector<Segment>& segs) {
        const Identity& id = c_.identity;
        Bytes d;
        auto attribute = [&](uint32_t a) {
            switch (a) {
            case 1:
                put_u16(d, id.vendor_id);
                return true;
            case 2:
                put_u16(d, id.device_type);
                return true;
            case 3:
                put_u16(d, id.product_code);
                return true;
            case 4:
                put_u8(d, id.revision_major);
                put_u8(d, id.revision_minor);
                return true;
            case 5:
                put_u16(d, id.status);
                return true;
            case 6:
                put_u32(d, id.serial_number);
                return true;
            case 7:
                put_u8(d, static_cast<uint8_t>(id.product_name.size()));
                put_text(d, id.product_name);
                return true;
            case 8:
                put_u8(d, id.state);
                return true;
            default:
                return false;
            }
        };
        if (service == 0x01) {
            for (uint32_t a = 1; a <= 8; ++a)
                attribute(a);
            return reply(service, kStatusOk, {}, d);
        }
        if (service == 0x0E) {
            if (segs.size() < 3 || segs[2].kind != Segment::Attribute)
                return reply(service, kStatusPathSegment);
            if (!attribute(segs[2].value))
                return reply(service, kStatusAttributeUnsupported);
            return reply(service, kStatusOk, {}, d);
        }
        return reply(service, kStatusServiceUnsupported);
    }

    Bytes multiple(size_t size, const uint8_t* data, size_t dlen, int depth) {
        if (size > limits_.packet_limit)
            return reply(0x0A, kStatusRequestTooLarge);
        if (depth >= kMaxDepth)
            return reply(0x0A, kStatusServiceUnsupported);
        if (dlen < 2)
            return reply(0x0A, kStatusNotEnoughData);
        size_t count = get_u16(data);
        if (count == 0)
            return reply(0x0A, kStatusInvalidParameter);
        size_t table = 2 + 2 * count;
        if (table > dlen)
            return reply(0x0A, kStatusNotEnoughData);
        std::vector<size_t> starts(count);
        for (size_t i = 0; i < count; ++i) {
            starts[i] = get_u16(data + 2 + 2 * i);
            if (starts[i] < table || starts[i] > dlen || (i > 0 && starts[i] < starts[i - 1]))
                return reply(0x0A, kStatusInvalidParameter);
        }
        std::vector<Bytes> replies(count);
        bool failed = false;
        size_t total = table;
        for (size_t i = 0; i < count; ++i) {
            size_t end = i + 1 < count ? starts[i + 1] : dlen;
            replies[i] = handle(data + starts[i], end - starts[i], depth + 1);
            uint8_t status = replies[i][2];
            failed = failed || (status != kStatusOk && status != kStatusPartial);
            total += replies[i].size();
            if (total + 4 > std::min(kMaxCipReply, limits_.max_reply))
                return reply(0x0A, kStatusReplyTooLarge);
        }
        Bytes d;
        d.reserve(total);
        put_u16(d, static_cast<uint16_t>(count));
        size_t offset = table;
        for (const Bytes& r : replies) {
            put_u16(d, static_cast<uint16_t>(offset));
            offset += r.size();
        }
        for (const Bytes& r : replies)
            d.insert(d.end(), r.begin(), r.end());
        return reply(0x0A, failed ? kStatusEmbeddedError : kStatusOk, {}, d);
    }

    // Unconnected Send: the route must lead over the backplane (port 1) to the controller's own
    // slot; the embedded request's own reply then comes back unwrapped, as through a real bridge.
    Bytes unconnected_send(const uint8_t* data, size_t dlen, int depth) {
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
        if (link != limits_.slot)
            return routing_error(0x0312);
        if (depth >= kMaxDepth)
            return reply(0x52, kStatusServiceUnsupported);
        return handle(message, length, depth + 1);
    }

    // Forward Open (16-bit network connection parameters, up to 504 bytes) and Large Forward
    // Open (32-bit, up to 4002 bytes): a class 3 connection to the Message Router, reached
    // directly or through a port segment to the controller's slot.
    Bytes forward_open(uint8_t service, const uint8_t* data, size_t dlen) {
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
            if (path[1] != limits_.slot)
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
        c.session = env_.session;
        c.timeout_us = static_cast<int64_t>(ot_rpi) * (int64_t{4} << std::min<uint8_t>(multiplier, 7));
        if (uint16_t e = env_.connections.open(c); e != 0)
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

    Bytes forward_close(const uint8_t* data, size_t dlen) {
        Reader r(data, dlen);
        uint8_t tick = 0, ticks = 0;
        uint16_t serial = 0, vendor = 0;
        uint32_t originator = 0;
        if (!r.u8(tick) || !r.u8(ticks) || !r.u16(serial) || !r.u16(vendor) || !r.u32(originator))
            return reply(0x4E, kStatusNotEnoughData);
        bool closed = env_.connections.close(serial, vendor, originator);
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

    // The wall clock: attribute 0x0B is microseconds since 1970 (64-bit); attribute 6 the local
    // time in the same form, which is the same value here (the simulated controller keeps UTC);
    // attribute 5 the time as year, month, day, hour, minute, second, microsecond (32 bits each).
    Bytes wall_clock(uint8_t service, const std::vector<Segment>& segs, const uint8_t* data, size_t dlen) {
        auto get = [&](uint16_t a, Bytes& d) {
            int64_t now = store_.clock_us();
            if (a == 0x0B || a == 6) {
                put_u64(d, static_cast<uint64_t>(now));
                return true;
            }
            if (a != 5)
                return false;
            std::time_t seconds = static_cast<std::time_t>(now / 1000000);
            std::tm t{};
            gmtime_r(&seconds, &t);
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
                store_.set_clock_us(static_cast<int64_t>(us));
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
            store_.set_clock_us(static_cast<int64_t>(timegm(&t)) * 1000000 + f[6]);
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

    static size_t add_symbol_entry(Bytes& out, const Symbol& s, const std::vector<uint16_t>& attributes) {
        size_t start = out.size();
        put_u32(out, s.instance);
        for (uint16_t a : attributes) {
            switch (a) {
            case 1:
                put_u16(out, static_cast<uint16_t>(s.name.size()));
                put_text(out, s.name);
                break;
            case 2:
                put_u16(out, s.word);
                break;
            case 3: // where the tag lives in controller memory: a stable made-up address
                put_u32(out, s.tag != nullptr ? 0x00200000u + s.instance * 0x100u : 0);
                break;
            case 5: // the symbol object's own address
                put_u32(out, 0x00100000u + s.instance * 0x10u);
                break;
            case 6: // software control flags: none
                put_u32(out, 0);
                break;
            case 7:
                put_u16(out, static_cast<uint16_t>(s.tag != nullptr ? s.tag->type.size() : 0));
                break;
            case 8:
                for (uint32_t d : s.dims)
                    put_u32(out, d);
                break;
            case 10: // external access: tags read/write (0), everything else none (3)
                put_u8(out, s.tag != nullptr ? 0 : 3);
                break;
            }
        }
        return out.size() - start;
    }

    // Get Instance Attribute List on the symbol class: entries from the requested instance on,
    // as many as fit the reply size, status 6 while more follow.
    Bytes browse(const Scope& scope, uint32_t start, const uint8_t* data, size_t dlen) {
        if (dlen < 2)
            return reply(0x55, kStatusNotEnoughData);
        size_t n = get_u16(data);
        if (dlen < 2 + 2 * n)
            return reply(0x55, kStatusNotEnoughData);
        if (n == 0)
            return reply(0x55, kStatusInvalidParameter);
        std::vector<uint16_t> attributes;
        for (size_t i = 0; i < n; ++i) {
            uint16_t a = get_u16(data + 2 + 2 * i);
            if (a == 0 || a == 4 || a == 9 || a > 10)
                return reply(0x55, kStatusAttributeUnsupported);
            attributes.push_back(a);
        }
        auto it = std::lower_bound(scope.symbols.begin(), scope.symbols.end(), start,
                                   [](const Symbol& s, uint32_t v) { return s.instance < v; });
        Bytes d;
        d.reserve(std::min(limits_.reply_limit, kMaxCipReply) + 64);
        for (; it != scope.symbols.end(); ++it) {
            size_t before = d.size();
            add_symbol_entry(d, *it, attributes);
            if (d.size() > limits_.reply_limit && before > 0) {
                d.resize(before);
                return reply(0x55, kStatusPartial, {}, d);
            }
        }
        return reply(0x55, kStatusOk, {}, d);
    }

    Bytes template_attributes(const Template& t, const uint8_t* data, size_t dlen) {
        if (dlen < 2)
            return reply(0x03, kStatusNotEnoughData);
        size_t n = get_u16(data);
        if (dlen < 2 + 2 * n)
            return reply(0x03, kStatusNotEnoughData);
        Bytes d;
        bool failed = false;
        put_u16(d, static_cast<uint16_t>(n));
        for (size_t i = 0; i < n; ++i) {
            uint16_t a = get_u16(data + 2 + 2 * i);
            put_u16(d, a);
            switch (a) {
            case 1:
                put_u16(d, 0);
                put_u16(d, t.handle);
                break;
            case 2:
                put_u16(d, 0);
                put_u16(d, static_cast<uint16_t>(t.members.size()));
                break;
            case 3: // some clients read the attributes after it at fixed offsets: 16 bits, always
                put_u16(d, 0);
                put_u16(d, t.id);
                break;
            case 4:
                put_u16(d, 0);
                put_u32(d, t.definition_words);
                break;
            case 5:
                put_u16(d, 0);
                put_u32(d, t.size);
                break;
            default:
                put_u16(d, kStatusAttributeUnsupported);
                failed = true;
            }
        }
        return reply(0x03, failed ? kStatusAttributeList : kStatusOk, {}, d);
    }

    Bytes read_template(const Template& t, const uint8_t* data, size_t dlen) {
        if (dlen < 6)
            return reply(0x4C, kStatusNotEnoughData);
        uint32_t offset = get_u32(data);
        size_t count = get_u16(data + 4);
        size_t total = t.definition.size();
        if (count == 0)
            return reply(0x4C, kStatusInvalidParameter);
        if (offset >= total)
            return reply(0x4C, kStatusGeneral, {0x2105});
        size_t wanted = std::min(count, total - offset);
        size_t n = std::min(wanted, std::max<size_t>(limits_.reply_limit, 1));
        Bytes d(t.definition.begin() + offset, t.definition.begin() + static_cast<long>(offset + n));
        return reply(0x4C, n < wanted ? kStatusPartial : kStatusOk, {}, d);
    }

    Bytes symbolic(uint8_t service, const std::vector<Segment>& segs, const uint8_t* data, size_t dlen) {
        const Scope* scope = &c_.controller;
        size_t next = 0;
        if (upper(segs[0].name).rfind("PROGRAM:", 0) == 0) {
            scope = c_.program(segs[0].name.substr(8));
            if (scope == nullptr)
                return reply(service, service == 0x55 ? kStatusPathUnknown : kStatusPathSegment);
            next = 1;
            if (segs.size() > 1 && segs[1].kind == Segment::Class) {
                if (segs[1].value != 0x6B || limits_.no_symbol_object)
                    return reply(service, kStatusPathUnknown);
                if (service != 0x55)
                    return reply(service, kStatusServiceUnsupported);
                uint32_t start = segs.size() > 2 && segs[2].kind == Segment::Instance ? segs[2].value : 0;
                return browse(*scope, start, data, dlen);
            }
        }
        if (next >= segs.size() || segs[next].kind != Segment::Symbol)
            return reply(service, kStatusPathUnknown);
        const Tag* tag = scope->find(segs[next].name);
        if (tag == nullptr) // a name the controller does not know: a bad path segment
            return reply(service, is_tag_service(service) ? kStatusPathSegment : kStatusPathUnknown);
        return tag_service(service, *tag, segs, next + 1, data, dlen);
    }

    static bool is_tag_service(uint8_t service) {
        return service == 0x4C || service == 0x52 || service == 0x4D || service == 0x53 || service == 0x4E;
    }

    Bytes tag_service(uint8_t service, const Tag& tag, const std::vector<Segment>& segs, size_t first,
                      const uint8_t* data, size_t dlen) {
        if (!is_tag_service(service))
            return reply(service, kStatusServiceUnsupported);
        Location loc;
        if (auto err = locate(service, tag, segs, first, loc))
            return std::move(*err);
        if (service == 0x4D || service == 0x53)
            return write_tag(service, tag, loc, data, dlen);
        if (service == 0x4E)
            return read_modify_write(tag, loc, data, dlen);
        return read_tag(service, tag, loc, data, dlen);
    }

    // Read-Modify-Write (0x4E on a tag, not the Connection Manager's Forward Close): the mask size,
    // an OR mask and an AND mask of that size; the integer at the path becomes (value | OR) & AND,
    // so that single bits change without a read and a write. The masks must be as wide as the
    // integer; other types are refused as a type mismatch.
    Bytes read_modify_write(const Tag& tag, const Location& loc, const uint8_t* data, size_t dlen) {
        Reader r(data, dlen);
        uint16_t size = 0;
        if (!r.u16(size) || r.left() < 2u * size)
            return reply(0x4E, kStatusNotEnoughData);
        if (r.left() > 2u * size)
            return reply(0x4E, kStatusTooMuchData);
        static const uint8_t kIntegers[] = {kSint, kInt, kDint, kLint, kUsint, kUint, kUdint, kUlint,
                                            kByte, kWord, kDword, kLword};
        const bool integer = !loc.type.is_struct() &&
                             std::find(std::begin(kIntegers), std::end(kIntegers), loc.type.atomic) != std::end(kIntegers);
        if (!integer || size != loc.type.size())
            return reply(0x4E, kStatusGeneral, {0x2107});
        Bytes value;
        store_.read(tag, loc.byte_offset, size, value);
        for (uint16_t i = 0; i < size; ++i)
            value[i] = static_cast<uint8_t>((value[i] | r.here()[i]) & r.here()[size + i]);
        store_.write(tag, loc.byte_offset, value.data(), size);
        return reply(0x4E, kStatusOk);
    }

    // Follows the path segments after the tag's name; the error reply when they lead nowhere.
    std::optional<Bytes> locate(uint8_t service, const Tag& tag, const std::vector<Segment>& segs,
                                size_t first, Location& loc) {
        std::vector<PathStep> steps;
        steps.reserve(segs.size() - std::min(first, segs.size()));
        for (size_t i = first; i < segs.size(); ++i) {
            if (segs[i].kind == Segment::Symbol) {
                steps.push_back(PathStep{segs[i].name, {}});
            } else if (segs[i].kind == Segment::Element) {
                if (steps.empty() || !steps.back().name.empty() || i == first ||
                    segs[i - 1].kind != Segment::Element)
                    steps.push_back(PathStep{});
                steps.back().indexes.push_back(segs[i].value);
            } else {
                return reply(service, kStatusPathSegment);
            }
        }
        if (auto err = resolve(tag, steps, loc))
            return path_error(service, *err);
        return std::nullopt;
    }

    // Write Tag and Write Tag Fragmented: type (with the structure handle for a structure),
    // element count, [byte offset,] the bytes. The type must be the element type at the path.
    Bytes write_tag(uint8_t service, const Tag& tag, const Location& loc, const uint8_t* data, size_t dlen) {
        Reader r(data, dlen);
        uint16_t type = 0, handle = 0, count16 = 0;
        uint32_t offset = 0;
        if (!r.u16(type) || (type == kStructMarker && !r.u16(handle)) || !r.u16(count16) ||
            (service == 0x53 && !r.u32(offset)))
            return reply(service, kStatusNotEnoughData);
        bool type_ok = loc.type.is_struct() ? type == kStructMarker && handle == loc.type.tmpl->handle
                                            : type == loc.type.atomic;
        if (!type_ok)
            return reply(service, kStatusGeneral, {0x2107});
        uint32_t count = count16;
        if (count == 0)
            return reply(service, kStatusInvalidParameter);
        if (count > loc.available)
            return reply(service, kStatusGeneral, {0x2105});
        uint64_t total = static_cast<uint64_t>(count) * loc.type.size();
        size_t n = r.left();
        if (service == 0x4D) {
            if (n < total)
                return reply(service, kStatusNotEnoughData);
            n = static_cast<size_t>(total); // bytes after the data are ignored, as controllers do
        } else if (offset >= total || n > total - offset) {
            return reply(service, kStatusGeneral, {0x2105});
        }
        if (loc.type.atomic == kBool) {
            bool on = n > 0 && r.here()[0] != 0;
            if (loc.bit >= 0)
                store_.write_bit(tag, loc.byte_offset, loc.bit, on);
            else
                store_.write(tag, loc.byte_offset, reinterpret_cast<const uint8_t*>(on ? "\x01" : "\x00"), 1);
        } else {
            store_.write(tag, loc.byte_offset + offset, r.here(), static_cast<uint32_t>(n));
        }
        return reply(service, kStatusOk);
    }

    // A STRING as a generic CIP device serves it: type 0xD0 and a 16-bit length, or 0xDA and an
    // 8-bit length, then the characters; a fragmented read takes the bytes after the type code from
    // `offset` on.
    Bytes read_cip_string(uint8_t service, const Tag& tag, const Location& loc, uint32_t offset) {
        Bytes value;
        store_.read(tag, loc.byte_offset, loc.type.size(), value);
        uint32_t len = std::min<uint32_t>(value.size() >= 4 ? get_u32(value.data()) : 0,
                                          static_cast<uint32_t>(value.size() - std::min<size_t>(4, value.size())));
        const bool short_form = limits_.strings == Faults::Strings::Short;
        len = std::min<uint32_t>(len, short_form ? 0xFF : 0xFFFF);
        Bytes body;
        if (short_form)
            put_u8(body, static_cast<uint8_t>(len));
        else
            put_u16(body, static_cast<uint16_t>(len));
        body.insert(body.end(), value.begin() + 4, value.begin() + 4 + len);
        if (offset >= body.size())
            return reply(service, kStatusGeneral, {0x2105});
        const size_t room = limits_.reply_limit > 2 ? limits_.reply_limit - 2 : 1;
        const size_t n = std::min(body.size() - offset, room);
        Bytes d;
        put_u16(d, short_form ? 0xDA : 0xD0);
        d.insert(d.end(), body.begin() + offset, body.begin() + offset + n);
        return reply(service, offset + n < body.size() ? kStatusPartial : kStatusOk, {}, d);
    }

    Bytes read_tag(uint8_t service, const Tag& tag, const Location& loc, const uint8_t* data, size_t dlen) {
        if (dlen < (service == 0x4C ? 2u : 6u))
            return reply(service, kStatusNotEnoughData);
        uint32_t count = get_u16(data);
        uint32_t offset = service == 0x52 ? get_u32(data + 2) : 0;
        if (count == 0)
            return reply(service, kStatusInvalidParameter);
        if (count > loc.available)
            return reply(service, kStatusGeneral, {0x2105});
        if (limits_.strings != Faults::Strings::Logix && count == 1 && loc.type.is_struct() &&
            loc.type.tmpl->id == kStringTemplateId)
            return read_cip_string(service, tag, loc, offset);
        uint8_t prefix[4];
        size_t prefix_size = 2;
        if (loc.type.is_struct()) {
            set_u16(prefix, kStructMarker);
            set_u16(prefix + 2, loc.type.tmpl->handle);
            prefix_size = 4;
        } else {
            set_u16(prefix, loc.type.atomic);
        }
        uint32_t element = loc.type.size();
        uint64_t total = static_cast<uint64_t>(count) * element;
        if (offset >= total)
            return reply(service, kStatusGeneral, {0x2105});
        size_t room = limits_.reply_limit > prefix_size ? limits_.reply_limit - prefix_size : 0;
        size_t n = static_cast<size_t>(std::min<uint64_t>(total - offset, room));
        if (n < total - offset && !loc.type.is_struct() && n >= element && offset % element == 0)
            n -= n % element; // whole elements per fragment
        if (n == 0)
            n = static_cast<size_t>(std::min<uint64_t>(total - offset, std::max<uint32_t>(element, 1)));
        // The reply is built in place: its header, the type prefix, then the value bytes.
        Bytes out;
        out.reserve(4 + prefix_size + n);
        put_u8(out, static_cast<uint8_t>(service | 0x80));
        put_u8(out, 0);
        put_u8(out, n < total - offset ? kStatusPartial : kStatusOk);
        put_u8(out, 0);
        out.insert(out.end(), prefix, prefix + prefix_size);
        store_.read(tag, loc.byte_offset + offset, static_cast<uint32_t>(n), out);
        if (loc.type.atomic == kBool) {
            uint8_t& b = out.back();
            bool on = loc.bit >= 0 ? ((b >> loc.bit) & 1) != 0 : b != 0;
            b = on ? 0xFF : 0x00;
        }
        return out;
    }
};

} // namespace

Bytes handle_cip(Env& env, const uint8_t* request, size_t size, const Limits& limits) {
    return Cip(env, limits).handle(request, size, 0);
}

EncapSession::Outcome EncapSession::handle(const uint8_t* msg, size_t size, const Limits& limits,
                                           bool refuse_sessions) {
    Outcome out;
    if (size < kEncapHeaderSize)
        return out;
    uint16_t command = get_u16(msg);
    uint32_t handle = get_u32(msg + 4);
    uint32_t status = get_u32(msg + 8);
    uint32_t options = get_u32(msg + 20);
    const uint8_t* data = msg + kEncapHeaderSize;
    size_t dlen = size - kEncapHeaderSize;
    auto answer = [&](uint32_t st, uint32_t session, const Bytes& payload) {
        out.has_reply = true;
        out.reply.clear();
        out.reply.reserve(kEncapHeaderSize + payload.size());
        put_u16(out.reply, command);
        put_u16(out.reply, static_cast<uint16_t>(payload.size()));
        put_u32(out.reply, session);
        put_u32(out.reply, st);
        put_bytes(out.reply, msg + 12, 8);
        put_u32(out.reply, 0);
        out.reply.insert(out.reply.end(), payload.begin(), payload.end());
        return std::move(out); // every caller returns the answer at once
    };
    if (status != 0 || options != 0)
        return answer(kEncapIncorrectData, handle, {});
    switch (command) {
    case 0x0000: // NOP: never answered
        return out;
    case 0x0004: { // ListServices
        Bytes d;
        put_u16(d, 1);
        put_u16(d, 0x0100);
        put_u16(d, 20);
        put_u16(d, 1);
        put_u16(d, 0x0120);
        std::string name = "Communications";
        name.resize(16, '\0');
        put_text(d, name);
        return answer(0, handle, d);
    }
    case 0x0063: { // ListIdentity
        const Identity& id = store_.controller().identity;
        Bytes item;
        put_u16(item, 1);
        // The socket address: family, port and IPv4 address in network byte order, zero padding.
        const uint8_t socket[16] = {0,
                                    2,
                                    static_cast<uint8_t>(limits.port >> 8),
                                    static_cast<uint8_t>(limits.port),
                                    static_cast<uint8_t>(limits.address >> 24),
                                    static_cast<uint8_t>(limits.address >> 16),
                                    static_cast<uint8_t>(limits.address >> 8),
                                    static_cast<uint8_t>(limits.address)};
        put_bytes(item, socket, sizeof socket);
        put_u16(item, id.vendor_id);
        put_u16(item, id.device_type);
        put_u16(item, id.product_code);
        put_u8(item, id.revision_major);
        put_u8(item, id.revision_minor);
        put_u16(item, id.status);
        put_u32(item, id.serial_number);
        put_u8(item, static_cast<uint8_t>(id.product_name.size()));
        put_text(item, id.product_name);
        put_u8(item, id.state);
        Bytes d;
        put_u16(d, 1);
        put_u16(d, 0x000C);
        put_u16(d, static_cast<uint16_t>(item.size()));
        d.insert(d.end(), item.begin(), item.end());
        return answer(0, handle, d);
    }
    case 0x0065: { // RegisterSession
        const Bytes version{1, 0, 0, 0};
        if (dlen != 4)
            return answer(kEncapInvalidLength, 0, {});
        if (session_ != 0)
            return answer(kEncapInvalidCommand, session_, version);
        if (refuse_sessions)
            return answer(kEncapNoResources, 0, version);
        if (get_u16(data) != 1)
            return answer(kEncapUnsupportedVersion, 0, version);
        if (get_u16(data + 2) != 0)
            return answer(kEncapIncorrectData, 0, version);
        session_ = store_.next_session_handle();
        return answer(0, session_, version);
    }
    case 0x0066: // UnRegisterSession: the session and the connection end, nothing is answered
        if (session_ != 0 && handle == session_) {
            close();
            out.close = true;
            return out;
        }
        return answer(kEncapInvalidSession, handle, {});
    case 0x006F: { // SendRRData
        if (session_ == 0 || handle != session_)
            return answer(kEncapInvalidSession, handle, {});
        Reader r(data, dlen);
        uint32_t interface = 0;
        uint16_t timeout = 0, items = 0;
        if (!r.u32(interface) || !r.u16(timeout) || !r.u16(items) || interface != 0 || items == 0)
            return answer(kEncapIncorrectData, handle, {});
        const uint8_t* request = nullptr;
        size_t request_size = 0;
        for (uint16_t i = 0; i < items; ++i) {
            uint16_t type = 0, length = 0;
            if (!r.u16(type) || !r.u16(length) || r.left() < length)
                return answer(kEncapIncorrectData, handle, {});
            if (type == 0x00B2 && request == nullptr) {
                request = r.here();
                request_size = length;
            } else if (type != 0x0000 || length != 0) {
                return answer(kEncapIncorrectData, handle, {});
            }
            r.skip(length);
        }
        if (r.left() != 0 || request == nullptr || request_size == 0)
            return answer(kEncapIncorrectData, handle, {});
        Env env{store_, connections_, session_};
        Bytes cip = handle_cip(env, request, request_size, limits);
        Bytes d;
        d.reserve(16 + cip.size());
        put_u32(d, 0);
        put_u16(d, 0);
        put_u16(d, 2);
        put_u16(d, 0x0000);
        put_u16(d, 0);
        put_u16(d, 0x00B2);
        put_u16(d, static_cast<uint16_t>(cip.size()));
        d.insert(d.end(), cip.begin(), cip.end());
        return answer(0, handle, d);
    }
    case 0x0070: // SendUnitData
        if (session_ == 0 || handle != session_)
            return answer(kEncapInvalidSession, handle, {});
        return send_unit_data(msg, data, dlen, limits);
    default:
        return answer(kEncapInvalidCommand, handle, {});
    }
}

void EncapSession::close() {
    if (session_ != 0)
        connections_.close_session(session_);
    session_ = 0;
}

// Connected messaging: a connected address item with the O->T connection id, and a connected
// data item holding a 16-bit sequence count and the CIP request. The reply names the T->O id,
// echoes the count, and is sized to the connection. A repeated count gets the previous reply
// again without acting twice. An unknown connection gets encapsulation status 0x0003 with no data.
EncapSession::Outcome EncapSession::send_unit_data(const uint8_t* msg, const uint8_t* data, size_t dlen,
                                                   const Limits& limits) {
    Outcome out;
    auto finish = [&](uint32_t status, const Bytes& payload) {
        out.has_reply = true;
        put_u16(out.reply, 0x0070);
        put_u16(out.reply, static_cast<uint16_t>(payload.size()));
        put_u32(out.reply, session_);
        put_u32(out.reply, status);
        put_bytes(out.reply, msg + 12, 8);
        put_u32(out.reply, 0);
        out.reply.insert(out.reply.end(), payload.begin(), payload.end());
        return std::move(out);
    };
    Reader r(data, dlen);
    uint32_t interface = 0, ot_id = 0;
    uint16_t timeout = 0, items = 0, type = 0, length = 0, sequence = 0;
    if (!r.u32(interface) || !r.u16(timeout) || !r.u16(items) || interface != 0 || items != 2 ||
        !r.u16(type) || !r.u16(length) || type != 0x00A1 || length != 4 || !r.u32(ot_id) || !r.u16(type) ||
        !r.u16(length) || type != 0x00B1 || length != r.left() || !r.u16(sequence) || r.left() == 0)
        return finish(kEncapIncorrectData, {});
    ConnectionTable::Use use;
    if (!connections_.use(ot_id, session_, sequence, use))
        return finish(kEncapIncorrectData, {});
    Bytes cip;
    if (use.repeat) {
        cip = std::move(use.previous);
    } else {
        // Everything the connection carries fits it: the data item holds the count and the reply.
        Limits sized = limits;
        sized.max_reply = use.connection.to_size - 2;
        sized.reply_limit = use.connection.to_size - 6;
        sized.packet_limit = limits.packet_limit_on_connections
                                 ? std::min(limits.packet_limit, use.connection.ot_size - 2)
                                 : use.connection.ot_size - 2;
        Env env{store_, connections_, session_};
        cip = handle_cip(env, r.here(), r.left(), sized);
        // What cannot be cut to size (one structure element on a tiny connection) is refused.
        if (cip.size() + 2 > use.connection.to_size)
            cip = Bytes{cip[0], 0, kStatusReplyTooLarge, 0};
        connections_.remember(ot_id, sequence, cip);
    }
    Bytes d;
    d.reserve(22 + cip.size());
    put_u32(d, 0);
    put_u16(d, 0);
    put_u16(d, 2);
    put_u16(d, 0x00A1);
    put_u16(d, 4);
    // A quirk names an id that is neither of this connection's.
    uint32_t other_id = use.connection.to_id + 1;
    while (other_id == use.connection.ot_id || other_id == use.connection.to_id)
        ++other_id;
    put_u32(d, limits.connected_reply_other_id ? other_id
               : limits.connected_reply_ot_id  ? use.connection.ot_id
                                               : use.connection.to_id);
    put_u16(d, 0x00B1);
    put_u16(d, static_cast<uint16_t>(2 + cip.size()));
    put_u16(d, sequence);
    d.insert(d.end(), cip.begin(), cip.end());
    return finish(0, d);
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
    if (entries_.size() >= kCapacity)
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
