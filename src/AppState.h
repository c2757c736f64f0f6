// The process-wide holder of the controller connection and of its state machine.
//
// A connection lives in a Link: one zelkc_logix_client with its own mutex, held for the whole of each
// exchange on it. AppState keeps the current link and the connection's state behind a second, short
// lock that is never held across the network, so the UI thread can read a snapshot, disconnect or
// cancel in the frame it is asked without ever waiting for an exchange. A link that is replaced (a
// disconnect, a new connect, a loss) is closed on the executor once the exchange still running on it
// (if any) has ended; that exchange's results are dropped by the connection revision.
//
// States: disconnected (by the user, or a failed connect) -> connecting -> connected; connected ->
// lost (an exchange found the connection gone) -> reconnecting -> connected or lost again, with the
// next automatic attempt after 0.5, 1, 2, 4 s and then every 5 s, until the user disconnects.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <zelkc_logix.h>

#include "Reconnect.h"

enum class LinkState : uint8_t { Disconnected, Connecting, Connected, Lost, Reconnecting };

// What the views show of the connection, copied out under the short lock.
struct LinkSnapshot {
    LinkState state = LinkState::Disconnected;
    std::string host;          // the address of the current or last attempt
    uint16_t port = 0;
    std::string reason;        // why the last attempt failed or the connection was lost; else empty
    uint8_t result = 0;        // the zelkc_logix result behind `reason`
    std::string refusal;       // a failed connect the device refused with a CIP status: that status's
                               // plain reason ("no device at that address or backplane slot"); else empty
    int64_t nextAttemptNs = 0; // lost: when the next automatic attempt starts (the state's clock)
    uint64_t revision = 0;
    // Changes with every connect the user asks for and with a reconnect that finds another
    // controller (another Identity); a reconnect to the same controller keeps it.
    uint64_t controllerEpoch = 0;
    std::string plcType;  // product name of the last controller connected, kept after a loss
    std::string lastHost; // where that controller was reached
    uint16_t lastPort = 0;
    int slot = -1;     // the backplane slot of the current or last attempt; -1: none
    int lastSlot = -1; // the slot the last controller was reached at
    // The Identity of the last controller connected (kept after a loss): what tells controllers apart.
    uint16_t vendorId = 0;
    uint16_t productCode = 0;
    uint32_t serialNumber = 0;
    // Lost again right after a reconnect (before the link held): the waits grow up to 30 s.
    bool flapping = false;
};


// The failure of a connect or an exchange in plain words, naming the address where it helps.
std::string describeFailure(uint8_t result, const std::string& host, uint16_t port);
// Whether a result means the connection itself is gone, not that one request was refused.
bool connectionGone(uint8_t result);
// The same in a few words, for the connection bar's narrow second line.
const char* shortFailure(uint8_t result);

class AppState {
public:
    using Clock = int64_t (*)(); // nanoseconds, monotonic
    using Executor = std::function<void(std::function<void()>)>;

    // The one instance, constructed on first call.
    static AppState* getInstance();

    // Separate instances exist only in tests; the application uses getInstance(). Without an executor
    // background work (closing replaced links, reconnects, keep-alives) runs on a new thread each.
    // Throws std::bad_alloc when the client cannot be allocated.
    explicit AppState(Executor executor = {}, Clock clock = nullptr);
    // Closes the current link; waits for background work started by this state to end.
    ~AppState();
    AppState(const AppState&) = delete;
    AppState& operator=(const AppState&) = delete;

    // How later connects carry their requests (ZELKC_LOGIX_MODE_AUTO by default). Set it before connecting.
    void setConnectionMode(uint8_t mode) { connectionMode.store(mode); }
    // The wait for each reply (10 s by default); also bounds how long a silent controller goes unnoticed.
    void setTimeoutMs(uint32_t ms) { timeoutMs.store(ms); }
    // How many connections to the controller an exchange over lanes may use (1..8, 4 by default);
    // the controller may grant fewer. Takes effect with the next connect.
    void setLanes(uint32_t count) { lanesWanted.store(count < 1 ? 1 : count > ZELKC_LOGIX_MAX_LANES ? ZELKC_LOGIX_MAX_LANES : count); }

    // A connect the user asked for: the state turns connecting and the revision moves before this
    // returns; the attempt then runs here, blocking. Returns the zelkc_logix result (0: connected).
    // A disconnect or another connect meanwhile makes the attempt's outcome count for nothing.
    // With a slot (0-255), the requests are routed through the module at `host` to the controller in
    // that backplane slot.
    uint8_t connect(const std::string& host, unsigned short port, int slot = -1);
    // The same attempt run on the executor; `done` (optional) gets its result there.
    void connectAsync(const std::string& host, unsigned short port, std::function<void(uint8_t)> done = {},
                      int slot = -1);
    // The user's disconnect, also a cancel of an attempt under way: never waits for the network.
    // Stops automatic reconnects.
    void disconnect();
    // The end of the application: disconnects as above, and cancels every exchange still running on
    // any link of this state (the current one, attempts, links being closed) so that each ends at
    // once and nothing more goes out. Safe from any thread; later connects start afresh.
    void shutdown();
    // Lost: starts the next automatic attempt now instead of at the end of the countdown.
    void reconnectNow();

