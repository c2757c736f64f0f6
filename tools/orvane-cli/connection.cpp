// Addresses, the connection to the controller, and the identity command.
#include <fmt/format.h>

#include <charconv>
#include <nlohmann/json.hpp>

#include "cli.h"

namespace cli {

namespace {

// A decimal number in [min, max] making up all of `text`.
bool parse_number(std::string_view text, uint32_t min, uint32_t max, uint32_t* out) {
    uint32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max) {
        return false;
    }
    *out = value;
    return true;
}

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

} // namespace

std::string Address::text() const {
    std::string s = fmt::format("{}:{}", host, port);
    return slot >= 0 ? fmt::format("{}/{}", s, slot) : s;
}

std::string parse_address(const std::string& text, Address* out) {
    Address a;
    std::string_view rest = text;
    const size_t slash = rest.find('/');
    if (slash != std::string_view::npos) {
        uint32_t slot = 0;
        if (!parse_number(rest.substr(slash + 1), 0, 255, &slot)) {
            return fmt::format("'{}': the slot after '/' must be a number from 0 to 255", text);
        }
        a.slot = int(slot);
        rest = rest.substr(0, slash);
    }
    const size_t colon = rest.find(':');
    if (colon != std::string_view::npos) {
        if (!parse_number(rest.substr(colon + 1), 1, 65535, &a.port)) {
            return fmt::format("'{}': the port after ':' must be a number from 1 to 65535", text);
        }
        rest = rest.substr(0, colon);
    }
    if (rest.empty()) {
        return fmt::format("'{}': the address needs a host name or IP address", text);
    }
    a.host = std::string(rest);
    *out = a;
    return {};
}

Connection::Connection(const Address& address, uint32_t timeout_ms) : address_(address.text()) {
    client_ = zelkc_logix_client_create();
    if (client_ == nullptr) {
        throw ConnectionError("out of memory");
    }
    const uint8_t rc =
        address.slot >= 0
            ? zelkc_logix_client_connect_to_slot(client_, address.host.c_str(), address.port, timeout_ms,
                                                 uint8_t(address.slot))
            : zelkc_logix_client_connect(client_, address.host.c_str(), address.port, timeout_ms);
    if (rc != ZELKC_LOGIX_OK) {
        zelkc_logix_client_destroy(client_);
        client_ = nullptr;
        throw ConnectionError(fmt::format("cannot connect to {}: {}", address_, zelkc_logix_result_text(rc)));
    }
}

Connection::~Connection() {
    zelkc_logix_client_destroy(client_);
}

void Connection::fail(const std::string& what, uint8_t result) const {
    throw ConnectionError(fmt::format("{}: {} failed: {}", address_, what, zelkc_logix_result_text(result)));
}

uint64_t Connection::requests() const {
    return client_->cip->sender_context;
}

int run_identity(const CommonOptions& common, bool json) {
    Connection connection(common.address, common.timeout_ms);
    const zelkc_cip_identity& id = connection.client()->identity;
    const char* name = id.product_name != nullptr ? id.product_name : "";
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
        };
        fmt::print("{}\n", doc.dump(2));
        return kExitOk;
    }
    fmt::print("vendor          {} ({})\n", id.vendor_id, vendor_name(id.vendor_id));
    fmt::print("device type     {} ({})\n", id.device_type, device_type_name(id.device_type));
    fmt::print("product code    {}\n", id.product_code);
    fmt::print("revision        {}.{}\n", id.revision_major, id.revision_minor);
    fmt::print("serial number   0x{:08X}\n", id.serial_number);
    fmt::print("product name    {}\n", name);
    return kExitOk;
}

} // namespace cli
