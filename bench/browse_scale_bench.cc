// browse_scale_bench: the controller-scope browse of generated controllers of about 100,000, 500,000
// and 1,000,000 tag infos (types of 3 to 10 members nested up to 3 deep), each served by logix-sim
// in-process on loopback: result, exchanges, time, the peak of the library's heap during the browse
// and the bytes per info of the result. The client connects as the application does (auto mode).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include <logixsim/server.h>
#include <zelkc_logix.h>

#include "counting_relay.h"
#include "tracking_allocator.h"

namespace {

size_t countInfos(const zelkc_logix_tag_info* items, uint32_t count) {
    size_t n = count;
    for (uint32_t i = 0; i < count; ++i) {
        n += countInfos(items[i].children, items[i].child_count);
    }
    return n;
}

} // namespace

int main() {
    zelkc_cip_allocator_set_default(&tracking_allocator);
    std::printf(
        "| Controller tags | Result | Tag infos | Exchanges | Time (ms) | Peak heap (MiB) | Result (MiB) | "
        "Bytes per info |\n|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (size_t tags : {8800u, 44000u, 88000u}) {
        logixsim::GeneratorOptions gen;
        gen.tags = tags;
        gen.programs = 0;
        gen.program_tags = 0;
        auto controller = logixsim::parse_controller(logixsim::generate_controller_json(gen), "generated");
        logixsim::Options options;
        options.port = 0;
        options.live_interval_ms = 0;
        logixsim::Server sim(controller, options);
        sim.start();
        CountingRelay relay(sim.port());
        zelkc_logix_client* client = zelkc_logix_client_create();
        if (zelkc_logix_client_connect_mode(client, "127.0.0.1", relay.port(), 10000,
                                            ZELKC_LOGIX_MODE_AUTO) != 0) {
            std::fprintf(stderr, "browse_scale_bench: connect failed\n");
            return 1;
        }
        relay.take();
        zelkc_logix_tag_info_list list{};
        const size_t before = TrackingAllocator::live;
        TrackingAllocator::peak = before;
        const auto t = std::chrono::steady_clock::now();
        const uint8_t rc = zelkc_logix_client_browse_global_tags(client, &list);
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
        const size_t peak = TrackingAllocator::peak - before;
        const size_t result = TrackingAllocator::live - before;
        const size_t infos = countInfos(list.items, list.count);
        const auto counts = relay.take();
        std::printf("| %zu | %u | %zu | %llu | %.0f | %.1f | %.1f | %.1f |\n", tags, unsigned(rc), infos,
                    static_cast<unsigned long long>(counts.exchanges), ms, peak / 1048576.0,
                    result / 1048576.0, infos != 0 ? double(result) / double(infos) : 0.0);
        std::fflush(stdout);
        zelkc_logix_tag_info_list_free(&list);
        zelkc_logix_client_destroy(client);
    }
    return 0;
}
