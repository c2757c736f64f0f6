// orvane-cli watch --sparkplug, the real executable, against logix-sim on loopback and a real mosquitto
// broker. The test plays the Sparkplug host application: it subscribes to spBv1.0/#, decodes every
// payload with the code generated from the schema, and checks the node's life against the rules:
// births before data, typed metrics with aliases, data by alias, sequence numbers without gaps, bdSeq
// shared by NBIRTH and NDEATH and kept across restarts, device deaths and rebirths, NCMD rebirth,
// refused DCMD, and the primary host's STATE.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <mosquitto.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>

#include "logixsim/server.h"
#include "mqtt_broker.h"
#include "proto/sparkplug_b.pb.h"

namespace {

using namespace mqtt_kit;
namespace pb = org::eclipse::tahu::protobuf;

struct Message {
    std::string topic;
    std::string type;   // NBIRTH, DDATA, ... (STATE for the host's own)
    std::string device; // empty for node messages
    pb::Payload payload;
    std::string raw; // the payload's bytes as they came
    bool decoded = false;
    bool retain = false;
    int qos = 0;
};

// The host application: keeps every message of spBv1.0/#, decoded.
class Host {
public:
    explicit Host(uint16_t port) {
        mosquitto_lib_init();
        mosq_ = mosquitto_new(nullptr, true, this);
        mosquitto_connect_callback_set(
            mosq_, [](mosquitto* m, void*, int) { mosquitto_subscribe(m, nullptr, "spBv1.0/#", 1); });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
            auto* h = static_cast<Host*>(self);
            std::lock_guard lock(h->mu_);
            h->subscribed_ = true;
        });
        mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
            auto* h = static_cast<Host*>(self);
            Message msg;
            msg.topic = m->topic;
            msg.retain = m->retain;
            msg.qos = m->qos;
            // spBv1.0/GROUP/TYPE/EDGE[/DEVICE]
            std::vector<std::string> levels;
            for (size_t start = 0;;) {
                const size_t slash = msg.topic.find('/', start);
                levels.push_back(msg.topic.substr(start, slash - start));
                if (slash == std::string::npos)
                    break;
                start = slash + 1;
            }
            msg.type = levels.size() > 2 ? levels[2] : "";
            if (levels.size() > 1 && levels[1] == "STATE")
                msg.type = "STATE";
            msg.device = levels.size() > 4 ? levels[4] : "";
            msg.raw.assign(static_cast<const char*>(m->payload), size_t(m->payloadlen));
            msg.decoded = msg.type != "STATE" && msg.payload.ParseFromArray(m->payload, m->payloadlen);
            std::lock_guard lock(h->mu_);
            h->messages_.push_back(std::move(msg));
        });
        EXPECT_EQ(mosquitto_connect(mosq_, "127.0.0.1", port, 30), MOSQ_ERR_SUCCESS);
        mosquitto_loop_start(mosq_);
        EXPECT_TRUE(eventually([&] {
            std::lock_guard lock(mu_);
            return subscribed_;
        }));
    }
    ~Host() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        mosquitto_destroy(mosq_);
    }
    std::vector<Message> all() const {
        std::lock_guard lock(mu_);
        return messages_;
    }
    std::vector<Message> of(const std::string& type) const {
        std::vector<Message> out;
        for (const Message& m : all())
            if (m.type == type)
                out.push_back(m);
        return out;
    }
    bool wait(const std::string& type, size_t n = 1) const {
        return eventually([&] { return of(type).size() >= n; });
    }
    void publish(const std::string& topic, const std::string& payload, bool retain = false) {
        mosquitto_publish(mosq_, nullptr, topic.c_str(), int(payload.size()), payload.data(), 1, retain);
    }

private:
    mosquitto* mosq_;
    mutable std::mutex mu_;
    bool subscribed_ = false;
    std::vector<Message> messages_;
};

