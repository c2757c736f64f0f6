// The Sparkplug B payload form: one edge node on one broker connection, each controller a device.
// Payloads are built and read with the code protoc generates from sparkplug_b.proto.
#include <fmt/format.h>
#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "Reconnect.h"
#include "orvane_mqtt.h"
#include "proto/sparkplug_b.pb.h"

namespace mqtt {

namespace {

namespace pb = org::eclipse::tahu::protobuf;
using Clock = std::chrono::steady_clock;

constexpr int kKeepAliveS = 30;
constexpr const char* kNamespace = "spBv1.0";
constexpr const char* kRebirth = "Node Control/Rebirth";
// The quality property Sparkplug hosts read: 192 good, 500 stale.
constexpr int32_t kQualityStale = 500;

uint64_t epoch_ms(std::chrono::system_clock::time_point time) {
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count());
}

uint64_t now_ms() {
    return epoch_ms(std::chrono::system_clock::now());
}

std::string error_text(int rc) {
    return rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : std::string(mosquitto_strerror(rc));
}

template <typename T> bool parse_number(const std::string& text, T* out) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
    return ec == std::errc() && end == text.data() + text.size();
}

// Sets the metric's value from a value text of `datatype`; false when the text is not one.
bool set_value(pb::Payload::Metric* m, uint32_t datatype, const std::string& text) {
    switch (datatype) {
    case pb::Boolean:
        if (text != "true" && text != "false") {
            return false;
        }
        m->set_boolean_value(text == "true");
        return true;
    case pb::Int8:
    case pb::Int16:
    case pb::Int32: { // two's complement in the 32-bit field
        int32_t v = 0;
        if (!parse_number(text, &v)) {
            return false;
        }
        m->set_int_value(uint32_t(v));
        return true;
    }
    case pb::Int64: {
        int64_t v = 0;
        if (!parse_number(text, &v)) {
            return false;
        }
        m->set_long_value(uint64_t(v));
        return true;
    }
    case pb::UInt8:
    case pb::UInt16:
    case pb::UInt32: {
        uint32_t v = 0;
        if (!parse_number(text, &v)) {
            return false;
        }
        m->set_int_value(v);
        return true;
    }
    case pb::UInt64: {
        uint64_t v = 0;
        if (!parse_number(text, &v)) {
            return false;
        }
        m->set_long_value(v);
        return true;
    }
    case pb::Float:
    case pb::Double: { // the value text is the shortest that reads back the same; inf and nan too
        char* end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        if (text.empty() || end != text.c_str() + text.size()) {
            return false;
        }
        if (datatype == pb::Float) {
            m->set_float_value(std::strtof(text.c_str(), nullptr));
        } else {
            m->set_double_value(v);
        }
        return true;
    }
    default:
        m->set_string_value(utf8_text(text));
        return true;
    }
}

// The value of a DCMD metric as value text, read as `datatype` (the command's own, else the one of
// the metric's birth); false when it carries no value.
bool command_value(const pb::Payload::Metric& m, uint32_t datatype, std::string* text) {
    using M = pb::Payload::Metric;
    const bool is_signed =
        datatype == pb::Int8 || datatype == pb::Int16 || datatype == pb::Int32 || datatype == pb::Int64;
    if (m.is_null()) {
        return false;
    }
    switch (m.value_case()) {
    case M::kBooleanValue:
        *text = m.boolean_value() ? "true" : "false";
        return true;
    case M::kIntValue: // two's complement in the 32-bit field for the signed types
        *text = is_signed ? std::to_string(int32_t(m.int_value())) : std::to_string(m.int_value());
        return true;
    case M::kLongValue:
        *text = is_signed ? std::to_string(int64_t(m.long_value())) : std::to_string(m.long_value());
        return true;
    case M::kFloatValue:
        *text = fmt::format("{}", m.float_value());
        return true;
    case M::kDoubleValue:
        *text = fmt::format("{}", m.double_value());
        return true;
    case M::kStringValue:
        *text = m.string_value();
        return true;
    default:
        return false;
    }
}

void add_property(pb::Payload::PropertySet* set, const char* key, int32_t value) {
    set->add_keys(key);
    pb::Payload::PropertyValue* v = set->add_values();
    v->set_type(pb::Int32);
    v->set_int_value(uint32_t(value));
}

