// orvane-cli: the pieces the commands share (addresses, the connection, exit statuses, tag reads).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "orvane_mqtt.h"
#include "zelkc_logix.h"

namespace cli {

// Exit statuses: 0 all good, 1 bad usage, 2 no connection or it dropped, 3 some tags failed or the
// controller refused a request.
enum Exit { kExitOk = 0, kExitUsage = 1, kExitConnection = 2, kExitTagsFailed = 3 };

constexpr uint32_t kDefaultPort = 44818;

// HOST[:PORT][/SLOT]; slot -1 when the address names none.
struct Address {
    std::string host;
    uint32_t port = kDefaultPort;
    int slot = -1;
    // How requests travel once connected (ZELKC_LOGIX_MODE_*): by default a class 3 connection of
    // 4002 bytes, else of 504, else unconnected messages, as the application connects.
    uint8_t mode = ZELKC_LOGIX_MODE_AUTO;
    std::string text() const;
};

// Parses `text` into `out`; returns what is wrong with it, or the empty string.
std::string parse_address(const std::string& text, Address* out);

// The controller could not be reached, or the connection dropped: exit status 2.
struct ConnectionError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What was asked for does not exist in the controller (e.g. a program), or the controller refused
// the request (a status in its reply): exit status 3.
struct NotFoundError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// True for the results that mean the connection is not there (nothing listening, time-out,
// dropped, a reply that broke the stream), as opposed to a refusal by the controller.
bool is_connection_failure(uint8_t result);

// One connected client; the destructor disconnects and releases it.
// Ends the exchange under way on every Connection of the process at once, and makes every later
// one fail as cancelled (a Connection made afterwards is cancelled from its start). Safe from any
// thread; for SIGINT and SIGTERM.
void cancel_connections();

class Connection {
public:
    // Connects in address.mode; throws ConnectionError (or NotFoundError for a refusal) naming the
    // address and the library's reason with the status it came from.
    Connection(const Address& address, uint32_t timeout_ms);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // A view of another client of the same controller (a lane of `owner`): failures are explained
    // and named as the owner's; the client stays the lane set's.
    Connection(const Connection& owner, zelkc_logix_client* lane) : client_(lane), address_(owner.address_), owned_(false) {}