const pb::Payload::Metric* metric(const pb::Payload& p, const std::string& name) {
    for (const auto& m : p.metrics())
        if (m.name() == name)
            return &m;
    return nullptr;
}

uint64_t bdseq(const Message& m) {
    const auto* bd = metric(m.payload, "bdSeq");
    return bd == nullptr ? 999 : bd->long_value();
}

// The rules every session keeps: each message decodes; sequence numbers run on without a gap from
// each NBIRTH's 0 (NDEATH carries none); a device's DDATA comes only between its DBIRTH and its
// DDEATH, names no metric and uses only aliases of that birth; nothing but NBIRTH starts a life.
void check_session(const std::vector<Message>& messages) {
    int expected = -1;                              // the next sequence number, -1 before the first NBIRTH
    std::map<std::string, std::set<uint64_t>> born; // device → aliases of its DBIRTH
    for (const Message& m : messages) {
        if (m.type == "STATE")
            continue;
        SCOPED_TRACE(m.topic + " seq " + std::to_string(m.payload.seq()));
        ASSERT_TRUE(m.decoded);
        EXPECT_FALSE(m.retain);
        if (m.type == "NDEATH") {
            EXPECT_FALSE(m.payload.has_seq());
            expected = -1;
            born.clear();
            continue;
        }
        if (m.type == "NCMD" || m.type == "DCMD")
            continue;
        ASSERT_TRUE(m.payload.has_seq());
        if (m.type == "NBIRTH") {
            EXPECT_EQ(m.payload.seq(), 0u);
            expected = 1;
            born.clear();
            continue;
        }
        ASSERT_NE(expected, -1) << "a message before any NBIRTH";
        EXPECT_EQ(m.payload.seq(), uint64_t(expected));
        expected = (expected + 1) % 256;
        if (m.type == "DBIRTH") {
            std::set<uint64_t> aliases;
            for (const auto& metric : m.payload.metrics()) {
                EXPECT_FALSE(metric.name().empty());
                EXPECT_TRUE(aliases.insert(metric.alias()).second) << "alias repeated: " << metric.alias();
            }
            born[m.device] = aliases;
        } else if (m.type == "DDEATH") {
            EXPECT_EQ(born.erase(m.device), 1u) << "DDEATH of a device not born";
        } else if (m.type == "DDATA") {
            ASSERT_TRUE(born.count(m.device)) << "DDATA before DBIRTH";
            for (const auto& metric : m.payload.metrics()) {
                EXPECT_FALSE(metric.has_name());
                EXPECT_TRUE(born[m.device].count(metric.alias())) << "unknown alias " << metric.alias();
            }
        }
    }
}

// Every message decoded again by the npm package sparkplug-payload (tests/interop), which must read
// the same sequence number, and each metric's name, alias and datatype as the generated code does.
void check_independent_decoder(const std::vector<Message>& messages) {
    std::ofstream in("sparkplug_test_decoder.in");
    size_t count = 0;
    for (const Message& m : messages) {
        if (m.type == "STATE")
            continue;
        in << m.topic << ' ';
        for (unsigned char c : m.raw)
            in << "0123456789abcdef"[c >> 4] << "0123456789abcdef"[c & 15];
        in << '\n';
        ++count;
    }
    in.close();
    const std::string command = std::string(NODE_EXE) + " " + SPARKPLUG_DECODER +
                                " < sparkplug_test_decoder.in > sparkplug_test_decoder.out";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::istringstream out(slurp("sparkplug_test_decoder.out"));
    std::vector<nlohmann::json> decoded;
    for (std::string line; std::getline(out, line);)
        decoded.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(decoded.size(), count);
    size_t i = 0;
    for (const Message& m : messages) {
        if (m.type == "STATE")
            continue;
        const nlohmann::json& d = decoded[i++];
        SCOPED_TRACE(d.dump());
        ASSERT_TRUE(d.contains("payload"));
        const nlohmann::json& p = d["payload"];
        if (m.payload.has_seq()) {
            EXPECT_EQ(p["seq"], std::to_string(m.payload.seq()));
        }
        ASSERT_EQ(p["metrics"].size(), size_t(m.payload.metrics_size()));
        for (int k = 0; k < m.payload.metrics_size(); ++k) {
            const auto& ours = m.payload.metrics(k);
            const nlohmann::json& theirs = p["metrics"][size_t(k)];
            EXPECT_EQ(theirs.value("name", ""), ours.name());
            if (ours.has_alias()) {
                EXPECT_EQ(theirs["alias"], std::to_string(ours.alias()));
            }
            if (ours.has_datatype()) {
                EXPECT_EQ(theirs["type"], pb::DataType_Name(pb::DataType(ours.datatype())));
            }
        }
    }
}

