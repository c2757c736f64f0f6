// orvane-cli watch --mqtt, the real executable, against logix-sim on loopback and a real mosquitto broker
// started here on a free loopback port (and stopped by its pid). A libmosquitto subscriber checks the
// topics, payloads, retained flags and the last will; the broker and a controller go away and come back;
// three controllers come from one plant file; bad input exits 1 or 2 with its reason.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "logixsim/server.h"
#include "mqtt_broker.h"

namespace {

using namespace mqtt_kit;
using json = nlohmann::json;
using namespace std::chrono_literals;

struct Message {
    std::string topic;
    std::string payload;
    bool retain;
    int qos;
    json doc() const { return json::parse(payload, nullptr, false); }
};

// Subscribes to everything and keeps what arrives, in order.
class Subscriber {
public:
    explicit Subscriber(uint16_t port) {
        mosquitto_lib_init();
        mosq_ = mosquitto_new(nullptr, true, this);
        mosquitto_connect_callback_set(
            mosq_, [](mosquitto* m, void*, int) { mosquitto_subscribe(m, nullptr, "#", 1); });
        mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
            auto* s = static_cast<Subscriber*>(self);
            std::lock_guard lock(s->mu_);
            s->messages_.push_back({m->topic,
                                    std::string(static_cast<const char*>(m->payload), size_t(m->payloadlen)),
                                    m->retain, m->qos});
        });
        EXPECT_EQ(mosquitto_connect(mosq_, "127.0.0.1", port, 30), MOSQ_ERR_SUCCESS);
        mosquitto_loop_start(mosq_);
    }
    ~Subscriber() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        mosquitto_destroy(mosq_);
    }
    std::vector<Message> all() const {
        std::lock_guard lock(mu_);
        return messages_;
    }
    std::vector<Message> on(const std::string& topic) const {
        std::vector<Message> out;
        for (const Message& m : all())
            if (m.topic == topic)
                out.push_back(m);
        return out;
    }
    // Waits until the last message on `topic` is `payload`.
    bool wait_last(const std::string& topic, const std::string& payload) const {
        return eventually([&] {
            const auto got = on(topic);
            return !got.empty() && got.back().payload == payload;
        });
    }
    // Waits for `n` messages on `topic`, or for one that `match` accepts when given.
    bool wait(const std::string& topic, size_t n = 1,
              const std::function<bool(const json&)>& match = nullptr) const {
        return eventually([&] {
            size_t count = 0;
            for (const Message& m : on(topic))
                count += !match || match(m.doc()) ? 1 : 0;
            return count >= n;
        });
    }

private:
    mosquitto* mosq_;
    mutable std::mutex mu_;
    std::vector<Message> messages_;
};

bool iso_utc(const std::string& time) {
    int f[7];
    char z = 0;
    return time.size() == 24 &&
           std::sscanf(time.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &f[0], &f[1], &f[2], &f[3], &f[4],
                       &f[5], &f[6], &z) == 8 &&
           z == 'Z';
}

class CliMqtt : public ::testing::Test {
protected:
    std::unique_ptr<logixsim::Server> sim(int live_interval_ms = 0, uint16_t port = 0) {
        auto s = std::make_unique<logixsim::Server>(
            logixsim::demo_controller(),
            logixsim::Options{.port = port, .faults = {}, .live_interval_ms = live_interval_ms});
        s->start();
        return s;
    }
    static std::string at(const logixsim::Server& s) { return "127.0.0.1:" + std::to_string(s.port()); }
    std::string url(const std::string& prefix) const {
        return "mqtt://127.0.0.1:" + std::to_string(broker_.port()) + "/" + prefix;
    }
    // orvane-cli watch with `args`, in the background.
    pid_t watch(std::vector<std::string> args) {
        args.insert(args.begin(), {ORVANE_CLI_EXE, "watch"});
        return spawn(args, "mqtt_test_cli.log");
    }
    // orvane-cli watch with `args`, to its end: exit status and what it said.
    std::pair<int, std::string> run(std::vector<std::string> args) {
        const int status = finish(watch(std::move(args)));
        return {status, slurp("mqtt_test_cli.log")};
    }
    Broker broker_{"mqtt_test_broker"};
};

