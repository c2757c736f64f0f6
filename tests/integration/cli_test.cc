// orvane-cli, the real executable, against logix-sim on loopback: identity, browse (the demo file's
// tree, the filter rule, a golden text), reads with their reasons and exit statuses, watch, bad
// usage, no controller, and connections that drop part-way.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "logixsim/server.h"

extern char** environ;

namespace {

using json = nlohmann::json;

struct Result {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

const json& demo() {
    static const json doc = json::parse(logixsim::demo_controller_json());
    return doc;
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override { start({}); }
    void start(logixsim::Faults faults, int live_interval_ms = 0) {
        logixsim::Options options;
        options.port = 0;
        options.live_interval_ms = live_interval_ms;
        options.faults = faults;
        server_ = std::make_unique<logixsim::Server>(logixsim::demo_controller(), options);
        server_->start();
        address_ = "127.0.0.1:" + std::to_string(server_->port());
    }
    // Runs orvane-cli with the words of `line` (no word has a space), "@" standing for the
    // simulator's address; standard error goes to a temporary file, so that neither stream can
    // block the other. `on_out` sees standard output so far, with the child's pid.
    Result cli(const std::string& line, const std::function<void(const std::string&, pid_t)>& on_out = {}) {
        std::vector<std::string> args = {ORVANE_CLI_EXE};
        std::istringstream in(line);
        for (std::string word; in >> word;)
            args.push_back(word == "@" ? address_ : word);
        int out[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        std::FILE* err = std::tmpfile();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fileno(err), 2);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, ORVANE_CLI_EXE, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        Result r;
        char buf[65536];
        for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) {
            r.out.append(buf, size_t(n));
            if (on_out)
                on_out(r.out, pid);
        }
        ::close(out[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::rewind(err);
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, err)) > 0;)
            r.err.append(buf, n);
        std::fclose(err);
        return r;
    }
    std::unique_ptr<logixsim::Server> server_;
    std::string address_;
};

TEST_F(Cli, IdentityShowsTheControllersFields) {
    const json& id = demo()["identity"];
    Result text = cli("identity " + address_ + "/0"); // routed through backplane slot 0
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.err, "");
    const std::string name = id["product_name"];
    EXPECT_NE(text.out.find("serial number   0x00C0FFEE\nproduct name    " + name), std::string::npos)
        << text.out;
    Result doc = cli("identity @ --json");
    ASSERT_EQ(doc.status, 0);
    const json got = json::parse(doc.out);
    for (const char* field :
         {"vendor_id", "device_type", "product_code", "revision", "serial_number", "product_name"})
        EXPECT_EQ(got[field], id[field]) << field;
}

// A tag or member as browse --json shows it: from its declaration in the demo file, a structure's
// members following the file's type, recursively.
json declared(const json& decl, const std::string& path, const json& dims) {
    json node = {{"name", decl["name"]}, {"path", path}, {"type", decl["type"]}, {"dims", dims}};
    for (const auto& type : demo()["types"]) {
        for (const auto& m : type["members"]) {
            if (type["name"] == decl["type"] && dims.empty())
                node["members"].push_back(
                    declared(m, path + "." + m["name"].get<std::string>(),
                             m.contains("dim") ? json::array({m["dim"]}) : json::array()));
        }
    }
    return node;
}

json declared_scope(const json& tags, const std::string& prefix) {
    json out = json::array();
    for (const auto& t : tags)
        out.push_back(declared(t, prefix + t["name"].get<std::string>(), t.value("dims", json::array())));
    return out;
}

TEST_F(Cli, BrowseAllAsJsonIsTheDemoFilesTree) {
    Result r = cli("browse @ --all --json");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "") << "no progress line when standard error is not a terminal";
    json got = json::parse(r.out), programs = json::array();
    EXPECT_EQ(got["tags"], declared_scope(demo()["tags"], ""));
    for (const auto& p : demo()["programs"]) {
        const std::string name = p["name"];
        programs.push_back({{"name", name}, {"tags", declared_scope(p["tags"], "Program:" + name + ".")}});
    }
    EXPECT_EQ(got["programs"], programs);
}

TEST_F(Cli, BrowseTextMatchesTheGoldenFile) {
    Result r = cli("browse @ --all");
    ASSERT_EQ(r.status, 0) << r.err;
    if (std::getenv("ORVANE_UPDATE_GOLDEN") != nullptr)
        std::ofstream(CLI_BROWSE_GOLDEN) << r.out;
    std::ifstream golden(CLI_BROWSE_GOLDEN);
    const std::string expected((std::istreambuf_iterator<char>(golden)), std::istreambuf_iterator<char>());
    EXPECT_EQ(r.out, expected) << "set ORVANE_UPDATE_GOLDEN=1 to rewrite " CLI_BROWSE_GOLDEN;
}

