// Start-up: where the asset pak is looked for, the driver environment, and the real executable's
// behaviour when start-up fails or succeeds (run as a child process, headless).
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Startup.h"
#include "app_test_support.h"

namespace fs = std::filesystem;

namespace {

void touch(const fs::path& p) {
    fs::create_directories(p.parent_path());
    apptest::writeFile(p, {1, 2, 3});
}

struct ChildResult {
    int exitCode = -1; // -1 unless it ended through exit()
    int signal = 0;
    std::string output; // standard output and error together
};

// Runs `program` in `dir` with this process's environment. `onOutput` sees the output gathered so
// far each time more arrives, with the child's pid.
ChildResult runChild(const fs::path& program, const fs::path& dir,
                     const std::function<void(const std::string&, pid_t)>& onOutput = {}) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const std::string path = program.string();
    const std::string cwd = dir.string();
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::dup2(fds[1], STDERR_FILENO);
        if (::chdir(cwd.c_str()) == 0) {
            ::execv(path.c_str(), argv);
        }
        ::_exit(127);
    }
    ::close(fds[1]);
    ChildResult result;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
        result.output.append(buffer, static_cast<size_t>(n));
        if (onOutput) {
            onOutput(result.output, pid);
        }
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
}

TEST(AssetPakSearch, TakesFirstExistingCandidateElseTheBundlePath) {
    const fs::path root = apptest::freshDirectory("paksearch");
    const fs::path exe = root / "app" / "MacOS";
    const fs::path cwd = root / "cwd";
    fs::create_directories(exe);
    fs::create_directories(cwd);
    const fs::path bundle = exe / ".." / "Resources" / "assets.pak";

    // None present: the bundle path, exactly as built (not normalised), so the error names it.
    EXPECT_EQ(startup::findAssetPak(exe, cwd).string(), bundle.string());
    touch(cwd / "assets.pak");
    EXPECT_EQ(startup::findAssetPak(exe, cwd), cwd / "assets.pak");
    touch(exe / "assets.pak");
    EXPECT_EQ(startup::findAssetPak(exe, cwd), exe / "assets.pak");
    // Any file type counts in the bundle, a dangling link included.
    fs::create_directories(root / "app" / "Resources");
    fs::create_symlink(root / "nowhere", root / "app" / "Resources" / "assets.pak");
    EXPECT_EQ(startup::findAssetPak(exe, cwd), bundle);
    fs::remove_all(root);
}

TEST(DriverEnvironment, LeftAloneWithoutTheDriverDescriptionElseReplacedApiVersionOnlyWhenUnset) {
    const fs::path root = apptest::freshDirectory("driverenv");
    const fs::path exe = root / "Contents" / "MacOS";
    const fs::path icd = root / "Contents" / "Resources" / "vulkan" / "icd.d" / "MoltenVK_icd.json";
    fs::create_directories(exe);
    ::setenv("VK_ICD_FILENAMES", "old-icd", 1);
    ::setenv("VK_DRIVER_FILES", "old-driver", 1);
    ::unsetenv("MVK_CONFIG_API_VERSION_TO_ADVERTISE");

    EXPECT_FALSE(startup::applyDriverEnvironment(exe));
    EXPECT_STREQ(std::getenv("VK_ICD_FILENAMES"), "old-icd");
    EXPECT_STREQ(std::getenv("VK_DRIVER_FILES"), "old-driver");
    EXPECT_EQ(std::getenv("MVK_CONFIG_API_VERSION_TO_ADVERTISE"), nullptr);

    touch(icd);
    const std::string expected = fs::weakly_canonical(icd).string();
    ASSERT_TRUE(startup::applyDriverEnvironment(exe));
    EXPECT_EQ(std::string(std::getenv("VK_ICD_FILENAMES")), expected);
    EXPECT_EQ(std::string(std::getenv("VK_DRIVER_FILES")), expected);
    EXPECT_STREQ(std::getenv("MVK_CONFIG_API_VERSION_TO_ADVERTISE"), "12");

    ::setenv("MVK_CONFIG_API_VERSION_TO_ADVERTISE", "11", 1);
    ::setenv("VK_ICD_FILENAMES", "old-icd", 1);
    ASSERT_TRUE(startup::applyDriverEnvironment(exe));
    EXPECT_EQ(std::string(std::getenv("VK_ICD_FILENAMES")), expected);
    EXPECT_STREQ(std::getenv("MVK_CONFIG_API_VERSION_TO_ADVERTISE"), "11");

    for (const char* name : {"VK_ICD_FILENAMES", "VK_DRIVER_FILES", "MVK_CONFIG_API_VERSION_TO_ADVERTISE"}) {
        ::unsetenv(name);
    }
    fs::remove_all(root);
}