// Each value type as JSON, errors with their reason, retained at QoS 1 under PREFIX/NAME/TAG; the
// status topic online, and offline from the last will when the process is killed.
TEST_F(CliMqtt, PublishesRetainedJsonAndTheStatusWithItsLastWill) {
    auto controller = sim();
    Subscriber live(broker_.port());
    const pid_t cli =
        watch({at(*controller), "DintTag", "RealTag", "Greeting", "BoolFalse", "UlintTag", "LrealTag", "Nope",
               "--mqtt", url("plant/north"), "--name", "line1", "--interval", "50"});
    const std::string base = "plant/north/line1/";
    ASSERT_TRUE(live.wait(base + "Nope")) << slurp("mqtt_test_cli.log");
    ASSERT_TRUE(live.wait(base + "$status"));
    const std::pair<const char*, json> expected[] = {
        {"DintTag", {{"value", 123456}, {"type", "DINT"}, {"quality", "good"}}},
        {"RealTag", {{"value", 3.25}, {"type", "REAL"}, {"quality", "good"}}},
        {"Greeting", {{"value", "Hello, Orvane"}, {"type", "STRING"}, {"quality", "good"}}},
        {"BoolFalse", {{"value", false}, {"type", "BOOL"}, {"quality", "good"}}},
        {"UlintTag", {{"value", 18000000000000000000ull}, {"type", "ULINT"}, {"quality", "good"}}},
        {"LrealTag", {{"value", 2.718281828459045}, {"type", "LREAL"}, {"quality", "good"}}},
        {"Nope",
         {{"value", nullptr},
          {"type", nullptr},
          {"quality", "error"},
          {"error", "no such tag (CIP 0x04 path segment error)"}}}};
    // A subscriber that comes later gets each topic's retained value at once.
    Subscriber late(broker_.port());
    for (const auto& [tag, fields] : expected) {
        ASSERT_TRUE(late.wait(base + tag)) << tag;
        const Message m = late.on(base + tag).front();
        EXPECT_TRUE(m.retain) << tag;
        EXPECT_EQ(m.qos, 1) << tag << ": QoS 1, resent when the connection drops with it in flight";
        EXPECT_TRUE(live.wait(base + tag)) << tag;
        json doc = m.doc();
        EXPECT_TRUE(iso_utc(doc.value("time", ""))) << m.payload;
        doc.erase("time");
        EXPECT_EQ(doc, fields) << tag;
    }
    EXPECT_EQ(live.on(base + "$status").front().payload, "online");
    std::set<std::string> topics;
    for (const Message& m : live.all())
        topics.insert(m.topic);
    EXPECT_EQ(topics.size(), std::size(expected) + 1) << "nothing published outside PREFIX/NAME/TAG";
    EXPECT_EQ(finish(cli, SIGKILL), 128 + SIGKILL);
    EXPECT_TRUE(live.wait_last(base + "$status", "offline"));
    Subscriber after(broker_.port());
    EXPECT_TRUE(eventually([&] {
        const auto status = after.on(base + "$status");
        return !status.empty() && status.back().payload == "offline" && status.back().retain;
    }));

    // Without --name the controller is its address; --count ends after its cycles, every value sent.
    const auto [status, said] = run({at(*controller) + "/0", "DintTag", "--count", "1", "--mqtt", url("p")});
    EXPECT_EQ(status, 0) << said;
    const std::string named = "p/" + at(*controller) + "_slot0/";
    // The broker forwards the status connection's messages in their own time: wait for what is checked.
    EXPECT_TRUE(live.wait_last(named + "$status", "offline")) << "offline at the end";
    EXPECT_EQ(live.on(named + "$status").front().payload, "online");
    EXPECT_TRUE(live.wait(named + "DintTag"));
    EXPECT_EQ(live.on(named + "DintTag").size(), 1u);
}

