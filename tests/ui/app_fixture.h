// A headless application for in-process UI tests: the test pak loaded once per process, and per test
// an application on SDL's offscreen driver, driven frame by frame.
#pragma once

#include <memory>

#include <gtest/gtest.h>

#include "AssetManager.h"
#include "app_test_support.h"
#include "toolkit_support.h"

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
    void SetUp() override { t = std::make_unique<tk::TestApp>(0, 0); }
    void TearDown() override { t.reset(); }
    // 60 frames a second, reported to every widget as the previous frame's duration.
    void frames(int count, std::uint64_t durationUs = 16667) { t->frames(count, durationUs); }
    // A left click at a window position, then two frames.
    void click(zelk::ui::Window* window, int x, int y) {
        tk::pushClick(window, x, y);
        frames(2);
    }

    std::unique_ptr<tk::TestApp> t;
};

} // namespace apptest