class Sparkplug : public ::testing::Test {
protected:
    void SetUp() override {
        state_ = std::string("sparkplug_test_state_") +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::remove_all(state_);
    }
    std::unique_ptr<logixsim::Server> sim(uint16_t port = 0) {
        auto s = std::make_unique<logixsim::Server>(
            logixsim::demo_controller(),
            logixsim::Options{.port = port, .faults = {}, .live_interval_ms = 0});
        s->start();
        return s;
    }
    static std::string at(const logixsim::Server& s) { return "127.0.0.1:" + std::to_string(s.port()); }
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(broker_.port()); }
    pid_t watch(std::vector<std::string> args) {
        args.insert(args.begin(), {ORVANE_CLI_EXE, "watch"});
        return spawn(args, "sparkplug_test_cli.log",
                     {"XDG_STATE_HOME=" + std::filesystem::absolute(state_).string()});
    }
    Broker broker_{"sparkplug_test_broker"};
    std::string state_;
};

// One controller's tags of every type: NBIRTH with bdSeq and Node Control/Rebirth, DBIRTH with each
// tag's name, alias, datatype and value (a refused tag stale with its reason), then DDATA of the one
// tag that changes (on change), and NDEATH with the NBIRTH's bdSeq at the end.
TEST_F(Sparkplug, BirthTypedMetricsDataByAliasAndDeath) {
    auto controller = sim();
    Host host(broker_.port());
    const pid_t cli = watch({at(*controller), "BoolTag",  "SintTag",     "IntTag",     "DintTag",
                             "LintTag",       "UsintTag", "UintTag",     "UdintTag",   "UlintTag",
                             "RealTag",       "LrealTag", "Greeting",    "Counter",    "NoSuchTag",
                             "--name",        "line1",    "--interval",  "20",         "--on-change",
                             "--mqtt",        url(),      "--sparkplug", "plant/edge1"});
    ASSERT_TRUE(host.wait("DBIRTH")) << slurp("sparkplug_test_cli.log");
    for (int i = 0; i < 3; ++i) {
        const size_t before = host.of("DDATA").size();
        controller->tick();
        ASSERT_TRUE(host.wait("DDATA", before + 1));
    }
    EXPECT_EQ(finish(cli, SIGTERM), 0);
    ASSERT_TRUE(host.wait("NDEATH"));
    // A clean end: NDEATH said by the node, then DISCONNECT, so the will does not fire as well.
    ASSERT_TRUE(eventually([&] {
        const std::string log = slurp(broker_.log());
        return log.find("Client orvane-plant-edge1 disconnected") != std::string::npos ||
               log.find("Client orvane-plant-edge1 closed its connection") != std::string::npos;
    }));
    EXPECT_NE(slurp(broker_.log()).find("Received DISCONNECT from orvane-plant-edge1"), std::string::npos);
    const auto messages = host.all();
    check_session(messages);
    check_independent_decoder(messages);

    const Message nbirth = host.of("NBIRTH").at(0);
    EXPECT_EQ(nbirth.topic, "spBv1.0/plant/NBIRTH/edge1");
    EXPECT_EQ(bdseq(nbirth), 0u); // a first start
    const auto* rebirth = metric(nbirth.payload, "Node Control/Rebirth");
    ASSERT_NE(rebirth, nullptr);
    EXPECT_EQ(rebirth->datatype(), uint32_t(pb::Boolean));
    EXPECT_EQ(host.of("NDEATH").size(), 1u); // said once at the end, the will not fired besides
    EXPECT_EQ(bdseq(host.of("NDEATH").at(0)), bdseq(nbirth));
    EXPECT_EQ(host.of("NDEATH").at(0).qos, 1);

    const Message dbirth = host.of("DBIRTH").at(0);
    EXPECT_EQ(dbirth.topic, "spBv1.0/plant/DBIRTH/edge1/line1");
    struct Case {
        const char* tag;
        pb::DataType type;
        std::function<bool(const pb::Payload::Metric&)> value;
    };
    const Case cases[] = {
        {"BoolTag", pb::Boolean, [](const auto& m) { return m.boolean_value(); }},
        {"SintTag", pb::Int8, [](const auto& m) { return int32_t(m.int_value()) == -12; }},
        {"IntTag", pb::Int16, [](const auto& m) { return m.int_value() == 1234u; }},
        {"DintTag", pb::Int32, [](const auto& m) { return m.int_value() == 123456u; }},
        {"LintTag", pb::Int64, [](const auto& m) { return int64_t(m.long_value()) == -1234567890123; }},
        {"UsintTag", pb::UInt8, [](const auto& m) { return m.int_value() == 200u; }},
        {"UintTag", pb::UInt16, [](const auto& m) { return m.int_value() == 60000u; }},
        {"UdintTag", pb::UInt32, [](const auto& m) { return m.int_value() == 4000000000u; }},
        {"UlintTag", pb::UInt64, [](const auto& m) { return m.long_value() == 18000000000000000000ull; }},
        {"RealTag", pb::Float, [](const auto& m) { return m.float_value() == 3.25f; }},
        {"LrealTag", pb::Double, [](const auto& m) { return m.double_value() == 2.718281828459045; }},
        {"Greeting", pb::String, [](const auto& m) { return m.string_value() == "Hello, Orvane"; }},
    };
    std::set<uint64_t> aliases;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        const auto* m = metric(dbirth.payload, c.tag);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->datatype(), uint32_t(c.type));
        EXPECT_TRUE(m->has_alias());
        EXPECT_GT(m->timestamp(), 0u);
        EXPECT_FALSE(m->is_null());
        EXPECT_TRUE(c.value(*m));
        aliases.insert(m->alias());
    }
    const auto* refused = metric(dbirth.payload, "NoSuchTag");
    ASSERT_NE(refused, nullptr);
    EXPECT_TRUE(refused->is_null());
    std::map<std::string, const pb::Payload::PropertyValue*> props;
    for (int i = 0; i < refused->properties().keys_size(); ++i)
        props[refused->properties().keys(i)] = &refused->properties().values(i);
    ASSERT_TRUE(props.count("Quality") && props.count("Reason"));
    EXPECT_EQ(props["Quality"]->int_value(), 500u); // stale
    EXPECT_FALSE(props["Reason"]->string_value().empty());

    // On change: each DDATA holds the counter alone, by alias, with its new value.
    const auto* counter = metric(dbirth.payload, "Counter");
    ASSERT_NE(counter, nullptr);
    uint32_t last = counter->int_value();
    for (const Message& d : host.of("DDATA")) {
        SCOPED_TRACE(d.payload.DebugString());
        ASSERT_EQ(d.payload.metrics_size(), 1);
        EXPECT_EQ(d.payload.metrics(0).alias(), counter->alias());
        EXPECT_EQ(d.payload.metrics(0).int_value(), last + 1);
        last = d.payload.metrics(0).int_value();
    }
}

