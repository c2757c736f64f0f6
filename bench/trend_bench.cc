// trend_bench: the trend pane headless (offscreen SDL, software renderer, 1200 x 800) with 50 tags
// over an hour of history at 100 ms (1.8 million points), frame times while it is shown, and the
// history's memory; then a 100 ms watch of 200 tags of the generated controller (logix-sim in this
// process): requests per cycle and the process's CPU.
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <logixsim/server.h>
#include <zelk/ui.h>

#include "AppState.h"
#include "Views/InspectorView.h"
#include "Views/TagInspector.h"
#include "Views/TreeView.h"
#include "Views/TrendView.h"
#include "bench_support.h"
#include "headless_app.h"

namespace {

using bench::Clock;
using bench::msSince;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void report(const char* what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::printf("| %s | %.2f | %.2f | %zu |\n", what, v[v.size() / 2], v.back(), v.size());
}

} // namespace

int main() {
    bench::HeadlessApp headless = bench::startHeadlessApp();
    auto& app = headless.app;
    auto& main = headless.main;
    TagInspector* list = TagInspector::getInstance();

    // 50 tags, an hour of points at 100 ms each (a slow sine with noise; BOOLs among them as steps).
    const long rssBefore = bench::rssKiB();
    std::vector<std::string> names;
    for (int i = 0; i < 50; ++i) {
        zelkc_logix_tag_info info{};
        const std::string name = "Trend" + std::to_string(i);
        info.name = const_cast<char*>(name.c_str());
        info.symbol_type = i % 10 == 0 ? ZELKC_LOGIX_TYPE_BOOL : ZELKC_LOGIX_TYPE_REAL;
        list->addTag(&info, name);
        list->setTrended(name, true);
        names.push_back(name);
    }
    list->setIntervalMs(100);
    const int64_t now = list->now();
    const int64_t step = 100'000'000;
    for (int64_t t = now - 3600'000'000'000; t <= now; t += step) {
        for (size_t i = 0; i < names.size(); ++i) {
            const double x = static_cast<double>(t / step) / 300.0 + static_cast<double>(i);
            list->getHistory().add(names[i], t,
                                   i % 10 == 0 ? (std::sin(x) > 0 ? 1.0 : 0.0) : 100 * std::sin(x) + i);
        }
    }
    const long rssHistory = bench::rssKiB();
    main->getInspectorView()->setTrendShown(true);
    TrendView* trend = main->getTrendView();
    trend->setWindowIndex(2); // the whole hour
    for (int i = 0; i < 5; ++i)
        app->runFrame();
    std::vector<double> hour, minute;
    for (int i = 0; i < 60; ++i) {
        const auto t = Clock::now();
        app->runFrame();
        hour.push_back(msSince(t));
    }
    const size_t segmentsHour = trend->getSegmentCount();
    // Frames that each follow a new cycle: every line computed again from the history.
    std::vector<double> hourNew;
    int64_t later = now;
    for (int i = 0; i < 30; ++i) {
        later += step;
        for (const auto& name : names)
            list->getHistory().add(name, later, 1.0);
        const auto t = Clock::now();
        app->runFrame();
        hourNew.push_back(msSince(t));
    }
    trend->setWindowIndex(0);
    for (int i = 0; i < 60; ++i) {
        const auto t = Clock::now();
        app->runFrame();
        minute.push_back(msSince(t));
    }
    const size_t segmentsMinute = trend->getSegmentCount();
    const size_t historyBytes = list->getHistory().bytes();
    const size_t perTag = list->getHistory().pointCount(names[1]);
    list->clear();

    // A 100 ms watch of 200 tags of the generated controller.
    logixsim::GeneratorOptions gen;
    gen.max_members = 8;
    logixsim::Options options;
    options.port = 0;
    logixsim::Server sim(logixsim::parse_controller(logixsim::generate_controller_json(gen), "generated"),
                         options);
    sim.start();
    if (AppState::getInstance()->connect("127.0.0.1", sim.port()) != 0) {
        std::fprintf(stderr, "trend_bench: no connection\n");
        return 1;
    }
    for (int i = 0;
         i < 400 && (main->getTreeView()->isLoading() || main->getTreeView()->getRootItems().empty()); ++i)
        app->runFrame(16667); // the browse a connect starts empties the list: add the tags after it
    zelkc_logix_client* client = zelkc_logix_client_create();
    zelkc_logix_tag_info_list tags{};
    zelkc_logix_client_connect_mode(client, "127.0.0.1", sim.port(), 10000, ZELKC_LOGIX_MODE_AUTO);
    zelkc_logix_client_browse_global_tags(client, &tags);
    for (uint32_t i = 0; i < tags.count && list->getTags().size() < 200; ++i)
        list->addTag(&tags.items[i], "");
    const size_t watched = list->getTags().size();
    const size_t strings = static_cast<size_t>(std::count_if(list->getTags().begin(), list->getTags().end(),
                                                             [](const auto& tag) { return tag.isString; }));
    for (int i = 0; i < 30; ++i)
        app->runFrame(); // the first cycles
    const uint64_t requests = sim.request_count();
    const uint64_t cycles = list->cyclesTaken();
    const double cpu = cpuSeconds();
    const auto start = Clock::now();
    auto next = Clock::now();
    while (msSince(start) < 5000) {
        app->runFrame(16667); // paced like a window on a 60 Hz screen
        next += std::chrono::microseconds(16667);
        std::this_thread::sleep_until(next);
    }
    const double seconds = msSince(start) / 1000.0;
    const double cpuShare = (cpuSeconds() - cpu) / seconds * 100.0;
    const uint64_t doneCycles = list->cyclesTaken() - cycles;
    const uint64_t doneRequests = sim.request_count() - requests;

    std::printf("| Measure | Median | Worst | Runs |\n|---|---:|---:|---:|\n");
    report("Frame, trend of 50 tags over the last hour at 100 ms (ms)", hour);
    report("Frame after a new cycle, the hour computed again (ms)", hourNew);
    report("Frame, the same tags over the last minute (ms)", minute);
    std::printf("\nHistory: %.1f MiB of rings (%zu points a tag), %.1f MiB more resident; %zu segments drawn "
                "for the hour, %zu for the minute.\n",
                static_cast<double>(historyBytes) / 1048576.0, perTag,
                static_cast<double>(rssHistory - rssBefore) / 1024.0, segmentsHour, segmentsMinute);
    std::printf("A 100 ms watch of %zu tags (%zu of them STRINGs, read one request each) for %.1f s: %llu cycles "
                "(%.1f a second), %.2f requests a cycle, the process (the simulator in it) at %.1f %% of a core.\n",
                watched, strings, seconds, static_cast<unsigned long long>(doneCycles),
                static_cast<double>(doneCycles) / seconds,
                doneCycles > 0 ? static_cast<double>(doneRequests) / static_cast<double>(doneCycles) : 0.0,
                cpuShare);
    zelkc_logix_tag_info_list_free(&tags);
    zelkc_logix_client_destroy(client);
    AppState::getInstance()->disconnect();
    ThreadPool::instance().stop();
    main.reset();
    app.reset();
    return 0;
}