void add_property(pb::Payload::PropertySet* set, const char* key, const std::string& value) {
    set->add_keys(key);
    pb::Payload::PropertyValue* v = set->add_values();
    v->set_type(pb::String);
    v->set_string_value(utf8_text(value));
}

// One tag of a device: what the host was told at birth and what was last sent.
struct Metric {
    std::string name;
    uint64_t alias = 0;
    uint32_t datatype = 0; // 0 until a read gives the type
    Reading last;          // the newest reading
    uint64_t time_ms = 0;  // when it was read
    Reading sent;          // what the host has now (at birth or the last DDATA)
    bool has_value = false;
};

struct Device {
    std::string name;
    std::vector<std::string> writable; // tag patterns a DCMD may write
    Commands* commands = nullptr;      // the watch's queue of writes, while it runs
    std::vector<std::string> paths;
    std::vector<Metric> metrics;
    bool online = false;     // connected and resolved
    bool has_values = false; // read at least once since online
    bool born = false;       // DBIRTH sent on this node's life
};

} // namespace

std::string parse_sparkplug_id(const std::string& text, SparkplugOptions* out) {
    const size_t slash = text.find('/');
    if (slash == std::string::npos || !is_topic_level(text.substr(0, slash)) ||
        !is_topic_level(text.substr(slash + 1))) {
        return fmt::format("'{}': give GROUP/EDGE_NODE, two names without '/', '+' or '#'", text);
    }
    out->group = text.substr(0, slash);
    out->edge_node = text.substr(slash + 1);
    return {};
}

uint32_t sparkplug_datatype(std::string_view type) {
    struct Entry {
        std::string_view logix;
        uint32_t sparkplug;
    };
    static constexpr Entry kTypes[] = {
        {"BOOL", pb::Boolean}, {"SINT", pb::Int8},   {"INT", pb::Int16},    {"DINT", pb::Int32},
        {"LINT", pb::Int64},   {"USINT", pb::UInt8}, {"UINT", pb::UInt16},  {"UDINT", pb::UInt32},
        {"ULINT", pb::UInt64}, {"BYTE", pb::UInt8},  {"WORD", pb::UInt16},  {"DWORD", pb::UInt32},
        {"LWORD", pb::UInt64}, {"REAL", pb::Float},  {"LREAL", pb::Double}, {"STRING", pb::String},
    };
    for (const Entry& e : kTypes) {
        if (e.logix == type) {
            return e.sparkplug;
        }
    }
    return pb::Unknown;
}

std::string default_state_dir() {
    const char* xdg = std::getenv("XDG_STATE_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        return std::string(xdg) + "/orvane";
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : ".") + "/.local/state/orvane";
}

struct SparkplugNode::Impl {
    MqttOptions mqtt;
    SparkplugOptions options;
    std::string node_topic_tail; // GROUP/<type>/EDGE, built per message type
    mosquitto* mosq = nullptr;
    std::thread worker;

    // pub_mu orders the messages of every thread: a sequence number is taken and its message
    // published under it. mu guards the node's state and is the only lock the callbacks take.
    std::mutex pub_mu;
    std::vector<std::pair<std::string, std::string>> outbox; // topic, payload; pub_mu
    mutable std::mutex mu;
    std::condition_variable cv;
    std::vector<std::unique_ptr<Device>> devices;
    uint64_t bdseq = 0;
    uint8_t seq = 0;
    uint64_t next_alias = 1;
    int connack = -1; // the first connection's answer, -1 before it comes
    bool connected = false;
    bool subscribed = false; // the commands and STATE topics asked for on this connection
    bool host_online = false;
    bool node_born = false;
    bool rebirth_due = false;
    bool host_went_offline = false;
    bool stopping = false;
    uint32_t attempt = 0;
    Clock::time_point retry_at{};

    std::string topic(const char* type, const std::string& device = {}) const {
        std::string t = fmt::format("{}/{}/{}/{}", kNamespace, options.group, type, options.edge_node);
        if (!device.empty()) {
            t += "/" + device;
        }
        return t;
    }

    std::string bdseq_path() const {
        return fmt::format("{}/sparkplug-{}-{}.bdseq", options.state_dir, options.group, options.edge_node);
    }

