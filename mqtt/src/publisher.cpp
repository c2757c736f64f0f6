// The broker connection of `watch --mqtt`: URL parsing, the latest-value map and its publisher thread,
// and the per-controller status connections with their last will.
#include "orvane_mqtt.h"

#include <fmt/format.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>

#include "Reconnect.h"

namespace mqtt {

namespace {

// Published payloads waiting for their PUBACK at most; the rest waits in the map, so memory stays
// bounded by the number of topics whatever the broker does. libmosquitto walks its list of these on
// every publish and acknowledgement, so a longer window costs CPU; 100 still keeps about 7,500
// messages a second moving to a broker 10 ms away (a window per round trip plus the gather below).
constexpr uint32_t kWindow = 100;
constexpr int kKeepAliveS = 30;
// After reading acknowledgements the worker leaves the socket alone this long, so that one wake-up
// reads a window's worth of them instead of one each (a broker acknowledges message by message).
constexpr auto kAckGather = std::chrono::milliseconds(3);

void library_init() {
    static const int once = mosquitto_lib_init();
    (void)once;
}

std::string error_text(int rc) {
    return rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : std::string(mosquitto_strerror(rc));
}

// A client with TLS and credentials as asked; null when out of memory.
mosquitto* make_client(const MqttOptions& options, void* self) {
    library_init();
    mosquitto* mosq = mosquitto_new(nullptr, true, self);
    if (mosq == nullptr) {
        return nullptr;
    }
    // Our own window bounds what waits for PUBACK; the library sends all of it at once.
    mosquitto_max_inflight_messages_set(mosq, kWindow);
    if (options.url.tls || !options.cafile.empty()) {
        if (options.cafile.empty()) {
            mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        }
        mosquitto_tls_set(mosq, options.cafile.empty() ? nullptr : options.cafile.c_str(), nullptr, nullptr,
                          nullptr, nullptr);
    }
    if (!options.user.empty()) {
        mosquitto_username_pw_set(mosq, options.user.c_str(),
                                  options.password.empty() ? nullptr : options.password.c_str());
    }
    return mosq;
}

std::string broker_text(const MqttOptions& options) {
    return fmt::format("{}:{}", options.url.host, options.url.port);
}

} // namespace

bool is_topic_level(const std::string& text) {
    return !text.empty() && text.find_first_of("/+#") == std::string::npos;
}

std::string parse_mqtt_url(const std::string& text, MqttUrl* out, bool require_prefix) {
    MqttUrl url;
    std::string_view rest = text;
    if (rest.rfind("mqtt://", 0) == 0) {
        rest.remove_prefix(7);
    } else if (rest.rfind("mqtts://", 0) == 0) {
        rest.remove_prefix(8);
        url.tls = true;
        url.port = 8883;
    } else {
        return fmt::format("'{}': the broker URL must start with mqtt:// or mqtts://", text);
    }
    const size_t slash = rest.find('/');
    if (require_prefix && (slash == std::string_view::npos || slash + 1 == rest.size())) {
        return fmt::format("'{}': the URL needs a topic prefix after the host (mqtt://HOST[:PORT]/PREFIX)",
                           text);
    }
    if (slash != std::string_view::npos) {
        url.prefix = std::string(rest.substr(slash + 1));
    }
    std::string_view host = rest.substr(0, std::min(slash, rest.size()));
    const size_t colon = host.rfind(':');
    if (colon != std::string_view::npos) {
        const std::string_view digits = host.substr(colon + 1);
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), url.port);
        if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || url.port < 1 ||
            url.port > 65535) {
            return fmt::format("'{}': the port after ':' must be a number from 1 to 65535", text);
        }
        host = host.substr(0, colon);
    }
    if (host.empty()) {
        return fmt::format("'{}': the URL needs a broker host name or IP address", text);
    }
    url.host = std::string(host);
    for (size_t start = 0; !url.prefix.empty() && start <= url.prefix.size();) {
        const size_t end = std::min(url.prefix.find('/', start), url.prefix.size());
        if (!is_topic_level(url.prefix.substr(start, end - start))) {
            return fmt::format("'{}': the topic prefix must not hold empty levels, '+' or '#'", text);
        }
        start = end + 1;
    }
    *out = url;
    return {};
}

