// orvane_mqtt: the MQTT engine behind `orvane-cli watch --mqtt`. It reads controllers through links
// the caller provides (one thread per controller, reconnecting on the shared schedule) and publishes
// their values in one of two payload forms: our JSON topics (a latest-value map and its publisher
// thread) or Sparkplug B (one edge node, each controller a device).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

struct mosquitto;

namespace mqtt {

// The broker is not there, refuses the connection, or a connection to it could not be made.
struct BrokerError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// mqtt://HOST[:PORT]/PREFIX (port 1883) or mqtts://HOST[:PORT]/PREFIX (TLS, port 8883).
struct MqttUrl {
    std::string host;
    int port = 1883;
    std::string prefix; // one or more topic levels, no wildcards; may be empty when not required
    bool tls = false;
};

// Parses `text` into `out`; returns what is wrong with it, or the empty string. With
// require_prefix false the URL may end after the host or port (Sparkplug names its own topics).
std::string parse_mqtt_url(const std::string& text, MqttUrl* out, bool require_prefix = true);

// Whether `text` may stand as one topic level (a controller's name): not empty, no '/', '+' or '#'.
bool is_topic_level(const std::string& text);

struct MqttOptions {
    MqttUrl url;
    std::string cafile; // a CA file to check the broker's certificate against (turns TLS on)
    std::string user;   // user name; the password comes from ORVANE_MQTT_PASSWORD
    std::string password;
    bool on_change = false;    // publish a value only when it changed...
    uint32_t heartbeat_s = 60; // ...and every value once per this many seconds
};

// One broker connection for every value (retained, QoS 1), and one small connection per controller
// that carries its `$status` topic: MQTT gives a connection a single last will, so each controller's
// "offline" will needs its own. One worker thread serves them all in one poll() and reconnects each
// on its own schedule.
class Publisher {
public:
    // Connects and waits up to timeout_ms for the broker's answer; throws BrokerError naming the
    // broker and why when it is not there or refuses the connection.
    Publisher(const MqttOptions& options, uint32_t timeout_ms);
    // Sends what is still pending and publishes "offline" on every status topic (1.5 s at most in
    // all, whatever the broker does), then disconnects.
    ~Publisher();
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    // A status topic: "online" (retained) on each connect, "offline" as its last will and at the end.
    // Throws BrokerError when its connection cannot be made. Safe while the worker runs.
    void add_status(const std::string& topic);
    // The number that stands for `topic` in put(); the same topic always gets the same number.
    uint32_t topic(const std::string& topic);
    // Makes each payload the value of its topic (a number from topic()), replacing one not yet
    // sent. While the broker is away only the newest payload of each topic is kept; every topic is
    // sent again once it is back (a broker that restarted has lost its retained values). One call
    // per cycle wakes the publisher once.
    void put(std::vector<std::pair<uint32_t, std::string>> values);
    // Topics whose newest payload is not sent yet (at most the number of topics).
    size_t pending() const;

private:
    struct Entry {
        const std::string* topic = nullptr; // the key in numbers_ (its nodes never move)
        std::string payload;                // empty before the first put()
        bool queued = false;                // in dirty_
    };
    struct Status;
    static void on_connect(mosquitto*, void* self, int rc);
    static void on_disconnect(mosquitto*, void* self, int rc);
    static void on_publish(mosquitto*, void* self, int mid);
    static void on_log(mosquitto*, void* self, int level, const char* text);
    std::string tls_reason(const std::string& fallback) const;
    void run();
    void stop(); // ends the worker, the status connections and the client
    void wake(); // ends the worker's wait
    bool stopping() const;
    void mark(uint32_t id); // mu_ held

