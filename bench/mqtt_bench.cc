// orvane-cli watch --config ... --mqtt with many controllers: 20 simulated controllers (in this process)
// of 200 tags each, read every second by one orvane-cli process that publishes to a mosquitto broker on
// loopback; a subscriber here counts what arrives and how long after its read.
//
//   mqtt_bench [--controllers N] [--tags N] [--seconds S] [--on-change] [--sparkplug] [--all-moving]
//
// --sparkplug publishes as a Sparkplug B edge node instead of JSON topics; --all-moving makes every
// tag change once a second (by default half of them do).
// Prints the CPU of the orvane-cli process (share of one core), publishes and payload bytes per second,
// read-to-publish latency (median, 99th percentile, worst: the subscriber's clock minus the payload's read
// time, which has millisecond resolution), the process's resident memory (now and peak), and the broker's
// CPU.
#include <mosquitto.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "child_process.h"
#include "logixsim/server.h"

namespace {

using json = nlohmann::json;
using proc_kit::free_port;
using proc_kit::spawn;

// User plus system CPU time of `pid` in seconds.
double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    unsigned long utime = 0, stime = 0;
    // Fields after the name: state (3) ... utime (14), stime (15).
    std::sscanf(text.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                &stime);
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

long status_kib(pid_t pid, const char* field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + std::strlen(field));
    return -1;
}

double now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

// 2026-12-06T12:52:32.974Z as milliseconds since 1970.
double iso_ms(const std::string& text) {
    std::tm tm{};
    int ms = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms) != 7)
        return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return double(timegm(&tm)) * 1e3 + ms;
}

struct Counts {
    std::mutex mu;
    std::set<std::string> topics;
    size_t expected = 0;
    std::vector<double> latency_ms;
    std::atomic<long> messages{0};
    std::atomic<long> bytes{0};  // payload bytes
    std::atomic<long> births{0}; // Sparkplug DBIRTHs seen
    bool sparkplug = false;
    bool measuring = false;
};

void on_message(mosquitto*, void* self, const mosquitto_message* m) {
    const double received = now_ms();
    auto* c = static_cast<Counts*>(self);
    // The read time only (no full parse), so that this subscriber keeps up with the bursts.
    const std::string_view payload(static_cast<const char*>(m->payload), size_t(m->payloadlen));
    ++c->messages;
    c->bytes += m->payloadlen;
    if (c->sparkplug) { // protobuf: no read time in text; the births tell when every device is up
        if (std::strstr(m->topic, "/DBIRTH/") != nullptr)
            ++c->births;
        return;
    }
    const size_t at = payload.find("\"time\":\"");
    std::lock_guard lock(c->mu);
    if (c->topics.size() < c->expected)
        c->topics.insert(m->topic);
    if (c->measuring && at != std::string_view::npos)
        c->latency_ms.push_back(received - iso_ms(std::string(payload.substr(at + 8, 24))));
}

std::string controller_json(int tags, bool all_moving) {
    json c = {
        {"name", "Bench"}, {"types", json::array()}, {"tags", json::array()}, {"programs", json::array()}};
    for (int i = 0; i < tags; ++i) {
        json tag = {{"name", "T" + std::to_string(i)}};
        switch (i % 4) { // counters and sines move every second, the rest stays put
        case 0:
            tag["type"] = "DINT";
            tag["behaviour"] = {{"kind", "counter"}, {"step", 1}};
            break;
        case 1:
            tag["type"] = "REAL";
            tag["behaviour"] = {{"kind", "sine"}, {"amplitude", 100.0}, {"period", 20}, {"offset", 0.0}};
            break;
        case 2:
            tag["type"] = "INT";
            tag["value"] = i;
            if (all_moving)
                tag["behaviour"] = {{"kind", "counter"}, {"step", 1}};
            break;
        default:
            tag["type"] = "BOOL";
            tag["value"] = true;
            if (all_moving)
                tag["behaviour"] = {{"kind", "toggle"}};
        }
        c["tags"].push_back(tag);
    }
    return c.dump();
}

} // namespace

