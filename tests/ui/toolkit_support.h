// Helpers for the toolkit's headless tests: an application with one window, synthetic SDL input
// and deterministic frames.
#pragma once

#include <zelk/ui.h>

#include <SDL.h>

#include <memory>

namespace tk {

using namespace zelk::ui;

// An Application with one visible window of the given size; frames are run explicitly.
struct TestApp {
    std::unique_ptr<Application> app;
    Window* window = nullptr;

    explicit TestApp(int width = 400, int height = 300) {
        app = std::make_unique<Application>(RenderContext::create(RenderBackend::Default, "toolkit-test"),
                                            "toolkit-test");
        if (width > 0) {
            window = Application::createWindow("toolkit-test", width, height, 0x71F);
        }
    }
    Widget* root() const { return window->getRootWidget(); }
    // Runs n frames, each reported as 16 ms long.
    void frames(int n = 1) const {
        for (int i = 0; i < n; ++i) {
            app->runFrame(16000);
        }
    }
};

inline void pushMotion(const Window* window, int x, int y) {
    SDL_Event e{};
    e.type = SDL_MOUSEMOTION;
    e.motion.windowID = window->getId();
    e.motion.x = x;
    e.motion.y = y;
    SDL_PushEvent(&e);
}

inline void pushButton(const Window* window, int x, int y, bool down, int button = SDL_BUTTON_LEFT) {
    SDL_Event e{};
    e.type = down ? SDL_MOUSEBUTTONDOWN : SDL_MOUSEBUTTONUP;
    e.button.windowID = window->getId();
    e.button.button = static_cast<Uint8>(button);
    e.button.state = down ? SDL_PRESSED : SDL_RELEASED;
    e.button.clicks = 1;
    e.button.x = x;
    e.button.y = y;
    SDL_PushEvent(&e);
}

// Motion to (x, y), then press and release there, all before the next frame.
inline void pushClick(const Window* window, int x, int y) {
    pushMotion(window, x, y);
    pushButton(window, x, y, true);
    pushButton(window, x, y, false);
}

inline void pushWheel(const Window* window, float dy) {
    SDL_Event e{};
    e.type = SDL_MOUSEWHEEL;
    e.wheel.windowID = window->getId();
    e.wheel.y = static_cast<Sint32>(dy);
    e.wheel.preciseY = dy;
    e.wheel.direction = SDL_MOUSEWHEEL_NORMAL;
    SDL_PushEvent(&e);
}

} // namespace tk
