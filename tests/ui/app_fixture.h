// A headless application for in-process UI tests: the test pak loaded once per process, and per test
// a render context and application on SDL's offscreen driver, driven frame by frame.
#pragma once

#include <cstdint>
#include <memory>

#include <SDL.h>
#include <gtest/gtest.h>
#include <zelk/ui/Application.h>
#include <zelk/ui/RenderContext.h>

#include "AssetManager.h"
#include "app_test_support.h"

namespace apptest {

// Loads the standard test pak before any test runs.
class PakEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        auto pak = standardPak();
        AssetManager::init(pak.data(), pak.size());
    }
};

class AppFixture : public ::testing::Test {
protected:
    // 60 frames a second, reported to every widget as the previous frame's duration.
    static constexpr uint64_t frameUs = 16667;

    void SetUp() override {
        auto context = zelk::ui::RenderContext::create(zelk::ui::RenderBackend::Default, "Orvane");
        context->selectDevice(0);
        context->setup();
        app = std::make_unique<zelk::ui::Application>(std::move(context), "Orvane");
    }
    void TearDown() override { app.reset(); }

    void frames(int count, uint64_t durationUs = frameUs) {
        for (int i = 0; i < count; ++i) {
            app->runFrame(durationUs);
        }
    }

    // Pushes a left click (press and release) at a window position, then runs two frames.
    void click(zelk::ui::Window* window, int x, int y) {
        mouseMove(window, x, y);
        SDL_Event e{};
        e.type = SDL_MOUSEBUTTONDOWN;
        e.button.windowID = window->getId();
        e.button.button = SDL_BUTTON_LEFT;
        e.button.state = SDL_PRESSED;
        e.button.clicks = 1;
        e.button.x = x;
        e.button.y = y;
        SDL_PushEvent(&e);
        frames(1);
        e.type = SDL_MOUSEBUTTONUP;
        e.button.state = SDL_RELEASED;
        SDL_PushEvent(&e);
        frames(1);
    }

    void mouseMove(zelk::ui::Window* window, int x, int y) {
        SDL_Event e{};
        e.type = SDL_MOUSEMOTION;
        e.motion.windowID = window->getId();
        e.motion.x = x;
        e.motion.y = y;
        SDL_PushEvent(&e);
        frames(1);
    }

    std::unique_ptr<zelk::ui::Application> app;
};

} // namespace apptest
