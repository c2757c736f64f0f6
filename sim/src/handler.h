// Request handling of the simulated controller, independent of sockets: the CIP Message
// Router with the Logix objects behind it, and the encapsulation layer of one connection.
#pragma once

#include <cstddef>
#include <cstdint>

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
    kStatusAttributeList = 0x0A,
    kStatusReplyTooLarge = 0x11,
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
};

struct Limits {
    size_t packet_limit = 504;
    size_t reply_limit = 500;
    int slot = 0;
};

// Answers one encoded CIP request (service, path size in words, path, data) with the encoded
// reply. Never throws for any input; malformed requests get an error status.
Bytes handle_cip(const ValueStore& store, const uint8_t* request, size_t size, const Limits& limits);

// The encapsulation layer of one TCP connection: session registration and SendRRData.
class EncapSession {
public:
    explicit EncapSession(ValueStore& store) : store_(store) {}
    struct Outcome {
        bool has_reply = false;
        Bytes reply;        // a complete encapsulation message
        bool close = false; // the connection ends after this message (and its reply, if any)
    };
    // `message` holds one complete encapsulation message: the 24-byte header and its data.
    Outcome handle(const uint8_t* message, size_t size, const Limits& limits, bool refuse_sessions);
    uint32_t session() const { return session_; }

private:
    ValueStore& store_;
    uint32_t session_ = 0;
};

constexpr size_t kEncapHeaderSize = 24;

} // namespace logixsim::detail