// --on-change: a value that stays put is published once, then once per heartbeat; a moving one each
// cycle.
TEST_F(CliMqtt, OnChangePublishesChangesAndAFullPublishEachHeartbeat) {
    auto controller = sim(2);
    Subscriber sub(broker_.port());
    const pid_t quiet = watch({at(*controller), "DintTag", "Counter", "--mqtt", url("p"), "--name", "quiet",
                               "--interval", "20", "--on-change", "--heartbeat", "3600"});
    EXPECT_TRUE(sub.wait("p/quiet/Counter", 15));
    EXPECT_EQ(sub.on("p/quiet/DintTag").size(), 1u);
    finish(quiet, SIGTERM);
    const pid_t beat = watch({at(*controller), "DintTag", "--mqtt", url("p"), "--name", "beat", "--interval",
                              "20", "--on-change", "--heartbeat", "1"});
    EXPECT_TRUE(sub.wait("p/beat/DintTag", 3));
    EXPECT_EQ(finish(beat, SIGTERM), 0);
}

// The broker goes away and comes back empty: the CLI reconnects by itself and publishes every topic
// again, the newest value of each, not the backlog of the outage nor the first value put after the loss.
TEST_F(CliMqtt, BrokerRestartResumesWithTheNewestValues) {
    auto controller = sim(); // Counter moves only with tick()
    const pid_t cli = watch({at(*controller), "Counter", "DintTag", "--mqtt", url("p"), "--name", "c",
                             "--interval", "20", "--on-change", "--heartbeat", "3600"});
    {
        Subscriber sub(broker_.port());
        ASSERT_TRUE(sub.wait("p/c/Counter")) << slurp("mqtt_test_cli.log");
        broker_.stop();
    }
    ASSERT_TRUE(
        eventually([] { return slurp("mqtt_test_cli.log").find("connection lost") != std::string::npos; }));
    // Reads go on while the broker is away: Counter moves to 1, is read, then to 2 and is read (two
    // requests after each tick: the second began after a read that saw it).
    for (int i = 0; i < 2; ++i) {
        controller->tick();
        const uint64_t asked = controller->request_count();
        ASSERT_TRUE(eventually([&] { return controller->request_count() >= asked + 2; }));
    }
    broker_.start();
    Subscriber sub(broker_.port());
    EXPECT_TRUE(sub.wait("p/c/DintTag")) << "an unchanged value is published again to the new broker";
    EXPECT_TRUE(sub.wait_last("p/c/$status", "online"));
    EXPECT_TRUE(sub.wait("p/c/Counter", 1, [](const json& d) { return d["value"] == 2; }))
        << "the newest value";
    std::set<std::string> payloads;
    for (const Message& m : sub.on("p/c/Counter")) {
        EXPECT_NE(m.doc()["value"], 1) << "the first value put after the loss: " << m.payload;
        EXPECT_TRUE(payloads.insert(m.payload).second) << "sent twice: " << m.payload;
    }
    EXPECT_EQ(finish(cli, SIGTERM), 0) << slurp("mqtt_test_cli.log");
    EXPECT_NE(slurp("mqtt_test_cli.log").find("reconnected"), std::string::npos);
}

// A controller that goes away: its values turn stale (the last value kept, the reason given), then good
// again when it is back on its port.
TEST_F(CliMqtt, ControllerLostTurnsValuesStaleThenGood) {
    auto controller = sim();
    const uint16_t port = controller->port();
    Subscriber sub(broker_.port());
    const pid_t cli =
        watch({at(*controller), "DintTag", "--mqtt", url("p"), "--name", "c", "--interval", "50"});
    ASSERT_TRUE(sub.wait("p/c/DintTag"));
    controller->stop();
    const auto stale = [](const json& d) { return d["quality"] == "stale"; };
    ASSERT_TRUE(sub.wait("p/c/DintTag", 1, stale));
    for (const Message& m : sub.on("p/c/DintTag")) {
        if (stale(m.doc())) {
            EXPECT_EQ(m.doc()["value"], 123456);
            EXPECT_EQ(m.doc()["error"].get<std::string>().rfind("connection lost: ", 0), 0u) << m.payload;
        }
    }
    controller = sim(0, port);
    EXPECT_TRUE(eventually([&] { return sub.on("p/c/DintTag").back().doc()["quality"] == "good"; }));
    EXPECT_EQ(finish(cli, SIGTERM), 0);
}