    zelkc_logix_client* client() const { return client_; }
    // Opens up to `count` lanes to the controller, this connection's client first (see
    // zelkc_logix_lanes_open); a controller that grants fewer gives fewer. They close with the
    // connection, and a signal cancels them as it cancels the connection.
    zelkc_logix_lanes* open_lanes(const Address& address, uint32_t timeout_ms, uint32_t count);
    zelkc_logix_lanes* lanes() const { return lanes_.get(); }
    // Lets reads open up to `count` lanes, only once a batch needs more than one packet.
    void allow_lanes(const Address& address, uint32_t timeout_ms, uint32_t count) {
        lane_address_ = address, lane_timeout_ms_ = timeout_ms, lanes_allowed_ = count;
    }
    // The lanes for a batch of `packets` packets: those open, or opened now when allowed; null
    // when the batch goes over this connection alone.
    zelkc_logix_lanes* lanes_for(uint32_t packets) const;
    // Throws ConnectionError (a connection failure) or NotFoundError (a refusal) for `result` met
    // while doing `what`, explained with the status behind it.
    [[noreturn]] void fail(const std::string& what, uint8_t result) const;
    // Throws NotFoundError: the controller refused `what` for `reason`.
    [[noreturn]] void refused(const std::string& what, const std::string& reason) const;
    // The reason for `result` in the library's words, with the status of the last refusal.
    std::string reason(uint8_t result) const;
    // Exchanges sent on this connection so far (connect included).
    uint64_t requests() const;

private:
    zelkc_logix_client* client_ = nullptr;
    std::string address_;
    bool owned_ = true;
    mutable std::unique_ptr<zelkc_logix_lanes> lanes_;
    Address lane_address_;
    uint32_t lane_timeout_ms_ = 0;
    mutable uint32_t lanes_allowed_ = 1;
};

// The outcome of reading one tag: its value text as the application shows it, or why it failed.
struct TagValue {
    std::string tag;
    bool ok = false;
    std::string type;   // type name of a value read
    std::string text;   // value text when ok
    std::string reason; // plain-language reason, with the CIP status in brackets when there is one
};

// Reads every tag in one batch (STRINGs then read as text). Throws ConnectionError when the
// connection fails; single tags that fail carry their reason.
std::vector<TagValue> read_tags(const Connection& connection, const std::vector<std::string>& tags);

// `count` element paths starting at `tag`: "A" gives A[0].., "A[4]" gives A[4].., and the last
// index of "M[1,2]" counts up.
std::vector<std::string> element_paths(const std::string& tag, uint32_t count);

// The browsed info of `tag` (Name, Name.Member.Member, Program:P.Name...) in `list`, or null.
const zelkc_logix_tag_info* find_info(const zelkc_logix_tag_info_list& list, const std::string& tag);

struct CommonOptions {
    Address address;
    uint32_t timeout_ms = 5000;
};

struct BrowseOptions {
    std::string program; // one program's tags
    bool all = false;    // controller tags and every program's tags
    bool elements = false;
    bool json = false;
    std::string filter;
    uint32_t lanes = 4; // connections browsing programs at once (--all)
};

struct WatchOptions {
    uint32_t interval_ms = 1000;
    uint32_t count = 0; // cycles; 0 runs until interrupted
    bool csv = false;
    bool exit_on_loss = false; // a lost connection ends the watch (exit 2) instead of reconnecting
    uint32_t lanes = 4;        // connections a refresh of more than one packet may use at once
};

// Every path in a scope ("" for the controller's, else the program's) that holds one value: atomic
// tags and members and STRINGs, structures opened, arrays left out. Throws as browse does.
std::vector<std::string> leaf_tag_paths(const Connection& connection, const std::string& program);

// The time now as ISO 8601 UTC with milliseconds (2026-12-06T12:52:32.974Z).
std::string utc_now();
// The steady clock in nanoseconds, for the reconnect back-off.
int64_t steady_ns();

// One controller of `watch --mqtt`: where it is, the topic level it publishes under, how often it is
// read, and its tags (exact paths, or filters that a browse expands).
struct ControllerSpec {
    Address address;
    std::string name;
    uint32_t interval_ms = 1000;
    std::vector<std::string> tags;
    std::vector<std::string> writable; // tag patterns a Sparkplug host may write
};

// The topic level of a controller named by its address: HOST:PORT, with _slotN for a slot.
std::string default_controller_name(const Address& address);

// Reads a plant file into `out`, each controller's rate defaulting to `interval_ms`; returns the
// problem (the line of a syntax error, the controller entry of any other), or the empty string.
std::string load_plant(const std::string& path, uint32_t interval_ms, std::vector<ControllerSpec>* out);

// Watches every controller on its own thread and publishes through one broker connection until
// SIGINT/SIGTERM (or --count cycles each): JSON topics, or as a Sparkplug B edge node when
// `sparkplug` is given. Throws mqtt::BrokerError when the broker is not there.
int run_mqtt_watch(const CommonOptions& common, const std::vector<ControllerSpec>& controllers,
                   const WatchOptions& options, const mqtt::MqttOptions& mqtt,
                   const mqtt::SparkplugOptions* sparkplug = nullptr);

// The characters the STRING at `tag` holds, from a browse of its scope; 0 when not found.
uint32_t string_capacity(const Connection& connection, const std::string& tag);

struct WriteOptions {
    bool yes = false;     // write without asking
    bool dry_run = false; // check and print the plan, write nothing
    bool json = false;
};

// Reads each tag, prints the plan, asks (unless --yes), writes every value in one batch, reads back
// and records each attempt. Exit 0 all written and read back equal, 1 usage or a value that cannot
// be written (nothing written), 2 connection, 3 a tag refused or read back different.
int run_write(const CommonOptions& common, const std::vector<std::string>& assignments,
              const WriteOptions& options);

int run_identity(const CommonOptions& common, bool json);
int run_browse(const CommonOptions& common, const BrowseOptions& options);
int run_read(const CommonOptions& common, const std::vector<std::string>& tags, uint32_t count,
             bool whole_arrays, bool json);
int run_watch(const CommonOptions& common, const std::vector<std::string>& tags, const WatchOptions& options);

// The JSON text helpers live with the MQTT engine's JSON payload form.
using mqtt::append_json_string;
using mqtt::is_json_number;
using mqtt::utf8_text;

} // namespace cli
