// `watch --mqtt` where the MQTT engine is not built (the Windows build): the options are still
// known, and --mqtt (or --sparkplug) says at once that this build does not have it.
#include "cli.h"

namespace {
const char kUnavailable[] = "MQTT publishing is not part of this Windows build (see the README's platform table)";
} // namespace

namespace mqtt {

std::string parse_mqtt_url(const std::string&, MqttUrl*, bool) {
    return kUnavailable;
}

std::string parse_sparkplug_id(const std::string&, SparkplugOptions*) {
    return kUnavailable;
}

bool is_topic_level(const std::string& text) {
    return !text.empty() && text.find_first_of("/+#") == std::string::npos;
}

} // namespace mqtt

namespace cli {

std::string default_controller_name(const Address& address) {
    return address.host;
}

std::string load_plant(const std::string&, uint32_t, std::vector<ControllerSpec>*) {
    return "watch --config needs --mqtt, which this Windows build does not have";
}

int run_mqtt_watch(const CommonOptions&, const std::vector<ControllerSpec>&, const WatchOptions&,
                   const mqtt::MqttOptions&, const mqtt::SparkplugOptions*) {
    return kExitUsage;
}

} // namespace cli
