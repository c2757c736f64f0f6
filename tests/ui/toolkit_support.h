// Helpers for the headless UI tests: an application with one window, synthetic SDL input,
// deterministic frames and small images.
#pragma once

#include <zelk/ui.h>

#include <SDL.h>
#include <SDL_image.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace tk {

using namespace zelk::ui;

// An Application with one visible window of the given size (none when width is 0).
struct TestApp {
    std::unique_ptr<Application> app;
    Window* window = nullptr;

    explicit TestApp(int width = 400, int height = 300) {
        app = std::make_unique<Application>(RenderContext::create(RenderBackend::Default, "test"), "test");
        if (width > 0) {
            window = Application::createWindow("test", width, height, 0x71F);
        }
    }
    Widget* root() const { return window->getRootWidget(); }
    void frames(int n = 1, std::uint64_t us = 16000) const {
        for (int i = 0; i < n; ++i) {
            app->runFrame(us);
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

inline void pushButton(const Window* window, int x, int y, bool down) {
    SDL_Event e{};
    e.type = down ? SDL_MOUSEBUTTONDOWN : SDL_MOUSEBUTTONUP;
    e.button.windowID = window->getId();
    e.button.button = SDL_BUTTON_LEFT;
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

inline void pushText(const Window* window, const char* text) {
    SDL_Event e{};
    e.type = SDL_TEXTINPUT;
    e.text.windowID = window->getId();
    std::snprintf(e.text.text, sizeof e.text.text, "%s", text);
    SDL_PushEvent(&e);
}

inline void pushKey(const Window* window, SDL_Keycode sym, SDL_Scancode code, bool down) {
    SDL_Event e{};
    e.type = down ? SDL_KEYDOWN : SDL_KEYUP;
    e.key.windowID = window->getId();
    e.key.state = down ? SDL_PRESSED : SDL_RELEASED;
    e.key.keysym.sym = sym;
    e.key.keysym.scancode = code;
    SDL_PushEvent(&e);
}

// A PNG of w x h pixels of one opaque colour.
inline std::vector<std::uint8_t> pngBytes(int w, int h, Uint8 r, Uint8 g, Uint8 b) {
    SDL_Surface* s = SDL_CreateRGBSurfaceWithFormat(0, w, h, 32, SDL_PIXELFORMAT_RGBA32);
    SDL_FillRect(s, nullptr, SDL_MapRGBA(s->format, r, g, b, 255));
    std::vector<std::uint8_t> out(1 << 16);
    SDL_RWops* rw = SDL_RWFromMem(out.data(), static_cast<int>(out.size()));
    IMG_SavePNG_RW(s, rw, 0);
    out.resize(static_cast<std::size_t>(SDL_RWtell(rw)));
    SDL_RWclose(rw);
    SDL_FreeSurface(s);
    return out;
}

// A texture of w x h pixels of one opaque colour.
inline Texture solidTexture(int w, int h, Uint8 r, Uint8 g, Uint8 b) {
    SDL_Surface* s = SDL_CreateRGBSurfaceWithFormat(0, w, h, 32, SDL_PIXELFORMAT_RGBA32);
    SDL_FillRect(s, nullptr, SDL_MapRGBA(s->format, r, g, b, 255));
    return Texture(s);
}

} // namespace tk
