// Logix client benchmark against an in-process logix-sim serving a generated large controller
// (10,000 controller tags, 20 programs x 500 tags, 200 user types nested up to 3 deep).
//
// Measures on loopback: the round trip of a minimal exchange (the floor), the controller-scope
// browse with expansion, all program browses, a 200-tag batch read, and the peak memory of the
// browse result. Exchanges and bytes are counted by a relay on a first, untimed run; times are
// medians of direct runs, each preceded by a floor sample so that the ratio to the floor holds up
// on a loaded machine.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "counting_relay.h"
#include "logixsim/server.h"
#include "tracking_allocator.h"
#include "zelkc_logix.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// CPU time of the calling thread: the client library's own work plus its socket system calls,
// without the simulator's threads.
double thread_cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void check(uint8_t rc, const char* what) {
    if (rc != ZELKC_LOGIX_OK) {
        std::fprintf(stderr, "logix_bench: %s failed with %u\n", what, unsigned(rc));
        std::exit(1);
    }
}

size_t count_infos(const zelkc_logix_tag_info* items, uint32_t n, std::set<uint32_t>* templates) {
    size_t total = n;
    for (uint32_t i = 0; i < n; ++i) {
        if (zelkc_logix_tag_is_struct(items[i].symbol_type)) {
            templates->insert(zelkc_logix_tag_template_id(items[i].symbol_type));
        }
        total += count_infos(items[i].children, items[i].child_count, templates);
    }
    return total;
}

// Controller-scope atomic tag names (true) and program names (false) of a generated controller,
// taken from its description.
std::vector<std::pair<std::string, bool>> logixsim_tags(const logixsim::GeneratorOptions& gen) {
    static const std::set<std::string> atomic = {"BOOL",  "SINT", "INT",   "DINT",  "LINT",
                                                 "USINT", "UINT", "UDINT", "ULINT", "REAL",
                                                 "LREAL", "BYTE", "WORD",  "DWORD", "LWORD"};
    const auto file = nlohmann::json::parse(logixsim::generate_controller_json(gen));
    std::vector<std::pair<std::string, bool>> names;
    for (const auto& t : file["tags"]) {
        if (atomic.count(t["type"].get<std::string>()) != 0 && !t.contains("dims")) {
            names.emplace_back(t["name"].get<std::string>(), true);
        }
    }
    for (const auto& p : file["programs"]) {
        names.emplace_back(p["name"].get<std::string>(), false);
    }
    return names;
}

// One simulator serving a generated controller, reached directly (timed) and through the
// counting relay (counted).
struct Rig {
    std::shared_ptr<const logixsim::Controller> controller;
    std::unique_ptr<logixsim::Server> server;
    std::unique_ptr<CountingRelay> relay;
    zelkc_logix_client* direct = nullptr;
    zelkc_logix_client* counted = nullptr;

    explicit Rig(const logixsim::GeneratorOptions& gen) {
        controller = logixsim::parse_controller(logixsim::generate_controller_json(gen), "generated");
        logixsim::Options options;
        options.host = "127.0.0.1";
        options.port = 0;
        options.live_interval_ms = 0;
        server = std::make_unique<logixsim::Server>(controller, options);
        server->start();
        relay = std::make_unique<CountingRelay>(server->port());
        direct = zelkc_logix_client_create();
        counted = zelkc_logix_client_create();
        check(zelkc_logix_client_connect(direct, "127.0.0.1", server->port(), 10000), "connect");
        check(zelkc_logix_client_connect(counted, "127.0.0.1", relay->port(), 10000),
              "connect through relay");
        relay->take();
    }
    ~Rig() {
        zelkc_logix_client_destroy(direct);
        zelkc_logix_client_destroy(counted);
    }
};

// The median round trip of `n` minimal exchanges (one DINT read), taken right before each timed
// run so that the run and its floor see the same load on the (shared) machine.
double floor_sample(zelkc_logix_client* client, const char* tag, int n) {
    std::vector<double> rtts;
    for (int i = 0; i < n; ++i) {
        zelkc_logix_value v{};
        const auto t = Clock::now();
        check(zelkc_logix_client_read_atomic_value(client, tag, &v), "read");
        rtts.push_back(ms_since(t));
    }
    return median(rtts);
}

constexpr int kFloorSample = 100;

struct BrowseResult {
    uint8_t rc = 0;
    CountingRelay::Counts counts;
    double ms = 0;
    double cpu_ms = 0;
    double floor_ms = 0; // median of the floors taken alongside
    double ratio = 0;    // median of time / (exchanges x floor) over the runs
    size_t top_level = 0;
    size_t infos = 0;
    size_t templates = 0;
    size_t result_bytes = 0;
    size_t peak_bytes = 0;
};

