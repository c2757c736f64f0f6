// Start-up: where the asset pak is looked for, the command line, and the real
// executable run as a child process (headless) without a pak and with the application's.
#include <cstdlib>
#include <fstream>

#include <sys/wait.h>

#include "Startup.h"
#include "app_test_support.h"

namespace fs = std::filesystem;

namespace {

void touch(const fs::path& p) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "x";
}

// The pak is the first candidate that exists (any file type, a dangling link too), else the bundle's path
// as built, not normalised.
TEST(AssetPakSearch, TakesTheFirstExistingCandidateElseTheBundlePath) {
    const fs::path root = apptest::freshDirectory("startup"), exe = root / "app/MacOS", cwd = root / "cwd";
    const fs::path bundle = exe / ".." / "Resources" / "assets.pak";
    EXPECT_EQ(startup::findAssetPak(exe, cwd).string(), bundle.string());
    touch(cwd / "assets.pak");
    EXPECT_EQ(startup::findAssetPak(exe, cwd), cwd / "assets.pak");
    touch(exe / "assets.pak");
    EXPECT_EQ(startup::findAssetPak(exe, cwd), exe / "assets.pak");
    fs::create_directories(root / "app/Resources");
    fs::create_symlink(root / "nowhere", root / "app/Resources/assets.pak");
    EXPECT_EQ(startup::findAssetPak(exe, cwd), bundle);

    fs::remove_all(root);
}

TEST(CommandLine, AddressPortAndUnconnectedPrefillAndBadOnesAreRefused) {
    // {arguments, "address:port" prefilled, "U" when --unconnected, "!" when refused}
    const std::pair<std::vector<const char*>, std::string> cases[] = {
        {{}, ":44818"},
        {{"plc", "65535"}, "plc:65535"},
        {{"plc", "65536"}, "plc:44818!"},
        {{"plc", "0"}, "plc:44818!"},
        {{"plc", "44818x"}, "plc:44818!"},
        {{"a", "1", "b"}, ":44818!"},
        {{"--unconnected", "plc", "2222"}, "plc:2222U"},
        {{"plc", "--unconnected"}, "plc:44818U"},
        {{"plc", "2222", "x", "--unconnected"}, ":44818U!"},
        {{"plc", "--unconnectedx"}, "plc:44818!"}};
    for (const auto& [words, expected] : cases) {
        std::vector<const char*> argv{"orvane"};
        argv.insert(argv.end(), words.begin(), words.end());
        const auto args = startup::parseArguments(static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ(args.address + ":" + std::to_string(args.port) + (args.unconnected ? "U" : "") +
                      (args.error.empty() ? "" : "!"),
                  expected);
    }
}

// The real executable copied to <root>/bin and run in <root>, its standard output and error to
// <root>/out: without a pak it fails naming the bundle path, after listing the devices; with the
// application's pak beside it, it runs until a quit request (SIGTERM, once the devices are listed) and
// ends with 0.
TEST(StartupProcess, AMissingPakFailsNamingTheBundlePathAGoodOneRunsUntilQuit) {
    const fs::path root = apptest::freshDirectory("process"), exe = root / "bin/orvane", out = root / "out";
    fs::create_directories(root / "bin");
    fs::copy_file(ORVANE_EXECUTABLE, exe);
    auto run = [&](const std::string& then) { // `then` runs meanwhile, the application's pid in $p
        fs::remove(out);
        const int status = std::system(("cd '" + root.string() + "'; '" + exe.string() + "' >'" +
                                        out.string() + "' 2>&1 & p=$!; " + then + " wait $p")
                                           .c_str());
        std::ifstream in(out);
        return std::to_string(WEXITSTATUS(status)) + " " +
               std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string failed = run(""),
                      missing =
                          "Failed to open asset file: " +
                          (fs::weakly_canonical(root / "bin") / ".." / "Resources/assets.pak").string() +
                          "\n";
    EXPECT_NE(failed.rfind("0 ", 0), 0u) << failed;
    EXPECT_LT(failed.find("Device ID: "), failed.find(missing)) << failed;
    EXPECT_NE(failed.find(missing), std::string::npos) << failed;

    fs::copy_file(ORVANE_ASSET_PAK, root / "bin/assets.pak");
    const std::string quit = run("until grep -qs 'Device ID: ' '" + out.string() +
                                 "' || ! kill -0 $p; do :; done; kill -TERM $p;");
    EXPECT_EQ(quit.rfind("0 ", 0), 0u) << quit;
    EXPECT_EQ(quit.find("Exception"), std::string::npos) << quit;
    fs::remove_all(root);
}

} // namespace
