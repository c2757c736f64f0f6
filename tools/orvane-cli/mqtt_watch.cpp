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

#include "GuardedWrite.h"
#include "Settings.h"
#include "ValueText.h"
#include "WriteRecord.h"
#include "cli.h"
#include "terminal_text.h"

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
        spec.writable = std::move(entry.writable);
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

    // A host's write, through the same guarded path as the window's: the tag's type from a read,
    // the value parsed as that type (a value that does not fit is not sent), then the read, the one
    // write and the read-back. The caller records the outcome.
    mqtt::WriteOutcome write(const mqtt::WriteCommand& command) override {
        mqtt::WriteOutcome out;
        const auto link_failed = [](uint8_t result) {
            return is_connection_failure(result) || result == ZELKC_LOGIX_ERR_CANCELLED;
        };
        zelkc_logix_client* client = connection_->client();
        const zelkc_cip_identity& id = client->identity;
        out.identity = controllerKey(id.vendor_id, id.product_code, id.serial_number);
        const char* product = zelkc_logix_client_plc_type(client);
        out.product_name = product != nullptr ? product : "";
        GuardedWriteRequest request;
        request.tag = command.tag;
        request.checkSeen = false; // a host's command carries no value it saw
        request.asked = command.value;
        try {
            zelkc_logix_atomic_read probe{};
            probe.tag = command.tag.c_str();
            zelkc_logix_read_status status{};
            const uint8_t rc = zelkc_logix_client_read_atomic_values_status(client, &probe, 1, &status);
            if (link_failed(rc)) {
                out.link_lost = true;
                out.reason = "the connection failed before the write: " + connection_->reason(rc);
                return out;
            }
            const uint8_t one = rc != ZELKC_LOGIX_OK ? rc : probe.result;
            const bool text = one == ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE &&
                              (status.struct_handle == ZELKC_LOGIX_STRING_HANDLE ||
                               probe.value.type == ZELKC_LOGIX_TYPE_CIP_STRING ||
                               probe.value.type == ZELKC_LOGIX_TYPE_SHORT_STRING);
            if (text) {
                out.type = "STRING";
                request.isString = true;
                request.capacity = string_capacity(*connection_, command.tag);
                if (request.capacity == 0) {
                    out.reason = "the size of this STRING is not known";
                    return out;
                }
                if (command.value.size() > request.capacity) {
                    out.reason = fmt::format("a text of {} characters does not fit (this STRING holds {})",
                                             command.value.size(), request.capacity);
                    return out;
                }
            } else if (one != ZELKC_LOGIX_OK) {
                out.reason = "it could not be read before writing: " + logixFailureText(one, status);
                return out;
            } else {
                const uint16_t type = zelkc_logix_tag_atomic_type(probe.value.type);
                zelkc_logix_tag_info info{};
                info.symbol_type = type;
                out.type = datatype_get_name(&info);
                request.symbolType = type;
                char note[160] = {};
                if (zelkc_logix_value_parse(type, command.value.c_str(), &request.value, note, sizeof note) !=
                    ZELKC_LOGIX_OK) {
                    out.reason = note;
                    return out;
                }
                request.asked = value2string(&request.value, type); // as the read-back will show it
            }
            GuardedWriteResult result;
            const uint8_t done = guardedWrite(client, request, link_failed, &result);
            if (!result.decided) {
                guardedWriteFailed(done, &result);
                out.link_lost = true;
            }
            out.result = guardedRecordResult(result.outcome);
            out.reason = result.reason;
            out.before = result.before;
            out.read_back = result.readBack;
            out.general_status = result.generalStatus;
            out.extended_status = result.extendedStatus;
        } catch (const ConnectionError& e) { // the STRING's browse
            out.link_lost = true;
            out.reason = std::string("the connection failed before the write: ") + e.what();
        } catch (const NotFoundError& e) {
            out.reason = e.what();
        }
        return out;
    }

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
        mqtt::SparkplugOptions node = *sparkplug;
        std::map<std::string, std::string> addresses; // device → the address as the plant file gives it
        for (const ControllerSpec& spec : controllers) {
            addresses[spec.name] = spec.address.text();
            if (!spec.writable.empty()) {
                node.writable[spec.name] = spec.writable;
            }
        }
        // Each DCMD metric's outcome: on record first, then one line on standard error.
        node.on_write = [addresses](const std::string& device, const mqtt::WriteCommand& command,
                                    const mqtt::WriteOutcome& outcome) {
            WriteRecordEntry r;
            r.source = "sparkplug";
            const auto address = addresses.find(device);
            r.address = address != addresses.end() ? address->second : "";
            r.identity = outcome.identity;
            r.productName = outcome.product_name;
            r.tag = command.tag;
            r.type = outcome.type;
            r.before = outcome.before;
            r.asked = command.value;
            r.result = outcome.result;
            r.reason = outcome.reason;
            r.generalStatus = outcome.general_status;
            r.extendedStatus = outcome.extended_status;
            r.readBack = outcome.read_back;
            const std::string problem = appendWriteRecord(r);
            std::string line =
                fmt::format("{}: DCMD {} = {}: {}", terminal_safe(device), terminal_safe(command.tag),
                            terminal_safe(command.value), outcome.result);
            if (!outcome.reason.empty()) {
                line += ": " + terminal_safe(outcome.reason);
            }
            if (!outcome.read_back.empty()) {
                line += " (read back " + terminal_safe(outcome.read_back) + ")";
            }
            if (!problem.empty()) {
                line += " (not recorded: " + problem + ")";
            }
            fmt::print(stderr, "{}\n", line);
        };
        bridge = std::make_unique<mqtt::SparkplugNode>(mqtt, node, common.timeout_ms);
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