// The controller lost: DDEATH at once and DBIRTH when it is back. NCMD rebirth: NBIRTH (same bdSeq)
// and DBIRTH again. DCMD: refused and logged, the tag unchanged. The process killed: the broker's
// NDEATH carries the same bdSeq; the next start takes the next bdSeq from the state folder.
TEST_F(Sparkplug, DeathsRebirthsCommandsAndTheWill) {
    auto controller = sim();
    const uint16_t port = controller->port();
    Host host(broker_.port());
    const std::vector<std::string> args = {at(*controller), "DintTag",     "Counter",    "--name",
                                           "line1",         "--interval",  "20",         "--mqtt",
                                           url(),           "--sparkplug", "plant/edge1"};
    pid_t cli = watch(args);
    ASSERT_TRUE(host.wait("DBIRTH")) << slurp("sparkplug_test_cli.log");
    controller->stop();
    ASSERT_TRUE(host.wait("DDEATH"));
    EXPECT_EQ(host.of("DDEATH").at(0).topic, "spBv1.0/plant/DDEATH/edge1/line1");
    controller = sim(port);
    ASSERT_TRUE(host.wait("DBIRTH", 2));

    pb::Payload ncmd;
    auto* m = ncmd.add_metrics();
    m->set_name("Node Control/Rebirth");
    m->set_datatype(pb::Boolean);
    m->set_boolean_value(true);
    host.publish("spBv1.0/plant/NCMD/edge1", ncmd.SerializeAsString());
    ASSERT_TRUE(host.wait("NBIRTH", 2));
    ASSERT_TRUE(host.wait("DBIRTH", 3));
    EXPECT_EQ(bdseq(host.of("NBIRTH").at(1)), bdseq(host.of("NBIRTH").at(0)));

    pb::Payload dcmd;
    m = dcmd.add_metrics();
    m->set_name("DintTag");
    m->set_datatype(pb::Int32);
    m->set_int_value(7);
    host.publish("spBv1.0/plant/DCMD/edge1/line1", dcmd.SerializeAsString());
    ASSERT_TRUE(eventually([] {
        return slurp("sparkplug_test_cli.log")
                   .find("line1: DCMD DintTag = 7: not sent: writes from Sparkplug hosts are not enabled for "
                         "this controller\n") != std::string::npos;
    }));
    const size_t births = host.of("DBIRTH").size();

    EXPECT_EQ(finish(cli, SIGKILL), 128 + SIGKILL);
    ASSERT_TRUE(host.wait("NDEATH"));
    EXPECT_EQ(bdseq(host.of("NDEATH").at(0)), bdseq(host.of("NBIRTH").at(0)));
    check_session(host.all());
    check_independent_decoder(host.all());
    for (const Message& d : host.of("DBIRTH"))
        EXPECT_EQ(metric(d.payload, "DintTag")->int_value(), 123456u); // the DCMD wrote nothing
    EXPECT_EQ(births, host.of("DBIRTH").size());

    cli = watch(args);
    ASSERT_TRUE(host.wait("NBIRTH", 3));
    EXPECT_EQ(bdseq(host.of("NBIRTH").at(2)), bdseq(host.of("NBIRTH").at(0)) + 1);
    EXPECT_EQ(finish(cli, SIGTERM), 0);
}