    MqttOptions options_;
    mosquitto* mosq_ = nullptr;
    std::vector<std::unique_ptr<Status>> statuses_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Entry> entries_; // by topic number
    std::unordered_map<std::string, uint32_t> numbers_;
    std::deque<uint32_t> dirty_; // topics whose newest payload is not sent yet, oldest first
    int connack_ = -1;           // the first connection's answer, -1 before it comes
    bool connected_ = false;
    bool stopping_ = false;
    uint32_t in_flight_ = 0; // published, PUBACK not yet seen
    uint32_t attempt_ = 0;   // reconnect attempts since the connection was lost
    std::chrono::steady_clock::time_point retry_at_{};
    int wake_ = -1;         // eventfd: put() and stop() end the worker's poll
    std::string tls_error_; // the newest TLS failure libmosquitto logged
    std::thread worker_;
};

// ---- The plant file ----------------------------------------------------------------------------

// One controller of a plant file: its address as written, the name it publishes under, how often it
// is read, and its tags (exact paths, or filters that a browse expands).
struct PlantController {
    std::string address;
    std::string name;
    uint32_t interval_ms = 1000;
    std::vector<std::string> tags;
    std::vector<std::string> writable; // tag patterns a Sparkplug host may write (glob_match), or none
};

// Checks an address of the plant file: returns what is wrong with it, or the empty string and the
// controller's name when the entry gives none.
using AddressCheck = std::function<std::string(const std::string& address, std::string* default_name)>;

// Reads a plant file into `out`, each controller's rate defaulting to `interval_ms`; returns the
// problem (the line of a syntax error, the controller entry of any other), or the empty string.
std::string load_plant(const std::string& path, uint32_t interval_ms, const AddressCheck& check,
                       std::vector<PlantController>* out);

// A filter rather than a path: it holds a wildcard, or it names a whole program (PROGRAM:Name).
bool is_filter(const std::string& tag);
// Whether a filter names a program scope (PROGRAM:Name...), and which.
bool filter_program(const std::string& tag, std::string* program);
// Ignoring ASCII case: '*' matches any run of characters and '?' one character, neither a '.', so a
// wildcard stays within one level of the path.
bool glob_match(const char* pattern, const char* text);

// ---- Reading controllers -------------------------------------------------------------------------

// One tag's value as read: its value text as the application shows it, or why it failed.
struct Reading {
    std::string tag;
    bool ok = false;
    std::string type;   // Logix type name of a value read (DINT, REAL, STRING...)
    std::string text;   // value text when ok
    std::string reason; // plain-language reason when not
};

// The controller is not there, or the connection dropped.
struct LinkDown : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// The controller refused the request as a whole.
struct LinkRefused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A host's request to write one tag (a metric of a Sparkplug DCMD).
struct WriteCommand {
    std::string tag;   // the tag path (the metric's name)
    std::string value; // the value asked for, as value text (true/false, a decimal number, a text)
};

// What became of a write, in the write record's words.
struct WriteOutcome {
    std::string result = "not sent"; // written, differs, refused, failed or not sent
    std::string reason;              // why, in plain words, when not plainly written
    std::string type;                // the tag's Logix type, when learnt
    std::string before;              // what the tag held just before the write
    std::string read_back;           // what it held just after
    uint8_t general_status = 0;      // the controller's refusal, when it refused
    uint16_t extended_status = 0;
    std::string identity;     // the controller that took it (vendor-product-serial), when it got there
    std::string product_name; // and its product name
    bool link_lost = false;   // the connection failed in the write: the watch reconnects
};

// How the engine reaches one controller; used by that controller's watch thread only.
class Link {
public:
    virtual ~Link() = default;
    // Connects; throws LinkDown or LinkRefused (both are retried on the schedule).
    virtual void connect() = 0;
    // The tags to read: paths as given, filters expanded. Throws LinkDown.
    virtual std::vector<std::string> resolve() = 0;
    // One batch read, a Reading per path in order. Throws LinkDown or LinkRefused.
    virtual std::vector<Reading> read(const std::vector<std::string>& paths) = 0;
    // Forgets the connection after a loss.
    virtual void drop() = 0;
    // One guarded write: read the value, write it once, read it back; never repeated. A link that
    // cannot write says so and sends nothing.
    virtual WriteOutcome write(const WriteCommand& command);
};

// The writes waiting for one controller's watch thread. A write is carried out on the connection
// that was up when it was queued, or not at all: a loss of that connection answers every write
// still waiting with "not sent", and none is kept for the next connection.
class Commands {
public:
    virtual ~Commands() = default;
    // Queues `command` and wakes the watch. Returns why it was not queued (the watch is ending, or
    // kMaxWaiting writes wait already: a host cannot pile up work without end), or "".
    virtual std::string submit(WriteCommand command) = 0;
    static constexpr size_t kMaxWaiting = 256;
};

// Where one controller's values go; called from that controller's watch thread only.
class Feed {
public:
    virtual ~Feed() = default;
    // The controller is connected and its tags resolved (again, after each reconnect; the paths of
    // every later values()).
    virtual void online(const std::vector<std::string>& paths) = 0;
    // One cycle's values, in the order of online()'s paths, read at `time`. `full`: every value
    // goes out (no on-change, or a heartbeat), else only those that changed.
    virtual void values(const std::vector<Reading>& values, std::chrono::system_clock::time_point time,
                        bool full) = 0;
    // The connection was lost for `why`.
    virtual void lost(const std::string& why) = 0;
    // Where this controller's writes go (set once, before its watch starts; it outlives the feed's
    // use of it). Feeds that take no writes ignore it.
    virtual void attach(Commands* commands);
    // What became of a write this feed submitted.
    virtual void written(const WriteCommand& command, const WriteOutcome& outcome);
};

// A payload form: one Feed per controller, made before the watches start.
class Bridge {
public:
    virtual ~Bridge() = default;
    virtual std::unique_ptr<Feed> feed(const std::string& controller) = 0;
};

struct WatchController {
    std::string name;
    uint32_t interval_ms = 1000;
    std::unique_ptr<Link> link;
};

struct WatchRules {
    uint32_t count = 0; // cycles; 0 runs until stopped
    bool on_change = false;
    uint32_t heartbeat_s = 60;
};

// One thread per controller: connect (retried on the shared schedule), resolve, read every
// interval, hand the values to the controller's feed. `ended` runs on the last thread to end by
// itself (each done its count, or unable to go on).
class WatchGroup {
public:
    // Throws std::system_error when a thread cannot start (those started are stopped first).
    WatchGroup(std::vector<WatchController> controllers, const WatchRules& rules, Bridge& bridge,
               std::function<void()> ended);
    ~WatchGroup();
    WatchGroup(const WatchGroup&) = delete;
    WatchGroup& operator=(const WatchGroup&) = delete;
    // Ends every watch's wait at once; an exchange under way is the caller's to cancel.
    void stop();
    // Waits for every watch thread to end.
    void join();

