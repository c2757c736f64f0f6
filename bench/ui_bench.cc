// ui_bench: the application's views, headless (offscreen SDL, software renderer, 1200 x 800), against
// logix-sim serving the generated 10,000-tag controller that logix_bench uses. Prints one table:
// click-to-rows against the library's connect + browse alone, frame times with the full tree (one
// large structure array opened), while typing a filter character over all rows, and while 200 watched
// tags refresh; the process's memory with the full tree; and how long the UI thread is held when
// Disconnect is clicked during a browse.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <SDL.h>
#include <logixsim/server.h>
#include <zelk/ui.h>

#include "AppState.h"
#include "Views/InspectorView.h"
#include "Views/TagInspector.h"
#include "Views/TopBarView.h"
#include "Views/TreeView.h"
#include "bench_support.h"
#include "headless_app.h"

namespace {

using bench::Clock;
using bench::msSince;
using bench::rssKiB;

struct Stats {
    double median = 0, worst = 0;
    size_t n = 0;
};
Stats stats(std::vector<double> v) {
    Stats s;
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    s.median = v[v.size() / 2];
    s.worst = v.back();
    s.n = v.size();
    return s;
}

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "ui_bench: %s\n", what.c_str());
    std::exit(1);
}

struct Ui {
    zelk::ui::Application* app;
    MainWindow* main;
    // One frame at the machine's own pace; returns its wall time in ms.
    // With `paced`, frames start at most every 16.7 ms, as vertical sync paces the application's
    // window; the offscreen driver has no vertical sync, and an unpaced loop would take a whole core
    // from the browse it waits for.
    bool paced = false;
    Clock::time_point nextFrame = Clock::now();
    double frame() {
        if (paced) {
            std::this_thread::sleep_until(nextFrame);
            nextFrame = std::max(Clock::now(), nextFrame + std::chrono::microseconds(16667));
        }
        const auto t = Clock::now();
        app->runFrame();
        return msSince(t);
    }
    void until(const std::function<bool()>& done, const char* what, double limitMs = 120000) {
        const auto t = Clock::now();
        while (!done()) {
            if (msSince(t) > limitMs)
                fail(std::string("timed out waiting for ") + what);
            frame();
        }
    }
    void click(float x, float y) {
        SDL_Event e{};
        e.type = SDL_MOUSEMOTION;
        e.motion.windowID = main->getWindow()->getId();
        e.motion.x = static_cast<int>(x);
        e.motion.y = static_cast<int>(y);
        SDL_PushEvent(&e);
        for (bool down : {true, false}) {
            SDL_Event b{};
            b.type = down ? SDL_MOUSEBUTTONDOWN : SDL_MOUSEBUTTONUP;
            b.button.windowID = main->getWindow()->getId();
            b.button.button = SDL_BUTTON_LEFT;
            b.button.state = down ? SDL_PRESSED : SDL_RELEASED;
            b.button.clicks = 1;
            b.button.x = static_cast<int>(x);
            b.button.y = static_cast<int>(y);
            SDL_PushEvent(&b);
        }
    }
    void clickButton() {
        auto* b = main->getTopBar()->getConnectButton();
        const auto at = b->getWorldPosition() + b->getActualSize() * 0.5f;
        click(at.x, at.y);
    }
    void text(const char* t) {
        SDL_Event e{};
        e.type = SDL_TEXTINPUT;
        e.text.windowID = main->getWindow()->getId();
        std::snprintf(e.text.text, sizeof e.text.text, "%s", t);
        SDL_PushEvent(&e);
    }
    void key(SDL_Keycode sym, SDL_Scancode code) {
        for (bool down : {true, false}) {
            SDL_Event e{};
            e.type = down ? SDL_KEYDOWN : SDL_KEYUP;
            e.key.windowID = main->getWindow()->getId();
            e.key.keysym.sym = sym;
            e.key.keysym.scancode = code;
            SDL_PushEvent(&e);
        }
    }
    bool rowsShown() {
        TreeView* tree = main->getTreeView();
        return !tree->isLoading() && !tree->getRootItems().empty() && tree->getTreePanel()->isVisible();
    }
    bool programsDone() {
        for (const auto& item : main->getTreeView()->getRootItems()) {
            if (item->isBusy())
                return false;
        }
        return true;
    }
    std::vector<double> frames(int n) {
        std::vector<double> out;
        for (int i = 0; i < n; ++i)
            out.push_back(frame());
        return out;
    }
};

} // namespace