// A plant file's writable tags: each DCMD metric, by name or by alias, is written once through the
// guarded path (read, one write, read-back), put on record, logged, and its new value comes in the
// next DDATA. A tag the plant file does not allow, a value that does not fit the tag's type, a
// metric the device does not have and one without a value are not sent. A DCMD while the controller
// is away is not sent, and nothing of it is written when the controller is back; nor is a retained
// DCMD, which the broker hands to the node when it subscribes.
TEST_F(Sparkplug, WritesWhatThePlantFileAllowsOnceAndOnRecord) {
    auto controller = sim();
    const uint16_t port = controller->port();
    Host host(broker_.port());
    std::ofstream("sparkplug_test_plant.json")
        << R"({"controllers": [{"address": ")" << at(*controller)
        << R"(", "name": "line1", "rate": 20, "tags": ["DintTag", "SintTag", "RealTag", "Greeting", "IntTag"],
               "writable": ["DintTag", "SintTag", "Real*", "Greeting"]}]})";
    pb::Payload dcmd;
    auto add = [&](const char* name, pb::DataType type) {
        auto* m = dcmd.add_metrics();
        if (name != nullptr)
            m->set_name(name);
        m->set_datatype(type);
        return m;
    };
    // A command the broker kept from before the node started: never written.
    add("DintTag", pb::Int32)->set_int_value(11);
    host.publish("spBv1.0/plant/DCMD/edge1/line1", dcmd.SerializeAsString(), true);
    dcmd.Clear();
    const pid_t cli =
        watch({"--config", "sparkplug_test_plant.json", "--mqtt", url(), "--sparkplug", "plant/edge1"});
    ASSERT_TRUE(host.wait("DBIRTH")) << slurp("sparkplug_test_cli.log");
    EXPECT_TRUE(eventually([] {
        return slurp("sparkplug_test_cli.log")
                   .find(
                       "line1: DCMD DintTag = 11: not sent: a retained DCMD is an old command, not a request "
                       "now\n") != std::string::npos;
    })) << slurp("sparkplug_test_cli.log");
    const pb::Payload birth = host.of("DBIRTH").at(0).payload;
    EXPECT_EQ(metric(birth, "DintTag")->int_value(), 123456u);
    const uint64_t dint = metric(birth, "DintTag")->alias();
    const uint64_t real = metric(birth, "RealTag")->alias();

    add("DintTag", pb::Int32)->set_int_value(7);
    auto* greeting = add(nullptr, pb::String); // by alias, as a host may
    greeting->set_alias(metric(birth, "Greeting")->alias());
    greeting->set_string_value("Hi there");
    add("RealTag", pb::Float)->set_float_value(1.5f);
    add("SintTag", pb::Int8)->set_int_value(300);
    add("IntTag", pb::Int16)->set_int_value(5);
    add("NoSuchTag", pb::Int32)->set_int_value(1);
    add("DintTag", pb::Int32)->set_is_null(true);
    host.publish("spBv1.0/plant/DCMD/edge1/line1", dcmd.SerializeAsString());
    const char* said[] = {
        "line1: DCMD DintTag = 7: written (read back 7)\n",
        "line1: DCMD Greeting = Hi there: written (read back Hi there)\n",
        "line1: DCMD RealTag = 1.5: written (read back 1.5)\n",
        "line1: DCMD SintTag = 300: not sent: 300 does not fit a SINT (-128 to 127)\n",
        "line1: DCMD IntTag = 5: not sent: not among this controller's writable tags\n",
        "line1: DCMD NoSuchTag = 1: not sent: no such metric on this device\n",
        "line1: DCMD DintTag = : not sent: the command carries no value\n",
    };
    for (const char* line : said) {
        EXPECT_TRUE(eventually([&] {
            return slurp("sparkplug_test_cli.log").find(line) != std::string::npos;
        })) << line
            << slurp("sparkplug_test_cli.log");
    }
    // The host sees the new values by alias.
    auto value_in_ddata = [&](uint64_t alias, auto matches) {
        for (const Message& d : host.of("DDATA"))
            for (const auto& m : d.payload.metrics())
                if (m.alias() == alias && matches(m))
                    return true;
        return false;
    };
    EXPECT_TRUE(
        eventually([&] { return value_in_ddata(dint, [](const auto& m) { return m.int_value() == 7u; }); }));
    EXPECT_TRUE(value_in_ddata(real, [](const auto& m) { return m.float_value() == 1.5f; }));

    controller->stop();
    ASSERT_TRUE(host.wait("DDEATH"));
    dcmd.Clear();
    add("DintTag", pb::Int32)->set_int_value(9);
    host.publish("spBv1.0/plant/DCMD/edge1/line1", dcmd.SerializeAsString());
    ASSERT_TRUE(eventually([] {
        return slurp("sparkplug_test_cli.log")
                   .find("line1: DCMD DintTag = 9: not sent: the controller is not connected\n") !=
               std::string::npos;
    }));
    controller = sim(port);
    ASSERT_TRUE(host.wait("DBIRTH", 2));
    const size_t reborn = host.of("DDATA").size();
    ASSERT_TRUE(host.wait("DDATA", reborn + 3)); // every cycle's DDATA holds every metric
    EXPECT_FALSE(value_in_ddata(dint, [](const auto& m) { return m.int_value() == 9u; }));
    EXPECT_EQ(finish(cli, SIGTERM), 0);
    check_session(host.all());

    // Every metric on record (refusals at once, writes as their watch carries them out), with what the
    // controller held before and after.
    std::istringstream record(slurp(state_ + "/orvane/writes.jsonl"));
    std::vector<nlohmann::json> lines;
    for (std::string line; std::getline(record, line);)
        lines.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(lines.size(), 9u);
    const struct {
        const char* tag;
        const char* result;
        const char* before;
        const char* read_back;
    } recorded[] = {
        {"DintTag", "written", "123456", "7"}, {"Greeting", "written", "Hello, Orvane", "Hi there"},
        {"RealTag", "written", "3.25", "1.5"}, {"SintTag", "not sent", "", ""},
        {"IntTag", "not sent", "", ""},        {"NoSuchTag", "not sent", "", ""},
        {"DintTag", "not sent", "", ""},       {"DintTag", "not sent", "", ""},
        {"DintTag", "not sent", "", ""}};
    std::multiset<std::string> expected, got;
    for (const auto& r : recorded)
        expected.insert(fmt::format("{} {} {} {}", r.tag, r.result, r.before, r.read_back));
    for (const nlohmann::json& j : lines) {
        EXPECT_EQ(j["source"], "sparkplug");
        EXPECT_EQ(j["address"], "127.0.0.1:" + std::to_string(port));
        got.insert(fmt::format("{} {} {} {}", j["tag"].get<std::string>(), j["result"].get<std::string>(),
                               j["before"].get<std::string>(), j["read_back"].get<std::string>()));
    }
    EXPECT_EQ(got, expected);
}

