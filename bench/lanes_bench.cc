// Lanes: the full browse of the generated large controller (10,000 controller tags, 20 programs of
// 500 tags, 200 user types nested up to 3 deep, seed 1) and a refresh of 2,000 watched tags, over
// 1, 2, 4 and 8 lanes, against an in-process logix-sim whose replies leave 0, 1 or 20 ms after
// their requests arrived (at 20 ms the controller also works 1 ms per request, one at a time).
// Each run starts from a fresh connection, so lanes are opened and templates read anew; exchanges
// are the simulator's count of requests (connects included). Medians of RUNS runs (default 3).
// Usage: lanes_bench [RUNS]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench_support.h"
#include "logixsim/server.h"
#include "zelkc_logix.h"

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void check(uint8_t rc, const char* what) {
    if (rc != ZELKC_LOGIX_OK) {
        std::fprintf(stderr, "lanes_bench: %s failed with %u\n", what, unsigned(rc));
        std::exit(1);
    }
}

struct Run {
    double ms = 0;
    double connect_ms = 0; // connect and open the lanes
    double scope_ms = 0;   // the controller scope, expanded
    uint64_t exchanges = 0;
    uint32_t lanes = 0;
    size_t tags = 0;
};

// Connect, open the lanes, controller scope, then every program: the whole tag database.
Run full_browse(logixsim::Server& server, uint32_t lanes_wanted) {
    const uint64_t before = server.request_count();
    const auto t = bench::Clock::now();
    zelkc_logix_client* client = zelkc_logix_client_create();
    check(zelkc_logix_client_connect_mode(client, "127.0.0.1", server.port(), 10000, ZELKC_LOGIX_MODE_AUTO),
          "connect");
    zelkc_logix_lanes lanes;
    check(zelkc_logix_lanes_open(&lanes, client, "127.0.0.1", server.port(), 10000, lanes_wanted), "lanes");
    const double connected = bench::msSince(t);
    zelkc_logix_tag_info_list list{};
    check(zelkc_logix_lanes_browse_global_tags(&lanes, &list), "controller browse");
    const double scoped = bench::msSince(t);
    std::vector<const char*> programs;
    for (uint32_t i = 0; i < list.count; ++i) {
        if (zelkc_logix_tag_is_program(list.items[i].symbol_type)) {
            programs.push_back(list.items[i].name);
        }
    }
    Run run;
    run.connect_ms = connected;
    run.scope_ms = scoped - connected;
    run.tags = list.count;
    check(zelkc_logix_lanes_browse_programs(
              &lanes, programs.data(), uint32_t(programs.size()),
              [](void* context, uint32_t, uint8_t result, zelkc_logix_tag_info_list* tags) {
                  check(result, "program browse");
                  __atomic_add_fetch(static_cast<size_t*>(context), tags->count, __ATOMIC_RELAXED);
                  zelkc_logix_tag_info_list_free(tags);
              },
              &run.tags),
          "programs");
    run.ms = bench::msSince(t);
    run.lanes = lanes.count;
    zelkc_logix_tag_info_list_free(&list);
    zelkc_logix_lanes_close(&lanes);
    zelkc_logix_client_destroy(client);
    run.exchanges = server.request_count() - before;
    return run;
}

// Ten refreshes of the watched tags over open lanes: exchanges of one, median time.
Run refresh(logixsim::Server& server, uint32_t lanes_wanted, std::vector<zelkc_logix_atomic_read>& entries) {
    zelkc_logix_client* client = zelkc_logix_client_create();
    check(zelkc_logix_client_connect_mode(client, "127.0.0.1", server.port(), 10000, ZELKC_LOGIX_MODE_AUTO),
          "connect");
    zelkc_logix_lanes lanes;
    check(zelkc_logix_lanes_open(&lanes, client, "127.0.0.1", server.port(), 10000, lanes_wanted), "lanes");
    std::vector<zelkc_logix_read_status> statuses(entries.size());
    std::vector<double> times;
    Run run;
    for (int i = 0; i < 10; ++i) {
        const uint64_t before = server.request_count();
        const auto t = bench::Clock::now();
        check(zelkc_logix_lanes_read_atomic_values_status(&lanes, entries.data(), uint32_t(entries.size()),
                                                           statuses.data()),
              "refresh");
        times.push_back(bench::msSince(t));
        run.exchanges = server.request_count() - before;
        for (const auto& e : entries) {
            check(e.result, e.tag);
        }
    }
    run.ms = median(times);
    run.lanes = lanes.used;
    zelkc_logix_lanes_close(&lanes);
    zelkc_logix_client_destroy(client);
    return run;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    logixsim::GeneratorOptions gen; // 10,000 tags, 20 x 500, 200 types, depth 3, seed 1
    const std::string text = logixsim::generate_controller_json(gen);
    const auto file = nlohmann::json::parse(text);
    static const std::set<std::string> kAtomic = {"BOOL",  "SINT", "INT",   "DINT",  "LINT",
                                                  "USINT", "UINT", "UDINT", "ULINT", "REAL",
                                                  "LREAL", "BYTE", "WORD",  "DWORD", "LWORD"};
    std::vector<std::string> watched;
    for (const auto& t : file["tags"]) {
        if (kAtomic.count(t["type"].get<std::string>()) != 0 && !t.contains("dims") && watched.size() < 2000) {
            watched.push_back(t["name"]);
        }
    }
    std::vector<zelkc_logix_atomic_read> entries(watched.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        entries[i].tag = watched[i].c_str();
    }
    const auto controller = logixsim::parse_controller(text, "generated");
    std::printf("lanes_bench: generated controller (10,000 controller tags, 20 programs x 500, 200 types); "
                "connected 4002; medians of %d runs\n\n",
                runs);
    std::printf("| Round trip (ms) | Service (us) | Lanes asked | Lanes | Full browse: exchanges | Full browse (ms): connect + controller "
                "scope + programs "
                "| Refresh of %zu tags: exchanges | Lanes used | Refresh (ms) |\n",
                entries.size());
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const int rtt : {0, 1, 20}) {
        logixsim::Options options;
        options.port = 0;
        options.live_interval_ms = 0;
        options.rtt_ms = rtt;
        options.service_us = rtt == 20 ? 1000 : 0;
        options.faults.packet_limit = 4002;
        logixsim::Server server(controller, options);
        server.start();
        for (const uint32_t lanes : {1u, 2u, 4u, 8u}) {
            std::vector<double> times, connects, scopes;
            Run browse;
            for (int r = 0; r < runs; ++r) {
                browse = full_browse(server, lanes);
                times.push_back(browse.ms);
                connects.push_back(browse.connect_ms);
                scopes.push_back(browse.scope_ms);
            }
            const Run read = refresh(server, lanes, entries);
            std::printf("| %d | %d | %u | %u | %llu | %.0f (%.0f + %.0f + %.0f) | %llu | %u | %.1f |\n", rtt,
                        options.service_us, lanes, browse.lanes, (unsigned long long)browse.exchanges, median(times),
                        median(connects), median(scopes), median(times) - median(connects) - median(scopes),
                        (unsigned long long)read.exchanges, read.lanes, read.ms);
            std::fflush(stdout);
        }
    }
    return 0;
}