// A controller that accepts every connection and fails its first read is backed off from, and the
// log says that the first read failed rather than a plain loss each time.
TEST_F(CliMqtt, AControllerThatFailsRightAfterEveryReconnectIsBackedOffFrom) {
    auto controller = sim();
    logixsim::Faults faults;
    faults.fail_first_read_after_connect = true;
    controller->set_faults(faults);
    const pid_t cli =
        watch({at(*controller), "DintTag", "--mqtt", url("p"), "--name", "c", "--interval", "50"});
    const auto flaps = [] {
        const std::string log = slurp("mqtt_test_cli.log");
        size_t n = 0;
        for (size_t at = 0;
             (at = log.find("reconnected, but the first read failed", at)) != std::string::npos; ++at)
            ++n;
        return n;
    };
    EXPECT_TRUE(eventually([&] { return flaps() >= 2; }));
    EXPECT_EQ(finish(cli, SIGTERM), 0);
    const std::string log = slurp("mqtt_test_cli.log");
    EXPECT_EQ(log.rfind("c: connection lost: ", 0), 0u) << log;
    EXPECT_LE(controller->request_count(), 40u) << "a few connects and reads, not a storm";
}

// A STRING holds bytes, not UTF-8: a Latin-1 degree sign, a quote, a backslash and a new line reach the
// broker, `read --json` and `browse --json` as valid JSON (the degree sign as U+00B0), and the watch goes
// on reading the controller's other tags.
TEST_F(CliMqtt, ControllerBytesBecomeValidJson) {
    json doc = json::parse(logixsim::demo_controller_json());
    // "25", 0xB0, "C", '"', '\\', '\n' as SINT bytes
    doc["tags"].push_back({{"name", "Odd"},
                           {"type", "STRING"},
                           {"value", {{"LEN", 7}, {"DATA", {50, 53, -80, 67, 34, 92, 10}}}}});
    // Texts that read as a number or a boolean stay JSON strings.
    doc["tags"].push_back({{"name", "Answer"}, {"type", "STRING"}, {"value", "42"}});
    doc["tags"].push_back({{"name", "Yes"}, {"type", "STRING"}, {"value", "true"}});
    logixsim::Server controller(logixsim::parse_controller(doc.dump(), "odd.json"),
                                logixsim::Options{.port = 0, .faults = {}, .live_interval_ms = 0});
    controller.start();
    const std::string text = "25\u00b0C\"\\\n";
    Subscriber sub(broker_.port());
    const pid_t cli = watch({at(controller), "Odd", "DintTag", "Answer", "Yes", "--mqtt", url("p"), "--name",
                             "c", "--interval", "50"});
    ASSERT_TRUE(sub.wait("p/c/Odd", 2)) << slurp("mqtt_test_cli.log");
    EXPECT_EQ(sub.on("p/c/Odd").back().doc()["value"], text) << sub.on("p/c/Odd").back().payload;
    for (const auto& [tag, value] : {std::pair{"Answer", "42"}, {"Yes", "true"}}) {
        ASSERT_TRUE(sub.wait(std::string("p/c/") + tag)) << tag;
        EXPECT_EQ(sub.on(std::string("p/c/") + tag).back().doc()["value"], value)
            << sub.on(std::string("p/c/") + tag).back().payload;
    }
    EXPECT_TRUE(sub.wait("p/c/DintTag", 2));
    EXPECT_EQ(finish(cli, SIGTERM), 0) << slurp("mqtt_test_cli.log");
    for (const char* command : {"read", "browse"}) {
        std::vector<std::string> args = {ORVANE_CLI_EXE, command, at(controller), "--json"};
        if (std::string(command) == "read")
            args.push_back("Odd");
        EXPECT_EQ(finish(spawn(args, "mqtt_test_read.log")), 0) << command;
        const json out = json::parse(slurp("mqtt_test_read.log"), nullptr, false);
        ASSERT_FALSE(out.is_discarded()) << slurp("mqtt_test_read.log");
        if (std::string(command) == "read") {
            EXPECT_EQ(out[0]["value"], text);
        }
    }
}

