// `watch --mqtt`: the plant file's controllers become the MQTT engine's links (a Connection each,
// tag filters expanded by a browse), and the process waits for SIGINT/SIGTERM while they run.
#include <fmt/format.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <memory>
#include <set>

#include "cli.h"

namespace cli {

std::string default_controller_name(const Address& address) {
    const std::string name = fmt::format("{}:{}", address.host, address.port);
    return address.slot >= 0 ? fmt::format("{}_slot{}", name, address.slot) : name;
}

std::string load_plant(const std::string& path, uint32_t interval_ms, std::vector<ControllerSpec>* out) {
    std::vector<mqtt::PlantController> plant;
    const std::string problem = mqtt::load_plant(
        path, interval_ms,
        [](const std::string& text, std::string* name) {
            Address address;
            std::string why = parse_address(text, &address);
            if (why.empty()) {
                *name = default_controller_name(address);
            }
            return why;
        },
        &plant);
    if (!problem.empty()) {
        return problem;
    }
    out->clear();
    for (mqtt::PlantController& entry : plant) {
        ControllerSpec spec;
        parse_address(entry.address, &spec.address); // checked above
        spec.name = std::move(entry.name);
        spec.interval_ms = entry.interval_ms;
        spec.tags = std::move(entry.tags);
        out->push_back(std::move(spec));
    }
    return {};
}

namespace {

// One controller reached through its own Connection.
class ControllerLink : public mqtt::Link {
public:
    ControllerLink(const ControllerSpec& spec, const CommonOptions& common)
        : spec_(spec), timeout_ms_(common.timeout_ms) {
        address_ = spec.address;
        address_.mode = common.address.mode;
    }

    void connect() override {
        try {
            connection_ = std::make_unique<Connection>(address_, timeout_ms_);
        } catch (const ConnectionError& e) {
            throw mqtt::LinkDown(e.what());
        } catch (const NotFoundError& e) {
            throw mqtt::LinkRefused(e.what());
        }
    }

    // Paths as given, filters replaced by the browsed paths they match (each path once). A filter
    // that matches nothing, or names no program, is reported and left out.
    std::vector<std::string> resolve() override {
        std::map<std::string, std::vector<std::string>> scopes; // browsed leaves by lower-case program
        std::vector<std::string> out;
        std::set<std::string> seen;
        auto add = [&](const std::string& path) {
            if (seen.insert(path).second) {
                out.push_back(path);
            }
        };
        for (const std::string& tag : spec_.tags) {
            if (!mqtt::is_filter(tag)) {
                add(tag);
                continue;
            }
            std::string program;
            mqtt::filter_program(tag, &program);
            std::string key = program;
            std::transform(key.begin(), key.end(), key.begin(),
                           [](unsigned char c) { return char(std::tolower(c)); });
            auto it = scopes.find(key);
            if (it == scopes.end()) {
                try {
                    it = scopes.emplace(key, leaf_tag_paths(*connection_, program)).first;
                } catch (const NotFoundError& e) {
                    fmt::print(stderr, "{}: {}: {}\n", spec_.name, tag, e.what());
                    continue;
                } catch (const ConnectionError& e) {
                    throw mqtt::LinkDown(e.what());
                }
            }
            const bool whole_program = !program.empty() && tag.find('.') == std::string::npos;
            size_t matched = 0;
            for (const std::string& path : it->second) {
                if (whole_program || mqtt::glob_match(tag.c_str(), path.c_str())) {
                    add(path);
                    ++matched;
                }
            }
            if (matched == 0) {
                fmt::print(stderr, "{}: {} matches no tag\n", spec_.name, tag);
            }
        }
        return out;
    }

    std::vector<mqtt::Reading> read(const std::vector<std::string>& paths) override {
        std::vector<TagValue> values;
        try {
            values = read_tags(*connection_, paths);
        } catch (const ConnectionError& e) {
            throw mqtt::LinkDown(e.what());
        } catch (const NotFoundError& e) {
            throw mqtt::LinkRefused(e.what());
        }
        std::vector<mqtt::Reading> out(values.size());
        for (size_t i = 0; i < values.size(); ++i) {
            out[i].tag = std::move(values[i].tag);
            out[i].ok = values[i].ok;
            out[i].type = std::move(values[i].type);
            out[i].text = std::move(values[i].text);
            out[i].reason = std::move(values[i].reason);
        }
        return out;
    }

    void drop() override { connection_.reset(); }

private:
    const ControllerSpec& spec_;
    uint32_t timeout_ms_;
    Address address_;
    std::unique_ptr<Connection> connection_;
};

} // namespace

int run_mqtt_watch(const CommonOptions& common, const std::vector<ControllerSpec>& controllers,
                   const WatchOptions& options, const mqtt::MqttOptions& mqtt,
                   const mqtt::SparkplugOptions* sparkplug) {
    // Blocked before any thread starts, so that SIGINT and SIGTERM come only to the wait below;
    // SIGUSR1 is how the last watcher to end says so.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    sigprocmask(SIG_BLOCK, &signals, nullptr);

    // Each controller takes a socket to it and one to the broker: a plant of a thousand passes the
    // usual soft limit of 1,024 descriptors, so the soft limit is raised to the hard one.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    std::vector<mqtt::WatchController> watches;
    for (const ControllerSpec& spec : controllers) {
        watches.push_back({spec.name, spec.interval_ms, std::make_unique<ControllerLink>(spec, common)});
    }
    mqtt::WatchRules rules;
    rules.count = options.count;
    rules.on_change = mqtt.on_change;
    rules.heartbeat_s = mqtt.heartbeat_s;

    std::unique_ptr<mqtt::Publisher> publisher;
    std::unique_ptr<mqtt::Bridge> bridge;
    if (sparkplug != nullptr) {
        bridge = std::make_unique<mqtt::SparkplugNode>(mqtt, *sparkplug, common.timeout_ms);
    } else {
        publisher = std::make_unique<mqtt::Publisher>(mqtt, common.timeout_ms);
        bridge = mqtt::make_json_bridge(*publisher, mqtt.url.prefix);
    }
    mqtt::WatchGroup group(std::move(watches), rules, *bridge, [] { kill(getpid(), SIGUSR1); });
    for (;;) {
        const int sig = sigwaitinfo(&signals, nullptr);
        if (sig == SIGINT || sig == SIGTERM || sig == SIGUSR1) {
            break;
        }
    }
    // Every exchange under way ends at once; the watches see the stop and end.
    group.stop();
    cancel_connections();
    group.join();
    return kExitOk;
}

} // namespace cli
