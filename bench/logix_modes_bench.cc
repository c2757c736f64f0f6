// Exchanges and time of the Logix client in each connection mode: unconnected messaging
// (500-byte packets), a class 3 connection of 504 bytes and one of 4002 bytes, against an
// in-process logix-sim serving the generated large controller, with the simulator's reply delay
// at 0 and at 1 ms (a plant LAN). Measures the full browse (controller scope and all 20 programs,
// everything expanded, templates read anew: each run starts on a fresh connection) and the
// refresh of 200 watched tags; then the demo controller's full browse in exchanges.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "counting_relay.h"
#include "logixsim/server.h"
#include "zelkc_logix.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void check(uint8_t rc, const char* what) {
    if (rc != ZELKC_LOGIX_OK) {
        std::fprintf(stderr, "logix_modes_bench: %s failed with %u\n", what, unsigned(rc));
        std::exit(1);
    }
}

struct Mode {
    const char* name;
    uint8_t mode;
    uint32_t packet_size; // what the connect must give
};

const Mode kModes[] = {
    {"unconnected (500)", ZELKC_LOGIX_MODE_UNCONNECTED, 500},
    {"connected 504", ZELKC_LOGIX_MODE_SMALL, 502},
    {"connected 4002", ZELKC_LOGIX_MODE_AUTO, 4000},
};

zelkc_logix_client* connect(uint16_t port, const Mode& mode) {
    zelkc_logix_client* client = zelkc_logix_client_create();
    if (client == nullptr) {
        std::exit(1);
    }
    check(zelkc_logix_client_connect_mode(client, "127.0.0.1", port, 10000, mode.mode), "connect");
    if (zelkc_logix_client_packet_size(client) != mode.packet_size) {
        std::fprintf(stderr, "logix_modes_bench: %s gave packets of %u\n", mode.name,
                     zelkc_logix_client_packet_size(client));
        std::exit(1);
    }
    return client;
}

// Controller scope, then every program it lists.
void full_browse(zelkc_logix_client* client) {
    zelkc_logix_tag_info_list list{};
    check(zelkc_logix_client_browse_global_tags(client, &list), "controller browse");
    for (uint32_t i = 0; i < list.count; ++i) {
        if (zelkc_logix_tag_is_program(list.items[i].symbol_type)) {
            zelkc_logix_tag_info_list tags{};
            check(zelkc_logix_client_browse_program_tags(client, &tags, list.items[i].name),
                  "program browse");
            zelkc_logix_tag_info_list_free(&tags);
        }
    }
    zelkc_logix_tag_info_list_free(&list);
}

void refresh(zelkc_logix_client* client, std::vector<zelkc_logix_atomic_read>& entries) {
    check(zelkc_logix_client_read_atomic_values(client, entries.data(), uint32_t(entries.size())), "refresh");
    for (const auto& e : entries) {
        check(e.result, e.tag);
    }
}

struct Row {
    uint64_t browse_exchanges = 0;
    uint64_t refresh_exchanges = 0;
    double browse_ms = 0;
    double refresh_ms = 0;
};

Row measure(logixsim::Server& server, const Mode& mode, std::vector<zelkc_logix_atomic_read>& entries,
            int repeats) {
    Row row;
    {
        CountingRelay relay(server.port());
        zelkc_logix_client* counted = connect(relay.port(), mode);
        relay.take();
        full_browse(counted);
        row.browse_exchanges = relay.take().exchanges;
        refresh(counted, entries);
        row.refresh_exchanges = relay.take().exchanges;
        zelkc_logix_client_destroy(counted);
    }
    std::vector<double> browse;
    std::vector<double> reads;
    for (int r = 0; r < repeats; ++r) {
        zelkc_logix_client* client = connect(server.port(), mode); // a fresh template cache
        const auto t = Clock::now();
        full_browse(client);
        browse.push_back(ms_since(t));
        for (int i = 0; i < 10; ++i) {
            const auto u = Clock::now();
            refresh(client, entries);
            reads.push_back(ms_since(u));
        }
        zelkc_logix_client_destroy(client);
    }
    row.browse_ms = median(browse);
    row.refresh_ms = median(reads);
    return row;
}

} // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;

    logixsim::GeneratorOptions gen;
    gen.max_members = 8; // as logix_bench: the controller scope stays within 100,000 tag infos
    const std::string text = logixsim::generate_controller_json(gen);
    const auto file = nlohmann::json::parse(text);
    static const std::set<std::string> kAtomic = {"BOOL",  "SINT", "INT",   "DINT",  "LINT",
                                                  "USINT", "UINT", "UDINT", "ULINT", "REAL",
                                                  "LREAL", "BYTE", "WORD",  "DWORD", "LWORD"};
    std::vector<std::string> atomics;
    for (const auto& t : file["tags"]) {
        if (kAtomic.count(t["type"].get<std::string>()) != 0 && !t.contains("dims")) {
            atomics.push_back(t["name"]);
        }
    }
    std::vector<zelkc_logix_atomic_read> entries(200);
    for (size_t i = 0; i < entries.size(); ++i) {
        entries[i].tag = atomics[i * (atomics.size() / entries.size())].c_str();
    }

    logixsim::Options options;
    options.host = "127.0.0.1";
    options.port = 0;
    options.live_interval_ms = 0;
    logixsim::Server server(logixsim::parse_controller(text, "generated"), options);
    server.start();

    std::printf("logix_modes_bench: generated controller: %zu controller tags, %zu programs x %zu tags, %zu "
                "types of 3 to %zu members nested up to %zu deep; loopback; the simulator takes Multiple "
                "Service Packets up to 4002 bytes; times are medians of %d runs\n\n",
                gen.tags, gen.programs, gen.program_tags, gen.types, gen.max_members, gen.depth, repeats);
    std::printf(
        "| Mode | Reply delay (ms) | Full browse: exchanges | Full browse: time (ms) | Refresh of 200 "
        "tags: exchanges | Refresh: time (ms) |\n");
    std::printf("|---|---:|---:|---:|---:|---:|\n");
    for (const int delay : {0, 1}) {
        logixsim::Faults faults;
        faults.reply_delay_ms = delay;
        faults.packet_limit = 4002;
        server.set_faults(faults);
        for (const Mode& mode : kModes) {
            const Row row = measure(server, mode, entries, repeats);
            std::printf("| %s | %d | %llu | %.1f | %llu | %.2f |\n", mode.name, delay,
                        (unsigned long long)row.browse_exchanges, row.browse_ms,
                        (unsigned long long)row.refresh_exchanges, row.refresh_ms);
            std::fflush(stdout);
        }
    }

    options.faults.packet_limit = 4002;
    logixsim::Server demo(logixsim::demo_controller(), options);
    demo.start();
    std::printf("\nDemo controller, full browse (controller scope and its 3 programs, everything expanded):");
    for (const Mode& mode : kModes) {
        CountingRelay relay(demo.port());
        zelkc_logix_client* client = connect(relay.port(), mode);
        relay.take();
        full_browse(client);
        std::printf(" %s %llu;", mode.name, (unsigned long long)relay.take().exchanges);
        zelkc_logix_client_destroy(client);
    }
    std::printf(" exchanges\n");
    return 0;
}