    // The bdSeq of a new connection: one more than the last one used (0 after 255, and on the first
    // start), written back before the connection is made so that a restart never reuses it.
    uint64_t take_bdseq() {
        uint64_t last = 255;
        std::ifstream in(bdseq_path());
        if (!(in >> last) || last > 255) {
            last = 255;
        }
        const uint64_t next = (last + 1) % 256;
        std::error_code ec;
        std::filesystem::create_directories(options.state_dir, ec);
        std::ofstream out(bdseq_path(), std::ios::trunc);
        out << next << "\n";
        if (!out) {
            fmt::print(stderr, "Sparkplug: cannot keep bdSeq in {}\n", bdseq_path());
        }
        return next;
    }

    std::string ndeath_payload() const {
        pb::Payload p;
        p.set_timestamp(now_ms());
        pb::Payload::Metric* m = p.add_metrics();
        m->set_name("bdSeq");
        m->set_datatype(pb::Int64);
        m->set_timestamp(p.timestamp());
        m->set_long_value(bdseq);
        return p.SerializeAsString();
    }

    // A new connection: its bdSeq (mu held, or before the worker starts) and the NDEATH will that
    // carries it (given to the library by the caller, with mu not held).
    std::string next_will() {
        bdseq = take_bdseq();
        return ndeath_payload();
    }
    void set_will(const std::string& will) {
        mosquitto_will_set(mosq, topic("NDEATH").c_str(), int(will.size()), will.data(), 1, false);
    }

    // Queues a payload with the next sequence number (pub_mu and mu held); flush() publishes it.
    void send(const std::string& topic_text, pb::Payload& payload) {
        payload.set_seq(seq);
        seq = uint8_t(seq + 1);
        outbox.emplace_back(topic_text, payload.SerializeAsString());
    }

    // Publishes what send() queued, in sequence order (pub_mu held, mu not: the library's own
    // locks are never taken under the node's, which its callbacks take).
    void flush() {
        for (const auto& [topic_text, bytes] : outbox) {
            mosquitto_publish(mosq, nullptr, topic_text.c_str(), int(bytes.size()), bytes.data(), 0, false);
        }
        outbox.clear();
    }

    // The publish lock, then the node's lock; on leaving, the node's lock goes first and what was
    // queued meanwhile is published before the publish lock goes.
    struct Sending {
        explicit Sending(Impl& node) : n(node), pub(node.pub_mu), lock(node.mu) {}
        ~Sending() {
            lock.unlock();
            n.flush();
        }
        Impl& n;
        std::lock_guard<std::mutex> pub;
        std::unique_lock<std::mutex> lock;
    };

    void fill_metric(pb::Payload::Metric* out, const Metric& m, bool birth) {
        if (birth) {
            out->set_name(m.name);
        }
        out->set_alias(m.alias);
        out->set_timestamp(m.time_ms);
        out->set_datatype(m.datatype != 0 ? m.datatype : uint32_t(pb::String));
        const Reading& r = m.last;
        if (!r.ok || !set_value(out, out->datatype(), r.text)) {
            out->clear_value();
            out->set_is_null(true);
            pb::Payload::PropertySet* props = out->mutable_properties();
            add_property(props, "Quality", kQualityStale);
            add_property(props, "Reason", r.ok ? fmt::format("'{}' is not a {}", r.text, r.type) : r.reason);
        }
    }

    // DBIRTH with every metric's current value (pub_mu and mu held, node born).
    void birth_device(Device& d) {
        pb::Payload p;
        p.set_timestamp(now_ms());
        for (Metric& m : d.metrics) {
            fill_metric(p.add_metrics(), m, true);
            m.sent = m.last;
        }
        send(topic("DBIRTH", d.name), p);
        d.born = true;
    }

    // NBIRTH (sequence 0) and a DBIRTH for each device that has values (pub_mu and mu held).
    void birth_node() {
        seq = 0;
        pb::Payload p;
        p.set_timestamp(now_ms());
        pb::Payload::Metric* bd = p.add_metrics();
        bd->set_name("bdSeq");
        bd->set_datatype(pb::Int64);
        bd->set_timestamp(p.timestamp());
        bd->set_long_value(bdseq);
        pb::Payload::Metric* rebirth = p.add_metrics();
        rebirth->set_name(kRebirth);
        rebirth->set_datatype(pb::Boolean);
        rebirth->set_timestamp(p.timestamp());
        rebirth->set_boolean_value(false);
        send(topic("NBIRTH"), p);
        node_born = true;
        for (auto& d : devices) {
            d->born = false;
            if (d->online && d->has_values) {
                birth_device(*d);
            }
        }
    }

