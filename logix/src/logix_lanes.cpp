// Lanes: several sessions to one controller, each carrying one request at a time, so that requests
// that do not depend on each other cross a slow network side by side. The symbol list is walked in
// ranges of instances, the templates are read in shares, and a long batch read is cut in slices.
#include <cstring>
#include <mutex>
#include <thread>

#include "logix_internal.h"

namespace {

// Width of a range, in pages of the first page's span of instances.
constexpr uint32_t kRangePages = 4;

bool lost(const zelkc_logix_client* client) {
    return !zelkc_logix_client_is_connected(client);
}

// The mode that gives a lane what `first` has: its class 3 connection size, or none.
uint8_t mode_of(const zelkc_logix_client* first) {
    const uint16_t size = first->cip->connection.size;
    return size == 0 ? (uint8_t)ZELKC_LOGIX_MODE_UNCONNECTED
                     : size > 504 ? (uint8_t)ZELKC_LOGIX_MODE_AUTO : (uint8_t)ZELKC_LOGIX_MODE_SMALL;
}

// Connects `lane` as the set's lanes connect; false (the lane disconnected) when the controller
// would give it less than the first lane has.
bool connect_lane(const zelkc_logix_lanes* lanes, zelkc_logix_client* lane) {
    if (zelkc_logix_client_connect_mode(lane, lanes->host, lanes->port, lanes->timeout_ms, lanes->mode) !=
        ZELKC_LOGIX_OK) {
        return false;
    }
    if (lanes->mode != ZELKC_LOGIX_MODE_UNCONNECTED && lane->cip->connection.size == 0) {
        zelkc_logix_client_disconnect(lane); // no class 3 connection left for it
        return false;
    }
    return true;
}

// Runs fn(i) for every lane i < n that is still up, each on its own thread (the first on the
// calling one), and returns when all are done.
template <typename Fn> void side_by_side(zelkc_logix_lanes* lanes, Fn fn) {
    std::thread threads[ZELKC_LOGIX_MAX_LANES];
    for (uint32_t i = 1; i < lanes->count; ++i) {
        if (lanes->gone[i] == 0) {
            threads[i] = std::thread([&fn, i] { fn(i); });
        }
    }
    if (lanes->gone[0] == 0) {
        fn(0);
    }
    for (uint32_t i = 1; i < lanes->count; ++i) {
        if (threads[i].joinable()) {
            threads[i].join();
        }
    }
}

// Reopens lost lane `lane`, once per call (`tried`, one flag per lane); false when it is the
// caller's client, was tried in this call, or the controller refuses it now: the lane is then
// given up for the rest of the set's life.
bool reopen(zelkc_logix_lanes* lanes, uint32_t lane, std::mutex* mu, bool* tried) {
    if (lane == 0) {
        return false; // the caller's own connection: its owner decides
    }
    if (tried[lane] || lanes->gone[lane] != 0) {
        lanes->gone[lane] = 1;
        return false;
    }
    tried[lane] = true;
    {
        std::lock_guard<std::mutex> lock(*mu);
        ++lanes->reopened;
    }
    const bool up = connect_lane(lanes, lanes->clients[lane]);
    lanes->gone[lane] = up ? 0 : 1;
    return up;
}

// One range [start, end) of the symbol list and what has been listed of it.
struct Range {
    uint32_t start;
    uint64_t end; // 1 << 32: to the end of the list
    uint32_t next;
    uint32_t capacity;
    zelkc_logix_tag_info_list list;
    bool done;
    bool taken;
};

// The walk of one scope's symbol list over the lanes.
struct Walk {
    zelkc_logix_lanes* lanes;
    const char* scope;
    std::mutex mu;
    Range** ranges = nullptr; // in order of their starts
    uint32_t count = 0;
    uint32_t capacity = 0;
    uint64_t next_start = 0; // where the next new range begins
    uint64_t list_end = uint64_t{1} << 32;
    uint32_t span = 1; // instances per range
    uint32_t pages = 0;
    uint32_t tags = 0;
    uint8_t failure = ZELKC_LOGIX_OK; // a failure that ends the browse
    uint8_t last_loss = ZELKC_LOGIX_OK;
    bool tried[ZELKC_LOGIX_MAX_LANES] = {}; // lanes reopened in this walk
};

void free_range(Range* r) {
    if (r != nullptr) {
        zelkc_logix_tag_info_list_free(&r->list);
        zelkc_cip_free(r);
    }
}

// A new range at the end of the walk's list (mu held); null when out of memory.
Range* add_range(Walk* w, uint32_t start, uint64_t end) {
    if (w->count == w->capacity) {
        const uint32_t grown = w->capacity == 0 ? 16 : w->capacity * 2;
        void* p = zelkc_cip_realloc(w->ranges, (size_t)grown * sizeof(Range*));
        if (p == nullptr) {
            return nullptr;
        }
        w->ranges = static_cast<Range**>(p);
        w->capacity = grown;
    }
    auto* r = static_cast<Range*>(zelkc_cip_alloc(sizeof(Range)));
    if (r == nullptr) {
        return nullptr;
    }
    std::memset(r, 0, sizeof *r);
    r->start = start;
    r->next = start;
    r->end = end;
    w->ranges[w->count++] = r;
    return r;
}

// The range a lane works on next (mu held): one a lost lane left unfinished, else a new one after
// the last; null when the list is covered (or the browse failed).
Range* take(Walk* w) {
    if (w->failure != ZELKC_LOGIX_OK) {
        return nullptr;
    }
    for (uint32_t i = 0; i < w->count; ++i) {
        Range* r = w->ranges[i];
        if (!r->done && !r->taken) {
            r->taken = true;
            return r;
        }
    }
    if (w->next_start >= w->list_end) {
        return nullptr;
    }
    const uint64_t start = w->next_start;
    const uint64_t end = start + (uint64_t)kRangePages * w->span;
    Range* r = add_range(w, (uint32_t)start, end < (uint64_t{1} << 32) ? end : uint64_t{1} << 32);
    if (r == nullptr) {
        w->failure = ZELKC_LOGIX_ERR_NO_MEMORY;
        return nullptr;
    }
    w->next_start = r->end;
    r->taken = true;
    return r;
}

// Drops the entries of a page that lie beyond its range: another range lists them.
void trim(Range* r) {
    while (r->list.count > 0 && r->list.items[r->list.count - 1].id >= r->end) {
        zelkc_logix_tag_info_free(&r->list.items[--r->list.count]);
    }
}

// Asks the next page of `r` on `client` and records it. Returns 0, or the page's failure.
uint8_t walk_page(Walk* w, zelkc_logix_client* client, Range* r) {
    const uint32_t before = r->list.count;
    uint8_t status = 0;
    uint32_t first = 0;
    const uint8_t rc = logix_browse_page(client, w->scope, &r->list, &r->capacity, &r->next, &status, &first);
    if (rc != ZELKC_LOGIX_OK) {
        return rc;
    }
    trim(r);
    std::lock_guard<std::mutex> lock(w->mu);
    ++w->pages;
    w->tags += r->list.count - before;
    if (status == 0) {
        // The list ends with this page: no range needs to start at or after its end.
        w->list_end = r->next < w->list_end ? r->next : w->list_end;
        r->done = true;
    } else if (r->next >= r->end) {
        r->done = true;
        // A page that went past its range shows where the next tags are: ranges before them
        // would list nothing.
        if (first >= r->end && first > w->next_start) {
            w->next_start = first;
        }
    }
    // Each range may cost one page more than a one-lane walk (the page that crosses its end).
    if (!r->done && w->pages >= ZELKC_LOGIX_BROWSE_PAGES(w->tags) + w->count) {
        return ZELKC_LOGIX_ERR_BAD_REPLY;
    }
    zelkc_logix_client* head = w->lanes->clients[0];
    if (head->browse_progress != nullptr) {
        head->browse_progress(head->browse_progress_context, w->pages, w->tags);
    }
    return ZELKC_LOGIX_OK;
}

// One lane's share of the walk: ranges until none is left. A lane lost is reopened once (the
// caller's own client excepted); its range goes back to be finished by whichever lane is free.
void walk_lane(Walk* w, uint32_t lane) {
    zelkc_logix_client* client = w->lanes->clients[lane];
    for (;;) {
        Range* r = nullptr;
        {
            std::lock_guard<std::mutex> lock(w->mu);
            r = take(w);
        }
        if (r == nullptr) {
            return;
        }
        uint8_t rc = ZELKC_LOGIX_OK;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(w->mu);
                if (r->done || w->failure != ZELKC_LOGIX_OK || r->start >= w->list_end) {
                    r->done = true;
                    break;
                }
            }
            rc = walk_page(w, client, r);
            if (rc != ZELKC_LOGIX_OK) {
                break;
            }
        }
        if (rc == ZELKC_LOGIX_OK) {
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(w->mu);
            r->taken = false;
            if (!lost(client) || rc == ZELKC_LOGIX_ERR_NO_MEMORY || rc == ZELKC_LOGIX_ERR_CANCELLED) {
                if (w->failure == ZELKC_LOGIX_OK) {
                    w->failure = rc; // what a one-lane browse would fail with
                }
                return;
            }
            w->last_loss = rc;
        }
        if (!reopen(w->lanes, lane, &w->mu, w->tried)) {
            return;
        }
    }
}