BrowseResult browse_global(Rig& rig, int repeats, const char* floor_tag) {
    BrowseResult r;
    zelkc_logix_tag_info_list list{};
    r.rc = zelkc_logix_client_browse_global_tags(rig.counted, &list);
    zelkc_logix_tag_info_list_free(&list);
    r.counts = rig.relay->take();
    std::vector<double> times;
    std::vector<double> cpu;
    std::vector<double> floors;
    std::vector<double> ratios;
    for (int i = 0; i < repeats; ++i) {
        floors.push_back(floor_sample(rig.direct, floor_tag, kFloorSample));
        const size_t before = TrackingAllocator::live;
        TrackingAllocator::peak = before;
        const double c = thread_cpu_ms();
        const auto t = Clock::now();
        const uint8_t rc = zelkc_logix_client_browse_global_tags(rig.direct, &list);
        times.push_back(ms_since(t));
        cpu.push_back(thread_cpu_ms() - c);
        ratios.push_back(times.back() / (double(r.counts.exchanges) * floors.back()));
        if (rc != r.rc) {
            check(rc, "repeated browse");
        }
        r.peak_bytes = TrackingAllocator::peak - before;
        r.result_bytes = TrackingAllocator::live - before;
        std::set<uint32_t> templates;
        r.infos = count_infos(list.items, list.count, &templates);
        r.templates = templates.size();
        r.top_level = list.count;
        zelkc_logix_tag_info_list_free(&list);
    }
    r.ms = median(times);
    r.cpu_ms = median(cpu);
    r.floor_ms = median(floors);
    r.ratio = median(ratios);
    return r;
}

uint64_t svc(const CountingRelay::Counts& c, uint8_t s) {
    auto it = c.by_service.find(s);
    return it == c.by_service.end() ? uint64_t(0) : it->second;
}

void row(const char* what, const CountingRelay::Counts& c, double ms, double cpu_ms, double floor_ms,
         double ratio) {
    std::printf("| %s | %llu | %llu / %llu | %.2f | %.2f | %.4f | %.2f |\n", what,
                (unsigned long long)c.exchanges, (unsigned long long)c.bytes_out,
                (unsigned long long)c.bytes_in, ms, cpu_ms, floor_ms, ratio);
}

} // namespace