    void unborn() { // mu held
        node_born = false;
        for (auto& d : devices) {
            d->born = false;
        }
    }

    // ---- Called from the watch threads ----

    void online(Device& d, const std::vector<std::string>& paths) {
        std::lock_guard lock(mu);
        if (d.paths != paths) { // new tags get new aliases; aliases never repeat on this node
            d.paths = paths;
            d.metrics.assign(paths.size(), Metric{});
            for (size_t i = 0; i < paths.size(); ++i) {
                d.metrics[i].name = paths[i];
                d.metrics[i].alias = next_alias++;
            }
        }
        d.online = true;
        d.has_values = false;
        d.born = false;
    }

    void values(Device& d, const std::vector<Reading>& values, std::chrono::system_clock::time_point when,
                bool full) {
        Sending sending(*this);
        const uint64_t ms = epoch_ms(when);
        bool retype = false; // a metric's type became known or changed: the host needs a new DBIRTH
        for (size_t i = 0; i < values.size() && i < d.metrics.size(); ++i) {
            Metric& m = d.metrics[i];
            m.last = values[i];
            m.time_ms = ms;
            m.has_value = true;
            if (values[i].ok) {
                uint32_t type = sparkplug_datatype(values[i].type);
                type = type != 0 ? type : uint32_t(pb::String);
                retype = retype || (d.born && m.datatype != type);
                m.datatype = type;
            }
        }
        d.has_values = true;
        if (!node_born || (!d.online)) {
            return;
        }
        if (!d.born || retype) {
            birth_device(d);
            return;
        }
        pb::Payload p;
        p.set_timestamp(now_ms());
        for (Metric& m : d.metrics) {
            const bool same =
                m.sent.ok == m.last.ok && m.sent.text == m.last.text && m.sent.reason == m.last.reason;
            if (m.has_value && (full || !same)) {
                fill_metric(p.add_metrics(), m, false);
                m.sent = m.last;
            }
        }
        if (p.metrics_size() > 0) {
            send(topic("DDATA", d.name), p);
        }
    }

    void lost(Device& d) {
        Sending sending(*this);
        d.online = false;
        d.has_values = false;
        if (d.born && node_born) {
            pb::Payload p;
            p.set_timestamp(now_ms());
            send(topic("DDEATH", d.name), p);
        }
        d.born = false;
    }

    // Tells the caller of a write's outcome (who records and logs it).
    void report(const std::string& device, const WriteCommand& command, const WriteOutcome& outcome) const {
        if (options.on_write) {
            options.on_write(device, command, outcome);
        }
    }

