#include "AppState.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <new>
#include <thread>
#include <utility>

#include <fmt/format.h>


namespace {

int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool sameController(const zelkc_cip_identity& a, const zelkc_cip_identity& b) {
    return a.vendor_id == b.vendor_id && a.device_type == b.device_type && a.product_code == b.product_code &&
           a.serial_number == b.serial_number;
}

} // namespace

std::string describeFailure(uint8_t result, const std::string& host, uint16_t port) {
    switch (result) {
    case ZELKC_LOGIX_ERR_CONNECT_FAILED:
        return fmt::format("nothing listening at {}:{}", host, port);
    case ZELKC_LOGIX_ERR_TIMEOUT:
        return "no answer within the time-out";
    case ZELKC_LOGIX_ERR_SESSION_REFUSED:
        return "session refused";
    case ZELKC_LOGIX_ERR_DEVICE:
        return "not a Logix controller (Identity refused)";
    case ZELKC_LOGIX_ERR_IO:
    case ZELKC_LOGIX_ERR_NOT_CONNECTED:
        return "connection dropped by the controller";
    default:
        return zelkc_logix_result_text(result);
    }
}

bool connectionGone(uint8_t result) {
    return result == ZELKC_LOGIX_ERR_IO || result == ZELKC_LOGIX_ERR_TIMEOUT ||
           result == ZELKC_LOGIX_ERR_NOT_CONNECTED;
}

const char* shortFailure(uint8_t result) {
    switch (result) {
    case ZELKC_LOGIX_ERR_CONNECT_FAILED:
        return "nothing listening";
    case ZELKC_LOGIX_ERR_TIMEOUT:
        return "no answer";
    case ZELKC_LOGIX_ERR_SESSION_REFUSED:
        return "session refused";
    case ZELKC_LOGIX_ERR_DEVICE:
        return "not a Logix controller";
    case ZELKC_LOGIX_ERR_IO:
    case ZELKC_LOGIX_ERR_NOT_CONNECTED:
        return "dropped";
    default:
        return "bad reply";
    }
}

struct AppState::Link {
    zelkc_logix_client* client = nullptr;
    std::mutex mutex; // held for each exchange on the client
    // More connections to the controller, opened by the first exchange over lanes; used only by the
    // holder of `mutex`. `lanesMutex` guards what a cancel from another thread reads of them.
    zelkc_logix_lanes lanes{};
    bool lanesTried = false;
    std::mutex lanesMutex;
    std::string host;
    uint16_t port = 0;
    int slot = -1;
    uint8_t mode = ZELKC_LOGIX_MODE_AUTO;
    uint32_t timeoutMs = defaultTimeoutMs;
    Link() : client(zelkc_logix_client_create()) {
        if (client == nullptr) {
            throw std::bad_alloc();
        }
    }
    ~Link() {
        closeLanes();
        zelkc_logix_client_destroy(client);
    }
    // Ends whatever runs on the client and its lanes at once (see zelkc_cip_client_cancel).
    void cancel() {
        zelkc_cip_client_cancel(client->cip);
        std::lock_guard<std::mutex> lock(lanesMutex);
        for (uint32_t i = 1; i < lanes.count; ++i) {
            zelkc_cip_client_cancel(lanes.clients[i]->cip);
        }
    }
    // Under `mutex`: the lane set, opened on first use with up to `wanted` lanes.
    zelkc_logix_lanes* openLanes(uint32_t wanted) {
        if (!lanesTried && wanted > 1 && zelkc_logix_client_is_connected(client)) {
            lanesTried = true;
            zelkc_logix_lanes opened;
            if (zelkc_logix_lanes_open(&opened, client, host.c_str(), port, timeoutMs, wanted) == ZELKC_LOGIX_OK) {
                std::lock_guard<std::mutex> lock(lanesMutex);
                lanes = opened;
            }
        }
        if (lanes.count == 0) { // one lane: the client alone
            std::lock_guard<std::mutex> lock(lanesMutex);
            lanes = zelkc_logix_lanes{};
            lanes.clients[0] = client;
            lanes.count = 1;
        }
        return &lanes;
    }
    // Under `mutex`: closes the extra lanes (the client stays).
    void closeLanes() {
        zelkc_logix_lanes closing;
        {
            std::lock_guard<std::mutex> lock(lanesMutex);
            closing = lanes;
            lanes = zelkc_logix_lanes{};
        }
        if (closing.host != nullptr) {
            zelkc_logix_lanes_close(&closing);
        }
    }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
};

