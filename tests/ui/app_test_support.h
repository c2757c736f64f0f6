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

// Per test an application without a window of its own, driven at 60 frames a second.
class AppFixture : public ::testing::Test {
protected:
    void SetUp() override { t = std::make_unique<tk::TestApp>(0, 0); }
    void TearDown() override { t.reset(); }
    void frames(int count, std::uint64_t durationUs = 16667) { t->frames(count, durationUs); }
    std::unique_ptr<tk::TestApp> t;
};

} // namespace apptest

using apptest::AppFixture;