    // A DCMD: each metric is checked here and, when the device may take it, queued for its watch;
    // what is refused is told at once. Nothing is sent while the device is not born: a host that
    // asks again after a DBIRTH asks knowing the controller's state. A retained DCMD (the broker
    // hands it to every new subscription, a restarted node's too) is never written.
    void command(const std::string& device, const char* bytes, int length, bool retained) {
        pb::Payload p;
        if (!p.ParseFromArray(bytes, length)) {
            fmt::print(stderr, "Sparkplug: a DCMD that is not a Sparkplug B payload was ignored\n");
            return;
        }
        std::vector<std::pair<WriteCommand, WriteOutcome>> refused;
        {
            std::lock_guard lock(mu);
            Device* d = nullptr;
            for (auto& candidate : devices) {
                if (candidate->name == device) {
                    d = candidate.get();
                }
            }
            for (const auto& m : p.metrics()) {
                WriteCommand c;
                const Metric* known = nullptr;
                if (d != nullptr) {
                    for (const Metric& metric : d->metrics) {
                        if (m.has_name() ? metric.name == m.name()
                                         : (m.has_alias() && metric.alias == m.alias())) {
                            known = &metric;
                        }
                    }
                }
                c.tag = known != nullptr ? known->name
                        : m.has_name()   ? m.name()
                                         : fmt::format("alias {}", m.alias());
                WriteOutcome out;
                if (known != nullptr) {
                    out.type = known->last.type;
                }
                const bool has_value = command_value(m,
                                                     m.has_datatype()   ? m.datatype()
                                                     : known != nullptr ? known->datatype
                                                                        : 0,
                                                     &c.value);
                if (retained) {
                    // The broker kept it from some earlier time: writing it now would replay it.
                    out.reason = "a retained DCMD is an old command, not a request now";
                } else if (d == nullptr) {
                    out.reason = "no such device on this node";
                } else if (d->writable.empty()) {
                    out.reason = "writes from Sparkplug hosts are not enabled for this controller";
                } else if (known == nullptr) {
                    out.reason = "no such metric on this device";
                } else if (std::none_of(d->writable.begin(), d->writable.end(),
                                        [&](const std::string& pattern) {
                                            return glob_match(pattern.c_str(), known->name.c_str());
                                        })) {
                    out.reason = "not among this controller's writable tags";
                } else if (!has_value) {
                    out.reason = "the command carries no value";
                } else if (!node_born || !d->born || !d->online || d->commands == nullptr) {
                    out.reason = "the controller is not connected";
                } else if (out.reason = d->commands->submit(c); !out.reason.empty()) {
                } else {
                    continue; // queued: its watch tells the outcome
                }
                refused.emplace_back(std::move(c), std::move(out));
            }
        }
        for (const auto& [c, out] : refused) {
            report(device, c, out);
        }
    }

    // ---- The broker connection's callbacks, on the worker thread ----

    static void on_connect(mosquitto*, void* self, int rc) {
        auto* n = static_cast<Impl*>(self);
        {
            std::lock_guard lock(n->mu);
            if (n->connack < 0) {
                n->connack = rc;
            } else if (rc == 0) {
                fmt::print(stderr, "MQTT broker {}:{}: reconnected\n", n->mqtt.url.host, n->mqtt.url.port);
            }
            n->connected = rc == 0;
            n->subscribed = false;
            n->host_online = false;
            if (rc == 0) {
                n->attempt = 0;
            }
        }
        n->cv.notify_all();
    }

    static void on_disconnect(mosquitto*, void* self, int rc) {
        auto* n = static_cast<Impl*>(self);
        std::lock_guard lock(n->mu);
        if (n->connected && !n->stopping && !n->host_went_offline) {
            fmt::print(stderr, "MQTT broker {}:{}: connection lost ({}); reconnecting\n", n->mqtt.url.host,
                       n->mqtt.url.port, error_text(rc));
        }
        n->connected = false;
        n->unborn();
        n->retry_at = Clock::now() + std::chrono::nanoseconds(reconnectDelayNs(n->attempt++));
    }

    static void on_message(mosquitto*, void* self, const mosquitto_message* msg) {
        auto* n = static_cast<Impl*>(self);
        const std::string topic_text = msg->topic;
        const auto* bytes = static_cast<const char*>(msg->payload);
        if (topic_text == n->topic("NCMD")) {
            pb::Payload p;
            if (!p.ParseFromArray(bytes, msg->payloadlen)) {
                fmt::print(stderr, "Sparkplug: an NCMD that is not a Sparkplug B payload was ignored\n");
                return;
            }
            for (const auto& m : p.metrics()) {
                if (m.name() == kRebirth && m.value_case() == pb::Payload::Metric::kBooleanValue &&
                    m.boolean_value()) {
                    std::lock_guard lock(n->mu);
                    n->rebirth_due = true;
                }
            }
        } else if (topic_text.rfind(n->topic("DCMD") + "/", 0) == 0) {
            n->command(topic_text.substr(n->topic("DCMD").size() + 1), bytes, msg->payloadlen, msg->retain);
        } else if (!n->options.primary_host.empty() &&
                   topic_text == fmt::format("{}/STATE/{}", kNamespace, n->options.primary_host)) {
            const nlohmann::json doc = nlohmann::json::parse(
                std::string(bytes, size_t(std::max(msg->payloadlen, 0))), nullptr, false);
            const bool online = doc.is_object() && doc.value("online", false) == true;
            std::lock_guard lock(n->mu);
            if (!online && n->host_online && n->node_born) {
                n->host_went_offline = true;
            }
            n->host_online = online;
        }
    }

