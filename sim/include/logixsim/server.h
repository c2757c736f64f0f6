// logix-sim: a Logix controller reached over EtherNet/IP, simulated in-process.
//
// A Server listens on a TCP address and answers every connection the way a Logix
// controller behind its EtherNet/IP port does: encapsulation sessions, unconnected
// messages in SendRRData, class 3 connections (Forward Open, SendUnitData, Forward Close), the
// Identity object, symbol browsing, templates, tag reads and writes, the wall clock, Multiple
// Service Packets, Unconnected Send routing to the controller's slot, and ListIdentity over UDP.
// The controller's contents come from a Controller (a parsed controller file, or the
// built-in demo). Faults can be switched on at any time to make the server misbehave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace logixsim {

// Every switch applies to requests received after it is set.
struct Faults {
    // Delay every reply (to trigger client time-outs).
    int reply_delay_ms = 0;
    // Close a connection after it has received N encapsulation requests (-1: never). Counted
    // from the connection's start; the Nth request is not answered; 0 closes every new
    // connection at once.
    int close_after_requests = -1;
    // Stop answering once the server has received N encapsulation requests in all (counted over
    // every connection since start; -1: never; 0: at once). Connections stay open and their requests
    // are read and ignored, as with a controller that hangs.
    int stall_after_requests = -1;
    // Close a class 3 connection that carried nothing for this long, whatever its packet interval
    // (0: only its own time-out applies).
    int drop_idle_connections_ms = 0;
    // Send only part of each reply, then close the connection.
    bool close_mid_reply = false;
    bool wrong_sender_context = false;
    bool wrong_command = false;
    // RegisterSession answered with an encapsulation error status.
    bool refuse_sessions = false;
    // Multiple Service Packet requests with more data bytes than this get 0x1A (counted over the
    // whole encoded request: service, path size, path, data; also when it arrives routed).
    size_t packet_limit = 504;
    // Whether packet_limit also holds over a class 3 connection; by default a connection takes
    // packed requests up to its own size, as a controller does.
    bool packet_limit_on_connections = false;
    // Data bytes per browse page / template fragment / fragmented read reply (a Read Tag reply
    // that would be longer carries what fits, with status 6). Unconnected requests only: what a
    // class 3 connection carries is sized to the connection.
    size_t reply_limit = 500;
    // Templates (by name) whose attribute requests and reads are answered with general status 0x05,
    // as for a type the controller will not give.
    std::vector<std::string> refused_templates;
    // Quirks of devices that are not Logix controllers, for the client's fallbacks:
    // Multiple Service Packets answered 0x08 (service not supported);
    bool no_multiple_service = false;
    // connected replies naming the O->T connection id (the one requests carry) instead of T->O;
    bool connected_reply_ot_id = false;
    // connected replies naming an id that is neither of the connection's (takes precedence over
    // connected_reply_ot_id);
    bool connected_reply_other_id = false;
    // no Symbol object (class 0x6B): every request to it, and a program's symbol list, answered
    // 0x05 (path destination unknown) as a device without the object does; reads by name still work;
    bool no_symbol_object = false;
    // Every write (Write Tag, Write Tag Fragmented, Read-Modify-Write) answered 0x10 (device state
    // conflict), as a controller in a mode that takes no writes; reads go on.
    bool refuse_writes = false;
    // CIP error replies (general status other than 0 and 6, also inside a Multiple Service Packet)
    // one byte short, as a device that miscounts its reply.
    bool malformed_error_replies = false;
    // The first request over each new class 3 connection answered with a one-byte CIP reply: a
    // device that accepts every connection and then fails at once.
    bool fail_first_read_after_connect = false;
    // Requests carrying this CIP service (the first byte of the message, unconnected or over a
    // connection) answered with encapsulation status 0x0008 and no data, as a device that refuses
    // a service it lacks in the encapsulation header; 0: none.
    uint8_t encapsulation_refused_service = 0;
    // Unconnected Send answered 0x08 (service not supported) by the Connection Manager, as a
    // device that routes only over connections: a slot is reached through a Forward Open's path.
    bool no_unconnected_send = false;
    // STRING values read as a CIP device serves text: Logix (the STRING structure), Cip (type 0xD0,
    // a 16-bit length and the characters) or Short (type 0xDA, an 8-bit length).
    enum class Strings { Logix, Cip, Short } strings = Strings::Logix;
};