// One controller's status connection: "online" on every connect, "offline" as its last will and at
// the end. The worker thread serves every one of them in its own poll (no thread and no select() per
// connection, so a thousand controllers cost a thousand sockets and nothing more); only it touches
// them after add_status().
struct Publisher::Status {
    std::string topic;
    mosquitto* mosq = nullptr;
    uint32_t attempt = 0; // reconnects since the connection was lost
    std::chrono::steady_clock::time_point retry_at{};
    int offline_mid = -1; // the "offline" publish at the end, once sent
    bool offline_acked = false;
    bool online_due = false; // connected: "online" goes out after the read that took the CONNACK

    // Publishing is left to the worker, outside libmosquitto's callback and its locks.
    static void on_connect(mosquitto*, void* self, int rc) {
        auto* s = static_cast<Status*>(self);
        if (rc == 0) {
            s->attempt = 0;
            s->online_due = true;
        }
    }
    static void on_publish(mosquitto*, void* self, int mid) {
        auto* s = static_cast<Status*>(self);
        s->offline_acked = s->offline_acked || mid == s->offline_mid;
    }
    ~Status() {
        if (mosq != nullptr) {
            mosquitto_destroy(mosq);
        }
    }
};

Publisher::Publisher(const MqttOptions& options, uint32_t timeout_ms) : options_(options) {
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    mosq_ = wake_ < 0 ? nullptr : make_client(options_, this);
    if (mosq_ == nullptr) {
        if (wake_ >= 0) {
            close(wake_);
        }
        throw BrokerError("out of memory");
    }
    mosquitto_connect_callback_set(mosq_, &Publisher::on_connect);
    mosquitto_disconnect_callback_set(mosq_, &Publisher::on_disconnect);
    mosquitto_publish_callback_set(mosq_, &Publisher::on_publish);
    mosquitto_log_callback_set(mosq_, &Publisher::on_log);
    const int rc = mosquitto_connect(mosq_, options_.url.host.c_str(), options_.url.port, kKeepAliveS);
    if (rc != MOSQ_ERR_SUCCESS) {
        const std::string why = tls_reason(rc == MOSQ_ERR_TLS ? error_text(rc) : std::string());
        mosquitto_destroy(mosq_);
        close(wake_);
        throw BrokerError(fmt::format("cannot connect to the MQTT broker {}: {}", broker_text(options_),
                                      why.empty() ? error_text(rc) : why));
    }
    worker_ = std::thread([this] { run(); });
    int connack = -1;
    {
        std::unique_lock lock(mu_);
        cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return connack_ >= 0; });
        connack = connack_;
    }
    if (connack != 0) {
        stop();
        const std::string why = connack < 0 ? tls_reason("") : std::string();
        throw BrokerError(fmt::format("cannot connect to the MQTT broker {}: {}", broker_text(options_),
                                      !why.empty()  ? why
                                      : connack < 0 ? "no answer in time"
                                                    : mosquitto_connack_string(connack)));
    }
}

// libmosquitto tells which TLS check failed only in its log ("OpenSSL Error[0]: error:0A000086:SSL
// routines::certificate verify failed"); the newest such line is kept for the failure's reason.
void Publisher::on_log(mosquitto*, void* self, int level, const char* text) {
    auto* p = static_cast<Publisher*>(self);
    if ((level & MOSQ_LOG_ERR) != 0 && text != nullptr && std::strstr(text, "OpenSSL Error") != nullptr) {
        std::lock_guard lock(p->mu_);
        p->tls_error_ = text;
    }
}

// "TLS: <what OpenSSL said>" when a TLS check failed (the text after the error code's last ':'),
// else `fallback`.
std::string Publisher::tls_reason(const std::string& fallback) const {
    std::lock_guard lock(mu_);
    if (tls_error_.empty()) {
        return fallback;
    }
    const size_t colon = tls_error_.rfind(':');
    std::string what = colon == std::string::npos ? tls_error_ : tls_error_.substr(colon + 1);
    what.erase(0, what.find_first_not_of(' '));
    return "the TLS connection failed: " + what;
}

Publisher::~Publisher() {
    stop();
}