    // The worker: keeps the connection, births when allowed, and does what the callbacks asked.
    void run() {
        for (;;) {
            {
                std::lock_guard pub(pub_mu);
                bool subscribe = false;
                std::string death; // the primary host went away: NDEATH, then disconnect
                {
                    std::lock_guard lock(mu);
                    if (stopping) {
                        break;
                    }
                    if (connected && !subscribed) {
                        subscribed = subscribe = true;
                    }
                    const bool may_birth =
                        connected && subscribed && (options.primary_host.empty() || host_online);
                    if (host_went_offline && connected) {
                        // Die, and come back with a new bdSeq once the host is online again.
                        host_went_offline = false;
                        death = ndeath_payload();
                        unborn();
                    } else if (may_birth && (!node_born || rebirth_due)) {
                        rebirth_due = false;
                        birth_node();
                    } else if (!node_born) {
                        rebirth_due = false;
                    }
                }
                if (subscribe) {
                    mosquitto_subscribe(mosq, nullptr, topic("NCMD").c_str(), 1);
                    mosquitto_subscribe(mosq, nullptr, (topic("DCMD") + "/+").c_str(), 1);
                    if (!options.primary_host.empty()) {
                        const std::string state =
                            fmt::format("{}/STATE/{}", kNamespace, options.primary_host);
                        mosquitto_subscribe(mosq, nullptr, state.c_str(), 1);
                    }
                }
                flush();
                if (!death.empty()) {
                    mosquitto_publish(mosq, nullptr, topic("NDEATH").c_str(), int(death.size()), death.data(),
                                      1, false);
                    for (int i = 0; i < 10 && mosquitto_want_write(mosq); ++i) {
                        mosquitto_loop(mosq, 10, 1);
                    }
                    mosquitto_disconnect(mosq);
                    std::lock_guard lock(mu);
                    connected = false;
                    retry_at = Clock::now();
                }
            }
            if (mosquitto_socket(mosq) < 0) {
                Clock::time_point at;
                {
                    std::lock_guard lock(mu);
                    at = retry_at;
                }
                if (Clock::now() >= at) {
                    std::string will;
                    {
                        std::lock_guard lock(mu);
                        will = next_will();
                    }
                    set_will(will);
                    if (mosquitto_reconnect(mosq) != MOSQ_ERR_SUCCESS) {
                        std::lock_guard lock(mu);
                        retry_at = Clock::now() + std::chrono::nanoseconds(reconnectDelayNs(attempt++));
                    }
                } else {
                    std::unique_lock lock(mu);
                    cv.wait_until(lock, std::min(at, Clock::now() + std::chrono::milliseconds(100)),
                                  [this] { return stopping; });
                }
                continue;
            }
            mosquitto_loop(mosq, 50, 1);
        }
    }
};

namespace {

class SparkplugFeed : public Feed {
public:
    SparkplugFeed(SparkplugNode::Impl& node, Device& device) : node_(node), device_(device) {}
    ~SparkplugFeed() override { attach(nullptr); }
    void attach(Commands* commands) override {
        std::lock_guard lock(node_.mu);
        device_.commands = commands;
    }
    void written(const WriteCommand& command, const WriteOutcome& outcome) override {
        node_.report(device_.name, command, outcome);
    }
    void online(const std::vector<std::string>& paths) override { node_.online(device_, paths); }
    void values(const std::vector<Reading>& values, std::chrono::system_clock::time_point time,
                bool full) override {
        node_.values(device_, values, time, full);
    }
    void lost(const std::string&) override { node_.lost(device_); }

private:
    SparkplugNode::Impl& node_;
    Device& device_;
};

} // namespace