// The filter keeps each match and the tags above it, and nothing below a match that does not match.
TEST_F(Cli, BrowseFilterKeepsMatchesWithTheirAncestors) {
    const std::pair<const char*, std::set<std::string>> cases[] = {
        {"--filter RUNHOURS",
         {"Motor1", "Motor1.Status", "Motor1.Status.RunHours", "PumpStatus", "PumpStatus.RunHours"}},
        {"--all --filter program:mixer.lev", {"Program:Mixer.Level"}},
        {"--program Mixer --elements --filter batches[1].ingredients[3].v",
         {"Program:Mixer.Batches", "Program:Mixer.Batches[1]", "Program:Mixer.Batches[1].Ingredients",
          "Program:Mixer.Batches[1].Ingredients[3]", "Program:Mixer.Batches[1].Ingredients[3].Valid"}},
        {"--elements --filter Cube[1,2,3]", {"Cube", "Cube[1,2,3]"}},
        {"--all --filter no-such-text", {}}};
    for (const auto& [options, expected] : cases) {
        Result r = cli(std::string("browse @ ") + options);
        ASSERT_EQ(r.status, 0) << r.err;
        std::set<std::string> paths;
        for (const std::string& line : lines_of(r.out))
            paths.insert(line.substr(0, line.find(' ')));
        EXPECT_EQ(paths, expected) << options;
    }
    Result missing = cli("browse @ --program Nope");
    EXPECT_EQ(missing.status, 3);
    EXPECT_EQ(missing.err, "orvane-cli: program Nope: the controller has no such program\n");
}

// Every scalar tag of the demo file with a fixed value (each atomic type, STRINGs), members,
// elements and program tags in one batch, with failures among them: each line in its place.
TEST_F(Cli, ReadPrintsEveryValueAndExplainsEachFailure) {
    std::string line = "read @", expected;
    auto add = [&](const std::string& tag, const std::string& rest) {
        line += " " + tag;
        expected += tag + rest + "\n";
    };
    for (const auto& tag : demo()["tags"]) {
        const json v = tag.value("value", json());
        if (!tag.contains("dims") && !tag.contains("behaviour") && !v.is_null() && v.is_primitive())
            add(tag["name"], " = " + (v.is_string() ? v.get<std::string>() : v.dump()));
        if (std::count(expected.begin(), expected.end(), '\n') == 2) { // failures among the others:
            add("Conveyor.Speedd", ": no such tag (CIP 0x04 path segment error)");
            add("Bad..Path", ": invalid argument or malformed tag name");
        }
    }
    EXPECT_GE(std::count(expected.begin(), expected.end(), '\n'), 20);
    add("Motor1.Name", " = Feed pump");
    add("Motor1.Status.Running", " = true");
    add("DintArray[7]", " = 7");
    add("Matrix[2,1]", " = 21");
    add("Program:MainProgram.State", " = Auto");
    add("Program:Mixer.Temperature", " = 21.5");
    add("Motor1", ": a structure has no single value; read its members");
    // In packed batches, then in single reads (the simulator refusing every packed batch).
    for (size_t limit : {504, 10}) {
        logixsim::Faults faults;
        faults.packet_limit = limit;
        start(faults);
        Result r = cli(line);
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.out, expected) << "packet limit " << limit;
    }

    Result elements = cli("read @ DintArray[8] Names[1] --count 3 --json");
    EXPECT_EQ(elements.status, 3);
    json doc = json::parse(R"([{"tag":"DintArray[8]","type":"DINT","value":"8"},
        {"tag":"DintArray[9]","type":"DINT","value":"9"}, {"tag":"DintArray[10]"},
        {"tag":"Names[1]","type":"STRING","value":"Bravo"},
        {"tag":"Names[2]","type":"STRING","value":"Charlie"}, {"tag":"Names[3]"}])");
    doc[2]["error"] = doc[5]["error"] =
        "index or element count beyond the end of the tag (CIP 0xFF/0x2105 general error)";
    EXPECT_EQ(json::parse(elements.out), doc);
}

