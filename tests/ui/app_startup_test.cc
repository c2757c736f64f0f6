// Start-up: where the asset pak is looked for, the command line, and the real executable run as a
// child process (headless) without a pak, with a broken one and with the application's.
#include <cstdlib>
#include <fstream>
#include <tuple>

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
// as built, not normalised. The installed location (<exe>/../share/orvane) comes last.
TEST(AssetPakSearch, TakesTheFirstExistingCandidateElseTheBundlePath) {
    const fs::path root = apptest::freshDirectory("startup"), exe = root / "app/MacOS", cwd = root / "cwd";
    const fs::path bundle = exe / ".." / "Resources" / "assets.pak";
    EXPECT_EQ(startup::findAssetPak(exe, cwd).string(), bundle.string());
    fs::create_directories(exe);
    touch(root / "app/share/orvane/assets.pak");
    EXPECT_EQ(startup::findAssetPak(exe, cwd).string(), (exe / ".." / "share/orvane/assets.pak").string());
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
        {{"plc", "--unconnectedx"}, ":44818!"},
        {{"--help"}, ":44818H"},
        {{"-h", "plc"}, "plc:44818H"},
        {{"--version"}, ":44818V"},
        {{"--verbose", "plc"}, "plc:44818+"},
        {{"-x"}, ":44818!"}};
    for (const auto& [words, expected] : cases) {
        std::vector<const char*> argv{"orvane"};
        argv.insert(argv.end(), words.begin(), words.end());
        const auto args = startup::parseArguments(static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ(args.address + ":" + std::to_string(args.port) + (args.unconnected ? "U" : "") +
                      (args.help ? "H" : "") + (args.version ? "V" : "") + (args.verbose ? "+" : "") +
                      (args.error.empty() ? "" : "!"),
                  expected);
    }
}

// --help and --version print and end with 0 before any window or pak; a bad option ends with 1.
TEST(StartupProcess, HelpAndVersionPrintAndExit) {
    const fs::path out = apptest::freshDirectory("help") / "out";
    // {arguments, exit status, the start of standard output, what standard error holds}
    const std::tuple<std::string, int, std::string, std::string> cases[] = {
        {"--help", 0, "usage: orvane [--unconnected] [--verbose] [ADDRESS [PORT]]\n", ""},
        {"-h", 0, "usage: orvane ", ""},
        {"--version", 0, std::string("orvane ") + ORVANE_VERSION + "\n", ""},
        {"--frobnicate", 1, "", "orvane: unknown option '--frobnicate'\nusage: orvane "},
    };
    for (const auto& [words, exitStatus, stdoutStart, stderrStart] : cases) {
        const int status = std::system(("SDL_VIDEODRIVER=none '" + std::string(ORVANE_EXECUTABLE) + "' " + words +
                                        " >'" + out.string() + "' 2>'" + out.string() + ".err'")
                                           .c_str());
        std::ifstream o(out), e(out.string() + ".err");
        const std::string printed(std::istreambuf_iterator<char>(o), {}), errors(std::istreambuf_iterator<char>(e), {});
        EXPECT_EQ(WEXITSTATUS(status), exitStatus) << words;
        EXPECT_EQ(printed.substr(0, stdoutStart.size()), stdoutStart) << words;
        EXPECT_EQ(printed.find("Device ID"), std::string::npos) << "no window: " << words;
        EXPECT_EQ(errors.substr(0, stderrStart.size()), stderrStart) << words;
        EXPECT_EQ(stderrStart.empty(), errors.empty()) << errors;
    }
    fs::remove_all(out.parent_path());
}

// The real executable copied to <root>/bin and run in <root>, its standard output and error to
// <root>/out, with each kind of pak beside it, and sent SIGTERM once it lists the devices. Without a pak
// it fails naming every place it looked; a pak without the font and a corrupt one fail with the reason;
// the application's pak runs until that quit request and ends with 0.
TEST(StartupProcess, EachKindOfPakGivesItsMessageAndExitStatus) {
    const fs::path root = apptest::freshDirectory("process"), exe = root / "bin/orvane", out = root / "out";
    fs::create_directories(root / "bin");
    fs::copy_file(ORVANE_EXECUTABLE, exe);
    std::ifstream in(ORVANE_ASSET_PAK, std::ios::binary);
    const std::string good(std::istreambuf_iterator<char>(in), {});
    std::string noFont(40, '\0'); // "TPAK", version 1, no entries, entries at 40, names at 39
    noFont.replace(0, 5, "TPAK\x01"), noFont[16] = 40, noFont[24] = 39;
    const fs::path bin = fs::weakly_canonical(root / "bin"), cwd = fs::weakly_canonical(root);
    const std::string bundle = (bin / ".." / "Resources/assets.pak").string();
    // {pak beside the executable (none when empty), exit status and the text that follows the devices}
    const std::pair<std::string, std::string> cases[] = {
        {"", "1 Failed to open asset file: " + bundle + "\nLooked for it at:\n  " + bundle + "\n  " +
                 (bin / "assets.pak").string() + "\n  " + (cwd / "assets.pak").string() + "\n  " +
                 (bin / ".." / "share/orvane/assets.pak").string() + "\n"},
        {noFont, "1 Failed to load default font asset\n"},
        {"TPAX" + good.substr(4), "1 Bad magic (not TPAK)\n"},
        {good, "0 "},
    };
    for (const auto& [pak, expected] : cases) {
        fs::remove(root / "bin/assets.pak");
        if (!pak.empty()) {
            std::ofstream(root / "bin/assets.pak", std::ios::binary) << pak;
        }
        // The shell starts the program in the background and may look at the log before the program's
        // redirection empties it: the last case's log must not be there to be found.
        fs::remove(out);
        const int status =
            std::system(("cd '" + root.string() + "'; '" + exe.string() + "' >'" + out.string() +
                         "' 2>&1 & p=$!; until grep -qs 'Device ID: ' '" + out.string() +
                         "' || ! kill -0 $p; do :; done; kill -TERM $p 2>/dev/null; wait $p")
                            .c_str());
        std::ifstream log(out);
        const std::string result =
            std::to_string(WEXITSTATUS(status)) + " " + std::string(std::istreambuf_iterator<char>(log), {});
        const size_t devices = result.find("Device ID: "), message = result.find(expected.substr(2), 2);
        EXPECT_EQ(result.substr(0, 2), expected.substr(0, 2)) << result;
        EXPECT_TRUE(devices != std::string::npos && message != std::string::npos && message >= devices)
            << result;
        EXPECT_EQ(result.find("Exception"), std::string::npos) << result;
        // Into a file, by default: no trace lines (the textures loaded) and no colour sequences.
        EXPECT_EQ(result.find("[TRACE]"), std::string::npos) << result;
        EXPECT_EQ(result.find("\x1b["), std::string::npos) << result;
    }
    fs::remove_all(root);
}

} // namespace
