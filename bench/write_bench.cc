// Writes against reads of the same DINTs: 1, 10 and 100 tags, over a 4002-byte class 3 connection
// and unconnected, with the simulator's reply delay at 0 and 1 ms. Each row gives the exchanges of
// one batch write, of the read-back that follows it, and of a batch read of the same tags, and the
// median times of each (write alone; write and read-back; read alone).
//
//     build/default/bin/write_bench [RUNS]     (default 21 runs per cell)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "counting_relay.h"
#include "logixsim/server.h"
#include "zelkc_logix.h"

namespace {

void check(uint8_t rc, const char* what) {
    if (rc != ZELKC_LOGIX_OK) {
        std::fprintf(stderr, "write_bench: %s failed with %u\n", what, unsigned(rc));
        std::exit(1);
    }
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string controller_json() {
    std::string tags;
    for (int i = 0; i < 100; ++i)
        tags += (i ? "," : "") + std::string("{\"name\":\"Setpoint") + std::to_string(i) + "\",\"type\":\"DINT\"}";
    return R"({"identity":{"product_name":"1756-L83E/B"},"tags":[)" + tags + "]}";
}

struct Batch {
    std::vector<std::string> names;
    std::vector<zelkc_logix_atomic_write> writes;
    std::vector<zelkc_logix_atomic_read> reads;
    explicit Batch(int n) {
        for (int i = 0; i < n; ++i)
            names.push_back("Setpoint" + std::to_string(i));
        for (int i = 0; i < n; ++i) {
            zelkc_logix_atomic_write w{};
            w.tag = names[size_t(i)].c_str();
            w.value.type = ZELKC_LOGIX_TYPE_DINT;
            writes.push_back(w);
            reads.push_back({names[size_t(i)].c_str(), 0, {}});
        }
    }
    void write(zelkc_logix_client* client, int32_t value) {
        for (auto& w : writes)
            w.value.value.i32 = value;
        check(zelkc_logix_client_write_values(client, writes.data(), uint32_t(writes.size())), "write");
        for (const auto& w : writes)
            check(w.result, w.tag);
    }
    void read(zelkc_logix_client* client) {
        check(zelkc_logix_client_read_atomic_values(client, reads.data(), uint32_t(reads.size())), "read");
        for (const auto& r : reads)
            check(r.result, r.tag);
    }
};

zelkc_logix_client* connect(uint16_t port, uint8_t mode) {
    zelkc_logix_client* client = zelkc_logix_client_create();
    check(client != nullptr ? zelkc_logix_client_connect_mode(client, "127.0.0.1", port, 10000, mode) : 2, "connect");
    return client;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
    std::printf("| mode | reply delay | tags | write exchanges | read-back exchanges | read exchanges | write ms | "
                "write + read-back ms | read ms |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const uint8_t mode : {ZELKC_LOGIX_MODE_AUTO, ZELKC_LOGIX_MODE_UNCONNECTED}) {
        for (const int delay : {0, 1}) {
            logixsim::Options options;
            options.port = 0;
            options.live_interval_ms = 0;
            options.faults.reply_delay_ms = delay;
            logixsim::Server server(logixsim::parse_controller(controller_json(), "write_bench"), options);
            server.start();
            for (const int n : {1, 10, 100}) {
                Batch batch(n);
                uint64_t write_x = 0, back_x = 0, read_x = 0;
                {
                    CountingRelay relay(server.port());
                    zelkc_logix_client* counted = connect(relay.port(), mode);
                    relay.take();
                    batch.write(counted, 1);
                    write_x = relay.take().exchanges;
                    batch.read(counted);
                    back_x = relay.take().exchanges;
                    batch.read(counted);
                    read_x = relay.take().exchanges;
                    zelkc_logix_client_destroy(counted);
                }
                zelkc_logix_client* client = connect(server.port(), mode);
                std::vector<double> write_ms, both_ms, read_ms;
                for (int r = 0; r < runs; ++r) {
                    auto t = bench::Clock::now();
                    batch.write(client, r);
                    write_ms.push_back(bench::msSince(t));
                    batch.read(client);
                    both_ms.push_back(bench::msSince(t));
                    t = bench::Clock::now();
                    batch.read(client);
                    read_ms.push_back(bench::msSince(t));
                }
                zelkc_logix_client_destroy(client);
                std::printf("| %s | %d ms | %d | %llu | %llu | %llu | %.2f | %.2f | %.2f |\n",
                            mode == ZELKC_LOGIX_MODE_AUTO ? "connected 4002" : "unconnected", delay, n,
                            (unsigned long long)write_x, (unsigned long long)back_x, (unsigned long long)read_x,
                            median(write_ms), median(both_ms), median(read_ms));
            }
        }
    }
    return 0;
}