// Reads the templates the structures of `list` need, spread over the lanes, into the cache of
// lanes->clients[head]. A share whose lane fails is simply not cached: the expansion reads what is
// missing one request at a time.
uint8_t read_templates_spread(zelkc_logix_lanes* lanes, uint32_t head, const zelkc_logix_tag_info_list* list) {
    zelkc_logix_client* expander = lanes->clients[head];
    uint8_t* wanted = static_cast<uint8_t*>(zelkc_cip_alloc(ZELKC_LOGIX_TEMPLATE_SLOTS));
    auto* types = static_cast<zelkc_logix_tag_info*>(
        zelkc_cip_alloc(ZELKC_LOGIX_TEMPLATE_SLOTS * sizeof(zelkc_logix_tag_info)));
    if (wanted == nullptr || types == nullptr) {
        zelkc_cip_free(wanted);
        zelkc_cip_free(types);
        return ZELKC_LOGIX_ERR_NO_MEMORY;
    }
    std::memset(wanted, 0, ZELKC_LOGIX_TEMPLATE_SLOTS);
    uint32_t n = 0;
    for (uint32_t i = 0; i < list->count; ++i) {
        const uint16_t type = list->items[i].symbol_type;
        if (!zelkc_logix_tag_is_struct(type)) {
            continue;
        }
        const uint32_t id = zelkc_logix_tag_template_id(type);
        if (wanted[id] == 0 && (expander->templates == nullptr || expander->templates[id] == nullptr)) {
            wanted[id] = 1;
            std::memset(&types[n], 0, sizeof types[n]);
            types[n++].symbol_type = type;
        }
    }
    zelkc_cip_free(wanted);
    uint8_t result = ZELKC_LOGIX_OK;
    if (n > 1) {
        uint32_t up = 0;
        for (uint32_t i = 0; i < lanes->count; ++i) {
            up += lost(lanes->clients[i]) ? 0 : 1;
        }
        uint32_t share_of[ZELKC_LOGIX_MAX_LANES] = {};
        uint32_t start_of[ZELKC_LOGIX_MAX_LANES] = {};
        for (uint32_t i = 0, at = 0, k = 0; i < lanes->count; ++i) {
            if (!lost(lanes->clients[i])) {
                start_of[i] = at;
                share_of[i] = n / up + (k < n % up ? 1 : 0);
                at += share_of[i];
                ++k;
            }
        }
        uint8_t failed[ZELKC_LOGIX_MAX_LANES] = {};
        // Every lane's cache is made (and filled with what the expander holds) here, before the
        // lanes run: the expander's own cache grows while they do.
        for (uint32_t i = 0; i < lanes->count; ++i) {
            if (share_of[i] != 0 && lanes->clients[i]->templates == nullptr &&
                logix_templates_share(lanes->clients[i], expander) != ZELKC_LOGIX_OK) {
                failed[i] = ZELKC_LOGIX_ERR_NO_MEMORY;
                share_of[i] = 0;
            }
        }
        side_by_side(lanes, [&](uint32_t i) {
            zelkc_logix_client* lane = lanes->clients[i];
            if (share_of[i] == 0) {
                return;
            }
            zelkc_logix_tag_info_list share;
            share.count = share_of[i];
            share.items = types + start_of[i];
            failed[i] = logix_templates_prefetch(lane, &share);
        });
        for (uint32_t i = 0; i < lanes->count && result == ZELKC_LOGIX_OK; ++i) {
            if (failed[i] == ZELKC_LOGIX_ERR_NO_MEMORY) {
                result = ZELKC_LOGIX_ERR_NO_MEMORY;
            } else if (i != head) {
                result = logix_templates_share(expander, lanes->clients[i]);
            }
        }
    }
    zelkc_cip_free(types);
    return result;
}