AppState* AppState::getInstance() {
    // Attempts, closes and keep-alives run on threads of their own, so that an exchange stalled on
    // the thread pool never delays a connect or a cancel.
    static AppState instance;
    return &instance;
}

AppState::AppState(Executor executorFn, Clock clockFn)
    : executor(std::move(executorFn)), clock(clockFn != nullptr ? clockFn : steadyNs), link(newLink()) {}

AppState::~AppState() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        userWantsLink = false;
    }
    std::unique_lock<std::mutex> lock(tasksMutex);
    tasksDone.wait(lock, [this] { return tasksRunning == 0; });
    lock.unlock();
    zelkc_cip_identity_object_free(&known);
    // The current link closes with its last owner, here.
}

std::shared_ptr<AppState::Link> AppState::newLink() {
    return std::make_shared<Link>();
}

void AppState::background(std::function<void()> task) {
    // Counted until the task has run or was destroyed unrun (a stopped pool drops queued tasks).
    struct Ticket {
        AppState* state;
        explicit Ticket(AppState* s) : state(s) {
            std::lock_guard<std::mutex> lock(state->tasksMutex);
            ++state->tasksRunning;
        }
        ~Ticket() {
            std::lock_guard<std::mutex> lock(state->tasksMutex);
            if (--state->tasksRunning == 0) {
                state->tasksDone.notify_all();
            }
        }
    };
    auto ticket = std::make_shared<Ticket>(this);
    auto run = [ticket, task = std::move(task)]() mutable {
        try {
            task();
        } catch (...) {
        }
        task = nullptr;
    };
    try {
        if (executor) {
            executor(run);
        } else {
            std::thread(run).detach();
        }
    } catch (const std::exception&) {
        run(); // no executor left (the pool stopped at exit): finish here
    }
}

namespace {

// Ends the exchange running on `link`'s client, if one is (its lock is held), at once: the user no
// longer wants its result. An idle link is left alone, so that closing it still says goodbye to the
// controller (Forward Close, UnRegisterSession).
template <typename Link> void cancelIfBusy(Link& link) {
    if (link.mutex.try_lock()) {
        link.mutex.unlock();
    } else {
        link.cancel();
    }
}

} // namespace

void AppState::trackLocked(const std::shared_ptr<Link>& other) {
    std::erase_if(others, [](const std::weak_ptr<Link>& w) { return w.expired(); });
    others.push_back(other);
    if (shuttingDown) {
        other->cancel();
    }
}

void AppState::shutdown() {
    disconnect();
    std::lock_guard<std::mutex> lock(mutex);
    shuttingDown = true;
    link->cancel();
    for (const std::weak_ptr<Link>& w : others) {
        if (std::shared_ptr<Link> other = w.lock()) {
            other->cancel();
        }
    }
}

void AppState::closeInBackground(std::shared_ptr<Link> old) {
    // Closing sends a Forward Close and waits for its reply, after any exchange still running on the
    // link: never on the caller's thread. A running exchange is cancelled first, so the close waits
    // for nothing on the network.
    cancelIfBusy(*old);
    trackLocked(old);
    background([old = std::move(old)] {
        std::lock_guard<std::mutex> lock(old->mutex);
        old->closeLanes();
        zelkc_logix_client_disconnect(old->client);
    });
}

void AppState::replaceLinkLocked(std::shared_ptr<Link> next) {
    std::shared_ptr<Link> old = std::move(link);
    link = std::move(next);
    if (old) {
        closeInBackground(std::move(old));
    }
}