// Three controllers from one plant file: exact paths, wildcards within one path level, a whole
// program, a slot in the address naming the controller; each on its own connection, one broker.
TEST_F(CliMqtt, ThreeControllersFromOnePlantFileWithFilters) {
    auto a = sim(), b = sim(), c = sim();
    json plant = {{"controllers", json::array()}};
    plant["controllers"].push_back(
        {{"address", at(*a)}, {"name", "press"}, {"tags", {"DintTag", "Motor*.Status.Speed", "Nothing*"}}});
    plant["controllers"].push_back(
        {{"address", at(*b)}, {"name", "mixer"}, {"rate", 100}, {"tags", {"PROGRAM:Mixer"}}});
    plant["controllers"].push_back(
        {{"address", at(*c) + "/0"}, {"tags", {"Program:MainProgram.*", "pumpstatus.run?*"}}});
    std::ofstream("mqtt_test_plant.json") << plant;
    Subscriber sub(broker_.port());
    const auto [status, said] =
        run({"--config", "mqtt_test_plant.json", "--mqtt", url("plant"), "--count", "1"});
    EXPECT_EQ(status, 0) << said;
    EXPECT_NE(said.find("press: Nothing* matches no tag"), std::string::npos) << said;
    const std::string third = "plant/" + at(*c) + "_slot0/";
    std::set<std::string> expected = {"plant/press/DintTag", "plant/press/Motor1.Status.Speed"};
    for (const char* tag : {"Recipe.Name", "Recipe.Temperature", "Recipe.Mixing", "Recipe.Heating",
                            "Recipe.Batch", "Temperature", "Level"})
        expected.insert(std::string("plant/mixer/Program:Mixer.") + tag);
    for (const char* tag :
         {"Program:MainProgram.Counter", "Program:MainProgram.Step", "Program:MainProgram.Running",
          "Program:MainProgram.State", "PumpStatus.Running", "PumpStatus.RunHours"})
        expected.insert(third + tag);
    for (const char* name : {"press", "mixer"})
        expected.insert("plant/" + std::string(name) + "/$status");
    expected.insert(third + "$status");
    // The three status connections and the values' one reach the subscriber in their own time: wait
    // for every topic and each controller's offline, then check that nothing else came.
    const auto topics = [&] {
        std::set<std::string> out;
        for (const Message& m : sub.all())
            out.insert(m.topic);
        return out;
    };
    EXPECT_TRUE(eventually([&] { return topics() == expected; }));
    for (const std::string& status :
         std::vector<std::string>{"plant/press/$status", "plant/mixer/$status", third + "$status"})
        EXPECT_TRUE(sub.wait_last(status, "offline")) << status;
    EXPECT_EQ(topics(), expected);
    EXPECT_EQ(sub.on("plant/mixer/Program:Mixer.Level").front().doc()["value"], 40);
}

