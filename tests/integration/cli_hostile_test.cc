// orvane-cli, the real executable, against a hostile device on loopback: control characters in the
// device's names never reach the terminal raw, and SIGTERM ends a watch stuck in a trickled reply at
// once. Judged by the device's accounts (bytes trickled after the signal), never by the clock.
#include "../support/hostile_device.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Child {
    pid_t pid = -1;
    std::string out_path = "cli_hostile.out", err_path = "cli_hostile.err";
    // Starts orvane-cli with `args`, its output going to two files of the test's working directory.
    explicit Child(std::vector<std::string> args) {
        args.insert(args.begin(), ORVANE_CLI_EXE);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&files, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn(&pid, ORVANE_CLI_EXE, &files, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&files);
    }
    int wait() { // exit status, or 128 + signal
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    static std::string slurp(const std::string& path) {
        std::ifstream in(path);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::string out() const { return slurp(out_path); }
    std::string err() const { return slurp(err_path); }
};

bool has_control_bytes(const std::string& text) { // line ends aside
    for (const char c : text)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7F)
            return true;
    return false;
}

// A device whose product and tag names carry escape sequences (retitle, clear, recolour) and a line
// break that would forge a row: the text forms show each as an escape; JSON keeps its own escaping.
TEST(CliHostile, DeviceNamesReachTheTerminalEscaped) {
    hostile::Device device({.product = "\x1b]0;pwned\x07PLC\x1b[2J",
                            .tags = {{"Speed\x1b[31m", 0xC4, {0, 0, 0}}, {"A\nFake_Row", 0xC4, {0, 0, 0}}}});
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> shown; // in the output, as written
    } cases[] = {
        {{"identity", device.address()}, {"product name    \\x1b]0;pwned\\x07PLC\\x1b[2J\n"}},
        {{"browse", device.address()}, {"Speed\\x1b[31m", "A\\x0aFake_Row"}},
        {{"identity", device.address(), "--json"}, {"\"\\u001b]0;pwned\\u0007PLC\\u001b[2J\""}},
        {{"browse", device.address(), "--json"}, {"\"A\\nFake_Row\""}},
    };
    for (const auto& c : cases) {
        Child run(c.args);
        EXPECT_EQ(run.wait(), 0) << c.args[0] << run.err();
        const std::string out = run.out();
        EXPECT_FALSE(has_control_bytes(out)) << out;
        for (const std::string& s : c.shown)
            EXPECT_NE(out.find(s), std::string::npos) << out;
    }
    Child browse({"browse", device.address()});
    browse.wait();
    const std::string out = browse.out();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << "one line per tag, none forged";
}

// A watch whose read is answered one byte every 50 ms under a one-minute time-out: SIGTERM (and
// Ctrl-C) ends it within a byte or two of the trickle, with status 0 and no row for the cut cycle.
TEST(CliHostile, SignalsEndAWatchStuckInATrickledReply) {
    for (const int sig : {SIGTERM, SIGINT}) {
        // Requests: RegisterSession, Identity, then the first read of the watch.
        hostile::Device device({.drip_request = 3, .drip_ms = 50, .drip_claim = 600});
        Child run({"watch", device.address(), "Counter", "--unconnected", "--timeout", "60000"});
        const int at_signal = device.wait_dripped(3);
        kill(run.pid, sig);
        EXPECT_EQ(run.wait(), 0) << run.err();
        device.wait_drip_over();
        EXPECT_TRUE(device.client_gave_up());
        EXPECT_LE(device.dripped() - at_signal, 2) << "bytes trickled after the signal";
        EXPECT_EQ(run.out(), "");
    }
}

// Tags whose dimensions claim billions of elements (one dimension of 4,294,967,295; three
// whose product overflows 64 bits) are listed without their elements, named on standard error, and
// the process stays small (its peak resident size, as the kernel counts it); a tag of 1,000 elements
// beside them is listed in full.
TEST(CliHostile, HugeDimensionsAreListedWithoutTheirElements) {
    hostile::Device device({.tags = {{"Huge", 0x20C4, {4294967295u, 0, 0}},
                                     {"Cube", 0x60C4, {4294967295u, 4294967295u, 2}},
                                     {"Fine", 0x20C4, {1000, 0, 0}}}});
    for (const bool json : {false, true}) {
        std::vector<std::string> args = {"browse", device.address(), "--elements"};
        if (json)
            args.push_back("--json");
        Child run(args);
        EXPECT_EQ(run.wait(), 0) << run.err();
        rusage usage{};
        getrusage(RUSAGE_CHILDREN, &usage);
        EXPECT_LT(usage.ru_maxrss, 200 * 1024) << "peak resident KiB";
        const std::string out = run.out(), err = run.err();
        EXPECT_NE(err.find("Huge: 4294967296 rows with its elements, too many to list"), std::string::npos)
            << err;
        EXPECT_NE(err.find("Cube: over 2^64 rows"), std::string::npos) << err;
        EXPECT_EQ(err.find("Fine"), std::string::npos) << err;
        EXPECT_NE(out.find(json ? "\"Fine[999]\"" : "Fine[999]"), std::string::npos);
        EXPECT_EQ(out.find("Huge[0]"), std::string::npos);
        EXPECT_LT(out.size(), 200000u);
    }
}

} // namespace
