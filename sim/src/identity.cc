// The Identity object (class 0x01) and the controller's name (class 0x64).
#include "objects.h"

namespace logixsim::detail {

namespace {

Bytes identity(Cip& cip, uint8_t service, const std::vector<Segment>& segs) {
    const Identity& id = cip.plc.identity;
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

} // namespace

Bytes identity_object(Cip& cip, const Request& r) {
    if (!r.has_instance || r.instance != 1)
        return reply(r.service, kStatusPathUnknown);
    return identity(cip, r.service, r.segs);
}

// Class 0x73: a plain object whose class (instance 0) and instance 1 answer Get Attributes All
// with their revision word (1), for clients' tests of generic messages to a class they name.
Bytes generic_object(Cip&, const Request& r) {
    if (r.has_instance && r.instance > 1)
        return reply(r.service, kStatusPathUnknown);
    if (r.service != 0x01)
        return reply(r.service, kStatusServiceUnsupported);
    Bytes d;
    put_u16(d, 1);
    return reply(r.service, kStatusOk, {}, d);
}

Bytes controller_name_object(Cip& cip, const Request& r) {
    if (!r.has_instance || r.instance != 1)
        return reply(r.service, kStatusPathUnknown);
    if (r.service != 0x01)
        return reply(r.service, kStatusServiceUnsupported);
    Bytes d;
    put_u16(d, static_cast<uint16_t>(cip.plc.name.size()));
    put_text(d, cip.plc.name);
    return reply(r.service, kStatusOk, {}, d);
}

} // namespace logixsim::detail
