// `watch --mqtt`: the plant file, tag filters, and one watch thread per controller, each with its own
// connection and reconnect schedule, all handing their values to one Publisher.
#include <fmt/format.h>
#include <strings.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <system_error>
#include <thread>

#include "Reconnect.h"
#include "cli.h"
#include "mqtt.h"

namespace cli {

using Clock = std::chrono::steady_clock;

std::string default_controller_name(const Address& address) {
    const std::string name = fmt::format("{}:{}", address.host, address.port);
    return address.slot >= 0 ? fmt::format("{}_slot{}", name, address.slot) : name;
}

std::string load_plant(const std::string& path, uint32_t interval_ms, std::vector<ControllerSpec>* out) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        return fmt::format("{}: is a directory, not a plant file", path);
    }
    std::ifstream in(path);
    if (!in) {
        return fmt::format("{}: cannot read the file", path);
    }
    std::string text;
    try {
        text.assign(std::istreambuf_iterator<char>(in), {});
    } catch (const std::exception&) { // a read error (a device file, a vanished mount)
        return fmt::format("{}: cannot read the file", path);
    }
    nlohmann::json doc;
    try {
        doc = nlohmann::json::parse(text);
    } catch (const nlohmann::json::parse_error& e) {
        // The byte offset points just past the character that broke the syntax.
        const size_t end = std::min(e.byte > 0 ? e.byte - 1 : 0, text.size());
        const long line = 1 + std::count(text.begin(), text.begin() + long(end), '\n');
        std::string what = e.what();
        const size_t column = what.find("column ");
        const size_t colon = what.find(": ", column == std::string::npos ? 0 : column);
        return fmt::format("{}:{}: JSON syntax error: {}", path, line,
                           colon == std::string::npos ? what : what.substr(colon + 2));
    }
    if (!doc.is_object() || doc.size() != 1 || !doc.contains("controllers") ||
        !doc["controllers"].is_array() || doc["controllers"].empty()) {
        return fmt::format("{}: the file must be one object holding only a non-empty \"controllers\" array",
                           path);
    }
    std::set<std::string> names;
    std::vector<ControllerSpec> specs;
    size_t number = 0;
    for (const nlohmann::json& entry : doc["controllers"]) {
        ++number;
        std::string where = fmt::format("{}: controller {}", path, number);
        if (!entry.is_object()) {
            return where + ": each controller must be an object";
        }
        if (entry.contains("name") && entry["name"].is_string()) {
            where += fmt::format(" (\"{}\")", entry["name"].get<std::string>());
        }
        for (const auto& [key, value] : entry.items()) {
            if (key != "address" && key != "name" && key != "rate" && key != "tags") {
                return fmt::format("{}: unknown key \"{}\" (address, name, rate, tags)", where, key);
            }
        }
        ControllerSpec spec;
        spec.interval_ms = interval_ms;
        if (!entry.contains("address") || !entry["address"].is_string()) {
            return where + ": \"address\" must be a string HOST[:PORT][/SLOT]";
        }
        const std::string problem = parse_address(entry["address"].get<std::string>(), &spec.address);
        if (!problem.empty()) {
            return fmt::format("{}: address {}", where, problem);
        }
        spec.name = default_controller_name(spec.address);
        if (entry.contains("name")) {
            if (!entry["name"].is_string() || !is_topic_level(entry["name"].get<std::string>())) {
                return where + ": \"name\" must be a non-empty string without '/', '+' or '#'";
            }
            spec.name = entry["name"].get<std::string>();
        }
        if (!names.insert(spec.name).second) {
            return fmt::format("{}: the name {} is used by an earlier controller", where, spec.name);
        }
        if (entry.contains("rate")) {
            const nlohmann::json& rate = entry["rate"];
            if (!rate.is_number_unsigned() || rate.get<uint64_t>() < 1 || rate.get<uint64_t>() > 86400000) {
                return where + ": \"rate\" must be the time between reads in ms, from 1 to 86400000";
            }
            spec.interval_ms = rate.get<uint32_t>();
        }
        const nlohmann::json tags = entry.value("tags", nlohmann::json());
        if (!tags.is_array() || tags.empty() ||
            std::any_of(tags.begin(), tags.end(),
                        [](const nlohmann::json& t) {
                            // A JSON string's empty() is false whatever it holds: ask the text.
                            return !t.is_string() || t.get_ref<const std::string&>().empty();
                        })) {
            return where + ": \"tags\" must be a non-empty array of tag paths or filters";
        }
        for (const nlohmann::json& tag : tags) {
            spec.tags.push_back(tag.get<std::string>());
        }
        specs.push_back(std::move(spec));
    }
    *out = std::move(specs);
    return {};
}

