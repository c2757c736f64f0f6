// The Logix Symbol object (class 0x6B: the tag list, paged, and tags by instance) and the
// Template object (class 0x6C: a structure's attributes and its definition).
#include <algorithm>

#include "objects.h"

namespace logixsim::detail {

namespace {

bool template_refused(const Cip& cip, const Template& t) {
    const auto* names = cip.limits.refused_templates;
    return names != nullptr && std::find(names->begin(), names->end(), t.name) != names->end();
}

size_t add_symbol_entry(Bytes& out, const Symbol& s, const std::vector<uint16_t>& attributes) {
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

Bytes read_template(Cip& cip, const Template& t, const uint8_t* data, size_t dlen) {
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
    size_t n = std::min(wanted, std::max<size_t>(cip.limits.reply_limit, 1));
    Bytes d(t.definition.begin() + offset, t.definition.begin() + static_cast<long>(offset + n));
    return reply(0x4C, n < wanted ? kStatusPartial : kStatusOk, {}, d);
}

} // namespace

// Get Instance Attribute List on the symbol class: entries from the requested instance on,
// as many as fit the reply size, status 6 while more follow.
Bytes browse(Cip& cip, const Scope& scope, uint32_t start, const uint8_t* data, size_t dlen) {
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
    d.reserve(std::min(cip.limits.reply_limit, kMaxCipReply) + 64);
    for (; it != scope.symbols.end(); ++it) {
        size_t before = d.size();
        add_symbol_entry(d, *it, attributes);
        if (d.size() > cip.limits.reply_limit && before > 0) {
            d.resize(before);
            return reply(0x55, kStatusPartial, {}, d);
        }
    }
    return reply(0x55, kStatusOk, {}, d);
}

Bytes symbol_object(Cip& cip, const Request& r) {
    if (cip.limits.no_symbol_object)
        return reply(r.service, kStatusPathUnknown);
    if (r.service == 0x55)
        return browse(cip, cip.plc.controller, r.instance, r.data, r.dlen);
    if (is_tag_service(r.service)) {
        const Tag* tag = r.has_instance ? cip.plc.tag_by_instance(r.instance) : nullptr;
        if (tag == nullptr)
            return reply(r.service, kStatusPathUnknown);
        return tag_service(cip, r.service, *tag, r.segs, 2, r.data, r.dlen);
    }
    return reply(r.service, kStatusServiceUnsupported);
}

Bytes template_object(Cip& cip, const Request& r) {
    auto it = r.has_instance ? cip.plc.templates_by_id.find(r.instance) : cip.plc.templates_by_id.end();
    if (it == cip.plc.templates_by_id.end() || template_refused(cip, *it->second))
        return reply(r.service, kStatusPathUnknown);
    if (r.service == 0x03)
        return template_attributes(*it->second, r.data, r.dlen);
    if (r.service == 0x4C)
        return read_template(cip, *it->second, r.data, r.dlen);
    return reply(r.service, kStatusServiceUnsupported);
}

} // namespace logixsim::detail
