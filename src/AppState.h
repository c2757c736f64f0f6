// The process-wide holder of the one controller connection.
//
// AppState owns the single zelkc_logix_client for the whole run and serialises every use of
// it with one mutex, held for the whole of connect, disconnect and callPlc (network time
// included), so controller exchanges never overlap. Whether the connection is up, and a
// revision raised by every connect and disconnect, are atomics the UI thread polls lock-free.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include <zelkc_logix.h>

class AppState {
public:
    // The one instance, constructed on first call; destroyed at process exit, which closes
    // an open session through zelkc_logix_client_destroy.
    static AppState* getInstance();

    // Separate instances exist only in tests; the application uses getInstance().
    // Throws std::bad_alloc when the client cannot be allocated.
    AppState();
    ~AppState();
    AppState(const AppState&) = delete;
    AppState& operator=(const AppState&) = delete;

    // How later connects carry their requests: ZELKC_LOGIX_MODE_AUTO (the default: a class 3
    // connection of 4002, else 504 bytes, else unconnected messaging) or
    // ZELKC_LOGIX_MODE_UNCONNECTED. Set it before connecting.
    void setConnectionMode(uint8_t mode) { connectionMode.store(mode); }

    // Connects to the controller at host (IP address text) and TCP port, with a 10 s
    // time-out per wait, in the connection mode set. Returns the zelkc_logix result code (0: connected). The
    // status is false and the revision already raised for the whole attempt; on success plcType() holds the
    // controller's product name before the status turns true, on failure it is empty.
    uint8_t connect(const std::string& host, unsigned short port);

    // Closes the connection; raises the revision. Never fails.
    void disconnect();

    // Runs fn with the client under the lock, whatever the connection state (the library's
    // calls report a closed connection through their result codes). Exceptions from fn, and
    // std::bad_function_call for an empty fn, reach the caller with the lock released.
    // fn must not call connect, disconnect or callPlc.
    void callPlc(const std::function<void(zelkc_logix_client*)>& fn);

    bool getStatus() const { return connected.load(); }
    uint64_t connectionRevision() const { return revision.load(); }
    // Read it only after getStatus() has turned true: it is written inside connect, before
    // the status is.
    const std::string& plcType() const { return plcTypeText; }

private:
    std::string plcTypeText;
    std::atomic<bool> connected{false};
    std::atomic<uint64_t> revision{0};
    std::atomic<uint8_t> connectionMode{ZELKC_LOGIX_MODE_AUTO};
    zelkc_logix_client* client = nullptr;
    std::mutex mutex;
};
