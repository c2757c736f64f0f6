// The read and watch commands: one batch read per cycle, STRINGs as text, each failure explained.
#include <fmt/chrono.h>
#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <strings.h>
#include <system_error>
#include <thread>

#include "Platform.h"
#include "Reconnect.h"
#include "ValueText.h"
#include "cli.h"
#include "terminal_text.h"

namespace cli {

namespace {

bool connection_failure(uint8_t result) {
    return result == ZELKC_LOGIX_ERR_IO || result == ZELKC_LOGIX_ERR_TIMEOUT ||
           result == ZELKC_LOGIX_ERR_NOT_CONNECTED;
}

// Why an entry failed: the table's words, with the CIP status when the controller gave one.
std::string failure_reason(uint8_t result, const zelkc_logix_read_status& status) {
    if (result == ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE && status.struct_handle != 0) {
        return "a structure has no single value; read its members";
    }
    const zelkc_cip_refusal refusal{0, status.general_status, status.extended_status, 0, -1};
    char text[256];
    zelkc_logix_failure_text(result, &refusal, text, sizeof text);
    return text;
}

// A batch entry that is text: a Logix STRING structure, or a CIP STRING or SHORT_STRING.
bool is_string_entry(const zelkc_logix_atomic_read& e, const zelkc_logix_read_status& status) {
    return e.result == ZELKC_LOGIX_ERR_UNSUPPORTED_TYPE &&
           (status.struct_handle == ZELKC_LOGIX_STRING_HANDLE || e.value.type == ZELKC_LOGIX_TYPE_CIP_STRING ||
            e.value.type == ZELKC_LOGIX_TYPE_SHORT_STRING);
}

// Reads one STRING as text into `out`; a too-small buffer is retried at the reported length.
uint8_t read_string(const Connection& connection, const char* tag, std::string* out) {
    std::string buf(128, '\0');
    for (;;) {
        uint32_t length = 0;
        const uint8_t rc = zelkc_logix_client_read_string_value(connection.client(), tag, buf.data(),
                                                                uint32_t(buf.size()), &length);
        if (rc == ZELKC_LOGIX_ERR_BUFFER_TOO_SMALL && length >= buf.size()) {
            buf.assign(size_t(length) + 1, '\0');
            continue;
        }
        if (rc == ZELKC_LOGIX_OK) {
            out->assign(buf.data(), length);
        }
        return rc;
    }
}

std::string atomic_type_name(uint16_t type) {
    zelkc_logix_tag_info info{};
    info.symbol_type = zelkc_logix_tag_atomic_type(type);
    return std::string(datatype_get_name(&info));
}

} // namespace

std::vector<TagValue> read_tags(const Connection& connection, const std::vector<std::string>& tags) {
    std::vector<zelkc_logix_atomic_read> entries(tags.size());
    std::vector<zelkc_logix_read_status> statuses(tags.size());
    for (size_t i = 0; i < tags.size(); ++i) {
        entries[i].tag = tags[i].c_str();
    }
    // A batch that needs several packets goes over the connection's lanes side by side, if allowed.
    zelkc_logix_lanes* lanes =
        connection.lanes_for(zelkc_logix_batch_packets(connection.client(), entries.data(), uint32_t(entries.size())));
    const uint8_t rc =
        lanes != nullptr
            ? zelkc_logix_lanes_read_atomic_values_status(lanes, entries.data(), uint32_t(entries.size()),
                                                          statuses.data())
            : zelkc_logix_client_read_atomic_values_status(connection.client(), entries.data(),
                                                           uint32_t(entries.size()), statuses.data());
    if (rc != ZELKC_LOGIX_OK) {
        connection.fail("reading tags", rc);
    }
    std::vector<TagValue> values(tags.size());
    for (size_t i = 0; i < tags.size(); ++i) {
        TagValue& v = values[i];
        const zelkc_logix_atomic_read& e = entries[i];
        v.tag = tags[i];
        if (e.result == ZELKC_LOGIX_OK) {
            v.ok = true;
            v.type = atomic_type_name(e.value.type);
            v.text = value2string(&e.value, zelkc_logix_tag_atomic_type(e.value.type));
        } else if (is_string_entry(e, statuses[i])) {
            const uint8_t src = read_string(connection, e.tag, &v.text);
            if (connection_failure(src)) {
                connection.fail("reading " + v.tag, src);
            }
            v.ok = src == ZELKC_LOGIX_OK;
            v.type = "STRING";
            if (!v.ok) {
                v.reason = connection.reason(src);
            }
        } else {
            v.reason = failure_reason(e.result, statuses[i]);
        }
    }
    return values;
}

std::vector<std::string> element_paths(const std::string& tag, uint32_t count) {
    std::string base = tag;
    std::string first_indexes; // the indexes before the one that counts, with their commas
    uint32_t start = 0;
    const size_t open = tag.rfind('[');
    if (!tag.empty() && tag.back() == ']' && open != std::string::npos) {
        const std::string inside = tag.substr(open + 1, tag.size() - open - 2);
        const size_t comma = inside.rfind(',');
        const std::string last = comma == std::string::npos ? inside : inside.substr(comma + 1);
        char* end = nullptr;
        const unsigned long n = std::strtoul(last.c_str(), &end, 10);
        if (!last.empty() && *end == '\0' && n <= UINT32_MAX) {
            base = tag.substr(0, open);
            first_indexes = comma == std::string::npos ? std::string() : inside.substr(0, comma + 1);
            start = uint32_t(n);
        }
    }
    std::vector<std::string> paths;
    if (base == tag && count == 1) {
        paths.push_back(tag); // a plain tag read once keeps its own name
        return paths;
    }
    for (uint32_t i = 0; i < count; ++i) {
        paths.push_back(fmt::format("{}[{}{}]", base, first_indexes, uint64_t(start) + i));
    }
    return paths;
}

namespace {

constexpr uint32_t kWholeArrayLimit = 1000;

bool same_name(const char* a, const std::string& b) {
    return a != nullptr && strcasecmp(a, b.c_str()) == 0;
}

} // namespace

const zelkc_logix_tag_info* find_info(const zelkc_logix_tag_info_list& list, const std::string& tag) {
    std::string rest = tag;
    if (rest.rfind("Program:", 0) == 0 || rest.rfind("program:", 0) == 0) {
        const size_t dot = rest.find('.');
        rest = dot == std::string::npos ? std::string() : rest.substr(dot + 1);
    }
    const zelkc_logix_tag_info* items = list.items;
    uint32_t count = list.count;
    const zelkc_logix_tag_info* found = nullptr;
    for (size_t start = 0; start <= rest.size();) {
        const size_t dot = rest.find('.', start);
        const std::string name = rest.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        found = nullptr;
        for (uint32_t i = 0; i < count && found == nullptr; ++i) {
            found = same_name(items[i].name, name) ? &items[i] : nullptr;
        }
        if (found == nullptr || dot == std::string::npos) {
            return found;
        }
        items = found->children;
        count = found->child_count;
        start = dot + 1;
    }
    return found;
}

namespace {

// The element paths of a whole array read as TAG[i] (TAG[i,j] for more dimensions), row-major, at
// most kWholeArrayLimit of them; `dims` are the array's dimensions, outermost first.
std::vector<std::string> whole_array_paths(const std::string& tag, const std::vector<uint32_t>& dims) {
    std::vector<std::string> paths;
    std::vector<uint32_t> index(dims.size(), 0);
    while (paths.size() < kWholeArrayLimit) {
        paths.push_back(fmt::format("{}[{}]", tag, fmt::join(index, ",")));
        size_t d = dims.size();
        while (d > 0 && ++index[d - 1] == dims[d - 1]) {
            index[--d] = 0;
        }
        if (d == 0) {
            break;
        }
    }
    return paths;
}

// Each tag that names no element and is an array by its browsed type, replaced by its element
// paths. The types come from one browse of each scope named; a tag the browse does not list as an
// array, or a scope the device cannot browse (no Symbol object), is read as it was written.
std::vector<std::string> expand_arrays(const Connection& connection, const std::vector<std::string>& tags) {
    // One scope's browse: its result and its list, released with it.
    struct Browsed {
        uint8_t rc = ZELKC_LOGIX_OK;
        zelkc_logix_tag_info_list list{};
        Browsed() = default;
        Browsed(const Browsed&) = delete;
        Browsed& operator=(const Browsed&) = delete;
        ~Browsed() { zelkc_logix_tag_info_list_free(&list); }
    };
    std::map<std::string, Browsed> scopes; // by program name, "" for the controller
    std::vector<std::string> out;
    for (const std::string& tag : tags) {
        if (tag.empty() || tag.back() == ']') {
            out.push_back(tag);
            continue;
        }
        std::string program;
        if (strncasecmp(tag.c_str(), "Program:", 8) == 0) {
            program = tag.substr(8, tag.find('.') == std::string::npos ? std::string::npos : tag.find('.') - 8);
        }
        auto [it, fresh] = scopes.try_emplace(program);
        auto& [brc, list] = it->second;
        if (fresh) {
            brc = program.empty() ? zelkc_logix_client_browse_global_tags(connection.client(), &list)
                                  : zelkc_logix_client_browse_program_tags(connection.client(), &list,
                                                                           program.c_str());
            if (is_connection_failure(brc)) {
                connection.fail("browsing to find the size of " + tag, brc);
            }
        }
        const zelkc_logix_tag_info* info = brc == ZELKC_LOGIX_OK ? find_info(list, tag) : nullptr;
        std::vector<uint32_t> dims;
        for (size_t d = 0; info != nullptr && d < std::size(info->dims); ++d) {
            if (info->dims[d] != 0) {
                dims.push_back(info->dims[d]);
            }
        }
        if (dims.empty()) {
            out.push_back(tag);
        } else {
            for (std::string& p : whole_array_paths(tag, dims)) {
                out.push_back(std::move(p));
            }
        }
    }
    return out;
}

} // namespace

int run_read(const CommonOptions& common, const std::vector<std::string>& tags, uint32_t count, bool whole_arrays,
             bool json) {
    std::vector<std::string> paths;
    for (const std::string& tag : tags) {
        for (std::string& p : count > 1 ? element_paths(tag, count) : std::vector<std::string>{tag}) {
            paths.push_back(std::move(p));
        }
    }
    Connection connection(common.address, common.timeout_ms);
    if (whole_arrays && count == 0) {
        paths = expand_arrays(connection, paths);
    }
    const std::vector<TagValue> values = read_tags(connection, paths);
    bool failed = false;
    nlohmann::ordered_json doc = nlohmann::ordered_json::array();
    std::string text;
    for (const TagValue& v : values) {
        failed = failed || !v.ok;
        if (json) {
            // A STRING's bytes as UTF-8: the library refuses to write anything else.
            doc.push_back(v.ok ? nlohmann::ordered_json{{"tag", v.tag},
                                                        {"type", v.type},
                                                        {"value", utf8_text(v.text)}}
                               : nlohmann::ordered_json{{"tag", v.tag}, {"error", v.reason}});
        } else if (v.ok) {
            text += fmt::format("{} = {}\n", terminal_safe(v.tag), terminal_safe(v.text));
        } else {
            text += fmt::format("{}: {}\n", terminal_safe(v.tag), terminal_safe(v.reason));
        }
    }
    fmt::print("{}", json ? doc.dump(2) + "\n" : text);
    return failed ? kExitTagsFailed : kExitOk;
}

int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string utc_now() {
    const auto now = std::chrono::system_clock::now();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const std::tm tm = platform::utcTime(t);
    return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:03}Z", tm, ms);
}