// With a primary host: no birth while its STATE is offline; NBIRTH once it is online; NDEATH when it
// goes offline again, and a new life (the next bdSeq) when it is back.
TEST_F(Sparkplug, WaitsForThePrimaryHostAndDiesWithIt) {
    auto controller = sim();
    Host host(broker_.port());
    const std::string state = "spBv1.0/STATE/scada1";
    host.publish(state, R"({"online":false,"timestamp":1})", true);
    const pid_t cli = watch({at(*controller), "DintTag", "--name", "line1", "--interval", "20", "--mqtt",
                             url(), "--sparkplug", "plant/edge1", "--primary-host", "scada1"});
    // The node has connected and asked for the host's STATE: it answers with the retained offline.
    ASSERT_TRUE(eventually([&] {
        const std::string log = slurp(broker_.log());
        return log.find("orvane-plant-edge1 1 spBv1.0/STATE/scada1") != std::string::npos;
    })) << slurp(broker_.log());
    EXPECT_TRUE(host.of("NBIRTH").empty());
    host.publish(state, R"({"online":true,"timestamp":2})", true);
    ASSERT_TRUE(host.wait("NBIRTH"));
    // The first NBIRTH comes after the host's own STATE online, never before it.
    const auto order = host.all();
    const auto online = std::find_if(order.begin(), order.end(), [](const Message& m) {
        return m.type == "STATE" && m.raw.find("\"online\":true") != std::string::npos;
    });
    const auto first_birth =
        std::find_if(order.begin(), order.end(), [](const Message& m) { return m.type == "NBIRTH"; });
    EXPECT_LT(online - order.begin(), first_birth - order.begin());
    ASSERT_TRUE(host.wait("DBIRTH"));
    host.publish(state, R"({"online":false,"timestamp":3})", true);
    ASSERT_TRUE(host.wait("NDEATH"));
    EXPECT_EQ(bdseq(host.of("NDEATH").at(0)), bdseq(host.of("NBIRTH").at(0)));
    host.publish(state, R"({"online":true,"timestamp":4})", true);
    ASSERT_TRUE(host.wait("NBIRTH", 2));
    EXPECT_EQ(bdseq(host.of("NBIRTH").at(1)), bdseq(host.of("NBIRTH").at(0)) + 1);
    ASSERT_TRUE(host.wait("DBIRTH", 2));
    EXPECT_EQ(finish(cli, SIGTERM), 0);
    check_session(host.all());
    check_independent_decoder(host.all());
}

} // namespace

