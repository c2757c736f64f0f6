// Request handling of the simulated controller, independent of sockets: the CIP Message
// Router with the Logix objects behind it, and the encapsulation layer of one connection.
#pragma once

#include <set>
#include <cstddef>
#include <cstdint>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>

#include "bytes.h"
#include "model.h"

namespace logixsim::detail {

// CIP general status codes the controller answers with.
enum : uint8_t {
    kStatusOk = 0x00,
    kStatusConnectionFailure = 0x01,
    kStatusPathSegment = 0x04,
    kStatusPathUnknown = 0x05,
    kStatusPartial = 0x06,
    kStatusServiceUnsupported = 0x08,
    kStatusInvalidAttributeValue = 0x09,
    kStatusAttributeList = 0x0A,
    kStatusReplyTooLarge = 0x11,
    kStatusPrivilegeViolation = 0x0F,
    kStatusDeviceStateConflict = 0x10,
    kStatusNotEnoughData = 0x13,
    kStatusAttributeUnsupported = 0x14,
    kStatusTooMuchData = 0x15,
    kStatusRequestTooLarge = 0x1A,
    kStatusEmbeddedError = 0x1E,
    kStatusInvalidParameter = 0x20,
    kStatusPathSize = 0x26,
    kStatusGeneral = 0xFF,
};

// Encapsulation status codes.
enum : uint32_t {
    kEncapInvalidCommand = 0x0001,
    kEncapNoResources = 0x0002,
    kEncapIncorrectData = 0x0003,
    kEncapInvalidSession = 0x0064,
    kEncapInvalidLength = 0x0065,
    kEncapUnsupportedVersion = 0x0069,
    kEncapServiceRefused = 0x0008, // not in the standard's table; what one device sends for a service it lacks
};

struct Limits {
    size_t packet_limit = 504;
    bool packet_limit_on_connections = false;
    size_t reply_limit = 500;
    size_t max_reply = 65000; // a whole CIP reply, header included
    int slot = 0;
    uint16_t port = 44818;         // the listening port ListIdentity reports
    uint32_t address = 0x7F000001; // and its IPv4 address
    const std::vector<std::string>* refused_templates = nullptr; // answered 0x05; null: none
    bool no_multiple_service = false;
    bool connected_reply_ot_id = false;
    bool connected_reply_other_id = false;
    bool no_symbol_object = false;
    bool refuse_writes = false;
    bool malformed_error_replies = false;
    bool fail_first_read_after_connect = false;
    uint8_t encapsulation_refused_service = 0;
    bool no_unconnected_send = false;
    Faults::Strings strings = Faults::Strings::Logix;
};

// A class 3 connection opened by Forward Open, as the connection table keeps it.
struct CipConnection {
    uint32_t ot_id = 0; // chosen here; SendUnitData names the connection by it
    uint32_t to_id = 0; // the originator's; replies carry it
    uint16_t serial = 0;
    uint16_t vendor = 0;
    uint32_t originator = 0;
    uint32_t session = 0;
    size_t ot_size = 0; // connection sizes in bytes: the connected data item's payload
    size_t to_size = 0;
    int64_t timeout_us = 0; // idle time after which the connection is closed
};

// Every class 3 connection of the simulated controller, shared by all its TCP connections.
// Thread-safe. Idle connections are closed when the table is next used after their time-out.
class ConnectionTable {
public:
    static constexpr size_t kCapacity = 32;
    // `clock` gives the time in microseconds on a steady scale; by default the steady clock.
    explicit ConnectionTable(std::function<int64_t()> clock = {});
    // Opens `c` (its ot_id is chosen and written back); returns 0 or the Connection Manager's
    // extended status (0x0100 duplicate, 0x0113 no room).
    uint16_t open(CipConnection& c);
    // Closes the connection of this triad; false when none is open.
    bool close(uint16_t serial, uint16_t vendor, uint32_t originator);
    void close_session(uint32_t session);
    // What SendUnitData needs of a connection: found only for its own session.
    struct Use {
        CipConnection connection;
        bool repeat = false; // the sequence count is the previous one: `previous` is its reply
        Bytes previous;
    };
    bool use(uint32_t ot_id, uint32_t session, uint16_t sequence, Use& out);
    void remember(uint32_t ot_id, uint16_t sequence, const Bytes& reply);
    size_t size();
    // Closes connections idle for longer than this whatever their own time-out (0: off).
    void set_idle_limit_us(int64_t limit) { idle_limit_us_.store(limit); }
    // Opens no more than this many connections at once (0: kCapacity).
    void set_limit(size_t limit) { limit_.store(limit); }

private:
    struct Entry {
        CipConnection c;
        int64_t last_active_us = 0;
        bool answered = false;
        uint16_t sequence = 0;
        Bytes reply;
    };
    void expire_locked(int64_t now_us);
    std::function<int64_t()> clock_;
    std::mutex mutex_;
    std::atomic<int64_t> idle_limit_us_{0};
    std::atomic<size_t> limit_{0};
    std::map<uint32_t, Entry> entries_; // by O->T id
    uint32_t next_id_ = 0x4C580001;
};

// What a CIP request acts on: the controller's values and connections, and the session the
// request arrived in (0 outside any session).
struct Env {
    ValueStore& store;
    ConnectionTable& connections;
    uint32_t session = 0;
};

// Answers one encoded CIP request (service, path size in words, path, data) with the encoded
// reply. Never throws for any input; malformed requests get an error status.
Bytes handle_cip(Env& env, const uint8_t* request, size_t size, const Limits& limits);

// The encapsulation layer of one TCP connection: session registration, SendRRData and
// SendUnitData. The session's connections close with it.
class EncapSession {
public:
    EncapSession(ValueStore& store, ConnectionTable& connections)
        : store_(store), connections_(connections) {}
    ~EncapSession() { close(); }
    void close(); // ends the session and closes its class 3 connections
    EncapSession(const EncapSession&) = delete;
    EncapSession& operator=(const EncapSession&) = delete;
    struct Outcome {
        bool has_reply = false;
        Bytes reply;        // a complete encapsulation message
        bool close = false; // the connection ends after this message (and its reply, if any)
    };
    // `message` holds one complete encapsulation message: the 24-byte header and its data.
    Outcome handle(const uint8_t* message, size_t size, const Limits& limits, bool refuse_sessions);
    uint32_t session() const { return session_; }

private:
    Outcome send_unit_data(const uint8_t* msg, const uint8_t* data, size_t dlen, const Limits& limits);
    ValueStore& store_;
    ConnectionTable& connections_;
    uint32_t session_ = 0;
    std::set<uint32_t> answered_; // connections that carried a request (fail_first_read_after_connect)
};

constexpr size_t kEncapHeaderSize = 24;

} // namespace logixsim::detail
