// Start-up: where the asset pak is looked for, the driver environment, and the real executable's
// behaviour when start-up fails or succeeds (run as a child process, headless).
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "Startup.h"
#include "app_child_process.h"
#include "app_test_support.h"

namespace fs = std::filesystem;

namespace {

void touch(const fs::path& p) {
    fs::create_directories(p.parent_path());
    apptest::writeFile(p, {1, 2, 3});
}

TEST(AssetPakSearch, TakesFirstExistingCandidateElseTheBundlePath) {
    fs::path root = apptest::freshDirectory("paksearch");
    fs::path exe = root / "app" / "MacOS";
    fs::path cwd = root / "cwd";
    fs::create_directories(exe);
    fs::create_directories(cwd);
    fs::path bundle = exe / ".." / "Resources" / "assets.pak";

    // None present: the bundle path, exactly as built (not normalised), so the error names it.
    EXPECT_EQ(startup::findAssetPak(exe, cwd).string(), bundle.string());

    touch(cwd / "assets.pak");
    EXPECT_EQ(startup::findAssetPak(exe, cwd), cwd / "assets.pak");

    touch(exe / "assets.pak");
    EXPECT_EQ(startup::findAssetPak(exe, cwd), exe / "assets.pak");

    // Any file type counts, a directory or a dangling link included.
    fs::create_directories(root / "app" / "Resources");
    fs::create_symlink(root / "nowhere", root / "app" / "Resources" / "assets.pak");
    EXPECT_EQ(startup::findAssetPak(exe, cwd), bundle);
    fs::remove_all(root);
}

class DriverEnvironment : public ::testing::Test {
protected:
    void SetUp() override {
        root = apptest::freshDirectory("driverenv");
        exe = root / "Contents" / "MacOS";
        fs::create_directories(exe);
        ::setenv("VK_ICD_FILENAMES", "old-icd", 1);
        ::setenv("VK_DRIVER_FILES", "old-driver", 1);
        ::unsetenv("MVK_CONFIG_API_VERSION_TO_ADVERTISE");
    }
    void TearDown() override {
        ::unsetenv("VK_ICD_FILENAMES");
        ::unsetenv("VK_DRIVER_FILES");
        ::unsetenv("MVK_CONFIG_API_VERSION_TO_ADVERTISE");
        fs::remove_all(root);
    }
    fs::path icd() const {
        return root / "Contents" / "Resources" / "vulkan" / "icd.d" / "MoltenVK_icd.json";
    }
    fs::path root, exe;
};

TEST_F(DriverEnvironment, LeftAloneWithoutTheDriverDescription) {
    EXPECT_FALSE(startup::applyDriverEnvironment(exe));
    EXPECT_STREQ(std::getenv("VK_ICD_FILENAMES"), "old-icd");
    EXPECT_STREQ(std::getenv("VK_DRIVER_FILES"), "old-driver");
    EXPECT_EQ(std::getenv("MVK_CONFIG_API_VERSION_TO_ADVERTISE"), nullptr);
}

TEST_F(DriverEnvironment, DriverPathsReplacedApiVersionOnlyWhenUnset) {
    touch(icd());
    const std::string expected = fs::weakly_canonical(icd()).string();

    ASSERT_TRUE(startup::applyDriverEnvironment(exe));
    EXPECT_EQ(std::string(std::getenv("VK_ICD_FILENAMES")), expected);
    EXPECT_EQ(std::string(std::getenv("VK_DRIVER_FILES")), expected);
    EXPECT_STREQ(std::getenv("MVK_CONFIG_API_VERSION_TO_ADVERTISE"), "12");

    ::setenv("MVK_CONFIG_API_VERSION_TO_ADVERTISE", "11", 1);
    ::setenv("VK_ICD_FILENAMES", "old-icd", 1);
    ASSERT_TRUE(startup::applyDriverEnvironment(exe));
    EXPECT_EQ(std::string(std::getenv("VK_ICD_FILENAMES")), expected);
    EXPECT_STREQ(std::getenv("MVK_CONFIG_API_VERSION_TO_ADVERTISE"), "11");
}

// The real executable, copied into a scratch layout <root>/bin/orvane with an empty working directory
// <root>/cwd, so that only the paks a test writes can be found.
class StartupProcess : public ::testing::Test {
protected:
    void SetUp() override {
        root = apptest::freshDirectory(std::string("proc-") +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
        bin = root / "bin";
        cwd = root / "cwd";
        fs::create_directories(bin);
        fs::create_directories(cwd);
        exe = bin / "orvane";
        fs::copy_file(ORVANE_EXECUTABLE, exe);
        // Paths as the executable sees them (its directory comes out weakly canonical).
        binSeen = fs::weakly_canonical(bin);
    }
    void TearDown() override { fs::remove_all(root); }

    apptest::ChildResult run() { return apptest::runChild(exe, cwd); }

    fs::path root, bin, cwd, exe, binSeen;
};

TEST_F(StartupProcess, MissingPakNamesTheBundlePathAndFails) {
    auto r = run();
    ASSERT_TRUE(r.exited) << "signal " << r.signal << "\n" << r.err;
    EXPECT_NE(r.exitCode, 0) << "a failed start-up must not report success";
    const std::string expected =
        "Failed to open asset file: " + (binSeen / ".." / "Resources" / "assets.pak").string();
    EXPECT_NE(r.err.find(expected + "\n"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("Device ID: "), std::string::npos) << "devices are listed before the pak is loaded";
}

TEST_F(StartupProcess, PakWithoutFontFailsBeforeAnyWindow) {
    apptest::writeFile(bin / "assets.pak", apptest::buildPak({{"icons/tag.svg", apptest::svgBytes("#fff")}}));
    auto r = run();
    ASSERT_TRUE(r.exited) << "signal " << r.signal << "\n" << r.err;
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.err.find("Failed to load default font asset\n"), std::string::npos) << r.err;
}

TEST_F(StartupProcess, SearchOrderBundleThenBesideThenWorkingDirectory) {
    // Only the working directory holds a pak: it is found (and fails for want of a font, not to open).
    apptest::writeFile(cwd / "assets.pak", apptest::buildPak({}));
    auto r = run();
    EXPECT_NE(r.err.find("Failed to load default font asset"), std::string::npos) << r.err;

    // A corrupt pak inside the bundle wins over the one beside the executable.
    fs::create_directories(root / "Resources");
    apptest::writeFile(root / "Resources" / "assets.pak", std::vector<uint8_t>(64, 'x'));
    apptest::writeFile(bin / "assets.pak", apptest::buildPak({}));
    r = run();
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.err.find("Bad magic (not TPAK)"), std::string::npos) << r.err;
}

TEST_F(StartupProcess, GoodPakStartsAndClosesCleanlyOnQuit) {
    apptest::writeFile(bin / "assets.pak", apptest::standardPak());
    bool sent = false;
    // A quit request (SIGTERM becomes the toolkit's quit event) once the devices have been listed.
    auto r = apptest::runChild(exe, cwd, {}, [&](const std::string& out, int pid) {
        if (!sent && out.find("Device ID: ") != std::string::npos && out.back() == '\n') {
            sent = true;
            ::kill(pid, SIGTERM);
        }
    });
    ASSERT_TRUE(sent) << r.out << r.err;
    ASSERT_TRUE(r.exited) << "signal " << r.signal << "\n" << r.err;
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err.find("Exception"), std::string::npos) << r.err;
}

} // namespace