uint8_t browse_lanes(zelkc_logix_lanes* lanes, zelkc_logix_tag_info_list* out, const char* program) {
    zelkc_logix_client* first = lanes->clients[0];
    if (lanes->count <= 1) {
        lanes->used = 1;
        return program == nullptr ? zelkc_logix_client_browse_global_tags(first, out)
                                  : zelkc_logix_client_browse_program_tags(first, out, program);
    }
    Walk w;
    w.lanes = lanes;
    char* scope = nullptr;
    uint8_t result = logix_browse_scope_name(program, &scope);
    w.scope = scope;
    Range* r = result == ZELKC_LOGIX_OK ? add_range(&w, 0, uint64_t{1} << 32) : nullptr;
    if (result == ZELKC_LOGIX_OK && r == nullptr) {
        result = ZELKC_LOGIX_ERR_NO_MEMORY;
    }
    // The first page alone, on the first lane still up: its span of instances sizes the ranges.
    uint32_t opener = 0;
    while (opener + 1 < lanes->count && (lost(lanes->clients[opener]) || lanes->gone[opener] != 0)) {
        ++opener;
    }
    uint8_t status = 0;
    uint32_t first_instance = 0;
    if (result == ZELKC_LOGIX_OK) {
        result = logix_browse_page(lanes->clients[opener], scope, &r->list, &r->capacity, &r->next, &status,
                                   &first_instance);
    }
    lanes->used = 1;
    if (result == ZELKC_LOGIX_OK) {
        w.pages = 1;
        w.tags = r->list.count;
        if (first->browse_progress != nullptr) {
            first->browse_progress(first->browse_progress_context, w.pages, w.tags);
        }
        r->done = true;
        r->end = r->next;
        w.next_start = r->next;
        if (status == 0) {
            w.list_end = r->next;
        } else {
            const uint32_t span = r->next - first_instance;
            w.span = span != 0 ? span : 1;
            lanes->used = lanes->count;
            side_by_side(lanes, [&w](uint32_t lane) { walk_lane(&w, lane); });
            result = w.failure;
            for (uint32_t i = 0; i < w.count && result == ZELKC_LOGIX_OK; ++i) {
                if (!w.ranges[i]->done) {
                    result = w.last_loss != ZELKC_LOGIX_OK ? w.last_loss : (uint8_t)ZELKC_LOGIX_ERR_IO;
                }
            }
        }
    }
    zelkc_cip_free(scope);
    // The ranges' tags, in order, become the result.
    uint32_t total = 0;
    for (uint32_t i = 0; i < w.count; ++i) {
        total += w.ranges[i]->list.count;
    }
    out->count = 0;
    out->items = nullptr;
    if (result == ZELKC_LOGIX_OK && total != 0) {
        out->items = static_cast<zelkc_logix_tag_info*>(zelkc_cip_alloc((size_t)total * sizeof(zelkc_logix_tag_info)));
        if (out->items == nullptr) {
            result = ZELKC_LOGIX_ERR_NO_MEMORY;
        }
    }
    for (uint32_t i = 0; i < w.count; ++i) {
        Range* range = w.ranges[i];
        if (result == ZELKC_LOGIX_OK && range->list.count != 0) {
            std::memcpy(out->items + out->count, range->list.items, range->list.count * sizeof(zelkc_logix_tag_info));
            out->count += range->list.count;
            zelkc_cip_free(range->list.items);
            range->list.items = nullptr;
            range->list.count = 0;
        }
        free_range(range);
    }
    zelkc_cip_free(w.ranges);
    if (result != ZELKC_LOGIX_OK) {
        return result;
    }
    // The structures are expanded through the first lane still up.
    uint32_t head = 0;
    while (head < lanes->count && lost(lanes->clients[head])) {
        ++head;
    }
    if (head == lanes->count) {
        zelkc_logix_tag_info_list_free(out);
        return ZELKC_LOGIX_ERR_IO;
    }
    zelkc_logix_client* expander = lanes->clients[head];
    if (expander->templates == nullptr) {
        result = logix_templates_share(expander, first); // whatever the first lane had read before
    }
    if (result == ZELKC_LOGIX_OK) {
        result = read_templates_spread(lanes, head, out);
    }
    if (result == ZELKC_LOGIX_OK) {
        result = zelkc_logix_expand_browse_internal(expander, out);
        first->skipped_templates = expander->skipped_templates;
    }
    for (uint32_t i = 0; i < lanes->count && result == ZELKC_LOGIX_OK; ++i) {
        if (i != head) {
            result = logix_templates_share(lanes->clients[i], expander);
        }
    }
    if (result != ZELKC_LOGIX_OK) {
        zelkc_logix_tag_info_list_free(out);
    }
    return result;
}

