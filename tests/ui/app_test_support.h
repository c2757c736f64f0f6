// Helpers of the application's UI tests: the application's own asset pak (built beside the test
// executables), scratch directories, and a headless application (SDL's offscreen driver) driven frame
// by frame.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "AssetManager.h"
#include "toolkit_support.h"

namespace apptest {

// A fresh empty directory under the system's temporary directory, unique to this process and `tag`.
inline std::filesystem::path freshDirectory(const std::string& tag) {
    auto dir = std::filesystem::temp_directory_path() / ("orvane-" + tag + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// Loads the application's pak before any test runs.
struct PakEnvironment : ::testing::Environment {
    void SetUp() override { AssetManager::init(ORVANE_ASSET_PAK); }
};

inline void pushMotion(const Window* window, int x, int y) { push(window, "m", x, y); }
// Motion to (x, y), then press and release there, all before the next frame.
inline void pushClick(const Window* window, int x, int y) { push(window, "mdu", x, y); }
// A right-button press and release at (x, y).
inline void pushRightClick(const Window* window, int x, int y) {
    push(window, "m", x, y);
    for (bool down : {true, false}) {
        SDL_Event e{};
        e.type = down ? SDL_MOUSEBUTTONDOWN : SDL_MOUSEBUTTONUP;
        e.button.windowID = window->getId();
        e.button.button = SDL_BUTTON_RIGHT, e.button.clicks = 1, e.button.x = x, e.button.y = y;
        e.button.state = down ? SDL_PRESSED : SDL_RELEASED;
        SDL_PushEvent(&e);
    }
}
inline void pushText(const Window* window, const char* text) { push(window, "t", 0, 0, 0, text); }
inline void pushKey(const Window* window, SDL_Keycode sym, SDL_Scancode code, bool down, Uint16 mod = KMOD_NONE) {
    SDL_Event e{};
    e.type = down ? SDL_KEYDOWN : SDL_KEYUP;
    e.key.windowID = window->getId();
    e.key.state = down ? SDL_PRESSED : SDL_RELEASED;
    e.key.keysym.sym = sym;
    e.key.keysym.scancode = code;
    e.key.keysym.mod = mod;
    SDL_PushEvent(&e);
}

// Per test an application without a window of its own (the test makes the views'), driven at 60
// frames a second.
class AppFixture : public ::testing::Test {
protected:
    void SetUp() override {
        app = std::make_unique<Application>(RenderContext::create(RenderBackend::Default, "test"), "test");
    }
    void TearDown() override { app.reset(); }
    void frames(int count, std::uint64_t durationUs = 16667) {
        for (int i = 0; i < count; ++i)
            app->runFrame(durationUs);
    }
    std::unique_ptr<Application> app;
};

} // namespace apptest

using apptest::AppFixture;
