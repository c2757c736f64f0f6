// The broker connection of `watch --mqtt`: URL parsing, the latest-value map and its publisher thread,
// and the per-controller status connections with their last will.
#include "mqtt.h"

#include <fmt/format.h>
#include <mosquitto.h>

#include <charconv>
#include <chrono>

#include "cli.h"

namespace cli {

namespace {

// Published payloads waiting for their PUBACK at most; the rest waits in the map, so memory stays
// bounded by the number of topics whatever the broker does.
constexpr uint32_t kWindow = 500;
constexpr int kKeepAliveS = 30;

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
    mosquitto_reconnect_delay_set(mosq, 1, 5, true);
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

std::string parse_mqtt_url(const std::string& text, MqttUrl* out) {
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
    if (slash == std::string_view::npos || slash + 1 == rest.size()) {
        return fmt::format("'{}': the URL needs a topic prefix after the host (mqtt://HOST[:PORT]/PREFIX)", text);
    }
    url.prefix = std::string(rest.substr(slash + 1));
    std::string_view host = rest.substr(0, slash);
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
    for (size_t start = 0; start <= url.prefix.size();) {
        const size_t end = std::min(url.prefix.find('/', start), url.prefix.size());
        if (!is_topic_level(url.prefix.substr(start, end - start))) {
            return fmt::format("'{}': the topic prefix must not hold empty levels, '+' or '#'", text);
        }
        start = end + 1;
    }
    *out = url;
    return {};
}

// One controller's status connection: "online" on every connect, "offline" as its last will.
struct Publisher::Status {
    std::string topic;
    mosquitto* mosq = nullptr;
    std::mutex mu;
    std::condition_variable cv;
    bool offline_sent = false;

    static void on_connect(mosquitto* mosq, void* self, int rc) {
        if (rc == 0) {
            const auto* s = static_cast<Status*>(self);
            mosquitto_publish(mosq, nullptr, s->topic.c_str(), 6, "online", 1, true);
        }
    }
    static void on_publish(mosquitto*, void* self, int) {
        auto* s = static_cast<Status*>(self);
        std::lock_guard lock(s->mu);
        s->offline_sent = true;
        s->cv.notify_all();
    }
    ~Status() {
        if (mosq == nullptr) {
            return;
        }
        // "offline" is published and acknowledged before the clean disconnect, which drops the will.
        mosquitto_publish_callback_set(mosq, &Status::on_publish);
        if (mosquitto_publish(mosq, nullptr, topic.c_str(), 7, "offline", 1, true) == MOSQ_ERR_SUCCESS) {
            std::unique_lock lock(mu);
            cv.wait_for(lock, std::chrono::seconds(2), [this] { return offline_sent; });
        }
        mosquitto_disconnect(mosq);
        mosquitto_loop_stop(mosq, false);
        mosquitto_destroy(mosq);
    }
};

Publisher::Publisher(const MqttOptions& options, uint32_t timeout_ms) : options_(options) {
    mosq_ = make_client(options_, this);
    if (mosq_ == nullptr) {
        throw ConnectionError("out of memory");
    }
    mosquitto_connect_callback_set(mosq_, &Publisher::on_connect);
    mosquitto_disconnect_callback_set(mosq_, &Publisher::on_disconnect);
    mosquitto_publish_callback_set(mosq_, &Publisher::on_publish);
    const int rc = mosquitto_connect(mosq_, options_.url.host.c_str(), options_.url.port, kKeepAliveS);
    if (rc != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(mosq_);
        throw ConnectionError(
            fmt::format("cannot connect to the MQTT broker {}: {}", broker_text(options_), error_text(rc)));
    }
    mosquitto_loop_start(mosq_);
    int connack = -1;
    {
        std::unique_lock lock(mu_);
        cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return connack_ >= 0; });
        connack = connack_;
    }
    if (connack != 0) {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, true);
        mosquitto_destroy(mosq_);
        throw ConnectionError(fmt::format("cannot connect to the MQTT broker {}: {}", broker_text(options_),
                                          connack < 0 ? "no answer in time" : mosquitto_connack_string(connack)));
    }
    worker_ = std::thread([this] { run(); });
}