int main(int argc, char** argv) {
    int repeats = 5;
    if (argc > 1) {
        repeats = std::max(1, std::atoi(argv[1]));
    }
    zelkc_cip_allocator_set_default(&tracking_allocator);

    // 10,000 tags, 20 programs x 500, 200 types nested up to 3 deep. User types hold 3 to 8
    // members, so that the controller scope expands to about 83,000 tag infos: within the
    // 100,000 a browse result may hold (with up to 10 members it would be about 114,000).
    logixsim::GeneratorOptions gen;
    gen.max_members = 8;
    Rig rig(gen);
    const size_t reply_limit = rig.server->faults().reply_limit;

    // The tag names the reads use come from the controller description.
    std::vector<std::string> atomics;
    std::vector<std::string> programs;
    for (const auto& t : logixsim_tags(gen)) {
        (t.second ? atomics : programs).push_back(t.first);
    }
    if (atomics.size() < 200) {
        std::fprintf(stderr, "logix_bench: only %zu atomic tags\n", atomics.size());
        return 1;
    }

    // Floor: the round trip of one minimal exchange (a single DINT read).
    std::vector<double> rtts;
    std::vector<double> rtt_cpu;
    for (int i = 0; i < 2000; ++i) {
        zelkc_logix_value v{};
        const double c = thread_cpu_ms();
        const auto t = Clock::now();
        check(zelkc_logix_client_read_atomic_value(rig.direct, atomics.front().c_str(), &v), "read");
        rtts.push_back(ms_since(t));
        rtt_cpu.push_back(thread_cpu_ms() - c);
    }
    const double floor_ms = median(rtts);
    const double floor_cpu_ms = median(rtt_cpu);

    const BrowseResult full = browse_global(rig, repeats, atomics.front().c_str());

    // All program browses.
    zelkc_logix_tag_info_list list{};
    for (const auto& p : programs) {
        check(zelkc_logix_client_browse_program_tags(rig.counted, &list, p.c_str()), "program browse");
        zelkc_logix_tag_info_list_free(&list);
    }
    const auto program_counts = rig.relay->take();
    std::vector<double> program_ms;
    std::vector<double> program_cpu;
    std::vector<double> program_floor;
    std::vector<double> program_ratio;
    for (int r = 0; r < repeats; ++r) {
        program_floor.push_back(floor_sample(rig.direct, atomics.front().c_str(), kFloorSample));
        const double c = thread_cpu_ms();
        const auto t = Clock::now();
        for (const auto& p : programs) {
            check(zelkc_logix_client_browse_program_tags(rig.direct, &list, p.c_str()), "program browse");
            zelkc_logix_tag_info_list_free(&list);
        }
        program_ms.push_back(ms_since(t));
        program_cpu.push_back(thread_cpu_ms() - c);
        program_ratio.push_back(program_ms.back() /
                                (double(program_counts.exchanges) * program_floor.back()));
    }

    // Batch read of 200 tags spread over the controller scope.
    std::vector<zelkc_logix_atomic_read> entries(200);
    for (size_t i = 0; i < entries.size(); ++i) {
        entries[i].tag = atomics[i * (atomics.size() / 200)].c_str();
    }
    check(zelkc_logix_client_read_atomic_values(rig.counted, entries.data(), uint32_t(entries.size())),
          "batch");
    size_t failed = 0;
    for (const auto& e : entries) {
        failed += e.result != ZELKC_LOGIX_OK;
    }
    const auto batch_counts = rig.relay->take();
    std::vector<double> batch_ms;
    std::vector<double> batch_cpu;
    std::vector<double> batch_floor;
    std::vector<double> batch_ratio;
    for (int r = 0; r < 50; ++r) {
        batch_floor.push_back(floor_sample(rig.direct, atomics.front().c_str(), 20));
        const double c = thread_cpu_ms();
        const auto t = Clock::now();
        check(zelkc_logix_client_read_atomic_values(rig.direct, entries.data(), uint32_t(entries.size())),
              "batch");
        batch_ms.push_back(ms_since(t));
        batch_cpu.push_back(thread_cpu_ms() - c);
        batch_ratio.push_back(batch_ms.back() / (double(batch_counts.exchanges) * batch_floor.back()));
    }

    std::printf("logix_bench: generated controller: %zu controller tags, %zu programs x %zu tags, %zu types "
                "of 3 to %zu members nested up to %zu deep; reply limit %zu bytes; loopback\n\n",
                gen.tags, gen.programs, gen.program_tags, gen.types, gen.max_members, gen.depth, reply_limit);
    std::printf(
        "| Measure | Exchanges | Bytes out / in | Time (ms) | Client thread CPU (ms) | Floor alongside "
        "(ms) | Time / (exchanges x floor) |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
    std::printf(
        "| Minimal exchange: one DINT read (floor, median of 2000) | 1 | - | %.4f | %.4f | %.4f | 1.00 |\n",
        floor_ms, floor_cpu_ms, floor_ms);
    char what[200];
    if (full.rc == ZELKC_LOGIX_OK) {
        std::snprintf(what, sizeof what, "Controller-scope browse + expansion, %zu tags (median of %d)",
                      gen.tags, repeats);
    } else {
        std::snprintf(what, sizeof what,
                      "Controller-scope browse, %zu tags: refused with %u after (median of %d)", gen.tags,
                      unsigned(full.rc), repeats);
    }
    row(what, full.counts, full.ms, full.cpu_ms, full.floor_ms, full.ratio);
    std::snprintf(what, sizeof what, "All %zu program browses + expansion (median of %d)", programs.size(),
                  repeats);
    row(what, program_counts, median(program_ms), median(program_cpu), median(program_floor),
        median(program_ratio));
    row("Batch read of 200 tags, per refresh (median of 50)", batch_counts, median(batch_ms),
        median(batch_cpu), median(batch_floor), median(batch_ratio));
    std::printf(
        "\nTarget: time / (exchanges x floor) at most 1.30, the floor taken right before each run.\n");

    auto detail = [&](const char* name, const BrowseResult& b) {
        std::printf(
            "%s: result %u; %zu top-level entries, %zu tag infos, %zu templates; exchanges: symbol pages "
            "(0x55) %llu, template attributes (0x03) %llu, template reads (0x4C) %llu; result %.2f MiB, peak "
            "%.2f MiB\n",
            name, unsigned(b.rc), b.top_level, b.infos, b.templates, (unsigned long long)svc(b.counts, 0x55),
            (unsigned long long)svc(b.counts, 0x03), (unsigned long long)svc(b.counts, 0x4C),
            double(b.result_bytes) / 1048576.0, double(b.peak_bytes) / 1048576.0);
    };
    std::printf("\n");
    detail("Controller-scope browse", full);
    std::printf("Program browses: symbol pages %llu, template attributes %llu, template reads %llu\n",
                (unsigned long long)svc(program_counts, 0x55), (unsigned long long)svc(program_counts, 0x03),
                (unsigned long long)svc(program_counts, 0x4C));
    std::printf("Batch read: %llu Multiple Service Packets, %llu single reads, %zu of 200 entries failed\n",
                (unsigned long long)svc(batch_counts, 0x0A), (unsigned long long)svc(batch_counts, 0x4C),
                failed);
    return 0; // the clients are destroyed with the rigs, still under the tracking allocator
}
