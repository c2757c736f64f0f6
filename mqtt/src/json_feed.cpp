// The JSON payload form: PREFIX/CONTROLLER/TAG topics through the Publisher's latest-value map.
#include <string>
#include <vector>

#include "orvane_mqtt.h"

namespace mqtt {

namespace {

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
void value_members(std::string& out, const Reading& v) {
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

class JsonFeed : public Feed {
public:
    JsonFeed(Publisher& publisher, std::string base) : publisher_(publisher), base_(std::move(base)) {}

    void online(const std::vector<std::string>& paths) override {
        if (paths_ == paths) {
            return; // back after a loss: the next read publishes what changed
        }
        paths_ = paths;
        last_.assign(paths.size(), Last{});
        for (size_t i = 0; i < paths.size(); ++i) {
            last_[i].topic = publisher_.topic(base_ + paths[i]);
        }
    }

    void values(const std::vector<Reading>& values, std::chrono::system_clock::time_point when,
                bool full) override {
        const std::string time = iso_time(when);
        std::vector<std::pair<uint32_t, std::string>> changed;
        changed.reserve(values.size());
        for (size_t i = 0; i < values.size() && i < last_.size(); ++i) {
            const Reading& v = values[i];
            Last& last = last_[i];
            value_members(members_, v);
            const char* quality = v.ok ? "good" : "error";
            const std::string& error = v.ok ? std::string() : v.reason;
            const bool same =
                last.published && last.value == members_ && last.quality == quality && last.error == error;
            last.value.swap(members_);
            last.quality = quality;
            last.error = error;
            last.time = time;
            if (full || !same) {
                changed.emplace_back(last.topic, payload(last));
                last.published = true;
            }
        }
        publisher_.put(std::move(changed));
    }

    // Every value last read good is published again as stale, with why.
    void lost(const std::string& why) override {
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

private:
    Publisher& publisher_;
    const std::string base_;
    std::vector<std::string> paths_;
    std::vector<Last> last_; // one per paths_, in its order
    std::string members_;    // a tag's value members, built here, then swapped into its Last
};

class JsonBridge : public Bridge {
public:
    JsonBridge(Publisher& publisher, std::string prefix)
        : publisher_(publisher), prefix_(std::move(prefix)) {}

    std::unique_ptr<Feed> feed(const std::string& controller) override {
        publisher_.add_status(prefix_ + "/" + controller + "/$status");
        return std::make_unique<JsonFeed>(publisher_, prefix_ + "/" + controller + "/");
    }

private:
    Publisher& publisher_;
    const std::string prefix_;
};

} // namespace

std::unique_ptr<Bridge> make_json_bridge(Publisher& publisher, const std::string& prefix) {
    return std::make_unique<JsonBridge>(publisher, prefix);
}

} // namespace mqtt
