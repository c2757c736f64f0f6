// The application as the benchmarks that drive its views start it: SDL's offscreen video driver and
// software renderer (unless the environment names others), the asset pak, one worker thread, no
// vertical sync, and the main window.
#pragma once

#include <cstdlib>
#include <memory>

#include <zelk/ui.h>

#include "AssetManager.h"
#include "MainWindow.h"
#include "ThreadPool.h"

namespace bench {

struct HeadlessApp {
    std::unique_ptr<zelk::ui::Application> app;
    std::unique_ptr<MainWindow> main;
};

inline HeadlessApp startHeadlessApp() {
    ::setenv("SDL_VIDEODRIVER", "offscreen", 0);
    ::setenv("SDL_RENDER_DRIVER", "software", 0);
    AssetManager::init(ORVANE_ASSETS_PAK);
    ThreadPool::instance().init(1);
    HeadlessApp h;
    h.app = std::make_unique<zelk::ui::Application>(
        zelk::ui::RenderContext::create(zelk::ui::RenderBackend::Default, "Orvane"), "Orvane");
    zelk::ui::Application::setVSync(false);
    h.main = std::make_unique<MainWindow>();
    return h;
}

} // namespace bench