    struct Shared; // the stop signal and the count of running watches (internal)

private:
    std::unique_ptr<Shared> shared_;
    std::vector<std::thread> threads_;
};

// ---- Payload forms -----------------------------------------------------------------------------

// JSON topics: PREFIX/CONTROLLER/TAG holds {"value":…,"type":…,"quality":…,"time":…[,"error":…]},
// retained; PREFIX/CONTROLLER/$status says online/offline. Throws BrokerError from feed() when a
// status connection cannot be made.
std::unique_ptr<Bridge> make_json_bridge(Publisher& publisher, const std::string& prefix);

// Sparkplug B (version 3.0): Orvane is one edge node, each controller one device named by its
// controller name.
struct SparkplugOptions {
    std::string group;        // group id
    std::string edge_node;    // edge node id
    std::string primary_host; // a primary host application's id to wait for, or empty
    std::string state_dir;    // the folder that keeps bdSeq across restarts
    // Per device: the tag patterns (glob_match) a host's DCMD may write. A device without any
    // refuses every DCMD.
    std::map<std::string, std::vector<std::string>> writable;
    // Every DCMD metric's outcome, refused or carried out (from the broker's or a watch's thread;
    // never with the node's lock held). The caller records and logs it.
    std::function<void(const std::string& device, const WriteCommand& command, const WriteOutcome& outcome)>
        on_write;
};

// Parses GROUP/EDGE_NODE into `out`; returns what is wrong with it, or the empty string.
std::string parse_sparkplug_id(const std::string& text, SparkplugOptions* out);

// Sparkplug's datatype for a Logix type name (BOOL→Boolean, DINT→Int32, REAL→Float, STRING→String
// ...), or 0 (Unknown) for a type without one.
uint32_t sparkplug_datatype(std::string_view logix_type);

// The folder Orvane keeps state in: $XDG_STATE_HOME/orvane when that is an absolute path, else
// ~/.local/state/orvane.
std::string default_state_dir();

// The edge node: one broker connection whose last will is NDEATH, NBIRTH and a DBIRTH per device
// once born, DDATA by alias of what changed, DDEATH as soon as a controller is lost; rebirth on
// NCMD Node Control/Rebirth; with a primary host, births only while its STATE is online. A DCMD
// metric is written through the device's watch when its tag is one of the device's metrics and
// matches the device's writable patterns, else refused; either way on_write hears of it. Sequence
// numbers run 0-255 over every message but NDEATH.
class SparkplugNode : public Bridge {
public:
    // Takes the next bdSeq (kept in options.state_dir), connects, and waits up to timeout_ms for the
    // broker's answer; throws BrokerError naming the broker and why when there is none.
    SparkplugNode(const MqttOptions& mqtt, const SparkplugOptions& options, uint32_t timeout_ms);
    // Publishes NDEATH and disconnects (1.5 s at most, whatever the broker does).
    ~SparkplugNode() override;
    SparkplugNode(const SparkplugNode&) = delete;
    SparkplugNode& operator=(const SparkplugNode&) = delete;

    std::unique_ptr<Feed> feed(const std::string& controller) override;
    // The bdSeq of the current connection.
    uint64_t bdseq() const;

    struct Impl; // the node's state, the broker connection and its worker thread (internal)

private:
    std::unique_ptr<Impl> impl_;
};

// Controller text as UTF-8: what is valid UTF-8 stays, and every other byte is read as Latin-1
// (a Logix STRING holds bytes, often a degree sign or an umlaut from a Latin-1 editor).
std::string utf8_text(std::string_view text);
// Appends `text` as a JSON string: quotes, backslashes and control characters escaped, bytes that
// are not UTF-8 read as Latin-1 (as utf8_text does).
void append_json_string(std::string& out, std::string_view text);
// Whether `text` is a number in JSON's grammar ("nan", "inf" and "+1" are not).
bool is_json_number(std::string_view text);
// `time` as ISO 8601 UTC with milliseconds (2026-12-06T12:52:32.974Z).
std::string iso_time(std::chrono::system_clock::time_point time);

} // namespace mqtt