uint64_t AppState::beginAttempt(const std::string& host, uint16_t port, int slot, Attempt kind) {
    std::shared_ptr<Link> idle = newLink();
    std::lock_guard<std::mutex> lock(mutex);
    connected.store(false);
    const uint64_t at = revision.fetch_add(1) + 1;
    shown.revision = at;
    shown.state = kind == Attempt::User ? LinkState::Connecting : LinkState::Reconnecting;
    if (kind == Attempt::User) {
        shown.reason.clear();
        shown.refusal.clear();
        shown.host = host;
        shown.port = port;
        shown.slot = slot;
        backoff.reset();
        shown.flapping = false;
    }
    userWantsLink = true;
    attemptRunning = true;
    shuttingDown = false; // a connect after shutdown() starts afresh
    replaceLinkLocked(std::move(idle));
    return at;
}

uint8_t AppState::runAttempt(uint64_t at, Attempt kind) {
    std::shared_ptr<Link> next;
    std::string host;
    uint16_t port = 0;
    int slot = -1;
    {
        std::lock_guard<std::mutex> lock(mutex);
        host = shown.host;
        port = shown.port;
        slot = shown.slot;
    }
    uint8_t result = ZELKC_LOGIX_ERR_NO_MEMORY;
    try {
        next = newLink();
        {
            std::lock_guard<std::mutex> lock(mutex);
            trackLocked(next);
        }
        next->host = host;
        next->port = port;
        next->slot = slot;
        next->mode = connectionMode.load();
        next->timeoutMs = timeoutMs.load();
        std::lock_guard<std::mutex> linkLock(next->mutex);
        // The route stays with the client: a quiet reopen later goes to the same slot.
        if (slot >= 0 &&
            zelkc_cip_route_path_add_backplane_slot(&next->client->route, static_cast<uint8_t>(slot)) != ZELKC_CIP_OK) {
            result = ZELKC_LOGIX_ERR_NO_MEMORY;
        } else {
            result = zelkc_logix_client_connect_mode(next->client, host.c_str(), port, next->timeoutMs, next->mode);
        }
    } catch (const std::bad_alloc&) {
        next.reset();
    }

    std::lock_guard<std::mutex> lock(mutex);
    if (revision.load() != at) {
        // Cancelled, or overtaken by another attempt: the outcome counts for nothing.
        if (next) {
            closeInBackground(std::move(next));
        }
        return result;
    }
    attemptRunning = false;
    if (result == 0) {
        const zelkc_cip_identity& id = next->client->identity;
        if (kind == Attempt::User || !sameController(id, known)) {
            ++shown.controllerEpoch;
        }
        zelkc_cip_identity_object_free(&known);
        known = id;
        known.product_name = nullptr;
        const char* name = zelkc_logix_client_plc_type(next->client);
        plcTypeText = name != nullptr ? name : "";
        shown.plcType = plcTypeText;
        shown.lastHost = host;
        shown.lastPort = port;
        shown.lastSlot = slot;
        shown.vendorId = id.vendor_id;
        shown.productCode = id.product_code;
        shown.serialNumber = id.serial_number;
        shown.state = LinkState::Connected;
        shown.reason.clear();
        // An automatic reconnect starts the schedule again only once the link has held.
        if (kind == Attempt::User) {
            backoff.reset();
        } else {
            backoff.connected(clock());
        }
        link = std::move(next);
        lastTrafficNs.store(clock());
        // After the name: a reader that sees true also sees the new name.
        connected.store(true);
        return 0;
    }
    shown.reason = describeFailure(result, host, port);
    shown.refusal.clear();
    if (next && (result == ZELKC_LOGIX_ERR_SESSION_REFUSED || result == ZELKC_LOGIX_ERR_DEVICE)) {
        // A refusal names the status it came with, e.g. "(CIP 0x08 service not supported)".
        const zelkc_cip_refusal* refusal = zelkc_logix_client_refusal(next->client);
        if (refusal != nullptr && refusal->encapsulation_status != 0) {
            shown.reason += fmt::format(" (encapsulation status 0x{:04X} {})", refusal->encapsulation_status,
                                        zelkc_logix_encapsulation_status_name(refusal->encapsulation_status));
        } else if (refusal != nullptr && refusal->general_status != 0) {
            // The reason from the library's one table, as orvane-cli gives it: a route to an empty
            // slot is "no device at that address or backplane slot (CIP 0x01/0x0312 ...)".
            char text[256];
            zelkc_logix_failure_text(result, refusal, text, sizeof text);
            shown.reason = text;
            shown.refusal = zelkc_logix_cip_status_text(refusal->general_status, refusal->extended_status);
        }
    }
    next.reset(); // never connected: nothing to close
    shown.result = result;
    if (kind == Attempt::User) {
        plcTypeText.clear();
        shown.state = LinkState::Disconnected;
        userWantsLink = false;
    } else {
        shown.state = LinkState::Lost;
        shown.nextAttemptNs = clock() + backoff.nextDelayNs();
    }
    return result;
}