Publisher::~Publisher() {
    {
        // What the watch put last goes out before the end, if the broker takes it soon.
        std::unique_lock lock(mu_);
        cv_.wait_for(lock, std::chrono::seconds(3),
                     [this] { return !connected_ || (dirty_.empty() && in_flight_ == 0); });
        stopping_ = true;
    }
    cv_.notify_all();
    worker_.join();
    statuses_.clear();
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
}

void Publisher::add_status(const std::string& topic) {
    auto status = std::make_unique<Status>();
    status->topic = topic;
    mosquitto* mosq = make_client(options_, status.get());
    if (mosq == nullptr) {
        throw ConnectionError("out of memory");
    }
    mosquitto_will_set(mosq, topic.c_str(), 7, "offline", 1, true);
    mosquitto_connect_callback_set(mosq, &Status::on_connect);
    const int rc = mosquitto_connect(mosq, options_.url.host.c_str(), options_.url.port, kKeepAliveS);
    if (rc != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(mosq);
        throw ConnectionError(
            fmt::format("cannot connect to the MQTT broker {}: {}", broker_text(options_), error_text(rc)));
    }
    status->mosq = mosq;
    mosquitto_loop_start(mosq);
    statuses_.push_back(std::move(status));
}

void Publisher::mark(const std::string& topic, Entry& entry) {
    if (!entry.queued) {
        entry.queued = true;
        dirty_.push_back(topic);
    }
}

void Publisher::put(const std::string& topic, std::string payload) {
    {
        std::lock_guard lock(mu_);
        Entry& entry = latest_[topic];
        entry.payload = std::move(payload);
        mark(topic, entry);
    }
    cv_.notify_all();
}

size_t Publisher::pending() const {
    std::lock_guard lock(mu_);
    return dirty_.size();
}

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
            // Whatever was in flight is either delivered or lost with the old connection; every
            // topic goes out again so that a restarted broker holds each newest value.
            p->in_flight_ = 0;
            for (auto& [topic, entry] : p->latest_) {
                p->mark(topic, entry);
            }
        }
    }
    p->cv_.notify_all();
}

void Publisher::on_disconnect(mosquitto*, void* self, int rc) {
    auto* p = static_cast<Publisher*>(self);
    {
        std::lock_guard lock(p->mu_);
        if (p->connected_ && !p->stopping_) {
            fmt::print(stderr, "MQTT broker {}: connection lost ({}); reconnecting\n", broker_text(p->options_),
                       error_text(rc));
        }
        p->connected_ = false;
    }
    p->cv_.notify_all();
}

void Publisher::on_publish(mosquitto*, void* self, int) {
    auto* p = static_cast<Publisher*>(self);
    {
        std::lock_guard lock(p->mu_);
        if (p->in_flight_ > 0) {
            --p->in_flight_;
        }
    }
    p->cv_.notify_all();
}

void Publisher::run() {
    std::vector<std::pair<std::string, std::string>> batch;
    std::unique_lock lock(mu_);
    for (;;) {
        cv_.wait(lock, [this] { return stopping_ || (connected_ && !dirty_.empty() && in_flight_ < kWindow); });
        if (stopping_) {
            return;
        }
        batch.clear();
        while (!dirty_.empty() && in_flight_ < kWindow) {
            Entry& entry = latest_[dirty_.front()];
            entry.queued = false;
            batch.emplace_back(std::move(dirty_.front()), entry.payload);
            dirty_.pop_front();
            ++in_flight_;
        }
        lock.unlock();
        std::vector<size_t> failed;
        for (size_t i = 0; i < batch.size(); ++i) {
            const auto& [topic, payload] = batch[i];
            if (mosquitto_publish(mosq_, nullptr, topic.c_str(), int(payload.size()), payload.data(), 1, true) !=
                MOSQ_ERR_SUCCESS) {
                failed.push_back(i);
            }
        }
        lock.lock();
        for (size_t i : failed) { // not taken (the connection went): sent again after the reconnect
            mark(batch[i].first, latest_[batch[i].first]);
            if (in_flight_ > 0) {
                --in_flight_;
            }
        }
    }
}

} // namespace cli