// Bad URLs and options: exit 1 with the reason; no broker: exit 2; a plant file with an error: exit 1
// naming the line of a syntax error or the controller entry.
TEST_F(CliMqtt, BadInputExitsOneOrTwoWithItsReason) {
    auto controller = sim();
    for (const std::string bad : {"http://h/p", "mqtt://h", "mqtt://h/", "mqtt://:1883/p", "mqtt://h:0/p",
                                  "mqtt://h:x/p", "mqtt://h/a/+/b", "mqtt://h/a//b", "mqtt://h/#"}) {
        const auto [status, said] = run({at(*controller), "DintTag", "--mqtt", bad});
        EXPECT_EQ(status, 1) << bad;
        EXPECT_EQ(said.rfind("orvane-cli: --mqtt: '" + bad + "': ", 0), 0u) << said;
    }
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"DintTag", "--csv", "--mqtt", url("p")},
          {"DintTag", "--name", "a/b", "--mqtt", url("p")},
          {"DintTag", "--on-change"},
          {"--mqtt", url("p")}}) {
        std::vector<std::string> args = {at(*controller)};
        args.insert(args.end(), bad.begin(), bad.end());
        EXPECT_EQ(run(args).first, 1) << bad[1];
    }
    EXPECT_EQ(run({"--config", "x.json", "--mqtt", url("p"), "DintTag"}).first, 1);
    const std::string nowhere = "127.0.0.1:" + std::to_string(free_port());
    EXPECT_EQ(
        run({at(*controller), "DintTag", "--mqtt", "mqtt://" + nowhere + "/p"}),
        std::pair(2, "orvane-cli: cannot connect to the MQTT broker " + nowhere + ": Connection refused\n"));

    const std::string entry = R"({"address": ")" + at(*controller) + R"(", "tags": ["DintTag"]})";
    const std::pair<std::string, std::string> files[] = {
        {"{\"controllers\": [\n  " + entry + ",\n  {\"address\": \"h\" \"tags\": []}\n]}",
         "plant.json:3: JSON syntax error: "},
        {"{\"controllers\": [\n" + entry + ",\n", "plant.json:3: JSON syntax error: "},
        {R"({"controllers": []})", "plant.json: the file must be one object holding only a non-empty"},
        {"[" + entry + "]", "plant.json: the file must be one object"},
        {R"({"controllers": [)" + entry + R"(, {"address": "h:99999", "tags": ["T"]}]})",
         "plant.json: controller 2: address 'h:99999': the port"},
        {R"({"controllers": [{"address": "h", "name": "a", "tag": ["T"]}]})",
         "plant.json: controller 1 (\"a\"): unknown key \"tag\""},
        {R"({"controllers": [{"address": "h", "name": "a", "tags": ["T"]}, {"address": "g", "name": "a", "tags": ["T"]}]})",
         "plant.json: controller 2 (\"a\"): the name a is used"},
        {R"({"controllers": [{"address": "h", "rate": 0, "tags": ["T"]}]})",
         "plant.json: controller 1: \"rate\""},
        {R"({"controllers": [{"address": "h", "tags": []}]})", "plant.json: controller 1: \"tags\""},
        {R"({"controllers": [{"address": "h", "tags": ["T", ""]}]})", "plant.json: controller 1: \"tags\""},
        {R"({"controllers": [{"address": "h", "name": "a+b", "tags": ["T"]}]})",
         "plant.json: controller 1 (\"a+b\"): \"name\""},
        {R"({"controllers": [{"tags": ["T"]}]})", "plant.json: controller 1: \"address\""},
        {R"({"controllers": [{"address": "h", "tags": ["T"], "writable": "T"}]})",
         "plant.json: controller 1: \"writable\""},
        {R"({"controllers": [{"address": "h", "tags": ["T"], "writable": ["T", 5]}]})",
         "plant.json: controller 1: \"writable\""}};
    for (const auto& [text, problem] : files) {
        std::ofstream("plant.json") << text;
        const auto [status, said] = run({"--config", "plant.json", "--mqtt", url("p")});
        EXPECT_EQ(status, 1) << text;
        EXPECT_EQ(said.rfind("orvane-cli: " + problem, 0), 0u) << said;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    }
    std::filesystem::create_directories("plant.dir");
    EXPECT_EQ(run({"--config", "plant.dir", "--mqtt", url("p")}),
              std::pair(1, std::string("orvane-cli: plant.dir: is a directory, not a plant file\n")));
}

} // namespace

