// `watch --mqtt` where the MQTT client library is not built (the Windows build): the option is
// still known, and says at once that this build does not have it.
#include "cli.h"
#include "mqtt.h"

namespace cli {

std::string parse_mqtt_url(const std::string&, MqttUrl*) {
    return "MQTT publishing is not part of this Windows build (see the README's platform table)";
}

bool is_topic_level(const std::string& text) {
    return !text.empty() && text.find_first_of("/+#") == std::string::npos;
}

std::string default_controller_name(const Address& address) {
    return address.host;
}

std::string load_plant(const std::string&, uint32_t, std::vector<ControllerSpec>*) {
    return "watch --config needs --mqtt, which this Windows build does not have";
}

int run_mqtt_watch(const CommonOptions&, const std::vector<ControllerSpec>&, const WatchOptions&,
                   const MqttOptions&) {
    return kExitUsage;
}

} // namespace cli