void Publisher::stop() {
    {
        std::lock_guard lock(mu_);
        stopping_ = true;
    }
    wake();
    worker_.join();
    statuses_.clear();
    mosquitto_destroy(mosq_);
    close(wake_);
}

void Publisher::wake() {
    const uint64_t one = 1;
    if (write(wake_, &one, sizeof one) < 0) {
        // The counter is full, so the worker is awake anyway.
    }
}

void Publisher::add_status(const std::string& topic) {
    auto status = std::make_unique<Status>();
    status->topic = topic;
    mosquitto* mosq = make_client(options_, status.get());
    if (mosq == nullptr) {
        throw BrokerError("out of memory");
    }
    status->mosq = mosq;
    mosquitto_will_set(mosq, topic.c_str(), 7, "offline", 1, true);
    mosquitto_connect_callback_set(mosq, &Status::on_connect);
    mosquitto_publish_callback_set(mosq, &Status::on_publish);
    const int rc = mosquitto_connect(mosq, options_.url.host.c_str(), options_.url.port, kKeepAliveS);
    if (rc != MOSQ_ERR_SUCCESS) {
        throw BrokerError(
            fmt::format("cannot connect to the MQTT broker {}: {}", broker_text(options_), error_text(rc)));
    }
    {
        std::lock_guard lock(mu_);
        statuses_.push_back(std::move(status));
    }
    wake();
}

void Publisher::mark(uint32_t id) {
    Entry& entry = entries_[id];
    if (!entry.queued && !entry.payload.empty()) {
        entry.queued = true;
        dirty_.push_back(id);
    }
}

uint32_t Publisher::topic(const std::string& topic) {
    std::lock_guard lock(mu_);
    const auto [it, added] = numbers_.emplace(topic, uint32_t(entries_.size()));
    if (added) {
        entries_.emplace_back().topic = &it->first;
    }
    return it->second;
}

void Publisher::put(std::vector<std::pair<uint32_t, std::string>> values) {
    if (values.empty()) {
        return;
    }
    {
        std::lock_guard lock(mu_);
        for (auto& [id, payload] : values) {
            entries_.at(id).payload = std::move(payload);
            mark(id);
        }
    }
    wake();
}

size_t Publisher::pending() const {
    std::lock_guard lock(mu_);
    return dirty_.size();
}

// The callbacks run on the worker thread, inside mosquitto_loop_read and friends.
void Publisher::on_connect(mosquitto*, void* self, int rc) {
    auto* p = static_cast<Publisher*>(self);
    {
        std::lock_guard lock(p->mu_);
        if (p->connack_ < 0) {
            p->connack_ = rc;
        } else if (rc == 0) {
            fmt::print(stderr, "MQTT broker {}: reconnected\n", broker_text(p->options_));
        }
        p->connected_ = rc == 0;
        if (rc == 0) {
            p->attempt_ = 0;
            // Whatever was in flight is either delivered or lost with the old connection; every
            // topic goes out again so that a restarted broker holds each newest value.
            p->in_flight_ = 0;
            for (uint32_t id = 0; id < p->entries_.size(); ++id) {
                p->mark(id);
            }
        }
    }
    p->cv_.notify_all();
}

void Publisher::on_disconnect(mosquitto*, void* self, int rc) {
    auto* p = static_cast<Publisher*>(self);
    std::lock_guard lock(p->mu_);
    if (p->connected_ && !p->stopping_) {
        fmt::print(stderr, "MQTT broker {}: connection lost ({}); reconnecting\n", broker_text(p->options_),
                   error_text(rc));
    }
    p->connected_ = false;
    p->retry_at_ = std::chrono::steady_clock::now() + std::chrono::nanoseconds(reconnectDelayNs(0));
    p->attempt_ = 1;
}

void Publisher::on_publish(mosquitto*, void* self, int) {
    auto* p = static_cast<Publisher*>(self);
    std::lock_guard lock(p->mu_);
    if (p->in_flight_ > 0) {
        --p->in_flight_;
    }
}

