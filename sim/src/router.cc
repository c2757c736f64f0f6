// The Message Router: decodes a request's path and dispatches it by class to the object that
// answers it (each object in its own file), and answers the Multiple Service Packet itself.
#include <algorithm>
#include <utility>
#include <vector>

#include "objects.h"

namespace logixsim::detail {

Bytes reply(uint8_t service, uint8_t status, std::initializer_list<uint16_t> extended, const Bytes& data) {
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

Bytes Cip::handle(const uint8_t* req, size_t size, int depth) {
    Bytes out = dispatch(req, size, depth);
    // A device that miscounts its error replies leaves off their last byte.
    if (limits.malformed_error_replies && out.size() >= 4 && out[2] != kStatusOk && out[2] != kStatusPartial)
        out.pop_back();
    return out;
}

Bytes Cip::dispatch(const uint8_t* req, size_t size, int depth) {
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
        return symbolic(*this, service, segs, data, dlen);
    if (segs[0].kind != Segment::Class)
        return reply(service, kStatusPathSegment);
    const bool has_instance = segs.size() > 1 && segs[1].kind == Segment::Instance;
    const Request r{service, segs, has_instance, has_instance ? segs[1].value : 0, data, dlen, size, depth};
    switch (segs[0].value) {
    case 0x01:
        return identity_object(*this, r);
    case 0x02:
        return message_router_object(*this, r);
    case 0x06:
        return connection_manager_object(*this, r);
    case 0x64:
        return controller_name_object(*this, r);
    case 0x73:
        return generic_object(*this, r);
    case 0x8B:
        return wall_clock_object(*this, r);
    case 0x6B:
        return symbol_object(*this, r);
    case 0x6C:
        return template_object(*this, r);
    default:
        return reply(service, kStatusPathUnknown);
    }
}

namespace {

Bytes multiple(Cip& cip, size_t size, const uint8_t* data, size_t dlen, int depth) {
    if (size > cip.limits.packet_limit)
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
        replies[i] = cip.handle(data + starts[i], end - starts[i], depth + 1);
        uint8_t status = replies[i][2];
        failed = failed || (status != kStatusOk && status != kStatusPartial);
        total += replies[i].size();
        if (total + 4 > std::min(kMaxCipReply, cip.limits.max_reply))
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

} // namespace

Bytes message_router_object(Cip& cip, const Request& r) {
    if (!r.has_instance || r.instance != 1)
        return reply(r.service, kStatusPathUnknown);
    if (r.service != 0x0A || cip.limits.no_multiple_service)
        return reply(r.service, kStatusServiceUnsupported);
    return multiple(cip, r.size, r.data, r.dlen, r.depth);
}

Bytes handle_cip(Env& env, const uint8_t* request, size_t size, const Limits& limits) {
    Cip cip{env, env.store, env.store.controller(), limits};
    return cip.handle(request, size, 0);
}

} // namespace logixsim::detail