namespace {

// bdSeq comes from the state folder: one more than the last one used, 0 after 255 or when the file
// is missing or unreadable; the file then holds the one in use.
TEST_F(Sparkplug, BdSeqFollowsTheStateFolder) {
    auto controller = sim();
    const struct {
        const char* kept; // nullptr: no file
        uint64_t expected;
    } cases[] = {{nullptr, 0}, {"5\n", 6}, {"255\n", 0}, {"junk", 0}};
    const std::string file = state_ + "/orvane/sparkplug-plant-edge1.bdseq";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kept == nullptr ? "no file" : c.kept);
        std::filesystem::remove_all(state_);
        if (c.kept != nullptr) {
            std::filesystem::create_directories(state_ + "/orvane");
            std::ofstream(file) << c.kept;
        }
        Host host(broker_.port());
        const pid_t cli = watch(
            {at(*controller), "DintTag", "--name", "line1", "--mqtt", url(), "--sparkplug", "plant/edge1"});
        ASSERT_TRUE(host.wait("NBIRTH")) << slurp("sparkplug_test_cli.log");
        EXPECT_EQ(bdseq(host.of("NBIRTH").at(0)), c.expected);
        EXPECT_EQ(finish(cli, SIGTERM), 0);
        EXPECT_EQ(std::stoul(slurp(file)), c.expected);
    }
}

