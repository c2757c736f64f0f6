// orvane-cli, the real executable, against logix-sim on loopback: identity, browse (the demo file's
// tree, the filter rule, a golden text), reads with their reasons and exit statuses, watch, bad
// usage, no controller, and connections that drop part-way.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "logixsim/server.h"

extern char** environ;

namespace {

using json = nlohmann::json;

struct Result {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
};

// Runs orvane-cli with `args`; `on_out` sees standard output so far, with the child's pid.
Result run(std::vector<std::string> args, const std::function<void(const std::string&, pid_t)>& on_out = {}) {
    int out[2], err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    args.insert(args.begin(), ORVANE_CLI_EXE);
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, ORVANE_CLI_EXE, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    Result r;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    for (int open = 2; open > 0;) {
        ::poll(fds, 2, -1);
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buf[65536];
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            sinks[i]->append(buf, size_t(n));
            if (i == 0 && on_out) {
                on_out(r.out, pid);
            }
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
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
    std::unique_ptr<logixsim::Server> server_;
    std::string address_;
};

TEST_F(Cli, IdentityShowsTheControllersFields) {
    const json& id = demo()["identity"];
    Result text = run({"identity", address_ + "/0"}); // routed through backplane slot 0
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.err, "");
    const std::string name = id["product_name"];
    EXPECT_NE(text.out.find("product name    " + name + "\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("serial number   0x00C0FFEE\n"), std::string::npos) << text.out;
    Result doc = run({"identity", address_, "--json"});
    ASSERT_EQ(doc.status, 0);
    const json got = json::parse(doc.out);
    for (const char* field : {"vendor_id", "device_type", "product_code", "serial_number", "product_name"}) {
        EXPECT_EQ(got[field], id[field]) << field;
    }
    EXPECT_EQ(got["revision"], id["revision"]);
}

// Expects `node` to be a tag or member of `type` (an atomic name, STRING or a user type) with
// `dims`, and a structure's members to follow the demo file's type, recursively.
void expect_tree(const json& node, const std::string& type, const json& dims) {
    SCOPED_TRACE(node["path"].get<std::string>());
    EXPECT_EQ(node["type"], type);
    EXPECT_EQ(node["dims"], dims);
    for (const auto& t : demo()["types"]) {
        if (t["name"] != type || !dims.empty()) {
            continue;
        }
        ASSERT_EQ(node["members"].size(), t["members"].size());
        for (size_t i = 0; i < t["members"].size(); ++i) {
            const json& m = t["members"][i];
            const json& got = node["members"][i];
            EXPECT_EQ(got["name"], m["name"]);
            EXPECT_EQ(got["path"], node["path"].get<std::string>() + "." + m["name"].get<std::string>());
            expect_tree(got, m["type"], m.contains("dim") ? json::array({m["dim"]}) : json::array());
        }
        return;
    }
    EXPECT_FALSE(node.contains("members"));
}

void expect_scope(const json& got, const json& declared, const std::string& prefix) {
    ASSERT_EQ(got.size(), declared.size());
    for (size_t i = 0; i < declared.size(); ++i) {
        EXPECT_EQ(got[i]["name"], declared[i]["name"]);
        EXPECT_EQ(got[i]["path"], prefix + declared[i]["name"].get<std::string>());
        expect_tree(got[i], declared[i]["type"], declared[i].value("dims", json::array()));
    }
}

TEST_F(Cli, BrowseAllAsJsonIsTheDemoFilesTree) {
    Result r = run({"browse", address_, "--all", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "") << "no progress line when standard error is not a terminal";
    const json got = json::parse(r.out);
    expect_scope(got["tags"], demo()["tags"], "");
    ASSERT_EQ(got["programs"].size(), demo()["programs"].size());
    for (size_t i = 0; i < got["programs"].size(); ++i) {
        const json& program = demo()["programs"][i];
        EXPECT_EQ(got["programs"][i]["name"], program["name"]);
        expect_scope(got["programs"][i]["tags"], program["tags"],
                     "Program:" + program["name"].get<std::string>() + ".");
    }
}

TEST_F(Cli, BrowseTextMatchesTheGoldenFile) {
    Result r = run({"browse", address_, "--all"});
    ASSERT_EQ(r.status, 0) << r.err;
    if (std::getenv("ORVANE_UPDATE_GOLDEN") != nullptr) {
        std::ofstream(CLI_BROWSE_GOLDEN) << r.out;
    }
    std::ifstream golden(CLI_BROWSE_GOLDEN);
    const std::string expected((std::istreambuf_iterator<char>(golden)), std::istreambuf_iterator<char>());
    EXPECT_EQ(r.out, expected) << "set ORVANE_UPDATE_GOLDEN=1 to rewrite " CLI_BROWSE_GOLDEN;
}

// The filter keeps each match and the tags above it, and nothing below a match that does not match.
TEST_F(Cli, BrowseFilterKeepsMatchesWithTheirAncestors) {
    const struct {
        std::vector<std::string> args;
        std::set<std::string> paths;
    } cases[] = {
        {{"--filter", "RUNHOURS"},
         {"Motor1", "Motor1.Status", "Motor1.Status.RunHours", "PumpStatus", "PumpStatus.RunHours"}},
        {{"--all", "--filter", "program:mixer.lev"}, {"Program:Mixer.Level"}},
        {{"--program", "Mixer", "--elements", "--filter", "batches[1].ingredients[3].v"},
         {"Program:Mixer.Batches", "Program:Mixer.Batches[1]", "Program:Mixer.Batches[1].Ingredients",
          "Program:Mixer.Batches[1].Ingredients[3]", "Program:Mixer.Batches[1].Ingredients[3].Valid"}},
        {{"--elements", "--filter", "Cube[1,2,3]"}, {"Cube", "Cube[1,2,3]"}},
        {{"--all", "--filter", "no such text"}, {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"browse", address_};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Result r = run(args);
        ASSERT_EQ(r.status, 0) << r.err;
        std::set<std::string> paths;
        for (const std::string& line : lines_of(r.out)) {
            paths.insert(line.substr(0, line.find(' ')));
        }
        EXPECT_EQ(paths, c.paths) << c.args.back();
    }
    Result missing = run({"browse", address_, "--program", "Nope"});
    EXPECT_EQ(missing.status, 3);
    EXPECT_EQ(missing.err, "orvane-cli: program Nope: the controller has no such program\n");
}

TEST_F(Cli, ReadPrintsEveryValueAndExplainsEachFailure) {
    std::vector<std::string> args = {"read", address_};
    std::map<std::string, std::string> expected;
    for (const auto& tag : demo()["tags"]) {
        const std::string type = tag["type"];
        if (tag.contains("dims") || tag.contains("behaviour") || !tag.contains("value") ||
            (tag["value"].is_object())) {
            continue;
        }
        const json& v = tag["value"];
        expected[tag["name"]] = v.is_string() ? v.get<std::string>() : v.dump();
    }
    expected["Motor1.Name"] = "Feed pump";
    expected["Motor1.Status.Running"] = "true";
    expected["DintArray[7]"] = "7";
    expected["Matrix[2,1]"] = "21";
    expected["Program:MainProgram.State"] = "Auto";
    expected["Program:Mixer.Temperature"] = "21.5";
    for (const auto& [tag, text] : expected) {
        args.push_back(tag);
    }
    args.insert(args.begin() + 4, "Conveyor.Speedd"); // a missing tag among the others
    Result r = run(args);
    EXPECT_EQ(r.status, 3);
    std::map<std::string, std::string> got;
    std::string missing;
    for (const std::string& line : lines_of(r.out)) {
        const size_t eq = line.find(" = ");
        if (eq == std::string::npos) {
            missing = line;
        } else {
            got[line.substr(0, eq)] = line.substr(eq + 3);
        }
    }
    EXPECT_EQ(got, expected);
    EXPECT_GE(expected.size(), 20u);
    // The simulator answers a missing tag with 0x04 or 0x05; both read the same.
    EXPECT_EQ(missing.rfind("Conveyor.Speedd: no such tag (CIP 0x0", 0), 0u) << missing;
    EXPECT_EQ(lines_of(r.out).size(), expected.size() + 1);

    Result elements = run({"read", address_, "DintArray[8]", "Names[1]", "--count", "3", "--json"});
    EXPECT_EQ(elements.status, 3);
    const json doc = json::parse(elements.out);
    ASSERT_EQ(doc.size(), 6u);
    EXPECT_EQ(doc[1], json({{"tag", "DintArray[9]"}, {"type", "DINT"}, {"value", "9"}}));
    EXPECT_EQ(doc[2]["tag"], "DintArray[10]");
    EXPECT_NE(doc[2]["error"].get<std::string>().find("(CIP 0xFF/0x2105 general error)"), std::string::npos);
    EXPECT_EQ(doc[4], json({{"tag", "Names[2]"}, {"type", "STRING"}, {"value", "Charlie"}}));
    Result structure = run({"read", address_, "Motor1"});
    EXPECT_EQ(structure.status, 3);
    EXPECT_EQ(structure.out, "Motor1: a structure has no single value; read its members\n");
}

TEST_F(Cli, WatchCsvLogsOneLinePerCycleUntilCountOrCtrlC) {
    start({}, 2); // live values move every 2 ms
    Result r = run({"watch", address_, "Counter", "Greeting", "Matrix[1,2]", "--count", "3", "--interval",
                    "40", "--csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0], "time,Counter,Greeting,\"Matrix[1,2]\"");
    long previous = -1;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i]; // 2026-12-06T12:52:32.974Z,236,"Hello, Orvane",12
        const size_t comma = line.find(',');
        ASSERT_EQ(comma, 24u) << line;
        for (size_t k = 0; k < comma; ++k) {
            const char want = "0000-00-00T00:00:00.000Z"[k];
            EXPECT_TRUE(want == '0' ? std::isdigit((unsigned char)line[k]) != 0 : line[k] == want) << line;
        }
        size_t used = 0;
        const long counter = std::stol(line.substr(comma + 1), &used);
        EXPECT_GT(counter, previous) << "the live counter moves between cycles";
        previous = counter;
        EXPECT_EQ(line.substr(comma + 1 + used), ",\"Hello, Orvane\",12");
    }
    // Ctrl-C after the second cycle ends the watch cleanly, every line whole.
    bool sent = false;
    Result stopped =
        run({"watch", address_, "Counter", "--interval", "20"}, [&](const std::string& out, pid_t pid) {
            if (!sent && std::count(out.begin(), out.end(), '\n') >= 2) {
                ::kill(pid, SIGINT);
                sent = true;
            }
        });
    EXPECT_EQ(stopped.status, 0) << stopped.err;
    EXPECT_GE(lines_of(stopped.out).size(), 2u);
    EXPECT_EQ(stopped.out.back(), '\n');
    Result failing = run({"watch", address_, "Counter", "Nope", "--count", "2", "--interval", "0", "--csv"});
    EXPECT_EQ(failing.status, 3);
    EXPECT_EQ(lines_of(failing.out).size(), 3u);
    EXPECT_EQ(lines_of(failing.err).size(), 1u) << "a failure is reported once, not every cycle";
}

TEST_F(Cli, BadUsageExitsOneWithMessageAndUsage) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"read"},
        {"read", address_},
        {"read", "127.0.0.1:70000", "Tag"},
        {"read", "127.0.0.1:", "Tag"},
        {"read", ":44818", "Tag"},
        {"identity", "127.0.0.1/256"},
        {"read", address_, "Tag", "--count", "0"},
        {"browse", address_, "--all", "--program", "Mixer"},
        {"watch", address_, "Tag", "--interval", "-5"},
        {"identity", address_, "--timeout", "0"},
        {"identity", address_, "--bogus"},
    };
    for (const auto& args : cases) {
        Result r = run(args);
        const std::string shown = args.empty() ? "(none)" : args.back();
        EXPECT_EQ(r.status, 1) << shown;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_NE(r.err.find("Usage: orvane-cli"), std::string::npos) << shown << "\n" << r.err;
    }
    Result help = run({"browse", "--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* option :
         {"ADDRESS", "--program", "--all", "--elements", "--filter", "--json", "--timeout"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
}

// A port with nothing listening, and a controller slower than the time-out: exit 2, nothing on stdout.
TEST_F(Cli, NoControllerExitsTwo) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const std::string closed = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port)); // bound, not listening
    logixsim::Faults slow;
    slow.reply_delay_ms = 2000;
    for (const std::string command : {"identity", "browse", "read", "watch"}) {
        std::vector<std::string> args = {command, closed, "--timeout", "200"};
        if (command == "read" || command == "watch") {
            args.push_back("DintTag");
        }
        Result r = run(args);
        EXPECT_EQ(r.status, 2) << command;
        EXPECT_EQ(r.out, "") << command;
        EXPECT_EQ(r.err.rfind("orvane-cli: cannot connect to " + closed + ": ", 0), 0u) << r.err;
    }
    ::close(s);
    start(slow);
    Result r = run({"read", address_, "DintTag", "--timeout", "50"});
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
            Result r = run({"browse", address_, "--all", format});
            EXPECT_EQ(r.status, 2) << after << format;
            EXPECT_EQ(r.out, "") << after << format;
            EXPECT_NE(r.err.find("the connection failed or was closed"), std::string::npos) << r.err;
        }
        Result watch = run({"watch", address_, "DintTag", "Greeting", "--interval", "0"});
        EXPECT_EQ(watch.status, 2) << after;
        for (const std::string& line : lines_of(watch.out)) {
            EXPECT_NE(line.find("DintTag=123456 Greeting=Hello, Orvane"), std::string::npos) << line;
        }
    }
}

} // namespace