uint8_t AppState::connect(const std::string& host, unsigned short port, int slot) {
    const uint64_t at = beginAttempt(host, port, slot, Attempt::User);
    return runAttempt(at, Attempt::User);
}

void AppState::connectAsync(const std::string& host, unsigned short port, std::function<void(uint8_t)> done,
                            int slot) {
    const uint64_t at = beginAttempt(host, port, slot, Attempt::User);
    background([this, at, done = std::move(done)] {
        const uint8_t result = runAttempt(at, Attempt::User);
        if (done) {
            done(result);
        }
    });
}

void AppState::disconnect() {
    std::shared_ptr<Link> fresh;
    try {
        fresh = newLink();
    } catch (const std::bad_alloc&) {
    }
    std::lock_guard<std::mutex> lock(mutex);
    connected.store(false);
    shown.revision = revision.fetch_add(1) + 1;
    shown.state = LinkState::Disconnected;
    shown.reason.clear();
    userWantsLink = false;
    attemptRunning = false;
    if (fresh) {
        replaceLinkLocked(std::move(fresh));
    } else {
        // Without memory for a fresh client the old one stays current, closed in the background.
        closeInBackground(link);
    }
}

void AppState::reconnectNow() {
    std::lock_guard<std::mutex> lock(mutex);
    if (shown.state == LinkState::Lost) {
        shown.nextAttemptNs = clock();
    }
}

void AppState::loseLocked(const std::shared_ptr<Link>& from, uint64_t at, uint8_t result) {
    if (link != from || revision.load() != at || shown.state != LinkState::Connected) {
        return;
    }
    connected.store(false);
    shown.revision = revision.fetch_add(1) + 1;
    shown.state = LinkState::Lost;
    shown.reason = describeFailure(result, from->host, from->port);
    shown.result = result;
    backoff.lost();
    shown.flapping = backoff.flapping();
    if (shown.flapping) {
        // It connected and failed at once: say so, as the waits now grow past the usual 5 s.
        shown.reason = "reconnected, but the first read failed: " + shown.reason;
    }
    shown.nextAttemptNs = clock() + backoff.nextDelayNs();
    std::shared_ptr<Link> fresh;
    try {
        fresh = newLink();
    } catch (const std::bad_alloc&) {
        return; // the old link stays current; the next attempt replaces it
    }
    replaceLinkLocked(std::move(fresh));
}

void AppState::supervise() {
    const int64_t t = clock();
    uint64_t attemptAt = 0;
    uint64_t keepAliveAt = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (shown.state == LinkState::Lost && userWantsLink && !attemptRunning && t >= shown.nextAttemptNs) {
            connected.store(false);
            attemptAt = revision.fetch_add(1) + 1;
            shown.revision = attemptAt;
            shown.state = LinkState::Reconnecting;
            attemptRunning = true;
        } else if (shown.state == LinkState::Connected && !keepAliveRunning &&
                   t - lastTrafficNs.load() >= keepAliveNs) {
            keepAliveRunning = true;
            keepAliveAt = revision.load();
        }
    }
    // Started outside the lock: an executor may run the task at once.
    if (attemptAt != 0) {
        background([this, attemptAt] { runAttempt(attemptAt, Attempt::Automatic); });
    } else if (keepAliveAt != 0) {
        background([this, keepAliveAt] {
            // The Identity, a request every controller answers, and cheaply.
            exchange(
                [](zelkc_logix_client* client) {
                    zelkc_cip_response response{};
                    const uint8_t rc =
                        zelkc_logix_send_cip_internal(client, zelkc_cip_identity_object_request(), &response);
                    zelkc_cip_response_free(&response);
                    return rc;
                },
                keepAliveAt);
            std::lock_guard<std::mutex> l(mutex);
            keepAliveRunning = false;
        });
    }
}