// Bad Sparkplug options exit 1 with the reason; the JSON mode still wants its prefix; an absent
// broker exits 2.
TEST_F(Sparkplug, BadInputExitsOneOrTwoWithItsReason) {
    const std::string absent = "mqtt://127.0.0.1:" + std::to_string(free_port());
    const struct {
        std::vector<std::string> args;
        int status;
        const char* says;
    } cases[] = {
        {{"--mqtt", url()}, 1, "the URL needs a topic prefix"},
        {{"--mqtt", url(), "--sparkplug", "nogroup"}, 1, "give GROUP/EDGE_NODE"},
        {{"--mqtt", url(), "--sparkplug", "a/b/c"}, 1, "give GROUP/EDGE_NODE"},
        {{"--mqtt", url(), "--sparkplug", "a/#"}, 1, "give GROUP/EDGE_NODE"},
        {{"--mqtt", url(), "--sparkplug", "a/b", "--primary-host", "x/y"}, 1, "--primary-host"},
        {{"--sparkplug", "a/b"}, 1, "requires --mqtt"},
        {{"--mqtt", absent, "--sparkplug", "a/b"}, 2, "cannot connect to the MQTT broker"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"127.0.0.1:1", "DintTag", "--name", "n"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const int status = finish(watch(args));
        const std::string log = slurp("sparkplug_test_cli.log");
        SCOPED_TRACE(log);
        EXPECT_EQ(status, c.status);
        EXPECT_NE(log.find(c.says), std::string::npos);
    }
}

} // namespace