// A plant of a thousand controllers (one simulator answering each as its own connection): every
// status topic says "online" and every value arrives, no "offline" is published while they run, and
// after SIGTERM every status says "offline" and the watch exits 0. The thousand status connections
// are served by one poll, so none depends on a per-connection thread or a select() limit.
TEST_F(CliMqtt, AThousandControllersAreEachOnlineAndOfflineAtTheEnd) {
    auto controller = sim();
    constexpr int kControllers = 1000;
    json plant = {{"controllers", json::array()}};
    for (int i = 0; i < kControllers; ++i)
        plant["controllers"].push_back(
            {{"address", at(*controller)}, {"name", "c" + std::to_string(i)}, {"tags", {"DintTag"}}});
    std::ofstream("mqtt_test_plant.json") << plant;
    Subscriber sub(broker_.port());
    const pid_t pid = watch({"--config", "mqtt_test_plant.json", "--mqtt", url("big")});
    // Counts each controller's latest status and its values.
    const auto tally = [&] {
        std::map<std::string, std::string> status;
        std::set<std::string> valued;
        size_t offline = 0;
        for (const Message& m : sub.all()) {
            const std::string name = m.topic.substr(4, m.topic.find('/', 4) - 4);
            if (m.topic.ends_with("/$status")) {
                status[name] = m.payload;
                offline += m.payload == "offline" ? 1 : 0;
            } else if (m.doc()["quality"] == "good") {
                valued.insert(name);
            }
        }
        size_t online = 0;
        for (const auto& [name, said] : status)
            online += said == "online" ? 1 : 0;
        return std::tuple(online, valued.size(), offline);
    };
    EXPECT_TRUE(eventually([&] {
        const auto [online, valued, offline] = tally();
        return online == kControllers && valued == kControllers;
    })) << std::get<0>(tally())
        << " online, " << std::get<1>(tally()) << " with values";
    EXPECT_EQ(std::get<2>(tally()), 0u) << "no offline while every controller is watched";
    EXPECT_EQ(finish(pid, SIGTERM), 0) << slurp("mqtt_test_cli.log");
    EXPECT_TRUE(eventually([&] { return std::get<2>(tally()) == kControllers; }));
    EXPECT_EQ(std::get<0>(tally()), 0u) << "every status ends offline";
}

// TLS: a broker whose certificate (made here, for "localhost") is checked against the CA file given;
// reached by its name the watch runs, reached by an address the certificate does not name the
// failure says which check failed, as does TLS spoken to a broker that does not speak it.
TEST_F(CliMqtt, TlsFailuresSayWhichCheckFailed) {
    ASSERT_EQ(std::system("openssl req -x509 -newkey rsa:2048 -nodes -keyout mqtt_test_key.pem -out "
                          "mqtt_test_cert.pem -days 2 -subj /CN=localhost >/dev/null 2>&1 && chmod 644 "
                          "mqtt_test_key.pem"),
              0);
    const uint16_t port = free_port();
    const std::string dir = std::filesystem::current_path().string() + "/";
    std::ofstream("mqtt_test_tls.conf")
        << "listener " << port << " 127.0.0.1\nallow_anonymous true\ncertfile " << dir
        << "mqtt_test_cert.pem\nkeyfile " << dir << "mqtt_test_key.pem\n";
    const pid_t broker = spawn({MOSQUITTO_BROKER, "-c", "mqtt_test_tls.conf"}, "mqtt_test_tls.log");
    ASSERT_TRUE(eventually([&] { return listening(port); })) << slurp("mqtt_test_tls.log");
    auto controller = sim();
    const auto tls = [&](const std::string& host, uint16_t to) {
        return run({at(*controller), "DintTag", "--count", "1", "--timeout", "2000", "--mqtt",
                    "mqtts://" + host + ":" + std::to_string(to) + "/tls", "--mqtt-cafile",
                    "mqtt_test_cert.pem"});
    };
    EXPECT_EQ(tls("localhost", port).first, 0) << tls("localhost", port).second;
    const auto [status, said] = tls("127.0.0.1", port);
    EXPECT_EQ(std::pair(status, said),
              std::pair(2, "orvane-cli: cannot connect to the MQTT broker 127.0.0.1:" + std::to_string(port) +
                               ": the TLS connection failed: certificate verify failed\n"));
    const auto plain = tls("127.0.0.1", broker_.port());
    EXPECT_EQ(plain.first, 2);
    EXPECT_NE(plain.second.find(": the TLS connection failed: "), std::string::npos) << plain.second;
    finish(broker, SIGTERM);
}