int main(int argc, char** argv) {
    const int frameCount = argc > 1 ? std::atoi(argv[1]) : 200;

    logixsim::GeneratorOptions gen;
    gen.max_members = 8; // the controller logix_bench uses: 83,025 tag infos in controller scope
    if (argc > 2) {      // or another size: ui_bench FRAMES TAGS MAX_MEMBERS
        gen.tags = static_cast<size_t>(std::atol(argv[2]));
    }
    if (argc > 3) {
        gen.max_members = static_cast<size_t>(std::atol(argv[3]));
    }
    auto controller = logixsim::parse_controller(logixsim::generate_controller_json(gen), "generated");
    logixsim::Options options;
    options.port = 0;
    options.live_interval_ms = 1000;
    // UI_BENCH_RTT_MS=20: a controller across a WAN (each reply 20 ms after its request, 1 ms of
    // serial work per request); only the click-to-complete-tree runs are measured then, over the
    // lanes UI_BENCH_LANES asks (default 4).
    const int wanMs = std::getenv("UI_BENCH_RTT_MS") != nullptr ? std::atoi(std::getenv("UI_BENCH_RTT_MS")) : 0;
    if (wanMs > 0) {
        options.rtt_ms = wanMs;
        options.service_us = 1000;
    }
    if (std::getenv("UI_BENCH_LANES") != nullptr) {
        AppState::getInstance()->setLanes(static_cast<uint32_t>(std::atoi(std::getenv("UI_BENCH_LANES"))));
    }
    logixsim::Server sim(controller, options);
    sim.start();

    // The library alone: connect as the application does (auto mode), then the controller-scope
    // browse; run before and after the views' runs so that both see the same machine.
    std::vector<double> libraryRuns;
    auto libraryBrowse = [&] {
        zelkc_logix_client* client = zelkc_logix_client_create();
        zelkc_logix_tag_info_list list{};
        const auto t = Clock::now();
        if (zelkc_logix_client_connect_mode(client, "127.0.0.1", sim.port(), 10000, ZELKC_LOGIX_MODE_AUTO) !=
                0 ||
            zelkc_logix_client_browse_global_tags(client, &list) != 0) {
            fail("library browse failed");
        }
        libraryRuns.push_back(msSince(t));
        zelkc_logix_tag_info_list_free(&list);
        zelkc_logix_client_destroy(client);
    };
    for (int i = 0; i < 3; ++i) {
        libraryBrowse();
    }

    bench::HeadlessApp headless = bench::startHeadlessApp();
    auto& app = headless.app;
    auto& main = headless.main;
    Ui ui{app.get(), main.get()};
    main->getTopBar()->setAddress("127.0.0.1");
    main->getTopBar()->setPort(sim.port());
    ui.frames(3);
    const long rssBefore = rssKiB();

    // Click-to-rows, three times (Disconnect between), median.
    std::vector<double> clickToRows, toBrowseStart, toRowsMade, toComplete;
    ui.paced = true;
    for (int i = 0; i < 3; ++i) {
        if (AppState::getInstance()->getStatus()) {
            ui.clickButton();
            ui.frames(2);
        }
        ui.clickButton();
        const auto t = Clock::now();
        ui.frame();
        ui.until([&] { return main->getTreeView()->isLoading(); }, "browse start");
        toBrowseStart.push_back(msSince(t));
        ui.until([&] { return !main->getTreeView()->isLoading(); }, "rows");
        toRowsMade.push_back(msSince(t));
        ui.frame(); // the frame that draws the new rows
        if (!ui.rowsShown())
            fail("no rows after the browse");
        clickToRows.push_back(msSince(t));
        ui.until([&] { return ui.programsDone(); }, "program browses");
        toComplete.push_back(msSince(t));
        if (wanMs == 0) {
            libraryBrowse();
        }
    }
    if (wanMs > 0) {
        std::sort(toComplete.begin(), toComplete.end());
        std::printf("round trip %d ms: connect click to rows %.0f ms, to the complete tree (every program's tags "
                    "in) %.0f ms (medians of %zu)\n",
                    wanMs, stats(clickToRows).median, toComplete[toComplete.size() / 2], toComplete.size());
        return 0;
    }

    std::fprintf(stderr, "ui_bench: rows shown\n");
    ui.paced = false;
    // The largest structure array among the top rows, opened by a click on its arrow.
    TreeView* tree = main->getTreeView();
    TreeItem* largest = nullptr;
    size_t largestRows = 0;
    for (const auto& item : tree->getRootItems()) {
        auto* tag = dynamic_cast<TagItem*>(item.get());
        if (tag == nullptr || zelkc_logix_tag_array_rank(tag->getInfo()->symbol_type) == 0 ||
            !zelkc_logix_tag_is_struct(tag->getInfo()->symbol_type)) {
            continue;
        }
        size_t elements = 1;
        for (uint32_t d : tag->getInfo()->dims)
            elements *= d == 0 ? 1 : d;
        if (elements > largestRows) {
            largest = tag;
            largestRows = elements;
        }
    }
    if (largest == nullptr)
        fail("no structure array in the controller");
    tree->getScrollView()->setScrollOffset(zelk::ui::Vec2{0, largest->nodeRect().y - 100});
    ui.frames(2);
    {
        const auto at = tree->getTreePanel()->getWorldPosition();
        const ImVec4 r = largest->nodeRect();
        ui.click(at.x + r.x + 6, at.y + (r.y + r.w) / 2);
        ui.frames(2);
    }
    size_t drawnRows = tree->getRootItems().size() + largestRows;
    const Stats fullTree = stats(ui.frames(frameCount));
    const long rssTree = rssKiB();

    std::fprintf(stderr, "ui_bench: full tree measured\n");
    // A search typed a character at a time: from the key to the end of the frame that shows the
    // filtered rows, for each of the six characters; then Esc empties it. A top-level name and a path
    // deep in the members (which the search opens rows to).
    auto typeSearch = [&](const char* text) {
        std::vector<double> out;
        ui.click(100, 65);
        ui.frames(2);
        for (const char* c = text; *c != '\0'; ++c) {
            const char one[2] = {*c, '\0'};
            const auto t = Clock::now();
            ui.text(one);
            ui.frame();
            out.push_back(msSince(t));
            ui.frames(1);
        }
        const std::string counted = tree->getMatchText();
        ui.key(SDLK_ESCAPE, SDL_SCANCODE_ESCAPE);
        ui.frames(3);
        return std::pair{stats(out), counted};
    };
    const auto [searchTop, searchTopCount] = typeSearch("Tag123");
    const auto [searchDeep, searchDeepCount] = typeSearch(".M2.M4");

    // The scroll bar's thumb dragged from the top to the bottom of the whole tree, a frame a step.
    std::vector<double> dragging;
    {
        zelk::ui::ScrollView* view = tree->getScrollView();
        view->setScrollOffset(zelk::ui::Vec2{0, 0});
        ui.frames(2);
        const zelk::ui::Vec2 origin = view->getWorldPosition();
        const zelk::ui::Vec4 thumb = view->getThumbRect();
        const int x = static_cast<int>(origin.x + thumb.x + 5);
        const float travel = view->getActualSize().y - thumb.w;
        auto mouse = [&](Uint32 type, float y) {
            SDL_Event e{};
            e.type = type;
            e.button.windowID = main->getWindow()->getId();
            e.button.button = SDL_BUTTON_LEFT;
            e.button.state = type == SDL_MOUSEBUTTONUP ? SDL_RELEASED : SDL_PRESSED;
            if (type == SDL_MOUSEMOTION) {
                e.motion.x = x, e.motion.y = static_cast<int>(y);
            } else {
                e.button.x = x, e.button.y = static_cast<int>(y);
            }
            SDL_PushEvent(&e);
        };
        mouse(SDL_MOUSEBUTTONDOWN, origin.y + thumb.y + 5);
        for (int i = 1; i <= 60; ++i) {
            mouse(SDL_MOUSEMOTION, origin.y + thumb.y + 5 + travel * static_cast<float>(i) / 60);
            dragging.push_back(ui.frame());
        }
        mouse(SDL_MOUSEBUTTONUP, origin.y + thumb.y + 5 + travel);
        ui.frames(2);
    }
    const Stats dragged = stats(dragging);

    // Every top row (and every program) opened one level.
    for (const auto& item : tree->getRootItems()) {
        item->requestOpen(true);
        for (const auto& program : item->children())
            if (dynamic_cast<DatablockItem*>(program.get()) != nullptr)
                program->requestOpen(true);
    }
    ui.frames(3);
    size_t openedRows = tree->getDrawnRows().size();
    const Stats openedFrame = stats(ui.frames(20));
    const long rssOpened = rssKiB();
    for (const auto& item : tree->getRootItems())
        item->requestOpen(false);
    ui.frames(2);
    // Typing over all rows: one character into the search field, then Backspace; each applying frame.
    std::vector<double> typing;
    ui.click(100, 65);
    ui.frames(2);
    for (int i = 0; i < 10; ++i) {
        ui.text("7");
        typing.push_back(ui.frame());
        ui.key(SDLK_BACKSPACE, SDL_SCANCODE_BACKSPACE);
        typing.push_back(ui.frame());
        ui.frames(2);
    }

    // 200 watched scalar atomic tags refreshing once a second.
    TagInspector* watch = TagInspector::getInstance();
    for (const auto& item : tree->getRootItems()) {
        auto* tag = dynamic_cast<TagItem*>(item.get());
        if (tag != nullptr && watch->getTags().size() < 200)
            watch->addTag(tag->getInfo(), tag->getPath());
    }
    const size_t watchedCount = watch->getTags().size();
    ui.until([&] { return !watch->getTags().empty() && !watch->getTags().back().value.empty(); },
             "first values");
    std::vector<double> watchFrames;
    const auto watchStart = Clock::now();
    while (msSince(watchStart) < 3000)
        watchFrames.push_back(ui.frame());
    const Stats watching = stats(watchFrames);
    // The same table without reading: disconnected, so no cycle starts.
    ui.clickButton();
    ui.frames(2);
    const Stats watchingIdle = stats(ui.frames(frameCount));

    // Disconnect clicked while a browse is under way: the frame that handles the click waits for the
    // connection's lock, which the browse holds until it ends.
    ui.clickButton();
    ui.until([&] { return tree->isLoading() && AppState::getInstance()->getStatus(); }, "browse start",
             20000);
    ui.clickButton();
    const double blocked = ui.frame();
    ui.until([&] { return !tree->isLoading(); }, "browse end");

    const Stats library = stats(libraryRuns);
    const Stats rows = stats(clickToRows);
    const Stats typed = stats(typing);
    std::printf(
        "ui_bench: generated controller (%zu controller tags, %zu programs x %zu tags, %zu types of 3 to %zu "
        "members); headless software renderer 1200 x 800\n\n",
        gen.tags, gen.programs, gen.program_tags, gen.types, gen.max_members);
    std::printf("| Measure | Median | Worst | Runs |\n|---|---:|---:|---:|\n");
    std::printf("| Library alone: connect + controller-scope browse (ms) | %.1f | %.1f | %zu |\n",
                library.median, library.worst, library.n);
    std::printf("| Click Connect to rows drawn (ms) | %.1f | %.1f | %zu |\n", rows.median, rows.worst,
                rows.n);
    std::printf("| of which: click to the browse queued (connect, status seen) (ms) | %.1f | %.1f | %zu |\n",
                stats(toBrowseStart).median, stats(toBrowseStart).worst, toBrowseStart.size());
    std::printf("| of which: click to the rows made (browse done, rows built) (ms) | %.1f | %.1f | %zu |\n",
                stats(toRowsMade).median, stats(toRowsMade).worst, toRowsMade.size());
    std::printf("| Ratio click-to-rows / library | %.2f | | |\n", rows.median / library.median);
    std::printf("| Frame, full tree (%zu top rows + %zu elements opened) (ms) | %.2f | %.2f | %zu |\n",
                tree->getRootItems().size(), largestRows, fullTree.median, fullTree.worst, fullTree.n);
    std::printf(
        "| Frame applying a typed filter character or Backspace over all rows (ms) | %.2f | %.2f | %zu |\n",
        typed.median, typed.worst, typed.n);
    std::printf("| Key to filtered frame, \"Tag123\" typed a character at a time (%s at the end) (ms) | %.2f "
                "| %.2f | %zu |\n",
                searchTopCount.c_str(), searchTop.median, searchTop.worst, searchTop.n);
    std::printf("| Key to filtered frame, \".M2.M4\" typed a character at a time (%s at the end) (ms) | %.2f "
                "| %.2f | %zu |\n",
                searchDeepCount.c_str(), searchDeep.median, searchDeep.worst, searchDeep.n);
    std::printf("| Frame while the scroll bar is dragged over the whole tree (ms) | %.2f | %.2f | %zu |\n",
                dragged.median, dragged.worst, dragged.n);
    std::printf("| Frame with every top row opened one level (%zu rows) (ms) | %.2f | %.2f | %zu |\n",
                openedRows, openedFrame.median, openedFrame.worst, openedFrame.n);
    std::printf("| Frame while %zu watched tags refresh (ms) | %.2f | %.2f | %zu |\n", watchedCount,
                watching.median, watching.worst, watching.n);
    std::printf(
        "| Frame with the same %zu watched tags, no reading (disconnected) (ms) | %.2f | %.2f | %zu |\n",
        watchedCount, watchingIdle.median, watchingIdle.worst, watchingIdle.n);
    std::printf("| UI thread held by Disconnect during a browse (ms) | %.1f | | 1 |\n", blocked);
    std::printf("\nResident memory: %.1f MiB before connecting, %.1f MiB with the full tree (%zu rows "
                "drawn), %.1f MiB "
                "with every top row opened one level\n",
                rssBefore / 1024.0, rssTree / 1024.0, drawnRows, rssOpened / 1024.0);

    ThreadPool::instance().stop();
    main.reset();
    app.reset();
    return 0;
}