// Request and reply bytes one entry of a batch read takes in a packet, about: the Read Tag
// request (service, path size, the name as a symbol segment, element count, its offset) and its
// reply (header, type, the widest value, its offset).
uint32_t entry_bytes(const zelkc_logix_atomic_read* entry) {
    const size_t name = entry->tag != nullptr ? std::strlen(entry->tag) : 0;
    const uint32_t request = (uint32_t)(name > 60000 ? 60000 : name) + 10;
    return request > 18 ? request : 18;
}

// Packets a batch read needs, about (each entry's request and reply bytes against the packet size;
// without a connection a group of ZELKC_LOGIX_BATCH_GROUP at most); *bytes gets the batch's bytes.
uint32_t batch_packets(const zelkc_logix_client* client, const zelkc_logix_atomic_read* entries, uint32_t count,
                       uint64_t* bytes) {
    const uint32_t packet = logix_packet_size(client);
    *bytes = 0;
    for (uint32_t i = 0; i < count; ++i) {
        *bytes += entry_bytes(&entries[i]);
    }
    uint64_t packets = (*bytes + packet - 1) / packet;
    if (client->cip->connection.size == 0) {
        const uint64_t groups = (count + ZELKC_LOGIX_BATCH_GROUP - 1) / ZELKC_LOGIX_BATCH_GROUP;
        packets = packets > groups ? packets : groups;
    }
    return (uint32_t)packets;
}

} // namespace

