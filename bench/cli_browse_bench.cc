// cli_browse_bench: `orvane-cli browse ADDRESS --all` of the generated large controller (10,000
// controller tags, 20 programs of 500 tags, 200 user types nested up to 3 deep) served by logix-sim
// in-process on loopback. Runs the real executable, its standard output read through a pipe:
//   1. at the simulator's reply delay of 1 ms, in the default mode and with --unconnected: the
//      exchanges (counted by a relay: session, Forward Open and Close included) and the time;
//   2. at 0 ms: the browse alone (the library in-process doing what the command does: connect as
//      the application does, controller scope, then every program) against the command writing
//      the text and the JSON, and their ratio.
// Medians of RUNS runs (default 5). Usage: cli_browse_bench [RUNS]; ORVANE_CLI=<path> runs another
// build of orvane-cli (an earlier one, to compare).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <vector>

#include <logixsim/server.h>
#include <zelkc_logix.h>

#include "bench_support.h"
#include "counting_relay.h"

namespace {

struct Run {
    double ms = 0;
    uint64_t exchanges = 0;
    size_t bytes = 0;
    size_t lines = 0;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One run of orvane-cli with `args` against `port`; its standard output read to the end.
Run run_cli(uint16_t port, const std::string& args, CountingRelay& relay) {
    const char* exe = std::getenv("ORVANE_CLI") != nullptr ? std::getenv("ORVANE_CLI") : ORVANE_CLI_EXE;
    const std::string command = std::string("'") + exe + "' browse 127.0.0.1:" + std::to_string(port) + " " + args;
    relay.take();
    Run run;
    const auto t = bench::Clock::now();
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        std::perror("popen");
        std::exit(1);
    }
    std::vector<char> buffer(1 << 16);
    for (size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) {
        run.bytes += n;
        run.lines += size_t(std::count(buffer.begin(), buffer.begin() + long(n), '\n'));
    }
    const int status = ::pclose(pipe);
    run.ms = bench::msSince(t);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "cli_browse_bench: '%s' failed\n", command.c_str());
        std::exit(1);
    }
    const auto counts = relay.take();
    run.exchanges = counts.exchanges;
    if (std::getenv("BENCH_SERVICES") != nullptr)
        for (const auto& [service, n] : counts.by_service)
            std::fprintf(stderr, "service 0x%02X: %llu\n", service, static_cast<unsigned long long>(n));
    return run;
}

// The browse as the command does it, without writing anything: connect, the controller scope,
// then each program found in it; the time in ms.
double browse_alone(uint16_t port) {
    const auto t = bench::Clock::now();
    zelkc_logix_client* client = zelkc_logix_client_create();
    zelkc_logix_tag_info_list list{};
    if (zelkc_logix_client_connect_mode(client, "127.0.0.1", port, 10000, ZELKC_LOGIX_MODE_AUTO) != 0 ||
        zelkc_logix_client_browse_global_tags(client, &list) != 0) {
        std::fprintf(stderr, "cli_browse_bench: the in-process browse failed\n");
        std::exit(1);
    }
    std::vector<std::string> programs;
    for (uint32_t i = 0; i < list.count; ++i) {
        if (zelkc_logix_tag_is_program(list.items[i].symbol_type) && list.items[i].name != nullptr) {
            programs.push_back(list.items[i].name);
        }
    }
    zelkc_logix_tag_info_list_free(&list);
    for (const std::string& program : programs) {
        zelkc_logix_tag_info_list tags{};
        if (zelkc_logix_client_browse_program_tags(client, &tags, program.c_str()) != 0) {
            std::fprintf(stderr, "cli_browse_bench: browsing %s failed\n", program.c_str());
            std::exit(1);
        }
        zelkc_logix_tag_info_list_free(&tags);
    }
    zelkc_logix_client_destroy(client);
    return bench::msSince(t);
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    auto controller = logixsim::parse_controller(logixsim::generate_controller_json({}), "generated");
    logixsim::Options options;
    options.port = 0;
    options.live_interval_ms = 0;
    logixsim::Server sim(controller, options);
    sim.start();
    CountingRelay relay(sim.port());

    logixsim::Faults delayed;
    delayed.reply_delay_ms = 1;
    sim.set_faults(delayed);
    std::printf("`orvane-cli browse ADDRESS --all`, reply delay 1 ms, medians of %d runs\n\n", runs);
    std::printf("| Mode | Exchanges | Time (s) | Lines |\n|---|---:|---:|---:|\n");
    for (const auto& [name, args] : {std::pair{"default (class 3, 4002 bytes)", "--all"},
                                     std::pair{"`--unconnected`", "--all --unconnected"}}) {
        std::vector<double> times;
        Run run;
        for (int i = 0; i < runs; ++i) {
            run = run_cli(relay.port(), args, relay);
            times.push_back(run.ms);
        }
        std::printf("| %s | %llu | %.2f | %zu |\n", name, static_cast<unsigned long long>(run.exchanges),
                    median(times) / 1000.0, run.lines);
        std::fflush(stdout);
    }

    sim.set_faults({});
    std::printf("\nReply delay 0 ms, medians of %d runs\n\n", runs);
    std::printf("| What | Output (MB) | Time (ms) | Ratio to the browse alone |\n|---|---:|---:|---:|\n");
    std::vector<double> alone;
    for (int i = 0; i < runs; ++i) {
        alone.push_back(browse_alone(sim.port()));
    }
    const double base = median(alone);
    std::printf("| browse alone (library in-process: connect, controller scope, 20 programs) | - | %.1f | 1.00 |\n",
                base);
    for (const auto& [name, args] : {std::pair{"`browse --all` (text)", "--all"},
                                     std::pair{"`browse --all --json`", "--all --json"}}) {
        std::vector<double> times;
        Run run;
        for (int i = 0; i < runs; ++i) {
            run = run_cli(sim.port(), args, relay);
            times.push_back(run.ms);
        }
        std::printf("| %s | %.1f | %.1f | %.2f |\n", name, double(run.bytes) / 1e6, median(times),
                    median(times) / base);
        std::fflush(stdout);
    }
    return 0;
}
