// The simulated controller's answers: CIP Message Router requests to the Identity object,
// the Message Router (Multiple Service Packet), the Connection Manager (Unconnected Send),
// the Logix symbol and template objects and symbolic tag reads; and the encapsulation layer.
#include "handler.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace logixsim::detail {

namespace {

// Replies beyond this stay under the 65535-byte encapsulation limit together with their framing.
constexpr size_t kMaxCipReply = 65000;
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
    Cip(const ValueStore& store, const Limits& limits)
        : store_(store), c_(store.controller()), limits_(limits) {}

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
            if (service != 0x0A)
                return reply(service, kStatusServiceUnsupported);
            return multiple(size, data, dlen, depth);
        case 0x06:
            if (!has_instance || instance != 1)
                return reply(service, kStatusPathUnknown);
            if (service != 0x52)
                return reply(service, kStatusServiceUnsupported);
            return unconnected_send(data, dlen, depth);
        case 0x6B:
            if (service == 0x55)
                return browse(c_.controller, instance, data, dlen);
            if (service == 0x4C || service == 0x52) {
                const Tag* tag = has_instance ? c_.tag_by_instance(instance) : nullptr;
                if (tag == nullptr)
                    return reply(service, kStatusPathUnknown);
                return read_tag(service, *tag, segs, 2, data, dlen);
            }
            return reply(service, kStatusServiceUnsupported);
        case 0x6C: {
            auto it = has_instance ? c_.templates_by_id.find(instance) : c_.templates_by_id.end();
            if (it == c_.templates_by_id.end())
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
    const ValueStore& store_;
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
            default:
                return false;
            }
        };
        if (service == 0x01) {
            for (uint32_t a = 1; a <= 7; ++a)
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
            if (total > kMaxCipReply)
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
        auto routing_error = [&](uint16_t extended) {
            Bytes remaining{words};
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
            case 7:
                put_u16(out, static_cast<uint16_t>(s.tag != nullptr ? s.tag->type.size() : 0));
                break;
            case 8:
                for (uint32_t d : s.dims)
                    put_u32(out, d);
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
            if (a != 1 && a != 2 && a != 7 && a != 8)
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
                return reply(service, kStatusPathUnknown);
            next = 1;
            if (segs.size() > 1 && segs[1].kind == Segment::Class) {
                if (segs[1].value != 0x6B)
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
        if (tag == nullptr)
            return reply(service, kStatusPathUnknown);
        return read_tag(service, *tag, segs, next + 1, data, dlen);
    }

    Bytes read_tag(uint8_t service, const Tag& tag, const std::vector<Segment>& segs, size_t first,
                   const uint8_t* data, size_t dlen) {
        if (service != 0x4C && service != 0x52)
            return reply(service, kStatusServiceUnsupported);
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
        Location loc;
        if (auto err = resolve(tag, steps, loc))
            return path_error(service, *err);
        if (dlen < (service == 0x4C ? 2u : 6u))
            return reply(service, kStatusNotEnoughData);
        uint32_t count = get_u16(data);
        uint32_t offset = service == 0x52 ? get_u32(data + 2) : 0;
        if (count == 0)
            return reply(service, kStatusInvalidParameter);
        if (count > loc.available)
            return reply(service, kStatusGeneral, {0x2105});
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

Bytes handle_cip(const ValueStore& store, const uint8_t* request, size_t size, const Limits& limits) {
    return Cip(store, limits).handle(request, size, 0);
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
        const uint8_t socket[16] = {0, 2, 0xAF, 0x12, 127, 0, 0, 1};
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
        put_u8(item, 3);
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
        Bytes cip = handle_cip(store_, request, request_size, limits);
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
    default:
        return answer(kEncapInvalidCommand, handle, {});
    }
}

} // namespace logixsim::detail
