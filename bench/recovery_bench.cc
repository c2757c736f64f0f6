// recovery_bench: the application's views, headless (offscreen SDL, software renderer), against the
// demo controller in logix-sim, through the failures a plant's network brings. Runs each scenario ten
// times with five watched tags and prints median and worst of: kill -> the status shows the loss; hang
// -> the status shows the loss (at a 2 s reply time-out); controller back -> first live value; the
// longest frame during each; the click of Disconnect while a read hangs; and the process's memory
// before and after 100 losses and reconnects.
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
#include "bench_support.h"
#include "headless_app.h"
#include "Views/TagInspector.h"
#include "Views/TopBarView.h"
#include "Views/TreeView.h"

namespace {

using bench::Clock;
using bench::msSince;
using bench::rssKiB;


[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "recovery_bench: %s\n", what.c_str());
    std::exit(1);
}

// Frames paced at 60 a second, as vertical sync paces the real window; the longest one is kept.
struct Ui {
    zelk::ui::Application* app;
    MainWindow* main;
    Clock::time_point nextFrame = Clock::now();
    double longest = 0;
    void frame() {
        std::this_thread::sleep_until(nextFrame);
        nextFrame = std::max(Clock::now(), nextFrame + std::chrono::microseconds(16667));
        const auto t = Clock::now();
        app->runFrame();
        longest = std::max(longest, msSince(t));
    }
    double until(const std::function<bool()>& done, const char* what) {
        const auto t = Clock::now();
        while (!done()) {
            if (msSince(t) > 60000)
                fail(std::string("timed out waiting for ") + what);
            frame();
        }
        return msSince(t);
    }
    void clickButton() {
        auto* b = main->getTopBar()->getConnectButton();
        const auto at = b->getWorldPosition() + b->getActualSize() * 0.5f;
        SDL_Event e{};
        e.type = SDL_MOUSEMOTION;
        e.motion.windowID = main->getWindow()->getId();
        e.motion.x = static_cast<int>(at.x);
        e.motion.y = static_cast<int>(at.y);
        SDL_PushEvent(&e);
        for (bool down : {true, false}) {
            SDL_Event c{};
            c.type = down ? SDL_MOUSEBUTTONDOWN : SDL_MOUSEBUTTONUP;
            c.button.windowID = e.motion.windowID;
            c.button.button = SDL_BUTTON_LEFT;
            c.button.state = down ? SDL_PRESSED : SDL_RELEASED;
            c.button.clicks = 1;
            c.button.x = e.motion.x;
            c.button.y = e.motion.y;
            SDL_PushEvent(&c);
        }
    }
    std::string status() const { return main->getTopBar()->getStatusText()->getText(); }
    bool live() const {
        const auto& tags = TagInspector::getInstance()->getTags();
        return !tags.empty() && std::all_of(tags.begin(), tags.end(), [](const auto& t) {
            return t.state == TagInspector::RowState::Live;
        });
    }
};