extern "C" {

uint8_t zelkc_logix_lanes_open(zelkc_logix_lanes* lanes, zelkc_logix_client* first, const char* host,
                               uint32_t port, uint32_t timeout_ms, uint32_t count) {
    if (lanes == nullptr) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    std::memset(lanes, 0, sizeof *lanes);
    if (first == nullptr || host == nullptr || count == 0 || count > ZELKC_LOGIX_MAX_LANES ||
        lost(first)) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    lanes->host = logix_strndup(host, std::strlen(host));
    if (lanes->host == nullptr) {
        return ZELKC_LOGIX_ERR_NO_MEMORY;
    }
    lanes->clients[0] = first;
    lanes->count = 1;
    lanes->port = port;
    lanes->timeout_ms = timeout_ms;
    lanes->mode = mode_of(first);
    zelkc_logix_client* extra[ZELKC_LOGIX_MAX_LANES] = {};
    for (uint32_t i = 1; i < count; ++i) {
        extra[i] = zelkc_logix_client_create();
        if (extra[i] == nullptr) {
            break;
        }
        if (first->route.size != 0) {
            extra[i]->route.data = static_cast<uint8_t*>(zelkc_cip_alloc(first->route.size));
            if (extra[i]->route.data == nullptr) {
                zelkc_logix_client_destroy(extra[i]);
                extra[i] = nullptr;
                break;
            }
            std::memcpy(extra[i]->route.data, first->route.data, first->route.size);
            extra[i]->route.size = first->route.size;
            extra[i]->route.capacity = first->route.size;
        }
    }
    std::thread threads[ZELKC_LOGIX_MAX_LANES];
    bool up[ZELKC_LOGIX_MAX_LANES] = {};
    for (uint32_t i = 1; i < count && extra[i] != nullptr; ++i) {
        threads[i] = std::thread([lanes, &extra, &up, i] { up[i] = connect_lane(lanes, extra[i]); });
    }
    for (uint32_t i = 1; i < count; ++i) {
        if (threads[i].joinable()) {
            threads[i].join();
        }
        if (extra[i] == nullptr) {
            continue;
        }
        if (up[i]) {
            lanes->clients[lanes->count++] = extra[i];
        } else {
            zelkc_logix_client_destroy(extra[i]);
        }
    }
    return ZELKC_LOGIX_OK;
}

void zelkc_logix_lanes_close(zelkc_logix_lanes* lanes) {
    if (lanes == nullptr) {
        return;
    }
    for (uint32_t i = 1; i < lanes->count; ++i) {
        zelkc_logix_client_destroy(lanes->clients[i]);
    }
    zelkc_cip_free(lanes->host);
    std::memset(lanes, 0, sizeof *lanes);
}

uint8_t zelkc_logix_lanes_browse_global_tags(zelkc_logix_lanes* lanes, zelkc_logix_tag_info_list* out) {
    if (out == nullptr) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    out->count = 0;
    out->items = nullptr;
    if (lanes == nullptr || lanes->count == 0) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    lanes->clients[0]->skipped_templates = 0;
    return browse_lanes(lanes, out, nullptr);
}

uint8_t zelkc_logix_lanes_browse_program_tags(zelkc_logix_lanes* lanes, zelkc_logix_tag_info_list* out,
                                              const char* program) {
    if (out == nullptr) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    out->count = 0;
    out->items = nullptr;
    if (lanes == nullptr || lanes->count == 0 || program == nullptr || program[0] == '\0') {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    lanes->clients[0]->skipped_templates = 0;
    return browse_lanes(lanes, out, program);
}

uint8_t zelkc_logix_lanes_browse_programs(zelkc_logix_lanes* lanes, const char* const* programs, uint32_t count,
                                          void (*done)(void* context, uint32_t index, uint8_t result,
                                                       zelkc_logix_tag_info_list* list),
                                          void* context) {
    if (lanes == nullptr || lanes->count == 0 || (programs == nullptr && count != 0) || done == nullptr) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    for (uint32_t i = 1; i < lanes->count; ++i) {
        if (logix_templates_share(lanes->clients[i], lanes->clients[0]) != ZELKC_LOGIX_OK) {
            return ZELKC_LOGIX_ERR_NO_MEMORY;
        }
    }
    // Programs a lost lane gave back wait in `retry` for a lane still up.
    auto* retry = static_cast<uint32_t*>(zelkc_cip_alloc((size_t)(count != 0 ? count : 1) * sizeof(uint32_t)));
    if (retry == nullptr) {
        return ZELKC_LOGIX_ERR_NO_MEMORY;
    }
    std::mutex mu;
    uint32_t next = 0, retries = 0;
    bool tried[ZELKC_LOGIX_MAX_LANES] = {};
    lanes->used = count < lanes->count ? count : lanes->count;
    side_by_side(lanes, [&](uint32_t lane) {
        zelkc_logix_client* client = lanes->clients[lane];
        for (;;) {
            uint32_t i = 0;
            {
                std::lock_guard<std::mutex> lock(mu);
                if (retries > 0) {
                    i = retry[--retries];
                } else if (next < count) {
                    i = next++;
                } else {
                    return;
                }
            }
            zelkc_logix_tag_info_list list{};
            uint8_t rc = lost(client) ? (uint8_t)ZELKC_LOGIX_ERR_NOT_CONNECTED
                                      : zelkc_logix_client_browse_program_tags(client, &list, programs[i]);
            if (rc != ZELKC_LOGIX_OK && rc != ZELKC_LOGIX_ERR_CANCELLED && lost(client)) {
                // A reopened lane starts with no templates and reads those it meets: the first
                // lane's cache may be growing on its own thread meanwhile.
                if (reopen(lanes, lane, &mu, tried)) {
                    rc = zelkc_logix_client_browse_program_tags(client, &list, programs[i]);
                }
                if (rc != ZELKC_LOGIX_OK && lost(client)) {
                    std::lock_guard<std::mutex> lock(mu);
                    retry[retries++] = i; // for a lane still up
                    return;
                }
            }
            done(context, i, rc, &list);
        }
    });
    // Programs given back after the other lanes had finished go on a lane still up, if any;
    // with none left they are reported as the connection's loss.
    for (uint32_t k = 0; k < retries; ++k) {
        zelkc_logix_tag_info_list list{};
        uint8_t rc = ZELKC_LOGIX_ERR_IO;
        for (uint32_t lane = 0; lane < lanes->count && rc != ZELKC_LOGIX_OK; ++lane) {
            if (!lost(lanes->clients[lane])) {
                rc = zelkc_logix_client_browse_program_tags(lanes->clients[lane], &list, programs[retry[k]]);
            }
        }
        done(context, retry[k], rc, &list);
    }
    for (uint32_t i = next; i < count; ++i) {
        zelkc_logix_tag_info_list list{};
        done(context, i, ZELKC_LOGIX_ERR_IO, &list);
    }
    zelkc_cip_free(retry);
    return ZELKC_LOGIX_OK;
}

uint8_t zelkc_logix_client_share_templates(zelkc_logix_client* to, const zelkc_logix_client* from) {
    if (to == nullptr || from == nullptr) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    return logix_templates_share(to, from);
}

uint32_t zelkc_logix_batch_packets(const zelkc_logix_client* client, const zelkc_logix_atomic_read* entries,
                                   uint32_t count) {
    uint64_t bytes = 0;
    return client == nullptr || entries == nullptr || count == 0 ? 0 : batch_packets(client, entries, count, &bytes);
}

uint8_t zelkc_logix_lanes_read_atomic_values_status(zelkc_logix_lanes* lanes, zelkc_logix_atomic_read* entries,
                                                    uint32_t count, zelkc_logix_read_status* statuses) {
    if (lanes == nullptr || lanes->count == 0 || entries == nullptr || statuses == nullptr || count == 0) {
        return ZELKC_LOGIX_ERR_INVALID_ARGUMENT;
    }
    zelkc_logix_client* first = lanes->clients[0];
    uint64_t bytes = 0;
    const uint32_t packets = batch_packets(first, entries, count, &bytes);
    uint32_t up = 0;
    for (uint32_t i = 0; i < lanes->count; ++i) {
        up += lost(lanes->clients[i]) ? 0 : 1;
    }
    if (packets <= 1 || up <= 1 || lost(first)) {
        lanes->used = 1;
        return zelkc_logix_client_read_atomic_values_status(first, entries, count, statuses);
    }
    const uint32_t slices = (uint32_t)(packets < up ? packets : up);
    // Slices of about equal bytes, one per lane still up.
    uint32_t begin[ZELKC_LOGIX_MAX_LANES + 1] = {};
    uint32_t owner[ZELKC_LOGIX_MAX_LANES] = {};
    for (uint32_t i = 0, k = 0; i < lanes->count && k < slices; ++i) {
        if (!lost(lanes->clients[i])) {
            owner[k++] = i;
        }
    }
    uint64_t running = 0;
    uint32_t slice = 1;
    for (uint32_t i = 0; i < count && slice < slices; ++i) {
        running += entry_bytes(&entries[i]);
        if (running * slices >= bytes * slice) {
            begin[slice++] = i + 1;
        }
    }
    for (; slice <= slices; ++slice) {
        begin[slice] = count;
    }
    begin[slices] = count;
    uint8_t results[ZELKC_LOGIX_MAX_LANES] = {};
    uint32_t slice_of[ZELKC_LOGIX_MAX_LANES];
    for (uint32_t i = 0; i < ZELKC_LOGIX_MAX_LANES; ++i) {
        slice_of[i] = ZELKC_LOGIX_MAX_LANES;
    }
    for (uint32_t k = 0; k < slices; ++k) {
        slice_of[owner[k]] = k;
    }
    lanes->used = 0;
    for (uint32_t k = 0; k < slices; ++k) {
        lanes->used += begin[k + 1] > begin[k] ? 1 : 0;
    }
    side_by_side(lanes, [&](uint32_t lane) {
        const uint32_t k = slice_of[lane];
        if (k < slices && begin[k + 1] > begin[k]) {
            results[k] = zelkc_logix_client_read_atomic_values_status(lanes->clients[lane], entries + begin[k],
                                                                      begin[k + 1] - begin[k], statuses + begin[k]);
        }
    });
    // A slice whose lane was lost is read again on a lane still up, the first such.
    uint8_t result = ZELKC_LOGIX_OK;
    for (uint32_t k = 0; k < slices; ++k) {
        if (results[k] == ZELKC_LOGIX_OK || begin[k + 1] == begin[k]) {
            continue;
        }
        uint8_t rc = results[k];
        for (uint32_t i = 0; i < lanes->count && rc != ZELKC_LOGIX_OK && rc != ZELKC_LOGIX_ERR_CANCELLED; ++i) {
            if (!lost(lanes->clients[i])) {
                std::memset(statuses + begin[k], 0, (begin[k + 1] - begin[k]) * sizeof *statuses);
                rc = zelkc_logix_client_read_atomic_values_status(lanes->clients[i], entries + begin[k],
                                                                  begin[k + 1] - begin[k], statuses + begin[k]);
            }
        }
        if (rc != ZELKC_LOGIX_OK && result == ZELKC_LOGIX_OK) {
            result = rc;
        }
    }
    return result;
}

} // extern "C"
