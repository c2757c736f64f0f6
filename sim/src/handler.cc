// The encapsulation layer of one TCP connection: session registration, ListIdentity and
// ListServices, SendRRData (unconnected messages) and SendUnitData (class 3 connections); the CIP
// requests they carry go to the Message Router (router.cc).
#include "handler.h"

#include <utility>

namespace logixsim::detail {

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
        if (limits.encapsulation_refused_service != 0 && request[0] == limits.encapsulation_refused_service)
            return answer(kEncapServiceRefused, handle, {});
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
    if (limits.encapsulation_refused_service != 0 && r.here()[0] == limits.encapsulation_refused_service)
        return finish(kEncapServiceRefused, {});
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
        if (limits.fail_first_read_after_connect && answered_.insert(ot_id).second)
            cip.resize(1); // the first request of the connection: a reply that cannot be read
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

} // namespace logixsim::detail
