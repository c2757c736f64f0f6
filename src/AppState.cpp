#include "AppState.h"

#include <new>

namespace {
constexpr uint32_t kConnectTimeoutMs = 10000;
}

AppState* AppState::getInstance() {
    static AppState instance;
    return &instance;
}

AppState::AppState() : client(zelkc_logix_client_create()) {
    if (client == nullptr) {
        throw std::bad_alloc();
    }
}

AppState::~AppState() {
    zelkc_logix_client_destroy(client);
}

uint8_t AppState::connect(const std::string& host, unsigned short port) {
    std::lock_guard<std::mutex> lock(mutex);
    connected.store(false);
    revision.fetch_add(1);
    const uint8_t result =
        zelkc_logix_client_connect_mode(client, host.c_str(), port, kConnectTimeoutMs, connectionMode.load());
    if (result != 0) {
        plcTypeText.clear();
    } else {
        const char* name = zelkc_logix_client_plc_type(client);
        plcTypeText = name != nullptr ? name : "";
    }
    // After plcTypeText: a reader that sees true also sees the new name.
    connected.store(result == 0);
    return result;
}

void AppState::disconnect() {
    std::lock_guard<std::mutex> lock(mutex);
    connected.store(false);
    revision.fetch_add(1);
    zelkc_logix_client_disconnect(client);
}

void AppState::callPlc(const std::function<void(zelkc_logix_client*)>& fn) {
    std::lock_guard<std::mutex> lock(mutex);
    fn(client);
}