SparkplugNode::SparkplugNode(const MqttOptions& mqtt, const SparkplugOptions& options, uint32_t timeout_ms)
    : impl_(std::make_unique<Impl>()) {
    Impl& n = *impl_;
    n.mqtt = mqtt;
    n.options = options;
    if (n.options.state_dir.empty()) {
        n.options.state_dir = default_state_dir();
    }
    static const int once = mosquitto_lib_init();
    (void)once;
    // Sparkplug 3.0 asks for a clean session (MQTT 3.1.1) and a client id of its own per node.
    const std::string client_id = fmt::format("orvane-{}-{}", n.options.group, n.options.edge_node);
    n.mosq = mosquitto_new(client_id.c_str(), true, &n);
    if (n.mosq == nullptr) {
        throw BrokerError("out of memory");
    }
    mosquitto_threaded_set(n.mosq, true);
    if (mqtt.url.tls || !mqtt.cafile.empty()) {
        if (mqtt.cafile.empty()) {
            mosquitto_int_option(n.mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        }
        mosquitto_tls_set(n.mosq, mqtt.cafile.empty() ? nullptr : mqtt.cafile.c_str(), nullptr, nullptr,
                          nullptr, nullptr);
    }
    if (!mqtt.user.empty()) {
        mosquitto_username_pw_set(n.mosq, mqtt.user.c_str(),
                                  mqtt.password.empty() ? nullptr : mqtt.password.c_str());
    }
    mosquitto_connect_callback_set(n.mosq, &Impl::on_connect);
    mosquitto_disconnect_callback_set(n.mosq, &Impl::on_disconnect);
    mosquitto_message_callback_set(n.mosq, &Impl::on_message);
    n.set_will(n.next_will());
    const std::string broker = fmt::format("{}:{}", mqtt.url.host, mqtt.url.port);
    const int rc = mosquitto_connect(n.mosq, mqtt.url.host.c_str(), mqtt.url.port, kKeepAliveS);
    if (rc != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(n.mosq);
        throw BrokerError(fmt::format("cannot connect to the MQTT broker {}: {}", broker, error_text(rc)));
    }
    n.worker = std::thread([&n] { n.run(); });
    int connack = -1;
    {
        std::unique_lock lock(n.mu);
        n.cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&n] { return n.connack >= 0; });
        connack = n.connack;
    }
    if (connack != 0) {
        {
            std::lock_guard lock(n.mu);
            n.stopping = true;
        }
        n.cv.notify_all();
        n.worker.join();
        mosquitto_destroy(n.mosq);
        throw BrokerError(fmt::format("cannot connect to the MQTT broker {}: {}", broker,
                                      connack < 0 ? "no answer in time" : mosquitto_connack_string(connack)));
    }
}

SparkplugNode::~SparkplugNode() {
    Impl& n = *impl_;
    bool born = false;
    {
        std::lock_guard lock(n.mu);
        n.stopping = true;
        born = n.node_born;
    }
    n.cv.notify_all();
    n.worker.join();
    // A clean end drops the will, so the node says NDEATH itself and waits until it is written.
    // Only this thread is left: the library writes at once again instead of leaving it to a loop.
    mosquitto_threaded_set(n.mosq, false);
    if (mosquitto_socket(n.mosq) >= 0) {
        int mid = -1;
        if (born) {
            const std::string death = n.ndeath_payload();
            mosquitto_publish(n.mosq, &mid, n.topic("NDEATH").c_str(), int(death.size()), death.data(), 1,
                              false);
        }
        const auto until = Clock::now() + std::chrono::milliseconds(1500);
        while (Clock::now() < until && mosquitto_want_write(n.mosq) && mosquitto_socket(n.mosq) >= 0) {
            mosquitto_loop(n.mosq, 50, 1);
        }
        // The DISCONNECT goes out through the loop too; a socket closed without it fires the will,
        // and the host would see a second NDEATH.
        mosquitto_disconnect(n.mosq);
        while (Clock::now() < until && mosquitto_socket(n.mosq) >= 0) {
            if (mosquitto_loop(n.mosq, 50, 1) != MOSQ_ERR_SUCCESS) {
                break;
            }
        }
    }
    mosquitto_destroy(n.mosq);
}

std::unique_ptr<Feed> SparkplugNode::feed(const std::string& controller) {
    std::lock_guard lock(impl_->mu);
    impl_->devices.push_back(std::make_unique<Device>());
    impl_->devices.back()->name = controller;
    const auto writable = impl_->options.writable.find(controller);
    if (writable != impl_->options.writable.end()) {
        impl_->devices.back()->writable = writable->second;
    }
    return std::make_unique<SparkplugFeed>(*impl_, *impl_->devices.back());
}

uint64_t SparkplugNode::bdseq() const {
    std::lock_guard lock(impl_->mu);
    return impl_->bdseq;
}

} // namespace mqtt
