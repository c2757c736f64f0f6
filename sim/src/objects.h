// The CIP objects of the simulated controller behind the Message Router: what every object's file
// shares (the decoded path, the reply encoding, the call's surroundings) and the entry point of each
// object, which the Message Router's dispatch (router.cc) calls by class.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "handler.h"

namespace logixsim::detail {

// Replies beyond this stay under the 65535-byte encapsulation limit together with their framing.
constexpr size_t kMaxCipReply = 65000;
// Nesting of Unconnected Send and Multiple Service Packet requests inside each other.
constexpr int kMaxDepth = 3;

// An encoded reply: the service with the reply bit, a reserved byte, the general status, the
// extended status words and the data.
Bytes reply(uint8_t service, uint8_t status, std::initializer_list<uint16_t> extended = {}, const Bytes& data = {});
// The reply for a path that leads nowhere.
Bytes path_error(uint8_t service, const PathError& e);

struct Segment {
    enum Kind { Class, Instance, Element, ConnectionPoint, Attribute, Symbol } kind;
    uint32_t value = 0;
    std::string name;
};

// Decodes an EPATH of logical and ANSI extended symbol segments; false on anything else.
bool parse_path(const uint8_t* p, size_t n, std::vector<Segment>& out);

// One request's surroundings: what it acts on and the limits it is answered within; handle() is
// the Message Router, which the objects that carry other requests (Multiple Service Packet,
// Unconnected Send) call again one level deeper.
struct Cip {
    Env& env;
    ValueStore& store;
    const Controller& plc;
    const Limits& limits;
    Bytes handle(const uint8_t* req, size_t size, int depth);
    Bytes dispatch(const uint8_t* req, size_t size, int depth);
};

// One request as the dispatch decoded it: service, path segments (the class first), the instance
// when the second segment names one, the data after the path, the whole request's size and its
// nesting depth.
struct Request {
    uint8_t service;
    const std::vector<Segment>& segs;
    bool has_instance;
    uint32_t instance;
    const uint8_t* data;
    size_t dlen;
    size_t size;
    int depth;
};

// The objects, each answering every request addressed to its class (identity.cc, router.cc,
// connection_manager.cc, symbol.cc, wall_clock.cc).
Bytes identity_object(Cip& cip, const Request& r);           // 0x01
Bytes message_router_object(Cip& cip, const Request& r);     // 0x02: Multiple Service Packet
Bytes connection_manager_object(Cip& cip, const Request& r); // 0x06
Bytes controller_name_object(Cip& cip, const Request& r);    // 0x64
Bytes generic_object(Cip& cip, const Request& r);            // 0x73
Bytes symbol_object(Cip& cip, const Request& r);             // 0x6B
Bytes template_object(Cip& cip, const Request& r);           // 0x6C
Bytes wall_clock_object(Cip& cip, const Request& r);         // 0x8B

// Get Instance Attribute List 0x55 on the symbol class of `scope` from instance `start` on
// (symbol.cc).
Bytes browse(Cip& cip, const Scope& scope, uint32_t start, const uint8_t* data, size_t dlen);

// The tag data services (tag_data.cc): Read Tag, Read Tag Fragmented, Write Tag, Write Tag
// Fragmented and Read-Modify-Write, on a path that starts with a tag's name (symbolic) or on a
// symbol instance (tag_service from the symbol object, `first` the segment after the instance).
bool is_tag_service(uint8_t service);
Bytes symbolic(Cip& cip, uint8_t service, const std::vector<Segment>& segs, const uint8_t* data, size_t dlen);
Bytes tag_service(Cip& cip, uint8_t service, const Tag& tag, const std::vector<Segment>& segs, size_t first,
                  const uint8_t* data, size_t dlen);

} // namespace logixsim::detail