TEST_F(Cli, WatchCsvLogsOneLinePerCycleUntilCountOrCtrlC) {
    start({}, 2); // live values move every 2 ms
    Result r = cli("watch @ Counter Greeting Matrix[1,2] --count 3 --interval 40 --csv");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0], "time,Counter,Greeting,\"Matrix[1,2]\"");
    long previous = -1;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i]; // 2026-12-06T12:52:32.974Z,236,"Hello, Orvane",12
        ASSERT_EQ(line.find(','), 24u) << line;
        for (size_t k = 0; k < 24; ++k) {
            const char want = "0000-00-00T00:00:00.000Z"[k];
            EXPECT_TRUE(want == '0' ? std::isdigit((unsigned char)line[k]) != 0 : line[k] == want) << line;
        }
        size_t used = 0;
        const long counter = std::stol(line.substr(25), &used);
        EXPECT_GT(counter, previous) << "the live counter moves between cycles";
        previous = counter;
        EXPECT_EQ(line.substr(25 + used), ",\"Hello, Orvane\",12");
    }
    // Ctrl-C after the second cycle ends the watch cleanly, every line whole.
    bool sent = false;
    Result stopped = cli("watch @ Counter --interval 20", [&](const std::string& out, pid_t pid) {
        if (!sent && std::count(out.begin(), out.end(), '\n') >= 2)
            sent = ::kill(pid, SIGINT) == 0;
    });
    EXPECT_EQ(stopped.status, 0) << stopped.err;
    EXPECT_GE(lines_of(stopped.out).size(), 2u);
    EXPECT_EQ(stopped.out.back(), '\n');
    Result failing = cli("watch @ Counter Nope --count 2 --interval 0 --csv");
    EXPECT_EQ(failing.status, 3);
    EXPECT_EQ(lines_of(failing.out).size(), 3u);
    EXPECT_EQ(lines_of(failing.err).size(), 1u) << "a failure is reported once, not every cycle";
}

TEST_F(Cli, BadUsageExitsOneWithMessageAndUsage) {
    for (const char* line : {"", "frobnicate", "read", "read @", "read 127.0.0.1:70000 Tag",
                             "read 127.0.0.1: Tag", "read :44818 Tag", "identity 127.0.0.1/256",
                             "read @ Tag --count 0", "browse @ --all --program Mixer",
                             "watch @ Tag --interval -5", "identity @ --timeout 0", "identity @ --bogus"}) {
        Result r = cli(line);
        EXPECT_EQ(r.status, 1) << line;
        EXPECT_EQ(r.out, "") << line;
        EXPECT_NE(r.err.find("Usage: orvane-cli"), std::string::npos) << line << "\n" << r.err;
    }
    Result help = cli("browse --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--program"), std::string::npos) << help.out;
}

// A port with nothing listening, and a controller slower than the time-out: exit 2, nothing on stdout.
TEST_F(Cli, NoControllerExitsTwo) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    address_ = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port)); // bound, not listening
    for (const char* command : {"identity @", "browse @", "read @ DintTag", "watch @ DintTag"}) {
        Result r = cli(std::string(command) + " --timeout 200");
        EXPECT_EQ(r.status, 2) << command;
        EXPECT_EQ(r.out, "") << command;
        EXPECT_EQ(r.err.rfind("orvane-cli: cannot connect to " + address_ + ": ", 0), 0u) << r.err;
    }
    ::close(s);
    logixsim::Faults slow;
    slow.reply_delay_ms = 2000;
    start(slow);
    Result r = cli("read @ DintTag --timeout 50");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("timed out"), std::string::npos) << r.err;
}

// The simulator closes the connection part-way: no output claimed as complete, exit 2.
TEST_F(Cli, ConnectionDroppedPartWayExitsTwo) {
    for (int after : {3, 5, 9}) {
        logixsim::Faults faults;
        faults.close_after_requests = after; // the connect takes two requests
        start(faults);
        for (const char* format : {"--json", "--elements"}) {
            Result r = cli(std::string("browse @ --all ") + format);
            EXPECT_EQ(r.status, 2) << after << format;
            EXPECT_EQ(r.out, "") << after << format;
            EXPECT_NE(r.err.find("the connection failed or was closed"), std::string::npos) << r.err;
        }
        Result watch = cli("watch @ DintTag Greeting --interval 0");
        EXPECT_EQ(watch.status, 2) << after;
        for (const std::string& line : lines_of(watch.out))
            EXPECT_NE(line.find("DintTag=123456 Greeting=Hello, Orvane"), std::string::npos) << line;
    }
}

} // namespace