TEST(CommandLine, AddressPortAndUnconnectedPrefillAndBadOnesAreRefused) {
    const struct {
        std::vector<const char*> argv;
        const char* address;
        int port;
        bool unconnected, refused;
    } cases[] = {
        {{"orvane"}, "", 44818, false, false},
        {{"orvane", "10.0.0.5"}, "10.0.0.5", 44818, false, false},
        {{"orvane", "plc", "65535"}, "plc", 65535, false, false},
        {{"orvane", "plc", "0"}, "plc", 44818, false, true},
        {{"orvane", "plc", "65536"}, "plc", 44818, false, true},
        {{"orvane", "plc", "44818x"}, "plc", 44818, false, true},
        {{"orvane", "plc", ""}, "plc", 44818, false, true},
        {{"orvane", "a", "1", "b"}, "", 44818, false, true},
        // --unconnected wherever it stands, leaving address and port as they are
        {{"orvane", "--unconnected"}, "", 44818, true, false},
        {{"orvane", "--unconnected", "plc", "2222"}, "plc", 2222, true, false},
        {{"orvane", "plc", "--unconnected"}, "plc", 44818, true, false},
        {{"orvane", "plc", "2222", "--unconnected"}, "plc", 2222, true, false},
        {{"orvane", "plc", "2222", "x", "--unconnected"}, "", 44818, true, true},
        {{"orvane", "plc", "--unconnectedx"}, "plc", 44818, false, true},
    };
    for (const auto& c : cases) {
        const auto args = startup::parseArguments(static_cast<int>(c.argv.size()), c.argv.data());
        EXPECT_EQ(args.address, c.address) << c.argv.size();
        EXPECT_EQ(args.port, c.port) << c.argv.back();
        EXPECT_EQ(args.unconnected, c.unconnected) << c.argv.back();
        EXPECT_EQ(args.error.empty(), !c.refused) << c.argv.back();
    }
}

// The real executable, copied into a scratch layout <root>/bin/orvane with an empty working directory
// <root>/cwd, so that only the paks a test writes can be found.
class StartupProcess : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(bin);
        fs::create_directories(cwd);
        fs::copy_file(ORVANE_EXECUTABLE, exe);
    }
    void TearDown() override { fs::remove_all(root); }

    const fs::path root =
        apptest::freshDirectory(::testing::UnitTest::GetInstance()->current_test_info()->name());
    const fs::path bin = root / "bin", cwd = root / "cwd", exe = bin / "orvane";
};

TEST_F(StartupProcess, FailuresNameTheirCauseAndExitNonZero) {
    // No pak anywhere: the bundle path as the executable sees its own directory.
    auto r = runChild(exe, cwd);
    ASSERT_EQ(r.signal, 0) << r.output;
    EXPECT_NE(r.exitCode, 0) << "a failed start-up must not report success";
    const std::string bundle = (fs::weakly_canonical(bin) / ".." / "Resources" / "assets.pak").string();
    EXPECT_NE(r.output.find("Failed to open asset file: " + bundle + "\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Device ID: "), std::string::npos) << "devices are listed before the pak";

    // A pak without the font, found in the working directory.
    apptest::writeFile(cwd / "assets.pak", apptest::buildPak({{"icons/tag.svg", apptest::svgBytes("#fff")}}));
    r = runChild(exe, cwd);
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.output.find("Failed to load default font asset\n"), std::string::npos) << r.output;

    // A corrupt pak inside the bundle wins over the one beside the executable.
    fs::create_directories(root / "Resources");
    apptest::writeFile(root / "Resources" / "assets.pak", std::vector<uint8_t>(64, 'x'));
    apptest::writeFile(bin / "assets.pak", apptest::buildPak({}));
    r = runChild(exe, cwd);
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.output.find("Bad magic (not TPAK)"), std::string::npos) << r.output;
}

TEST_F(StartupProcess, GoodPakStartsAndClosesCleanlyOnQuit) {
    apptest::writeFile(bin / "assets.pak", apptest::standardPak());
    bool sent = false;
    // A quit request (SIGTERM becomes the toolkit's quit event) once the devices have been listed.
    const auto r = runChild(exe, cwd, [&](const std::string& out, pid_t pid) {
        if (!sent && out.find("Device ID: ") != std::string::npos && out.back() == '\n') {
            sent = true;
            ::kill(pid, SIGTERM);
        }
    });
    ASSERT_TRUE(sent) << r.output;
    EXPECT_EQ(r.signal, 0) << r.output;
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output.find("Exception"), std::string::npos) << r.output;
}

} // namespace