    // Once a frame: starts a due automatic reconnect, and a keep-alive exchange when the connection
    // carried nothing for keepAliveNs.
    void supervise();

    // Runs fn with the current link's client under that link's lock, whatever the state. When the
    // connection was up and fn leaves the client disconnected, the connection counts as lost.
    // Exceptions from fn reach the caller with the lock released. fn must not call back into AppState.
    void callPlc(const std::function<void(zelkc_logix_client*)>& fn);
    // The supervised exchange: runs fn (which returns the zelkc_logix result of its exchanges) only if
    // the connection is up under `revision`; otherwise returns ZELKC_LOGIX_ERR_NOT_CONNECTED. When fn
    // finds the connection gone but not silent (dropped, or the controller forgot our connection), the
    // link reconnects once to the same controller and fn runs again before anything is reported; a
    // failure after that makes the connection lost, with the reason kept. A disconnect or connect
    // while fn runs cancels its exchange: fn's result is then ZELKC_LOGIX_ERR_CANCELLED.
    // With Repeat::Never fn runs at most once: a connection found gone after it is not reopened here
    // but counts as lost at once (a write must never be sent twice; the supervision reconnects).
    enum class Repeat { AfterQuietReconnect, Never };
    uint8_t exchange(const std::function<uint8_t(zelkc_logix_client*)>& fn, uint64_t revision,
                     Repeat repeat = Repeat::AfterQuietReconnect);
    // The same supervised exchange over the connection's lanes: fn gets the lane set, the link's
    // client first and up to the lanes setting's more connections to the same controller, opened on
    // the first such exchange of each connection (those the controller refuses are left out). The
    // lanes live and end with the connection, and a disconnect cancels them with it.
    uint8_t exchangeLanes(const std::function<uint8_t(zelkc_logix_lanes*)>& fn, uint64_t revision);

    LinkSnapshot snapshot() const;
    bool getStatus() const { return connected.load(); }
    uint64_t connectionRevision() const { return revision.load(); }
    // Read it only after getStatus() has turned true.
    const std::string& plcType() const { return plcTypeText; }
    int64_t now() const { return clock(); }

    static constexpr uint32_t defaultTimeoutMs = 10000;
    static constexpr int64_t keepAliveNs = 30'000'000'000;

private:
    struct Link;
    enum class Attempt { User, Automatic };

    uint8_t exchangeOn(const std::function<uint8_t(Link&)>& fn, uint64_t revision, Repeat repeat);
    uint64_t beginAttempt(const std::string& host, uint16_t port, int slot, Attempt kind);
    uint8_t runAttempt(uint64_t attemptRevision, Attempt kind);
    // Under `mutex`: the connection up under `at` on link `from` turns lost, for `result`.
    void loseLocked(const std::shared_ptr<Link>& from, uint64_t at, uint8_t result);
    void replaceLinkLocked(std::shared_ptr<Link> next);
    void closeInBackground(std::shared_ptr<Link> old);
    // Under `mutex`: remembers a link that is not current but may still run an exchange (an attempt,
    // a link being closed), so that shutdown() can cancel it.
    void trackLocked(const std::shared_ptr<Link>& other);
    void background(std::function<void()> task);
    std::shared_ptr<Link> newLink();

    Executor executor;
    Clock clock;
    std::string plcTypeText;
    std::atomic<bool> connected{false};
    std::atomic<uint64_t> revision{0};
    std::atomic<uint8_t> connectionMode{ZELKC_LOGIX_MODE_AUTO};
    std::atomic<uint32_t> timeoutMs{defaultTimeoutMs};
    std::atomic<uint32_t> lanesWanted{4};
    std::atomic<int64_t> lastTrafficNs{0};

    mutable std::mutex mutex; // guards everything below; never held across an exchange
    std::shared_ptr<Link> link;
    LinkSnapshot shown;
    bool userWantsLink = false;
    bool attemptRunning = false;
    bool keepAliveRunning = false;
    bool shuttingDown = false;
    std::vector<std::weak_ptr<Link>> others; // see trackLocked
    ReconnectBackoff backoff; // when the next automatic attempt starts
    zelkc_cip_identity known{}; // the controller last connected (product name not kept here)

    // Background tasks of this state still to finish (the destructor waits for them).
    std::mutex tasksMutex;
    std::condition_variable tasksDone;
    int tasksRunning = 0;
};