// One thread owns the broker connections: it publishes what is due, reads the acknowledgements,
// keeps every connection alive and reconnects each on the shared schedule. Nothing else touches
// mosq_ after the constructor, nor a status connection after add_status(), so libmosquitto's locks
// are never contended. Once stopping it has kStopBudget in all: it sends what the watch put last and
// "offline" on every status topic, and ends when the broker has taken both or the budget is spent.
void Publisher::run() {
    using Clock = std::chrono::steady_clock;
    constexpr auto kStopBudget = std::chrono::milliseconds(1500);
    // What one pass publishes: the topic's number and text, and a copy of its payload (the map
    // keeps the newest for a resend). Kept between passes so that the copies reuse their buffers.
    struct Out {
        uint32_t id = 0;
        const std::string* topic = nullptr;
        std::string payload;
    };
    std::vector<Out> batch;
    std::vector<Status*> statuses; // this pass's snapshot of statuses_ (its entries never move)
    std::vector<pollfd> fds;
    std::vector<bool> open; // per status: its socket was open after the last pass
    size_t count = 0;
    bool stopping = false, offline_sent = false;
    Clock::time_point stop_at = Clock::time_point::max();
    Clock::time_point gather_until{};
    for (;;) {
        const bool main_open = mosquitto_socket(mosq_) >= 0;
        Clock::time_point retry_at;
        {
            std::lock_guard lock(mu_);
            statuses.clear();
            for (const auto& status : statuses_) {
                statuses.push_back(status.get());
            }
            stopping = stopping_;
            if (stopping) {
                stop_at = std::min(stop_at, Clock::now() + kStopBudget);
                const bool flushed = !connected_ || (dirty_.empty() && in_flight_ == 0);
                const bool told = std::all_of(statuses.begin(), statuses.end(), [](const Status* st) {
                    return st->offline_acked || mosquitto_socket(st->mosq) < 0;
                });
                if ((flushed && told && offline_sent) || Clock::now() >= stop_at) {
                    break;
                }
            }
            count = 0;
            while (main_open && connected_ && !dirty_.empty() && in_flight_ < kWindow) {
                if (batch.size() == count) {
                    batch.emplace_back();
                }
                Out& out = batch[count++];
                Entry& entry = entries_[dirty_.front()];
                entry.queued = false;
                out.id = dirty_.front();
                out.topic = entry.topic;
                out.payload.assign(entry.payload);
                dirty_.pop_front();
                ++in_flight_;
            }
            retry_at = retry_at_;
        }
        open.resize(statuses.size(), true);
        if (stopping && !offline_sent) {
            // Every controller says "offline" itself at the end (retained), so that the clean
            // disconnect below, which drops the will, leaves no topic saying "online".
            for (Status* st : statuses) {
                if (mosquitto_socket(st->mosq) >= 0) {
                    mosquitto_publish(st->mosq, &st->offline_mid, st->topic.c_str(), 7, "offline", 1, true);
                }
            }
            offline_sent = true;
        }
        // The batch leaves in a few TCP segments rather than one per message.
        const int sock = mosquitto_socket(mosq_);
        const int cork = 1, uncork = 0;
        if (count > 0 && sock >= 0) {
            setsockopt(sock, IPPROTO_TCP, TCP_CORK, &cork, sizeof cork);
        }
        size_t failed = 0;
        for (size_t i = 0; i < count; ++i) {
            const Out& out = batch[i];
            const int rc = mosquitto_publish(mosq_, nullptr, out.topic->c_str(), int(out.payload.size()),
                                             out.payload.data(), /*qos=*/1, /*retain=*/true);
            if (rc != MOSQ_ERR_SUCCESS) {
                batch[failed++].id = out.id; // earlier failures are already moved down
            }
        }
        if (count > 0 && sock >= 0 && mosquitto_socket(mosq_) == sock) {
            setsockopt(sock, IPPROTO_TCP, TCP_CORK, &uncork, sizeof uncork);
        }
        if (failed > 0) { // not taken (the connection went): sent again after the reconnect
            std::lock_guard lock(mu_);
            for (size_t i = 0; i < failed; ++i) {
                mark(batch[i].id);
                in_flight_ = in_flight_ > 0 ? in_flight_ - 1 : 0;
            }
        }
        auto now = Clock::now();
        Clock::time_point wake_at = now + std::chrono::seconds(1);
        if (!main_open && !stopping) {
            if (now >= retry_at) {
                if (mosquitto_reconnect(mosq_) == MOSQ_ERR_SUCCESS) {
                    continue; // the CONNACK arrives through the reads below
                }
                std::lock_guard lock(mu_);
                retry_at_ = now + std::chrono::nanoseconds(reconnectDelayNs(attempt_++));
                retry_at = retry_at_;
            }
            wake_at = std::min(wake_at, retry_at);
        }
        // Status connections that went: each is tried again on its own schedule.
        for (size_t i = 0; i < statuses.size(); ++i) {
            Status* st = statuses[i];
            if (mosquitto_socket(st->mosq) >= 0 || stopping) {
                continue;
            }
            if (now >= st->retry_at) {
                if (mosquitto_reconnect(st->mosq) == MOSQ_ERR_SUCCESS) {
                    open[i] = true;
                    continue;
                }
                st->retry_at = now + std::chrono::nanoseconds(reconnectDelayNs(st->attempt++));
            }
            wake_at = std::min(wake_at, st->retry_at);
        }
        now = Clock::now();
        if (now < gather_until) {
            wake_at = std::min(wake_at, gather_until);
        }
        if (stopping) {
            wake_at = std::min({wake_at, stop_at, now + std::chrono::milliseconds(100)});
        }
        fds.assign(2 + statuses.size(), pollfd{-1, 0, 0});
        fds[0] = {wake_, POLLIN, 0};
        fds[1] = {mosquitto_socket(mosq_), short(now < gather_until ? 0 : POLLIN), 0};
        if (mosquitto_want_write(mosq_)) {
            fds[1].events |= POLLOUT;
        }
        for (size_t i = 0; i < statuses.size(); ++i) {
            mosquitto* m = statuses[i]->mosq;
            fds[2 + i] = {mosquitto_socket(m), short(POLLIN | (mosquitto_want_write(m) ? POLLOUT : 0)), 0};
        }
        const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(wake_at - now).count();
        poll(fds.data(), fds.size(), int(std::clamp<int64_t>((wait + 999) / 1000, 0, 1000)));
        if ((fds[0].revents & POLLIN) != 0) {
            uint64_t wakes = 0;
            if (read(wake_, &wakes, sizeof wakes) < 0) {
                // Nothing was pending after all.
            }
        }
        if (fds[1].fd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            mosquitto_loop_read(mosq_, 1);
            gather_until = Clock::now() + kAckGather;
        }
        if (mosquitto_socket(mosq_) >= 0 && (fds[1].revents & POLLOUT) != 0) {
            mosquitto_loop_write(mosq_, 1);
        }
        if (mosquitto_socket(mosq_) >= 0) {
            mosquitto_loop_misc(mosq_); // keep-alive
        }
        now = Clock::now();
        for (size_t i = 0; i < statuses.size(); ++i) {
            Status* st = statuses[i];
            const pollfd& fd = fds[2 + i];
            if (fd.fd >= 0 && (fd.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                mosquitto_loop_read(st->mosq, 1);
            }
            if (st->online_due && mosquitto_socket(st->mosq) >= 0) {
                st->online_due = false;
                mosquitto_publish(st->mosq, nullptr, st->topic.c_str(), 6, "online", 1, true);
            }
            if (mosquitto_socket(st->mosq) >= 0 && (fd.revents & POLLOUT) != 0) {
                mosquitto_loop_write(st->mosq, 1);
            }
            if (mosquitto_socket(st->mosq) >= 0) {
                mosquitto_loop_misc(st->mosq);
            }
            const bool is_open = mosquitto_socket(st->mosq) >= 0;
            if (open[i] && !is_open) { // just lost: the first try after the shared first wait
                st->retry_at = now + std::chrono::nanoseconds(reconnectDelayNs(st->attempt++));
            }
            open[i] = is_open;
        }
    }
    for (Status* st : statuses) {
        if (mosquitto_socket(st->mosq) >= 0) {
            mosquitto_disconnect(st->mosq);
        }
    }
    if (mosquitto_socket(mosq_) >= 0) {
        mosquitto_disconnect(mosq_);
    }
}

bool Publisher::stopping() const {
    std::lock_guard lock(mu_);
    return stopping_;
}

} // namespace mqtt