namespace {

std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

// SIGINT and SIGTERM (Ctrl-C on Windows) during a watch: taken by the platform's quit watch on a
// thread of its own, which cancels the exchange under way on every connection (a controller
// trickling a reply cannot hold the watch) and wakes the waits below.
class Interrupts {
public:
    Interrupts()
        : watch_([this] {
              std::lock_guard<std::mutex> lock(mutex_);
              if (!done_) {
                  interrupted_ = true;
                  cancel_connections();
              }
              woken_.notify_all();
          }) {}
    ~Interrupts() {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;

    bool interrupted() {
        std::lock_guard<std::mutex> lock(mutex_);
        return interrupted_;
    }
    // Waits up to `ms`; true when interrupted.
    bool within(int64_t ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        return woken_.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(ms, 0)),
                               [this] { return interrupted_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable woken_;
    bool interrupted_ = false;
    bool done_ = false;
    platform::QuitWatch watch_; // last: its thread stops before the members above go
};

// After a loss: one line on standard error, attempts on the shared schedule until one connects (true)
// or SIGINT/SIGTERM comes (false), then one line saying how long the outage lasted.
bool reconnect(const CommonOptions& common, Interrupts& interrupts, const std::string& why,
               std::unique_ptr<Connection>* connection, ReconnectBackoff& backoff, uint32_t lanes) {
    connection->reset();
    backoff.lost();
    int64_t delay = backoff.nextDelayNs();
    if (backoff.flapping()) {
        // It connected last time and failed at once: say so, and how long it now waits.
        fmt::print(stderr, "reconnected, but the first read failed: {}; next try in {} s\n", terminal_safe(why),
                   fmt::format("{:g}", double(delay) / 1e9));
    } else {
        fmt::print(stderr, "connection lost: {}; reconnecting\n", terminal_safe(why));
    }
    const auto lost = std::chrono::steady_clock::now();
    for (bool first = true; !*connection; first = false) {
        if (!first) {
            delay = backoff.nextDelayNs();
        }
        if (interrupts.within(delay / 1000000)) {
            return false;
        }
        try {
            *connection = std::make_unique<Connection>(common.address, common.timeout_ms);
            (*connection)->allow_lanes(common.address, common.timeout_ms, lanes);
        } catch (const ConnectionError&) {
        } catch (const NotFoundError&) {
            if (interrupts.interrupted()) {
                return false;
            }
            throw;
        }
    }
    backoff.connected(steady_ns());
    const std::chrono::duration<double> outage = std::chrono::steady_clock::now() - lost;
    fmt::print(stderr, "reconnected after {:.1f} s\n", outage.count());
    return true;
}

} // namespace

int run_watch(const CommonOptions& common, const std::vector<std::string>& tags,
              const WatchOptions& options) {
    // Ctrl-C or SIGTERM ends the watch at once, also in the middle of an exchange (no row is printed
    // for a cycle cut short).
    Interrupts interrupts;
    std::unique_ptr<Connection> connection;
    try {
        connection = std::make_unique<Connection>(common.address, common.timeout_ms);
        connection->allow_lanes(common.address, common.timeout_ms, options.lanes);
    } catch (const std::exception&) {
        if (interrupts.interrupted()) {
            return kExitOk;
        }
        throw;
    }
    if (options.csv) {
        std::string header = "time";
        for (const std::string& tag : tags) {
            header += "," + csv_field(tag);
        }
        fmt::print("{}\n", header);
        std::fflush(stdout);
    }
    std::map<std::string, std::string> last_reason; // a failure is reported again only when it changes
    bool failed = false;
    ReconnectBackoff backoff;
    auto start = std::chrono::steady_clock::now();
    for (uint64_t cycle = 1;; ++cycle) {
        const std::string time = utc_now();
        std::vector<TagValue> values;
        try {
            values = read_tags(*connection, tags);
        } catch (const ConnectionError& e) {
            if (interrupts.interrupted()) {
                break;
            }
            if (options.exit_on_loss) {
                throw;
            }
            if (!reconnect(common, interrupts, e.what(), &connection, backoff, options.lanes)) {
                break; // interrupted during the outage
            }
            // The outage prints no row and counts no cycle; the next row comes at once and the one
            // after it an interval later (the schedule restarts from now).
            --cycle;
            start = std::chrono::steady_clock::now() -
                    std::chrono::milliseconds(int64_t(options.interval_ms) * int64_t(cycle));
            continue;
        } catch (const NotFoundError&) {
            if (interrupts.interrupted()) {
                break;
            }
            throw;
        }
        if (interrupts.interrupted()) {
            break; // the cycle was cut short: its values are not the controller's
        }
        backoff.goodTraffic(steady_ns());
        std::string line = time;
        for (const TagValue& v : values) {
            if (!v.ok) {
                failed = true;
                std::string& last = last_reason[v.tag];
                if (last != v.reason) {
                    fmt::print(stderr, "{}: {}\n", terminal_safe(v.tag), terminal_safe(v.reason));
                    last = v.reason;
                }
            }
            if (options.csv) {
                line += "," + (v.ok ? csv_field(v.text) : std::string());
            } else {
                line += fmt::format(" {}={}", terminal_safe(v.tag), v.ok ? terminal_safe(v.text) : "?");
            }
        }
        fmt::print("{}\n", line);
        if (std::fflush(stdout) != 0) {
            throw std::system_error(errno, std::generic_category(), "cannot write the results");
        }
        if (options.count != 0 && cycle >= options.count) {
            break;
        }
        const auto next = start + std::chrono::milliseconds(int64_t(options.interval_ms) * int64_t(cycle));
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(next - std::chrono::steady_clock::now());
        if (interrupts.within(left.count())) {
            break;
        }
    }
    return failed ? kExitTagsFailed : kExitOk;
}

} // namespace cli
