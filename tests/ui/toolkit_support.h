// Helpers for the headless UI tests: an application with one window, synthetic SDL input,
// deterministic frames and small images.
#pragma once

#include <zelk/ui.h>

#include <SDL.h>
#include <SDL_image.h>
#include <gtest/gtest.h>
#include <imgui.h>

#include <atomic>
#include <functional>
#include <thread>

using namespace zelk::ui;

// An Application with one visible window of the given size.
struct TestApp {
    std::unique_ptr<Application> app =
        std::make_unique<Application>(RenderContext::create(RenderBackend::Default, "test"), "test");
    Window* window;

    explicit TestApp(int width = 400, int height = 300)
        : window(Application::createWindow("test", width, height, 0x71F)) {}
    Widget* root() const { return window->getRootWidget(); }
    void frames(int n = 1) const {
        for (int i = 0; i < n; ++i) {
            app->runFrame(16000);
        }
    }
};

// Queues SDL events for window, one per letter of events: m motion to (x, y), d and u the left button
// down and up there, w a wheel turn of dy, t the text, e the window exposed, anything else an event
// of a type no window takes.
inline void push(const Window* window, const char* events, int x = 0, int y = 0, float dy = 0,
                 const char* text = "") {
    for (; *events != '\0'; ++events) {
        SDL_Event e{};
        e.window.windowID = window->getId(); // every event type keeps the window id at this offset
        if (*events == 'm') {
            e.type = SDL_MOUSEMOTION, e.motion.x = x, e.motion.y = y;
        } else if (*events == 'd' || *events == 'u') {
            e.type = *events == 'd' ? SDL_MOUSEBUTTONDOWN : SDL_MOUSEBUTTONUP;
            e.button.button = SDL_BUTTON_LEFT, e.button.clicks = 1, e.button.x = x, e.button.y = y;
            e.button.state = *events == 'd' ? SDL_PRESSED : SDL_RELEASED;
        } else if (*events == 'w') {
            e.type = SDL_MOUSEWHEEL, e.wheel.y = static_cast<Sint32>(dy), e.wheel.preciseY = dy;
        } else if (*events == 't') {
            e.type = SDL_TEXTINPUT;
            std::snprintf(e.text.text, sizeof e.text.text, "%s", text);
        } else {
            e.type = *events == 'e' ? SDL_WINDOWEVENT : SDL_USEREVENT,
            e.window.event = SDL_WINDOWEVENT_EXPOSED;
        }
        SDL_PushEvent(&e);
    }
}

// A texture of w x h pixels of one opaque colour; png() gives its PNG bytes instead.
inline Texture solidTexture(int w, int h, Uint8 r, Uint8 g, Uint8 b,
                            std::vector<std::uint8_t>* png = nullptr) {
    SDL_Surface* s = SDL_CreateRGBSurfaceWithFormat(0, w, h, 32, SDL_PIXELFORMAT_RGBA32);
    SDL_FillRect(s, nullptr, SDL_MapRGBA(s->format, r, g, b, 255));
    if (png != nullptr) {
        png->resize(1 << 16);
        SDL_RWops* rw = SDL_RWFromMem(png->data(), static_cast<int>(png->size()));
        IMG_SavePNG_RW(s, rw, 0);
        png->resize(static_cast<std::size_t>(SDL_RWtell(rw)));
        SDL_RWclose(rw);
    }
    return Texture(s);
}