int main(int argc, char** argv) {
    int controllers = 20, tags = 200, seconds = 30;
    bool on_change = false, sparkplug = false, all_moving = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--controllers" && i + 1 < argc)
            controllers = std::atoi(argv[++i]);
        else if (a == "--tags" && i + 1 < argc)
            tags = std::atoi(argv[++i]);
        else if (a == "--seconds" && i + 1 < argc)
            seconds = std::atoi(argv[++i]);
        else if (a == "--sparkplug")
            sparkplug = true;
        else if (a == "--all-moving")
            all_moving = true;
        else if (a == "--on-change")
            on_change = true;
        else {
            std::fprintf(
                stderr,
                "usage: mqtt_bench [--controllers N] [--tags N] [--seconds S] [--on-change] [--sparkplug] "
                "[--all-moving]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    // The broker's configuration, the plant file and the logs go to a directory of their own.
    char dir[] = "/tmp/mqtt_bench.XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) {
        std::perror("mqtt_bench: a working directory in /tmp");
        return 1;
    }
    std::fprintf(stderr, "mqtt_bench: files in %s\n", dir);
    const uint16_t broker_port = free_port();
    std::ofstream("mqtt_bench_broker.conf")
        << "listener " << broker_port << " 127.0.0.1\nallow_anonymous true\n";
    const pid_t broker = spawn({MOSQUITTO_BROKER, "-c", "mqtt_bench_broker.conf"}, "mqtt_bench_broker.log");

    const auto controller = logixsim::parse_controller(controller_json(tags, all_moving), "bench");
    std::vector<std::unique_ptr<logixsim::Server>> sims;
    json plant = {{"controllers", json::array()}};
    for (int i = 0; i < controllers; ++i) {
        sims.push_back(std::make_unique<logixsim::Server>(
            controller, logixsim::Options{.port = 0, .faults = {}, .live_interval_ms = 1000}));
        sims.back()->start();
        plant["controllers"].push_back({{"address", "127.0.0.1:" + std::to_string(sims.back()->port())},
                                        {"name", "plc" + std::to_string(i)},
                                        {"rate", 1000},
                                        {"tags", {"T*"}}});
    }
    std::ofstream("mqtt_bench_plant.json") << plant.dump(1);

    Counts counts;
    counts.expected = size_t(controllers) * size_t(tags + 1);
    counts.sparkplug = sparkplug;
    mosquitto_lib_init();
    mosquitto* sub = mosquitto_new(nullptr, true, &counts);
    mosquitto_message_callback_set(sub, on_message);
    mosquitto_connect_callback_set(sub, [](mosquitto* m, void* self, int) {
        mosquitto_subscribe(m, nullptr, static_cast<Counts*>(self)->sparkplug ? "spBv1.0/#" : "bench/#", 0);
    });
    for (int i = 0; i < 500 && mosquitto_connect(sub, "127.0.0.1", broker_port, 30) != MOSQ_ERR_SUCCESS; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    mosquitto_loop_start(sub);

    std::vector<std::string> args = {
        ORVANE_CLI_EXE,          "watch",  "--config",
        "mqtt_bench_plant.json", "--mqtt", "mqtt://127.0.0.1:" + std::to_string(broker_port) + "/bench"};
    if (on_change)
        args.push_back("--on-change");
    if (sparkplug) {
        args[5] = "mqtt://127.0.0.1:" + std::to_string(broker_port);
        args.insert(args.end(), {"--sparkplug", "bench/orvane"});
    }
    const pid_t cli = spawn(args, "mqtt_bench_cli.log");

    // Warm-up: every topic seen once (browse, first reads, retained state built), then a few cycles.
    const auto start = bench::Clock::now();
    for (;;) {
        {
            std::lock_guard lock(counts.mu);
            if (counts.topics.size() >= counts.expected || (sparkplug && counts.births >= controllers))
                break;
        }
        if (bench::msSince(start) > 120000) {
            std::fprintf(stderr, "only some topics arrived in 2 minutes; see mqtt_bench_cli.log\n");
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const double warm_s = bench::msSince(start) / 1000;
    std::this_thread::sleep_for(std::chrono::seconds(3));

    const double cpu0 = cpu_seconds(cli), broker0 = cpu_seconds(broker);
    const long messages0 = counts.messages, bytes0 = counts.bytes;
    {
        std::lock_guard lock(counts.mu);
        counts.measuring = true;
    }
    const auto t0 = bench::Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double wall = bench::msSince(t0) / 1000;
    const double cpu = cpu_seconds(cli) - cpu0, broker_cpu = cpu_seconds(broker) - broker0;
    const long messages = counts.messages - messages0, bytes = counts.bytes - bytes0;
    std::vector<double> latency;
    {
        std::lock_guard lock(counts.mu);
        counts.measuring = false;
        latency = counts.latency_ms;
    }
    const long rss = status_kib(cli, "VmRSS:"), peak = status_kib(cli, "VmHWM:");
    std::sort(latency.begin(), latency.end());
    auto at = [&](double q) {
        return latency.empty() ? 0.0 : latency[size_t(q * double(latency.size() - 1))];
    };

    std::printf("| Controllers x tags | Mode | Topics up after (s) | CPU (%% of one core) | Publishes/s | "
                "Payload KiB/s | Latency median (ms) | "
                "p99 (ms) | worst (ms) | RSS (MiB) | Peak RSS (MiB) | Broker CPU (%%) "
                "|\n|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    const std::string mode = std::string(sparkplug ? "Sparkplug B" : "JSON") + ", " +
                             (on_change ? "--on-change" : "every value") + (all_moving ? ", all moving" : "");
    std::printf("| %d x %d | %s | %.1f | %.2f | %.0f | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f |\n",
                controllers, tags, mode.c_str(), warm_s, 100.0 * cpu / wall, double(messages) / wall,
                double(bytes) / wall / 1024, at(0.5), at(0.99), latency.empty() ? 0.0 : latency.back(),
                double(rss) / 1024, double(peak) / 1024, 100.0 * broker_cpu / wall);

    proc_kit::finish(cli, SIGTERM);
    mosquitto_disconnect(sub);
    mosquitto_loop_stop(sub, false);
    mosquitto_destroy(sub);
    proc_kit::finish(broker, SIGTERM);
    for (auto& s : sims)
        s->stop();
    return 0;
}
