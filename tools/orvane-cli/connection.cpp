// Addresses, the connection to the controller, and the identity command.
#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "cli.h"
#include "terminal_text.h"

#include "AddressText.h"

#include <mutex>
#include <set>

namespace cli {

namespace {

const char* vendor_name(uint16_t id) {
    return id == 1 ? "Rockwell Automation/Allen-Bradley" : "unknown vendor";
}

const char* device_type_name(uint16_t type) {
    switch (type) {
    case 0x0C:
        return "communications adapter";
    case 0x0E:
        return "programmable logic controller";
    default:
        return "unknown device type";
    }
}

// Every live Connection's client, so that a signal can cancel what they are doing.
std::mutex live_mutex;
std::set<zelkc_logix_client*> live_clients;
bool all_cancelled = false;

void track(zelkc_logix_client* client) {
    std::lock_guard<std::mutex> lock(live_mutex);
    live_clients.insert(client);
    if (all_cancelled) {
        zelkc_cip_client_cancel(client->cip);
    }
}

void untrack(zelkc_logix_client* client) {
    std::lock_guard<std::mutex> lock(live_mutex);
    live_clients.erase(client);
}

} // namespace

void cancel_connections() {
    std::lock_guard<std::mutex> lock(live_mutex);
    all_cancelled = true;
    for (zelkc_logix_client* client : live_clients) {
        zelkc_cip_client_cancel(client->cip);
    }
}

std::string Address::text() const {
    std::string s = fmt::format("{}:{}", host, port);
    return slot >= 0 ? fmt::format("{}/{}", s, slot) : s;
}

std::string parse_address(const std::string& text, Address* out) {
    ControllerAddress parsed;
    const std::string problem = parseControllerAddress(text, kDefaultPort, &parsed);
    if (!problem.empty()) {
        return problem;
    }
    Address a;
    a.host = parsed.host;
    a.port = parsed.port;
    a.slot = parsed.slot;
    *out = a;
    return {};
}

bool is_connection_failure(uint8_t result) {
    switch (result) {
    case ZELKC_LOGIX_ERR_NO_MEMORY:
    case ZELKC_LOGIX_ERR_CONNECT_FAILED:
    case ZELKC_LOGIX_ERR_TIMEOUT:
    case ZELKC_LOGIX_ERR_BAD_REPLY:
    case ZELKC_LOGIX_ERR_IO:
    case ZELKC_LOGIX_ERR_NOT_CONNECTED:
        return true;
    default:
        return false;
    }
}

Connection::Connection(const Address& address, uint32_t timeout_ms) : address_(address.text()) {
    client_ = zelkc_logix_client_create();
    if (client_ == nullptr) {
        throw ConnectionError("out of memory");
    }
    track(client_);
    uint8_t rc = ZELKC_LOGIX_OK;
    if (address.slot >= 0 && zelkc_cip_route_path_add_backplane_slot(&client_->route, uint8_t(address.slot)) !=
                                 ZELKC_CIP_OK) {
        rc = ZELKC_LOGIX_ERR_NO_MEMORY;
    }
    if (rc == ZELKC_LOGIX_OK) {
        rc = zelkc_logix_client_connect_mode(client_, address.host.c_str(), address.port, timeout_ms, address.mode);
    }
    if (rc != ZELKC_LOGIX_OK) {
        const std::string text = fmt::format("cannot connect to {}: {}", address_, reason(rc));
        untrack(client_);
        zelkc_logix_client_destroy(client_);
        client_ = nullptr;
        if (is_connection_failure(rc)) {
            throw ConnectionError(text);
        }
        throw NotFoundError(text);
    }
}

Connection::~Connection() {
    if (lanes_ != nullptr) {
        for (uint32_t i = 1; i < lanes_->count; ++i) {
            untrack(lanes_->clients[i]);
        }
        zelkc_logix_lanes_close(lanes_.get());
    }
    if (!owned_) {
        return;
    }
    if (client_ != nullptr) {
        untrack(client_);
    }
    zelkc_logix_client_destroy(client_);
}

zelkc_logix_lanes* Connection::lanes_for(uint32_t packets) const {
    if (lanes_ == nullptr && lanes_allowed_ > 1 && packets > 1) {
        const uint32_t count = lanes_allowed_;
        lanes_allowed_ = 1; // tried once per connection
        const_cast<Connection*>(this)->open_lanes(lane_address_, lane_timeout_ms_, count);
    }
    return lanes_ != nullptr && lanes_->count > 1 ? lanes_.get() : nullptr;
}

zelkc_logix_lanes* Connection::open_lanes(const Address& address, uint32_t timeout_ms, uint32_t count) {
    if (lanes_ == nullptr) {
        auto lanes = std::make_unique<zelkc_logix_lanes>();
        if (zelkc_logix_lanes_open(lanes.get(), client_, address.host.c_str(), address.port, timeout_ms, count) !=
            ZELKC_LOGIX_OK) {
            return nullptr; // one lane: the connection alone
        }
        lanes_ = std::move(lanes);
        for (uint32_t i = 1; i < lanes_->count; ++i) {
            track(lanes_->clients[i]);
        }
    }
    return lanes_.get();
}

std::string Connection::reason(uint8_t result) const {
    char text[256];
    zelkc_logix_failure_text(result, zelkc_logix_client_refusal(client_), text, sizeof text);
    return text;
}

void Connection::fail(const std::string& what, uint8_t result) const {
    const std::string text = fmt::format("{}: {} failed: {}", address_, what, reason(result));
    if (is_connection_failure(result)) {
        throw ConnectionError(text);
    }
    throw NotFoundError(text);
}

void Connection::refused(const std::string& what, const std::string& reason) const {
    throw NotFoundError(fmt::format("{}: {} failed: {}", address_, what, reason));
}

uint64_t Connection::requests() const {
    return client_->cip->sender_context;
}

int run_identity(const CommonOptions& common, bool json) {
    Connection connection(common.address, common.timeout_ms);
    const zelkc_cip_connection& c = connection.client()->cip->connection;
    if (c.size != 0) {
        // The identity came unconnected: one request over the connection tells whether it carries
        // requests (a device whose replies name another connection is left for unconnected messages).
        zelkc_cip_response reply{};
        const uint8_t rc = zelkc_logix_send_cip_internal(connection.client(), zelkc_cip_identity_object_request(), &reply);
        zelkc_cip_response_free(&reply);
        if (rc != ZELKC_LOGIX_OK) {
            connection.fail("reading the identity", rc);
        }
    }
    const zelkc_cip_identity& id = connection.client()->identity;
    const char* name = id.product_name != nullptr ? id.product_name : "";
    const uint32_t packet_size = zelkc_logix_client_packet_size(connection.client());
    const std::string mode = c.size != 0 ? fmt::format("class 3 connection of {} bytes", c.size)
                             : c.replies_name_other != 0
                                 ? "unconnected messaging (the class 3 connection's replies named another connection)"
                                 : "unconnected messaging";
    if (json) {
        const nlohmann::ordered_json doc = {
            {"vendor_id", id.vendor_id},
            {"vendor", vendor_name(id.vendor_id)},
            {"device_type", id.device_type},
            {"device_type_name", device_type_name(id.device_type)},
            {"product_code", id.product_code},
            {"revision", {{"major", id.revision_major}, {"minor", id.revision_minor}}},
            {"serial_number", id.serial_number},
            {"product_name", name},
            {"packet_size", packet_size},
            {"connection", c.size == 0 ? "unconnected" : "connected"},
        };
        fmt::print("{}\n", doc.dump(2));
        return kExitOk;
    }
    fmt::print("vendor          {} ({})\n", id.vendor_id, vendor_name(id.vendor_id));
    fmt::print("device type     {} ({})\n", id.device_type, device_type_name(id.device_type));
    fmt::print("product code    {}\n", id.product_code);
    fmt::print("revision        {}.{}\n", id.revision_major, id.revision_minor);
    fmt::print("serial number   0x{:08X}\n", id.serial_number);
    fmt::print("product name    {}\n", terminal_safe(name));
    fmt::print("packet size     {} bytes\n", packet_size);
    fmt::print("connection      {}\n", mode);
    return kExitOk;
}

} // namespace cli