struct Column {
    const char* name;
    std::vector<double> values;
    void print() {
        std::sort(values.begin(), values.end());
        std::printf("| %-54s | %8.0f | %8.0f |\n", name, values[values.size() / 2], values.back());
    }
};

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 10;
    const int cycles = argc > 2 ? std::atoi(argv[2]) : 100;
    const logixsim::Options options{.port = 0, .faults = {}, .live_interval_ms = 1000};
    auto sim = std::make_unique<logixsim::Server>(logixsim::demo_controller(), options);
    sim->start();
    const uint16_t port = sim->port();
    auto restart = [&] {
        sim = std::make_unique<logixsim::Server>(logixsim::demo_controller(),
                                                 logixsim::Options{.port = port, .faults = {}, .live_interval_ms = 1000});
        sim->start();
    };

    bench::HeadlessApp headless = bench::startHeadlessApp();
    auto& app = headless.app;
    auto& main = headless.main;
    Ui ui{app.get(), main.get()};
    AppState* state = AppState::getInstance();
    state->setTimeoutMs(2000);
    main->getTopBar()->setAddress("127.0.0.1");
    main->getTopBar()->setPort(port);
    ui.frame();
    ui.clickButton();
    TreeView* tree = main->getTreeView();
    ui.until([&] { return ui.status() == "PLC-Status: CONNECTED" && !tree->isLoading() && !tree->getRootItems().empty(); },
             "the first browse");
    for (const auto& item : tree->getRootItems()) {
        auto* tag = dynamic_cast<TagItem*>(item.get());
        if (tag != nullptr && TagInspector::getInstance()->getTags().size() < 5)
            TagInspector::getInstance()->addTag(tag->getInfo(), "");
    }
    ui.until([&] { return ui.live(); }, "live values");

    Column killLoss{"kill -> status shows the loss (ms)", {}};
    Column killFrame{"longest frame, kill and loss (ms)", {}};
    Column back{"controller back -> first live value (ms)", {}};
    Column backFrame{"longest frame, reconnect and first value (ms)", {}};
    Column stallLoss{"hang -> status shows the loss, 2 s time-out (ms)", {}};
    Column stallFrame{"longest frame, hang and loss (ms)", {}};
    Column disconnect{"Disconnect on a hung read: click -> DISCONNECTED (ms)", {}};
    Column disconnectFrame{"longest frame, Disconnect on a hung read (ms)", {}};
    const auto lost = [&] { return ui.status() == "PLC-Status: DISCONNECTED"; };
    for (int run = 0; run < runs; ++run) {
        ui.longest = 0;
        sim->stop();
        killLoss.values.push_back(ui.until(lost, "the loss after a kill"));
        killFrame.values.push_back(ui.longest);
        ui.longest = 0;
        restart();
        back.values.push_back(ui.until([&] { return ui.live(); }, "live values after the restart"));
        backFrame.values.push_back(ui.longest);

        ui.longest = 0;
        logixsim::Faults hang;
        hang.stall_after_requests = 0;
        sim->set_faults(hang);
        stallLoss.values.push_back(ui.until(lost, "the loss after a hang"));
        stallFrame.values.push_back(ui.longest);
        sim->set_faults({});
        ui.until([&] { return ui.live(); }, "live values after the hang");

        // A read that hangs, then Disconnect: the click's frame and the ones after it.
        sim->set_faults(hang);
        const uint64_t asked = sim->request_count();
        ui.until([&] { return sim->request_count() > asked; }, "a read to hang");
        ui.longest = 0;
        ui.clickButton();
        disconnect.values.push_back(ui.until(lost, "DISCONNECTED after the click"));
        for (int i = 0; i < 30; ++i)
            ui.frame();
        disconnectFrame.values.push_back(ui.longest);
        sim->set_faults({});
        ui.clickButton();
        ui.until([&] { return ui.status() == "PLC-Status: CONNECTED" && !tree->isLoading(); }, "a connect");
        for (const char* name : {"DintTag", "RealTag", "BoolTag", "Counter", "Greeting"})
            for (const auto& item : tree->getRootItems())
                if (auto* tag = dynamic_cast<TagItem*>(item.get()); tag != nullptr && item->label() == name)
                    TagInspector::getInstance()->addTag(tag->getInfo(), "");
        ui.until([&] { return ui.live(); }, "live values after the connect");
    }

    // Memory over many losses and reconnects (each attempt started at once).
    const long before = rssKiB();
    for (int i = 0; i < cycles; ++i) {
        sim->stop();
        ui.until(lost, "a loss");
        restart();
        state->reconnectNow();
        ui.until([&] { return ui.status() == "PLC-Status: CONNECTED"; }, "a reconnect");
    }
    const long after = rssKiB();

    std::printf("| %-54s | %8s | %8s |\n|%s|%s|%s|\n", "demo controller, 5 watched tags, 60 frames/s", "median",
                "worst", std::string(54, '-').c_str(), std::string(10, '-').c_str(), std::string(10, '-').c_str());
    for (Column* c : {&killLoss, &killFrame, &back, &backFrame, &stallLoss, &stallFrame, &disconnect, &disconnectFrame})
        c->print();
    std::printf("\nmemory: %ld KiB before, %ld KiB after %d losses and reconnects (%+ld KiB)\n", before, after,
                cycles, after - before);
    main.reset();
    app.reset();
    state->disconnect();
    ThreadPool::instance().stop();
    return 0;
}