void AppState::callPlc(const std::function<void(zelkc_logix_client*)>& fn) {
    std::shared_ptr<Link> current;
    uint64_t at = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        current = link;
        at = revision.load();
    }
    bool dropped = false;
    {
        std::lock_guard<std::mutex> linkLock(current->mutex);
        const bool wasUp = zelkc_logix_client_is_connected(current->client);
        fn(current->client);
        dropped = wasUp && !zelkc_logix_client_is_connected(current->client);
    }
    if (dropped) {
        std::lock_guard<std::mutex> lock(mutex);
        loseLocked(current, at, ZELKC_LOGIX_ERR_IO);
    }
}

uint8_t AppState::exchangeLanes(const std::function<uint8_t(zelkc_logix_lanes*)>& fn, uint64_t at) {
    return exchangeOn([&](Link& on) { return fn(on.openLanes(lanesWanted.load())); }, at,
                      Repeat::AfterQuietReconnect);
}

uint8_t AppState::exchange(const std::function<uint8_t(zelkc_logix_client*)>& fn, uint64_t at, Repeat repeat) {
    return exchangeOn([&](Link& on) { return fn(on.client); }, at, repeat);
}

uint8_t AppState::exchangeOn(const std::function<uint8_t(Link&)>& fn, uint64_t at, Repeat repeat) {
    std::shared_ptr<Link> current;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (revision.load() != at || shown.state != LinkState::Connected) {
            return ZELKC_LOGIX_ERR_NOT_CONNECTED;
        }
        current = link;
    }
    uint8_t result = ZELKC_LOGIX_OK;
    {
        std::lock_guard<std::mutex> linkLock(current->mutex);
        // A disconnect between taking the link and its lock found the link idle and did not cancel it.
        if (revision.load() != at) {
            return ZELKC_LOGIX_ERR_NOT_CONNECTED;
        }
        zelkc_logix_client* client = current->client;
        result = fn(*current);
        const uint8_t first = result;
        // A connection the controller closed (idle time-out, a dropped session) is opened again once,
        // quietly, when the same controller answers; a silent controller is not asked twice.
        if (repeat == Repeat::AfterQuietReconnect &&
            (connectionGone(result) || !zelkc_logix_client_is_connected(client)) &&
            result != ZELKC_LOGIX_ERR_TIMEOUT && revision.load() == at) {
            const uint8_t again = zelkc_logix_client_connect_mode(client, current->host.c_str(), current->port,
                                                                  current->timeoutMs, current->mode);
            bool same = false;
            if (again == 0) {
                std::lock_guard<std::mutex> lock(mutex);
                same = sameController(client->identity, known);
            }
            if (same) {
                result = fn(*current);
            } else if (again == 0) {
                zelkc_logix_client_disconnect(client); // another controller: the supervision decides
            }
        }
        if (connectionGone(result) || !zelkc_logix_client_is_connected(client)) {
            // The reason is the exchange's own failure, not that of the quiet reconnect.
            const uint8_t why =
                first == ZELKC_LOGIX_OK || first == ZELKC_LOGIX_ERR_DEVICE ? uint8_t{ZELKC_LOGIX_ERR_IO} : first;
            std::lock_guard<std::mutex> lock(mutex);
            loseLocked(current, at, why);
            return why;
        }
    }
    const int64_t t = clock();
    lastTrafficNs.store(t);
    if (result == ZELKC_LOGIX_OK) {
        std::lock_guard<std::mutex> lock(mutex);
        if (revision.load() == at) {
            backoff.goodTraffic(t);
            shown.flapping = backoff.flapping();
        }
    }
    return result;
}

LinkSnapshot AppState::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex);
    return shown;
}