struct Options {
    std::string host = "127.0.0.1";
    uint16_t port = 44818; // 0: pick a free port
    int slot = 0;          // backplane slot of the controller for routed requests
    Faults faults;
    // Period of the live-value updates; 0: values move only through Server::tick().
    int live_interval_ms = 1000;
    // A TCP connection without a registered session is closed after this long without a byte from
    // its client (0: never), so that idle sockets cannot use up the server's descriptors.
    int idle_close_ms = 60000;
    // A network between client and controller: each reply leaves this long after its request
    // arrived, on every connection independently (0: at once).
    int rtt_ms = 0;
    // The controller's own work per request, serial over all connections (0: none): several
    // connections hide the round trip but cannot make the controller faster.
    int service_us = 0;
    // Class 3 connections open at once beyond this are refused with extended status 0x0113 (out of
    // connections), as a controller that has no more to give (0: the table's own capacity).
    int max_connections = 0;
};

class Controller;                                    // a parsed controller description
std::shared_ptr<const Controller> demo_controller(); // the built-in demo controller
// Reads a controller file; throws std::runtime_error naming file, JSON path, problem.
std::shared_ptr<const Controller> load_controller(const std::string& path);
// Parses a controller description from JSON text; `origin` names it in error messages.
std::shared_ptr<const Controller> parse_controller(const std::string& json_text, const std::string& origin);
// The text of the built-in demo controller file.
const std::string& demo_controller_json();

// Writes large controller descriptions for benchmarks: `tags` controller tags, `programs`
// programs of `program_tags` tags each, `types` user types nested up to `depth` levels.
// The same options and seed always give the same text.
struct GeneratorOptions {
    size_t tags = 10000;
    size_t programs = 20;
    size_t program_tags = 500;
    size_t types = 200;
    size_t depth = 3;
    uint32_t seed = 1;
    size_t max_members = 10; // members per user type are drawn from 3..max_members (at least 3)
};
std::string generate_controller_json(const GeneratorOptions& options);

class Server {
public:
    Server(std::shared_ptr<const Controller> controller, Options options);
    ~Server(); // stops
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    // Binds and listens (TCP, and UDP on the same address and port for ListIdentity); on return
    // port() is valid and connections are accepted.
    // Throws std::runtime_error when the address cannot be used.
    void start();
    uint16_t port() const;
    void stop();
    void set_faults(const Faults& faults); // thread-safe
    Faults faults() const;
    // Advances every live value by one step, as the periodic update does.
    void tick();
    // Connections currently open.
    size_t connection_count() const;
    // Encapsulation requests received since start, over every connection.
    uint64_t request_count() const;
    // Since start: connections closed for idling without a session; accepts that failed for want
    // of descriptors or memory, and the pauses taken after them (each failure is followed by one, in
    // which the listener is not polled while the open connections are served as before).
    uint64_t idle_closes() const;
    uint64_t accept_failures() const;
    uint64_t accept_pauses() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The request handling of one connection without a socket (for fuzzing and byte-level tests).
// feed() takes bytes as they would arrive on the TCP stream and returns the bytes the server
// would send back for every complete encapsulation message; of the faults only packet_limit,
// reply_limit and refuse_sessions apply. closed() tells whether the server would have closed the
// connection (after UnRegisterSession or a broken stream); later input is then ignored.
class Connection {
public:
    Connection(std::shared_ptr<const Controller> controller, Options options = {});
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    std::vector<uint8_t> feed(const uint8_t* data, size_t size);
    bool closed() const;
    // Answers one encoded CIP request (service, path size, path, data) as the Message
    // Router of the controller does, returning the encoded CIP reply.
    std::vector<uint8_t> cip(const uint8_t* data, size_t size);
    void tick(); // advances the live values, as Server::tick does

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace logixsim