namespace {

bool starts_with_program(const std::string& text) {
    return strncasecmp(text.c_str(), "program:", 8) == 0;
}

// A filter rather than a path: it holds a wildcard, or it names a whole program (PROGRAM:Name).
bool is_filter(const std::string& tag) {
    return tag.find_first_of("*?") != std::string::npos ||
           (starts_with_program(tag) && tag.find('.') == std::string::npos);
}

// Ignoring ASCII case: '*' matches any run of characters and '?' one character, neither a '.', so a
// wildcard stays within one level of the path.
bool glob_match(const char* pattern, const char* text) {
    for (; *pattern != '\0'; ++pattern, ++text) {
        if (*pattern == '*') {
            for (const char* t = text;; ++t) {
                if (glob_match(pattern + 1, t)) {
                    return true;
                }
                if (*t == '\0' || *t == '.') {
                    return false;
                }
            }
        }
        if (*text == '\0' || (*pattern == '?' && *text == '.')) {
            return false;
        }
        if (*pattern != '?' && std::tolower(static_cast<unsigned char>(*pattern)) !=
                                   std::tolower(static_cast<unsigned char>(*text))) {
            return false;
        }
    }
    return *text == '\0';
}

// The tags to read: paths as given, filters replaced by the browsed paths they match (each path
// once). A filter that matches nothing, or names no program, is reported and left out.
std::vector<std::string> resolve_tags(const Connection& connection, const ControllerSpec& spec) {
    std::map<std::string, std::vector<std::string>> scopes; // browsed leaves by lower-case program
    std::vector<std::string> out;
    std::set<std::string> seen;
    auto add = [&](const std::string& path) {
        if (seen.insert(path).second) {
            out.push_back(path);
        }
    };
    for (const std::string& tag : spec.tags) {
        if (!is_filter(tag)) {
            add(tag);
            continue;
        }
        std::string program;
        if (starts_with_program(tag)) {
            program =
                tag.substr(8, tag.find('.') == std::string::npos ? std::string::npos : tag.find('.') - 8);
        }
        std::string key = program;
        std::transform(key.begin(), key.end(), key.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        auto it = scopes.find(key);
        if (it == scopes.end()) {
            try {
                it = scopes.emplace(key, leaf_tag_paths(connection, program)).first;
            } catch (const NotFoundError& e) {
                fmt::print(stderr, "{}: {}: {}\n", spec.name, tag, e.what());
                continue;
            }
        }
        const bool whole_program = !program.empty() && tag.find('.') == std::string::npos;
        size_t matched = 0;
        for (const std::string& path : it->second) {
            if (whole_program || glob_match(tag.c_str(), path.c_str())) {
                add(path);
                ++matched;
            }
        }
        if (matched == 0) {
            fmt::print(stderr, "{}: {} matches no tag\n", spec.name, tag);
        }
    }
    return out;
}

// What was last published for a tag, in pieces of its JSON payload:
// {"value":…,"type":…,"quality":…,"time":…[,"error":…]}.
struct Last {
    uint32_t topic = 0;  // the publisher's number for the tag's topic
    std::string value;   // "value" and "type", as JSON members
    std::string quality; // "good", "stale" or "error"
    std::string error;   // the reason, empty when good
    std::string time;    // the read time
    bool published = false;
};

// The "value" and "type" members: a number or boolean where the text is one, else a string; both
// null when the read failed.
void value_members(std::string& out, const TagValue& v) {
    out.clear();
    if (!v.ok) {
        out += "\"value\":null,\"type\":null";
        return;
    }
    out += "\"value\":";
    if (v.type != "STRING" && (v.text == "true" || v.text == "false" || is_json_number(v.text))) {
        out += v.text;
    } else {
        append_json_string(out, v.text);
    }
    out += ",\"type\":";
    append_json_string(out, v.type);
}

// The whole payload; the reason comes last, after the time, for readers scanning the quality.
std::string payload(const Last& last) {
    std::string out;
    out.reserve(last.value.size() + last.error.size() + 80);
    out += '{';
    out += last.value;
    out += ",\"quality\":\"";
    out += last.quality;
    out += "\",\"time\":\"";
    out += last.time;
    out += '"';
    if (!last.error.empty()) {
        out += ",\"error\":";
        append_json_string(out, last.error);
    }
    out += '}';
    return out;
}

// Stops the watch threads: their waits end as soon as stop() is called.
class Stopper {
public:
    void stop() {
        {
            std::lock_guard lock(mu_);
            stopped_ = true;
        }
        cv_.notify_all();
    }
    bool stopped() {
        std::lock_guard lock(mu_);
        return stopped_;
    }
    // Waits until `when` or stop(); true when stopped.
    bool wait_until(Clock::time_point when) {
        std::unique_lock lock(mu_);
        return cv_.wait_until(lock, when, [this] { return stopped_; });
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool stopped_ = false;
};

class Watcher {
public:
    Watcher(const ControllerSpec& spec, const CommonOptions& common, const WatchOptions& options,
            const MqttOptions& mqtt, Publisher& publisher, Stopper& stop)
        : spec_(spec), common_(common), options_(options), mqtt_(mqtt), publisher_(publisher), stop_(stop),
          base_(mqtt.url.prefix + "/" + spec.name + "/") {
        address_ = spec.address;
        address_.mode = common.address.mode;
    }

    void run() {
        std::string members; // a tag's value members, built here, then swapped into its Last
        auto next_full = Clock::now();
        auto next_cycle = Clock::now();
        for (uint32_t cycle = 0; options_.count == 0 || cycle < options_.count;) {
            if (!connection_ && !connect()) {
                return;
            }
            std::vector<TagValue> values;
            try {
                if (!resolved_) {
                    tags_ = resolve_tags(*connection_, spec_);
                    last_.assign(tags_.size(), Last{});
                    for (size_t i = 0; i < tags_.size(); ++i) {
                        last_[i].topic = publisher_.topic(base_ + tags_[i]);
                    }
                    resolved_ = true;
                }
                values = read_tags(*connection_, tags_);
                backoff_.goodTraffic(steady_ns());
            } catch (const ConnectionError& e) {
                if (stop_.stopped()) {
                    return; // cancelled at the end: no loss to tell, the status says offline
                }
                lost(e.what());
                continue;
            } catch (const NotFoundError& e) { // the controller refused the whole batch
                fmt::print(stderr, "{}: {}\n", spec_.name, e.what());
                values.clear();
            }
            const std::string time = utc_now();
            const auto now = Clock::now();
            const bool full = !mqtt_.on_change || now >= next_full;
            if (full) {
                next_full = now + std::chrono::seconds(mqtt_.heartbeat_s);
            }
            std::vector<std::pair<uint32_t, std::string>> changed;
            changed.reserve(values.size());
            for (size_t i = 0; i < values.size() && i < last_.size(); ++i) {
                const TagValue& v = values[i];
                Last& last = last_[i];
                value_members(members, v);
                const char* quality = v.ok ? "good" : "error";
                const std::string& error = v.ok ? std::string() : v.reason;
                const bool same =
                    last.published && last.value == members && last.quality == quality && last.error == error;
                last.value.swap(members);
                last.quality = quality;
                last.error = error;
                last.time = time;
                if (full || !same) {
                    changed.emplace_back(last.topic, payload(last));
                    last.published = true;
                }
            }
            publisher_.put(std::move(changed));
            ++cycle;
            next_cycle = std::max(next_cycle + std::chrono::milliseconds(spec_.interval_ms), Clock::now());
            if ((options_.count == 0 || cycle < options_.count) && stop_.wait_until(next_cycle)) {
                return;
            }
        }
    }

private:
    // Connects, retrying on the shared schedule (the first wait after a loss or a failed first
    // attempt is 0.5 s); false when stopped first.
    bool connect() {
        for (;;) {
            if (down_ && stop_.wait_until(Clock::now() + std::chrono::nanoseconds(backoff_.nextDelayNs()))) {
                return false;
            }
            try {
                connection_ = std::make_unique<Connection>(address_, common_.timeout_ms);
                break;
            } catch (const std::runtime_error& e) { // not there, or refused: both retried
                if (!down_) {
                    fmt::print(stderr, "{}: {}; retrying\n", spec_.name, e.what());
                    down_ = true;
                    down_since_ = Clock::now();
                }
            }
        }
        if (down_) {
            const std::chrono::duration<double> outage = Clock::now() - down_since_;
            fmt::print(stderr, "{}: reconnected after {:.1f} s\n", spec_.name, outage.count());
            down_ = false;
            backoff_.connected(steady_ns());
        }
        return true;
    }

    // The connection dropped: every value last read good is published again as stale, with why.
    void lost(const std::string& why) {
        backoff_.lost();
        if (backoff_.flapping()) {
            fmt::print(stderr, "{}: reconnected, but the first read failed: {}; backing off\n", spec_.name, why);
        } else {
            fmt::print(stderr, "{}: connection lost: {}; reconnecting\n", spec_.name, why);
        }
        connection_.reset();
        down_ = true;
        down_since_ = Clock::now();
        std::vector<std::pair<uint32_t, std::string>> stale;
        for (Last& last : last_) {
            if (last.published && last.quality == "good") {
                last.quality = "stale";
                last.error = "connection lost: " + why;
                stale.emplace_back(last.topic, payload(last));
            }
        }
        publisher_.put(std::move(stale));
    }

    const ControllerSpec& spec_;
    const CommonOptions& common_;
    const WatchOptions& options_;
    const MqttOptions& mqtt_;
    Publisher& publisher_;
    Stopper& stop_;
    const std::string base_;
    Address address_;
    std::unique_ptr<Connection> connection_;
    std::vector<std::string> tags_;
    bool resolved_ = false;
    bool down_ = false;
    Clock::time_point down_since_;
    ReconnectBackoff backoff_; // the waits between attempts, growing while reconnects do not hold
    std::vector<Last> last_; // one per tags_, in its order (the order of read_tags' values)
};

} // namespace

int run_mqtt_watch(const CommonOptions& common, const std::vector<ControllerSpec>& controllers,
                   const WatchOptions& options, const MqttOptions& mqtt) {
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
    Publisher publisher(mqtt, common.timeout_ms);
    for (const ControllerSpec& spec : controllers) {
        publisher.add_status(mqtt.url.prefix + "/" + spec.name + "/$status");
    }
    Stopper stop;
    std::atomic<size_t> running{controllers.size()};
    std::vector<std::thread> threads;
    threads.reserve(controllers.size());
    std::string failed; // why a watch thread could not start
    for (const ControllerSpec& spec : controllers) {
        try {
            threads.emplace_back([&, &spec = spec] {
                try {
                    Watcher(spec, common, options, mqtt, publisher, stop).run();
                } catch (const std::exception& e) {
                    fmt::print(stderr, "{}: {}\n", spec.name, e.what());
                }
                if (--running == 0) {
                    kill(getpid(), SIGUSR1);
                }
            });
        } catch (const std::system_error& e) {
            failed = fmt::format("cannot start the watch of {}: {}", spec.name, e.what());
            break;
        }
    }
    while (failed.empty() && running > 0) {
        const int sig = sigwaitinfo(&signals, nullptr);
        if (sig == SIGINT || sig == SIGTERM) {
            break;
        }
    }
    // Every exchange under way ends at once; the watches see the stop and end.
    stop.stop();
    cancel_connections();
    for (std::thread& t : threads) {
        t.join();
    }
    if (!failed.empty()) {
        throw std::runtime_error(failed);
    }
    return kExitOk;
}

} // namespace cli
