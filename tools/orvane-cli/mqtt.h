// orvane-cli: the MQTT side of `watch --mqtt`. Values reach the broker through one latest-value map:
// the watch threads put the newest payload of each topic, one publisher thread sends what changed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

struct mosquitto;

namespace cli {

// mqtt://HOST[:PORT]/PREFIX (port 1883) or mqtts://HOST[:PORT]/PREFIX (TLS, port 8883).
struct MqttUrl {
    std::string host;
    int port = 1883;
    std::string prefix; // one or more topic levels, no wildcards
    bool tls = false;
};

// Parses `text` into `out`; returns what is wrong with it, or the empty string.
std::string parse_mqtt_url(const std::string& text, MqttUrl* out);

// Whether `text` may stand as one topic level (a controller's name): not empty, no '/', '+' or '#'.
bool is_topic_level(const std::string& text);

struct MqttOptions {
    MqttUrl url;
    std::string cafile; // a CA file to check the broker's certificate against (turns TLS on)
    std::string user;   // user name; the password comes from ORVANE_MQTT_PASSWORD
    std::string password;
    bool on_change = false;    // publish a value only when it changed...
    uint32_t heartbeat_s = 60; // ...and every value once per this many seconds
};

// One broker connection for every value (retained, QoS 1), and one small connection per controller
// that carries its `$status` topic: MQTT gives a connection a single last will, so each controller's
// "offline" will needs its own. One worker thread serves them all in one poll() and reconnects each
// on its own schedule.
class Publisher {
public:
    // Connects and waits up to timeout_ms for the broker's answer; throws ConnectionError naming the
    // broker and why when it is not there or refuses the connection.
    Publisher(const MqttOptions& options, uint32_t timeout_ms);
    // Sends what is still pending and publishes "offline" on every status topic (1.5 s at most in
    // all, whatever the broker does), then disconnects.
    ~Publisher();
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    // A status topic: "online" (retained) on each connect, "offline" as its last will and at the end.
    // Throws ConnectionError when its connection cannot be made. Safe while the worker runs.
    void add_status(const std::string& topic);
    // The number that stands for `topic` in put(); the same topic always gets the same number.
    uint32_t topic(const std::string& topic);
    // Makes each payload the value of its topic (a number from topic()), replacing one not yet
    // sent. While the broker is away only the newest payload of each topic is kept; every topic is
    // sent again once it is back (a broker that restarted has lost its retained values). One call
    // per cycle wakes the publisher once.
    void put(std::vector<std::pair<uint32_t, std::string>> values);
    // Topics whose newest payload is not sent yet (at most the number of topics).
    size_t pending() const;

private:
    struct Entry {
        const std::string* topic = nullptr; // the key in numbers_ (its nodes never move)
        std::string payload;                // empty before the first put()
        bool queued = false;                // in dirty_
    };
    struct Status;
    static void on_connect(mosquitto*, void* self, int rc);
    static void on_disconnect(mosquitto*, void* self, int rc);
    static void on_publish(mosquitto*, void* self, int mid);
    static void on_log(mosquitto*, void* self, int level, const char* text);
    std::string tls_reason(const std::string& fallback) const;
    void run();
    void stop(); // ends the worker, the status connections and the client
    void wake(); // ends the worker's wait
    bool stopping() const;
    void mark(uint32_t id); // mu_ held

    MqttOptions options_;
    mosquitto* mosq_ = nullptr;
    std::vector<std::unique_ptr<Status>> statuses_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Entry> entries_; // by topic number
    std::unordered_map<std::string, uint32_t> numbers_;
    std::deque<uint32_t> dirty_; // topics whose newest payload is not sent yet, oldest first
    int connack_ = -1;           // the first connection's answer, -1 before it comes
    bool connected_ = false;
    bool stopping_ = false;
    uint32_t in_flight_ = 0; // published, PUBACK not yet seen
    uint32_t attempt_ = 0;   // reconnect attempts since the connection was lost
    std::chrono::steady_clock::time_point retry_at_{};
    int wake_ = -1; // eventfd: put() and stop() end the worker's poll
    std::string tls_error_; // the newest TLS failure libmosquitto logged
    std::thread worker_;
};

} // namespace cli
