// The tag data services: Read Tag 0x4C, Read Tag Fragmented 0x52, Write Tag 0x4D, Write Tag
// Fragmented 0x53 and Read-Modify-Write 0x4E, on a tag named in the path (controller scope or
// after Program:<name>) or reached by its symbol instance, then members and elements.
#include <algorithm>
#include <iterator>
#include <optional>
#include <utility>

#include "objects.h"

namespace logixsim::detail {

namespace {

// Read-Modify-Write (0x4E on a tag, not the Connection Manager's Forward Close): the mask size,
// an OR mask and an AND mask of that size; the integer at the path becomes (value | OR) & AND,
// so that single bits change without a read and a write. The masks must be as wide as the
// integer; other types are refused as a type mismatch.
Bytes read_modify_write(Cip& cip, const Tag& tag, const Location& loc, const uint8_t* data, size_t dlen) {
    Reader r(data, dlen);
    uint16_t size = 0;
    if (!r.u16(size) || r.left() < 2u * size)
        return reply(0x4E, kStatusNotEnoughData);
    // Bytes after the two masks are ignored, as controllers do: a popular client always sends an
    // 8-byte AND mask whatever the integer's width.
    if (tag.bool_array && loc.bit >= 0) {
        // An element of a BOOL array: the masks apply to the 32-bit word that holds it.
        if (size != 4)
            return reply(0x4E, kStatusGeneral, {0x2107});
        const uint32_t word = loc.byte_offset & ~3u;
        Bytes value;
        cip.store.read(tag, word, 4, value);
        for (uint16_t i = 0; i < 4; ++i)
            value[i] = static_cast<uint8_t>((value[i] | r.here()[i]) & r.here()[4 + i]);
        cip.store.write(tag, word, value.data(), 4);
        return reply(0x4E, kStatusOk);
    }
    static const uint8_t kIntegers[] = {kSint, kInt, kDint, kLint, kUsint, kUint, kUdint, kUlint,
                                        kByte, kWord, kDword, kLword};
    const bool integer = !loc.type.is_struct() &&
                         std::find(std::begin(kIntegers), std::end(kIntegers), loc.type.atomic) != std::end(kIntegers);
    if (!integer || size != loc.type.size())
        return reply(0x4E, kStatusGeneral, {0x2107});
    Bytes value;
    cip.store.read(tag, loc.byte_offset, size, value);
    for (uint16_t i = 0; i < size; ++i)
        value[i] = static_cast<uint8_t>((value[i] | r.here()[i]) & r.here()[size + i]);
    cip.store.write(tag, loc.byte_offset, value.data(), size);
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
Bytes write_tag(Cip& cip, uint8_t service, const Tag& tag, const Location& loc, const uint8_t* data, size_t dlen) {
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
            cip.store.write_bit(tag, loc.byte_offset, loc.bit, on);
        else
            cip.store.write(tag, loc.byte_offset, reinterpret_cast<const uint8_t*>(on ? "\x01" : "\x00"), 1);
    } else {
        cip.store.write(tag, loc.byte_offset + offset, r.here(), static_cast<uint32_t>(n));
    }
    return reply(service, kStatusOk);
}

// A STRING as a generic CIP device serves it: type 0xD0 and a 16-bit length, or 0xDA and an
// 8-bit length, then the characters; a fragmented read takes the bytes after the type code from
// `offset` on.
Bytes read_cip_string(Cip& cip, uint8_t service, const Tag& tag, const Location& loc, uint32_t offset) {
    Bytes value;
    cip.store.read(tag, loc.byte_offset, loc.type.size(), value);
    uint32_t len = std::min<uint32_t>(value.size() >= 4 ? get_u32(value.data()) : 0,
                                      static_cast<uint32_t>(value.size() - std::min<size_t>(4, value.size())));
    const bool short_form = cip.limits.strings == Faults::Strings::Short;
    len = std::min<uint32_t>(len, short_form ? 0xFF : 0xFFFF);
    Bytes body;
    if (short_form)
        put_u8(body, static_cast<uint8_t>(len));
    else
        put_u16(body, static_cast<uint16_t>(len));
    body.insert(body.end(), value.begin() + 4, value.begin() + 4 + len);
    if (offset >= body.size())
        return reply(service, kStatusGeneral, {0x2105});
    const size_t room = cip.limits.reply_limit > 2 ? cip.limits.reply_limit - 2 : 1;
    const size_t n = std::min(body.size() - offset, room);
    Bytes d;
    put_u16(d, short_form ? 0xDA : 0xD0);
    d.insert(d.end(), body.begin() + offset, body.begin() + offset + n);
    return reply(service, offset + n < body.size() ? kStatusPartial : kStatusOk, {}, d);
}

Bytes read_tag(Cip& cip, uint8_t service, const Tag& tag, const Location& loc, const uint8_t* data, size_t dlen) {
    if (tag.bool_array && loc.bit < 0 && loc.type.atomic == kBool) {
        // The whole BOOL array reads as the 32-bit words that hold it.
        Location words = loc;
        words.type = DataType{kDword, nullptr};
        words.available = (tag.elements + 31) / 32;
        return read_tag(cip, service, tag, words, data, dlen);
    }
    if (dlen < (service == 0x4C ? 2u : 6u))
        return reply(service, kStatusNotEnoughData);
    uint32_t count = get_u16(data);
    uint32_t offset = service == 0x52 ? get_u32(data + 2) : 0;
    if (count == 0)
        return reply(service, kStatusInvalidParameter);
    if (count > loc.available)
        return reply(service, kStatusGeneral, {0x2105});
    if (cip.limits.strings != Faults::Strings::Logix && count == 1 && loc.type.is_struct() &&
        loc.type.tmpl->id == kStringTemplateId)
        return read_cip_string(cip, service, tag, loc, offset);
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
    size_t room = cip.limits.reply_limit > prefix_size ? cip.limits.reply_limit - prefix_size : 0;
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
    cip.store.read(tag, loc.byte_offset + offset, static_cast<uint32_t>(n), out);
    if (loc.type.atomic == kBool) {
        uint8_t& b = out.back();
        bool on = loc.bit >= 0 ? ((b >> loc.bit) & 1) != 0 : b != 0;
        b = on ? 0xFF : 0x00;
    }
    return out;
}

} // namespace

Bytes symbolic(Cip& cip, uint8_t service, const std::vector<Segment>& segs, const uint8_t* data, size_t dlen) {
    const Scope* scope = &cip.plc.controller;
    size_t next = 0;
    if (upper(segs[0].name).rfind("PROGRAM:", 0) == 0) {
        scope = cip.plc.program(segs[0].name.substr(8));
        if (scope == nullptr)
            return reply(service, service == 0x55 ? kStatusPathUnknown : kStatusPathSegment);
        next = 1;
        if (segs.size() > 1 && segs[1].kind == Segment::Class) {
            if (segs[1].value != 0x6B || cip.limits.no_symbol_object)
                return reply(service, kStatusPathUnknown);
            if (service != 0x55)
                return reply(service, kStatusServiceUnsupported);
            uint32_t start = segs.size() > 2 && segs[2].kind == Segment::Instance ? segs[2].value : 0;
            return browse(cip, *scope, start, data, dlen);
        }
    }
    if (next >= segs.size() || segs[next].kind != Segment::Symbol)
        return reply(service, kStatusPathUnknown);
    const Tag* tag = scope->find(segs[next].name);
    if (tag == nullptr) // a name the controller does not know: a bad path segment
        return reply(service, is_tag_service(service) ? kStatusPathSegment : kStatusPathUnknown);
    return tag_service(cip, service, *tag, segs, next + 1, data, dlen);
}

bool is_tag_service(uint8_t service) {
    return service == 0x4C || service == 0x52 || service == 0x4D || service == 0x53 || service == 0x4E;
}

Bytes tag_service(Cip& cip, uint8_t service, const Tag& tag, const std::vector<Segment>& segs, size_t first,
                  const uint8_t* data, size_t dlen) {
    if (!is_tag_service(service))
        return reply(service, kStatusServiceUnsupported);
    Location loc;
    if (auto err = locate(service, tag, segs, first, loc))
        return std::move(*err);
    if (service == 0x4D || service == 0x53 || service == 0x4E) {
        if (cip.limits.refuse_writes)
            return reply(service, kStatusDeviceStateConflict);
        if (tag.read_only)
            return reply(service, kStatusPrivilegeViolation);
        Bytes answer = service == 0x4E ? read_modify_write(cip, tag, loc, data, dlen)
                                       : write_tag(cip, service, tag, loc, data, dlen);
        // The simulated program puts a held value back before anyone can read the written one.
        cip.store.apply_holds(tag);
        return answer;
    }
    return read_tag(cip, service, tag, loc, data, dlen);
}

} // namespace logixsim::detail
