// orvane-cli, the real executable, against logix-sim on loopback: identity, browse (the demo file's
// tree, a golden text, the filter rule), reads with their reasons, watch, and the exit statuses of bad
// usage, of no controller and of connections that drop part-way.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>

#include "logixsim/server.h"

namespace {

using json = nlohmann::json;
using Lines = std::vector<std::string>;
const json demo = json::parse(logixsim::demo_controller_json());

struct Result {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
    Lines lines() const {
        Lines lines;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
};

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

class Cli : public ::testing::Test {
protected:
    void SetUp() override { start({}); }
    void start(logixsim::Faults faults, int live_interval_ms = 0,
               std::shared_ptr<const logixsim::Controller> controller = logixsim::demo_controller()) {
        server_ = std::make_unique<logixsim::Server>(
            std::move(controller),
            logixsim::Options{.port = 0, .faults = faults, .live_interval_ms = live_interval_ms});
        server_->start();
        address_ = "127.0.0.1:" + std::to_string(server_->port());
    }
    // Runs orvane-cli through the shell with the words of `line` quoted, "@" standing for the simulator's
    // address; with `then`, started in the background (its pid in $p, Ctrl-C not ignored) and `then` run.
    Result cli(const std::string& line, const std::string& then = "") {
        std::string command = std::string("'") + ORVANE_CLI_EXE + "'";
        std::istringstream in(line);
        for (std::string word; in >> word;)
            command += " '" + (word == "@" ? address_ : word) + "'";
        command += " >" + out_ + " 2>" + err_ + " </dev/null";
        if (!then.empty())
            command = "env --default-signal=INT " + command + " & p=$!; " + then + "; wait $p";
        const int status = std::system(("rm -f " + out_ + "; " + command).c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out_), slurp(err_)};
    }
    std::unique_ptr<logixsim::Server> server_;
    std::string address_;
    const std::string out_ = "cli_test.out", err_ = "cli_test.err"; // in the test's working directory
};

TEST_F(Cli, IdentityAndBrowseShowTheDemoControllerAsJsonAndAsTheGoldenText) {
    const json identity = json::parse(cli("identity " + address_ + "/0 --json").out); // through slot 0
    for (const char* field :
         {"vendor_id", "device_type", "product_code", "revision", "serial_number", "product_name"})
        EXPECT_EQ(identity[field], demo["identity"][field]) << field;
    Result r = cli("browse @ --all");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "") << "no progress line when standard error is not a terminal";
    if (std::getenv("ORVANE_UPDATE_GOLDEN") != nullptr)
        std::ofstream(CLI_BROWSE_GOLDEN) << r.out;
    std::ifstream golden(CLI_BROWSE_GOLDEN);
    EXPECT_EQ(r.out, std::string(std::istreambuf_iterator<char>(golden), {}))
        << "set ORVANE_UPDATE_GOLDEN=1 to rewrite " CLI_BROWSE_GOLDEN;
    // JSON: elements and members nested under the tag, each with name, path, type and dimensions.
    const json doc =
        json::parse(cli("browse @ --program MainProgram --elements --filter pump.status.speed --json").out);
    EXPECT_EQ(doc["programs"],
              json::parse(R"([{"name":"MainProgram","tags":[{"name":"Pump","path":"Program:MainProgram.Pump",
        "type":"Motor","dims":[],"members":[{"name":"Status","path":"Program:MainProgram.Pump.Status","type":"MotorStatus",
        "dims":[],"members":[{"name":"Speed","path":"Program:MainProgram.Pump.Status.Speed","type":"REAL","dims":[]}]}]}]}])"));
    EXPECT_EQ(json::parse(cli("browse @ --elements --filter Matrix[2,3] --json").out)["tags"],
              json::parse(R"([{"name":"Matrix",
        "path":"Matrix","type":"INT","dims":[3,4],"elements":[{"name":"[2,3]","path":"Matrix[2,3]","type":"INT","dims":[]}]}])"));
}

// The JSON is written row by row as nlohmann::json would print the whole document (dump(2)), in every
// shape: elements, members, one program, nothing kept, a controller name that needs escapes. A
// write that fails ends the command with status 2.
TEST_F(Cli, BrowseJsonIsWrittenAsTheJsonLibraryWouldAndAFailedWriteIsAnError) {
    json controller = demo;
    for (const char* name : {"L8 \"A\"\\B", "L8\t\u00e9"}) {
        controller["identity"]["product_name"] = name;
        start({}, 0, logixsim::parse_controller(controller.dump(), "escapes.json"));
        for (const char* options : {"--json", "--all --elements --json", "--program Mixer --elements --json",
                                    "--all --filter nothing-matches --json", "--all --filter speed --json",
                                    "--all --elements --filter [1] --json"}) {
            const Result r = cli(std::string("browse @ ") + options);
            ASSERT_EQ(r.status, 0) << options << r.err;
            EXPECT_EQ(r.out, nlohmann::ordered_json::parse(r.out).dump(2) + "\n") << options;
            EXPECT_EQ(json::parse(r.out)["controller"], name) << options;
        }
    }
    const int status = std::system(("'" + std::string(ORVANE_CLI_EXE) + "' browse " + address_ +
                                    " --all --elements --json >/dev/full 2>" + err_)
                                       .c_str());
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_EQ(slurp(err_), "orvane-cli: cannot write the results: No space left on device\n");
}

// The filter keeps each match and the tags above it, in the listing's order (elements row-major), and
// nothing below a match that does not match itself.
TEST_F(Cli, BrowseFilterKeepsMatchesWithTheirAncestors) {
    Lines matrix = {"Matrix"};
    for (int i = 0; i < 12; ++i)
        matrix.push_back("Matrix[" + std::to_string(i / 4) + "," + std::to_string(i % 4) + "]");
    const std::pair<const char*, Lines> cases[] = {
        {"--filter RUNHOURS",
         {"Motor1", "Motor1.Status", "Motor1.Status.RunHours", "PumpStatus", "PumpStatus.RunHours"}},
        {"--all --filter program:mixer.lev", {"Program:Mixer.Level"}},
        {"--program Mixer --elements --filter batches[1].ingredients[3].v",
         {"Program:Mixer.Batches", "Program:Mixer.Batches[1]", "Program:Mixer.Batches[1].Ingredients",
          "Program:Mixer.Batches[1].Ingredients[3]", "Program:Mixer.Batches[1].Ingredients[3].Valid"}},
        {"--elements --filter Cube[1,2,3]", {"Cube", "Cube[1,2,3]"}},
        {"--elements --filter matrix[", matrix},
        {"--all --filter no-such-text", {}}};
    for (const auto& [options, expected] : cases) {
        Lines paths = cli(std::string("browse @ ") + options).lines();
        for (std::string& line : paths)
            line.resize(line.find(' '));
        EXPECT_EQ(paths, expected) << options;
    }
    Result missing = cli("browse @ --program Nope");
    EXPECT_EQ(std::to_string(missing.status) + " " + missing.err,
              "3 orvane-cli: program Nope: the controller has no such program\n");
}

// Every scalar tag of the demo file with a fixed value (each atomic type, STRINGs), members, elements
// and program tags in one batch, with failures among them: each line in its place, exit status 3.
TEST_F(Cli, ReadPrintsEveryValueAndExplainsEachFailure) {
    std::string line = "read @", expected;
    auto add = [&](const std::string& tag, const std::string& rest) {
        line += " " + tag;
        expected += tag + rest + "\n";
    };
    for (const auto& tag : demo["tags"]) {
        const json v = tag.value("value", json());
        if (!tag.contains("dims") && !tag.contains("behaviour") && !v.is_null() && v.is_primitive())
            add(tag["name"], " = " + (v.is_string() ? v.get<std::string>() : v.dump()));
        if (std::count(expected.begin(), expected.end(), '\n') == 2) {
            add("Conveyor.Speedd", ": no such tag (CIP 0x04 path segment error)");
            add("Bad..Path", ": invalid argument or malformed tag name");
        }
    }
    add("Motor1.Name", " = Feed pump");
    add("Motor1.Status.Running", " = true");
    add("DintArray[7]", " = 7");
    add("Matrix[2,1]", " = 21");
    add("Program:MainProgram.State", " = Auto");
    add("Program:Mixer.Temperature", " = 21.5");
    add("Motor1", ": a structure has no single value; read its members");
    Result r = cli(line);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, expected);

    r = cli("read @ DintArray[8] Names[1] --count 3 --json");
    EXPECT_EQ(r.status, 3);
    json doc = json::parse(R"([{"tag":"DintArray[8]","type":"DINT","value":"8"},
        {"tag":"DintArray[9]","type":"DINT","value":"9"}, {"tag":"DintArray[10]"},
        {"tag":"Names[1]","type":"STRING","value":"Bravo"},
        {"tag":"Names[2]","type":"STRING","value":"Charlie"}, {"tag":"Names[3]"}])");
    doc[2]["error"] = doc[5]["error"] =
        "index or element count beyond the end of the tag (CIP 0xFF/0x2105 general error)";
    EXPECT_EQ(json::parse(r.out), doc);

    // From an element of a two-dimensional array the last index counts up.
    r = cli("read @ Matrix[2,1] --count 3");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Matrix[2,1] = 21\nMatrix[2,2] = 22\nMatrix[2,3] = 23\n");
}

TEST_F(Cli, WatchCsvLogsOneLinePerCycleUntilCountOrCtrlC) {
    start({}, 2); // live values move every 2 ms
    Result r = cli("watch @ Counter Greeting Matrix[1,2] --count 3 --interval 40 --csv");
    ASSERT_EQ(r.status, 0) << r.err;
    const Lines lines = r.lines();
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0], "time,Counter,Greeting,\"Matrix[1,2]\"");
    long previous = -1;
    for (size_t i = 1; i < lines.size(); ++i) { // 2026-12-06T15:12:54.123Z,<counter>,"Hello, Orvane",12
        int date[7] = {};
        long counter = 0;
        char rest[32] = "";
        ASSERT_EQ(std::sscanf(lines[i].c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ,%ld,%31[^\n]", &date[0], &date[1],
                              &date[2], &date[3], &date[4], &date[5], &date[6], &counter, rest),
                  9)
            << lines[i];
        EXPECT_EQ(std::string(rest), "\"Hello, Orvane\",12");
        EXPECT_GT(counter, previous) << "the live counter moves between cycles";
        previous = counter;
    }
    // Ctrl-C after the second cycle ends the watch cleanly, every line whole.
    r = cli("watch @ Counter --interval 20",
            "until [ $(cat " + out_ +
                " 2>/dev/null | wc -l) -ge 2 ] || ! kill -0 $p; do :; done; kill -INT $p");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GE(r.lines().size(), 2u);
    EXPECT_EQ(r.out.back(), '\n');
    r = cli("watch @ Counter Nope --count 2 --interval 0 --csv");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.lines().size(), 3u);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1)
        << "a failure is reported once, not every cycle";
}

// RFC 4180: a field holding a double quote, a comma or a line break is enclosed in double quotes, and
// each double quote inside it is doubled; other fields stay as they are.
TEST_F(Cli, WatchCsvQuotesFieldsWithQuotesCommasAndLineBreaks) {
    const std::pair<const char*, const char*> strings[] = {
        {"Quoted", "say \"hi\", twice"}, {"Crlf", "one\r\ntwo"}, {"Lf", "three\nfour"}, {"Plain", "a b"}};
    json controller = demo;
    for (const auto& [name, value] : strings)
        controller["tags"].push_back({{"name", name}, {"type", "STRING"}, {"value", value}});
    start({}, 0, logixsim::parse_controller(controller.dump(), "csv.json"));
    const Result r = cli("watch @ Quoted Crlf Lf Plain --count 1 --csv");
    ASSERT_EQ(r.status, 0) << r.err;
    const size_t row = r.out.find('\n') + 1;
    EXPECT_EQ(r.out.substr(0, row), "time,Quoted,Crlf,Lf,Plain\n");
    EXPECT_EQ(r.out.substr(r.out.find(',', row)),
              ",\"say \"\"hi\"\", twice\",\"one\r\ntwo\",\"three\nfour\",a b\n");
}

// STRING values holding control characters reach the text forms of read and watch as visible
// escapes; JSON keeps its own escaping of the same bytes.
TEST_F(Cli, StringValuesWithControlCharactersAreShownEscaped) {
    json controller = demo;
    controller["tags"].push_back({{"name", "Banner"}, {"type", "STRING"}, {"value", "\x1b]0;pwned\x07ok\n\u009b2J"}});
    start({}, 0, logixsim::parse_controller(controller.dump(), "banner.json"));
    const std::string shown = "\\x1b]0;pwned\\x07ok\\x0a\\u009b2J";
    const struct {
        const char* line;
        std::string want; // somewhere in the output
    } cases[] = {
        {"read @ Banner", "Banner = " + shown},
        {"watch @ Banner --count 1", " Banner=" + shown},
        {"read @ Banner --json", "\\u001b]0;pwned\\u0007ok\\n\u009b2J"},
    };
    for (const auto& c : cases) {
        const Result r = cli(c.line);
        ASSERT_EQ(r.status, 0) << c.line << r.err;
        EXPECT_NE(r.out.find(c.want), std::string::npos) << r.out;
        if (std::string(c.line).find("--json") == std::string::npos) {
            EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << c.line;
        }
    }
}

// A usage error: the problem, then the one usage line of the command (the full help only with --help).
TEST_F(Cli, BadUsageExitsOneWithMessageAndUsage) {
    for (const char* line : {"", "frobnicate", "read", "read @", "read 127.0.0.1:70000 Tag",
                             "read 127.0.0.1: Tag", "read :44818 Tag", "identity 127.0.0.1/256",
                             "read @ Tag --count 0", "browse @ --all --program Mixer",
                             "watch @ Tag --interval -5", "identity @ --timeout 0", "identity @ --bogus",
                             "read @ Tag --packet-size 1000", "identity @ --unconnected --packet-size 504"}) {
        Result r = cli(line);
        EXPECT_EQ(r.status, 1) << line;
        EXPECT_EQ(r.out, "") << line;
        const std::string command = std::string(line).substr(0, std::string(line).find(' '));
        const size_t usage = r.err.find("Usage: orvane-cli " + (command == "frobnicate" ? "" : command));
        EXPECT_NE(usage, std::string::npos) << line << "\n" << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << line << "\n" << r.err;
    }
    EXPECT_EQ(cli("frobnicate @").err.substr(0, 56), "orvane-cli: unknown command 'frobnicate' (commands: iden");
    EXPECT_NE(cli("read --help").out.find("--packet-size"), std::string::npos);
}

// The connection mode of every command, as identity tells it; refusals by the device (a slot where
// nothing is, a session refused) exit 3 with the status they came from.
TEST_F(Cli, ModesAndRefusalsAreToldWithTheirStatus) {
    for (const auto& [option, tail] : {std::pair{"", "4000 bytes\nconnection      class 3 connection of 4002 bytes\n"},
                                       {" --packet-size 504", "502 bytes\nconnection      class 3 connection of 504 bytes\n"},
                                       {" --unconnected", "500 bytes\nconnection      unconnected messaging\n"}}) {
        const std::string out = cli(std::string("identity @") + option).out;
        EXPECT_EQ(out.substr(std::min(out.size(), out.find("packet size") + 16)), tail) << option;
    }
    Result r = cli("identity " + address_ + "/3");
    EXPECT_EQ(std::to_string(r.status) + " " + r.err,
              "3 orvane-cli: cannot connect to " + address_ +
                  "/3: the route to slot 3: no device at that address or backplane slot (CIP 0x01/0x0312 "
                  "connection failure)\n");
    // A device that routes only over connections: slot 0 is reached through the Forward Open's path
    // in every mode, and a slot with nothing in it is named as the route's refusal.
    logixsim::Faults quirk;
    quirk.no_unconnected_send = true;
    server_->set_faults(quirk);
    for (const char* mode : {"", " --unconnected"}) {
        r = cli("identity " + address_ + "/0" + mode);
        EXPECT_EQ(r.out.substr(std::min(r.out.size(), r.out.find("connection "))),
                  "connection      class 3 connection of 4002 bytes\n")
            << mode << r.err;
        EXPECT_EQ(cli("read " + address_ + "/0 DintTag" + mode).out, "DintTag = 123456\n") << mode;
        EXPECT_EQ(cli("read " + address_ + "/3 DintTag" + mode).err,
                  "orvane-cli: cannot connect to " + address_ +
                      "/3: the route to slot 3: no device at that address or backplane slot (CIP 0x01/0x0312 "
                      "connection failure)\n");
    }
    // A service refused in the encapsulation header (status 8, as one device does for the symbol
    // list) is a refusal of that request: exit 3, and the connection goes on carrying the reads.
    quirk = {};
    quirk.encapsulation_refused_service = 0x55;
    server_->set_faults(quirk);
    for (const char* mode : {"", " --unconnected"}) {
        r = cli(std::string("browse @") + mode);
        EXPECT_EQ(std::to_string(r.status) + " " + r.err,
                  "3 orvane-cli: " + address_ +
                      ": browsing the controller tags failed: the controller answered with an error status "
                      "(encapsulation status 0x0008 unsupported command)\n")
            << mode;
        r = cli(std::string("read @ DintArray DintTag --whole-arrays") + mode);
        EXPECT_EQ(std::pair(r.status, r.out), std::pair(0, std::string("DintArray = 0\nDintTag = 123456\n")))
            << mode << r.err;
    }
    logixsim::Faults refuse;
    refuse.refuse_sessions = true;
    start(refuse);
    r = cli("read @ DintTag");
    EXPECT_EQ(std::to_string(r.status) + " " + r.err,
              "3 orvane-cli: cannot connect to " + address_ +
                  ": the controller refused the session (encapsulation status 0x0002 insufficient memory)\n");
}

// Devices that are not Logix controllers, in both modes: the same output as from the controller.
// With --whole-arrays an array is read whole, element by element.
TEST_F(Cli, OtherDevicesReadAndBrowseLikeTheController) {
    const std::string line = "read @ DintTag Greeting Names[1] Motor1.Status.Speed Nope";
    const Result expected = cli(line), browse = cli("browse @ --all");
    for (const char* mode : {"", " --unconnected"}) {
        for (int k = 0; k < 5; ++k) {
            logixsim::Faults quirk;
            quirk.no_multiple_service = k == 0;
            quirk.connected_reply_ot_id = k == 1;
            quirk.strings = logixsim::Faults::Strings(k == 2 || k == 3 ? k - 1 : 0);
            quirk.connected_reply_other_id = k == 4;
            server_->set_faults(quirk);
            const Result r = cli(line + mode);
            EXPECT_EQ(std::pair(r.status, r.out), std::pair(3, expected.out)) << mode << k << r.err;
            EXPECT_EQ(cli("browse @ --all" + std::string(mode)).out, browse.out) << mode << k;
        }
    }
    // Replies naming neither id of the connection: it is given up at the first, one tag read
    // unconnected (directly, and routed through slot 0), and identity tells so.
    const Result one = cli("read @ DintTag"), routed = cli("read " + address_ + "/0 DintTag"),
                 identity = cli("identity @");
    EXPECT_EQ(std::tuple(one.status, one.out, one.err), std::tuple(0, "DintTag = 123456\n", ""));
    EXPECT_EQ(std::tuple(routed.status, routed.out, routed.err), std::tuple(0, "DintTag = 123456\n", ""));
    EXPECT_EQ(identity.out.substr(std::min(identity.out.size(), identity.out.find("packet size"))),
              "packet size     500 bytes\nconnection      unconnected messaging (the class 3 connection's "
              "replies named another connection)\n");
    server_->set_faults({});
    std::string whole;
    for (int i = 0; i < 12; ++i)
        whole += "Matrix[" + std::to_string(i / 4) + "," + std::to_string(i % 4) + "] = " +
                 std::to_string(i / 4 * 10 + i % 4) + "\n";
    EXPECT_EQ(cli("read @ Matrix Names DintTag --whole-arrays").out,
              whole + "Names[0] = Alpha\nNames[1] = Bravo\nNames[2] = Charlie\nDintTag = 123456\n");
}

// Programs browsed over several connections at once come out exactly as one connection gives them,
// in text and JSON, whatever the number of lanes.
TEST_F(Cli, BrowseAllOverLanesIsTheSameAsOverOneConnection) {
    logixsim::GeneratorOptions generate;
    generate.tags = 40, generate.programs = 12, generate.program_tags = 30, generate.types = 8;
    start({}, 0, logixsim::parse_controller(logixsim::generate_controller_json(generate), "gen.json"));
    for (const char* form : {"", " --json"}) {
        const Result one = cli(std::string("browse @ --all --lanes 1") + form);
        ASSERT_EQ(one.status, 0) << one.err;
        for (const char* lanes : {"2", "3", "8"}) {
            const Result r = cli(std::string("browse @ --all --lanes ") + lanes + form);
            EXPECT_EQ(std::tuple(r.status, r.out == one.out, r.err), std::tuple(0, true, "")) << lanes << form;
        }
    }
    EXPECT_EQ(cli("browse @ --all --lanes 9").status, 1);
    // Every connection closed by the device after its tenth request: the programs need more than
    // four lanes can carry, and the program whose lane dropped ends the browse in its turn (exit 2),
    // after the scopes before it.
    const std::string full = cli("browse @ --all --lanes 1").out;
    logixsim::Faults faults;
    faults.close_after_requests = 10;
    server_->set_faults(faults);
    const Result cut = cli("browse @ --all --lanes 4");
    EXPECT_EQ(cut.status, 2) << cut.err;
    EXPECT_NE(cut.err.find("the connection failed or was closed"), std::string::npos) << cut.err;
    EXPECT_TRUE(cut.out.size() < full.size() && full.compare(0, cut.out.size(), cut.out) == 0)
        << "what came out is the start of the whole list";
}

// A read sends only the read: 200 tags cost the exchanges one tag costs, whether or not the device
// is one that leaves off the last byte of its error replies; such a device's refusals are still read
// as refusals of their own tag, and every tag keeps the name it was asked by.
TEST_F(Cli, ReadsSendNoProbesAndTagsKeepTheirNames) {
    json controller = demo;
    std::string many;
    for (int i = 0; i < 200; ++i) {
        controller["tags"].push_back({{"name", "T" + std::to_string(i)}, {"type", "DINT"}, {"value", i}});
        many += " T" + std::to_string(i);
    }
    start({}, 0, logixsim::parse_controller(controller.dump(), "many.json"));
    // The requests a run sent, counted once the server has taken them all: no connection open and
    // the count unchanged over a few polls (the server may accept the run's connection late).
    const auto requests = [&](const std::string& line, Result* r) {
        const uint64_t before = server_->request_count();
        *r = cli(line);
        uint64_t seen = server_->request_count();
        for (int quiet = 0, i = 0; quiet < 5 && i < 3000; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const uint64_t now = server_->request_count();
            quiet = now == seen && server_->connection_count() == 0 ? quiet + 1 : 0;
            seen = now;
        }
        return seen - before;
    };
    for (bool malformed : {false, true}) {
        logixsim::Faults faults;
        faults.malformed_error_replies = malformed;
        server_->set_faults(faults);
        Result r;
        const uint64_t one = requests("read @ T0", &r);
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(requests("read @" + many, &r), one);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.lines().size(), 200u);
        EXPECT_EQ(r.lines().back(), "T199 = 199");
        EXPECT_EQ(cli("read @ DintTag Nope Names DintArray").out,
                  "DintTag = 123456\nNope: no such tag (CIP 0x04 path segment error)\nNames = Alpha\n"
                  "DintArray = 0\n")
            << malformed;
    }
}

// A device without the Symbol object cannot be browsed (exit 3, the status named) while its tags
// read by name, in both modes; an array of one element read whole is its element [0] when a browse
// tells its size, and the array under its own name when no browse can.
TEST_F(Cli, NoSymbolObjectRefusesBrowseButReadsAndOneElementArraysReadAsElements) {
    json controller = demo;
    controller["tags"].push_back({{"name", "One"}, {"type", "DINT"}, {"dims", {1}}, {"value", {42}}});
    start({}, 0, logixsim::parse_controller(controller.dump(), "one.json"));
    for (bool absent : {false, true}) {
        logixsim::Faults faults;
        faults.no_symbol_object = absent;
        server_->set_faults(faults);
        for (const std::string mode : {"", " --unconnected"}) {
            Result r = cli("read @ One One[0] DintTag --whole-arrays" + mode);
            EXPECT_EQ(std::pair(r.status, r.out),
                      std::pair(0, std::string(absent ? "One = 42\nOne[0] = 42\nDintTag = 123456\n"
                                                      : "One[0] = 42\nOne[0] = 42\nDintTag = 123456\n")))
                << absent << mode << r.err;
            r = cli("browse @ --filter one" + mode);
            EXPECT_EQ(std::to_string(r.status) + " " + r.out + r.err,
                      absent ? "3 orvane-cli: " + address_ +
                                   ": browsing the controller tags failed: the device has no Symbol object to list "
                                   "its tags (CIP 0x05 path destination unknown)\n"
                             : "0 One  DINT[1]\n")
                << mode;
        }
    }
}

// Nothing listening, or a controller that closes part-way: exit 2 and nothing on standard output
// claimed as complete.
TEST_F(Cli, NoControllerOrAConnectionDroppedPartWayExitsTwo) {
    server_->stop();
    for (const char* command : {"identity @", "watch @ DintTag"}) {
        Result r = cli(command);
        EXPECT_EQ(r.status, 2) << command;
        EXPECT_EQ(r.out, "") << command;
        EXPECT_EQ(r.err.rfind("orvane-cli: cannot connect to " + address_ + ": ", 0), 0u) << r.err;
    }
    for (int after : {4, 10}) { // the connect takes three requests (the last a Large Forward Open)
        logixsim::Faults faults;
        faults.close_after_requests = after;
        start(faults);
        // One lane: the device closes each connection after its n-th request, and further lanes
        // would be new connections with requests of their own.
        Result r = cli("browse @ --all --elements --json --lanes 1");
        EXPECT_EQ(r.status, 2) << after;
        // Scopes are streamed as they are browsed: what came out before the drop is no whole document.
        EXPECT_FALSE(json::accept(r.out)) << after;
        EXPECT_NE(r.err.find("the connection failed or was closed"), std::string::npos) << r.err;
        r = cli("watch @ DintTag Greeting --interval 0 --exit-on-loss");
        EXPECT_EQ(r.status, 2) << after;
        for (const std::string& line : r.lines())
            EXPECT_NE(line.find("DintTag=123456 Greeting=Hello, Orvane"), std::string::npos) << line;
    }
    // A controller that stops answering is a connection failure too, not a refusal: at the connect, and
    // in a watch (a loss, which --exit-on-loss ends with 2; a refusal would be 3).
    for (const auto& [stall, command] : {std::pair{0, "identity @ --timeout 300"},
                                         {3, "watch @ DintTag --interval 0 --timeout 300 --exit-on-loss"}}) {
        logixsim::Faults faults;
        faults.stall_after_requests = stall;
        start(faults);
        const Result r = cli(command);
        EXPECT_EQ(r.status, 2) << command << "\n" << r.err;
    }
}

// By default a watch lives through a controller's restart: one line when the connection is lost, one when
// it is back, no rows for the outage, and the cycles counted to --count.
TEST_F(Cli, WatchReconnectsThroughAKillAndARestart) {
    const uint16_t port = server_->port();
    auto lines = [&](const std::string& path) {
        std::ifstream in(path);
        Lines out;
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    };
    // Frames of the test: wait (with a generous guard against hangs) until a file holds `n` lines.
    auto until = [&](const std::string& path, size_t n) {
        for (int i = 0; i < 4000 && lines(path).size() < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return lines(path).size() >= n;
    };
    std::remove(err_.c_str());
    std::remove(out_.c_str());
    Result r;
    std::thread watch([&] { r = cli("watch @ DintTag --count 4 --interval 50"); });
    EXPECT_TRUE(until(out_, 2));
    server_->stop();
    EXPECT_TRUE(until(err_, 1));
    server_ = std::make_unique<logixsim::Server>(logixsim::demo_controller(),
                                                 logixsim::Options{.port = port, .faults = {}, .live_interval_ms = 0});
    server_->start();
    watch.join();
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.lines().size(), 4u) << r.out;
    for (const std::string& line : r.lines())
        EXPECT_NE(line.find(" DintTag=123456"), std::string::npos) << line;
    const Lines err = lines(err_);
    ASSERT_EQ(err.size(), 2u) << r.err;
    EXPECT_EQ(err[0].rfind("connection lost: ", 0), 0u) << err[0];
    EXPECT_NE(err[0].find("; reconnecting"), std::string::npos) << err[0];
    EXPECT_EQ(err[1].rfind("reconnected after ", 0), 0u) << err[1];
}

// A device that accepts every connection and fails its first read is not hammered: the waits keep
// doubling across reconnects, and the line says what keeps failing.
TEST_F(Cli, WatchBacksOffFromADeviceThatFailsRightAfterEveryReconnect) {
    logixsim::Faults faults;
    faults.fail_first_read_after_connect = true;
    start(faults);
    Result r = cli("watch @ DintTag --count 1",
                   "for i in $(seq 1 400); do [ $(grep -c 'next try in 2 s' " + err_ +
                       " 2>/dev/null || echo 0) -ge 1 ] && break; sleep 0.01; done; kill -INT $p");
    EXPECT_EQ(r.out, "");
    // The lines that say why and how long it waits (the outage lines carry measured times).
    std::vector<std::string> lines;
    std::istringstream in(r.err);
    for (std::string line; std::getline(in, line) && lines.size() < 3;)
        if (line.rfind("reconnected after ", 0) != 0)
            lines.push_back(line);
    const std::string why = address_ + ": reading tags failed: the controller's reply was malformed";
    EXPECT_EQ(lines, (std::vector<std::string>{"connection lost: " + why + "; reconnecting",
                                               "reconnected, but the first read failed: " + why + "; next try in 1 s",
                                               "reconnected, but the first read failed: " + why + "; next try in 2 s"}))
        << r.err;
}

// ---- write ---------------------------------------------------------------------------------

const char* const kWriteController = R"({
  "identity": {"vendor_id": 1, "device_type": 14, "product_code": 166, "revision": {"major": 33, "minor": 11},
               "serial_number": 12648430, "product_name": "1756-L83E/B"},
  "tags": [{"name": "Speed", "type": "DINT", "value": 42}, {"name": "Small", "type": "SINT"},
           {"name": "Ratio", "type": "REAL", "value": 0.5}, {"name": "Run", "type": "BOOL", "value": true},
           {"name": "Flags", "type": "DINT", "value": 8}, {"name": "Label", "type": "STRING", "value": "old"},
           {"name": "Limit", "type": "DINT", "value": 50, "access": "read-only"},
           {"name": "Held", "type": "DINT", "value": 42, "behaviour": {"kind": "hold", "value": 42}}]})";

class CliWrite : public Cli {
protected:
    void SetUp() override {
        start({}, 0, logixsim::parse_controller(kWriteController, "writes"));
        std::system("rm -rf cli_write_state");
        char cwd[4096];
        ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
        ::setenv("XDG_STATE_HOME", (std::string(cwd) + "/cli_write_state").c_str(), 1);
    }
    void TearDown() override { ::unsetenv("XDG_STATE_HOME"); }
    // The record's lines as JSON.
    std::vector<json> record() {
        std::vector<json> lines;
        std::ifstream in(std::string(std::getenv("XDG_STATE_HOME")) + "/orvane/writes.jsonl");
        for (std::string line; std::getline(in, line);)
            lines.push_back(json::parse(line));
        return lines;
    }
    std::string values() { return cli("read @ Speed Small Ratio Run Flags Label Limit Held").out; }
    const std::string before_ = "Speed = 42\nSmall = 0\nRatio = 0.5\nRun = true\nFlags = 8\nLabel = old\n"
                                "Limit = 50\nHeld = 42\n";
};

// Nothing is written, and nothing recorded, by a dry run, a value out of range, an unknown tag, or
// a command with neither a terminal to ask on nor --yes.
TEST_F(CliWrite, NothingIsWrittenUnlessEveryValueFitsAndTheUserConfirmed) {
    ASSERT_EQ(values(), before_);
    Result r = cli("write @ Speed=43 Small=16#FF Ratio=16777217 Run=false Flags.5=1 Label=new --dry-run");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Speed    42 -> 43\nSmall    0 -> -1\nRatio    0.5 -> 16777216\nRun      true -> false\n"
                     "Flags.5  false -> true\nLabel    old -> new\n");
    EXPECT_NE(r.err.find("Ratio: 16777217 is written as the nearest REAL, 16777216"), std::string::npos) << r.err;
    const std::pair<std::string, const char*> refused[] = {
        {"write @ Speed=43 Small=300 --yes", "Small: 300 does not fit a SINT (-128 to 127)"},
        {"write @ Speed=43 Run=2 --yes", "Run: '2' is not a BOOL (0, 1, true or false)"},
        {"write @ Speed=43 Flags.32=1 --yes", "Flags.32: Flags has bits 0 to 31"},
        {"write @ Speed=43 Label=" + std::string(83, 'x') + " --yes",
         "Label: a text of 83 characters does not fit (this STRING holds 82)"},
        {"write @ Speed=43", "nothing written: confirm with --yes when standard input is not a terminal"},
        {"write @ Speed", "'Speed' is not TAG=VALUE"},
        {"write @ Speed=1 speed=2 --yes", "speed is given twice"},
        {"write @ Speed=43 Nope=1 --yes", "Nope: no such tag (CIP 0x04"},
    };
    for (const auto& [line, reason] : refused) {
        r = cli(line);
        EXPECT_EQ(r.status, line.find("Nope") != std::string::npos ? 3 : 1) << line;
        EXPECT_NE(r.err.find(reason), std::string::npos) << line << "\n" << r.err;
    }
    EXPECT_EQ(values(), before_);
    EXPECT_TRUE(record().empty());
}

// Written in one batch and read back: each outcome on standard output, the reasons on standard
// error, every attempt in the record (0600) before the outcome is printed.
TEST_F(CliWrite, WritesAreReadBackAndEveryAttemptIsRecorded) {
    Result r = cli("write @ Speed=0x2B Small=-5 Ratio=1.25 Run=0 Flags.5=true Label=ready --yes");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Speed    written  43\nSmall    written  -5\nRatio    written  1.25\nRun      written  false\n"
                     "Flags.5  written  true\nLabel    written  ready\n");
    EXPECT_EQ(values(), "Speed = 43\nSmall = -5\nRatio = 1.25\nRun = false\nFlags = 40\nLabel = ready\n"
                        "Limit = 50\nHeld = 42\n");
    r = cli("write @ Limit=60 Held=7 Speed=44 --yes --json");
    EXPECT_EQ(r.status, 3);
    const json doc = json::parse(r.out);
    EXPECT_EQ(doc[0]["result"], "refused");
    EXPECT_EQ(doc[0]["status"], "0x0F/0x0000");
    EXPECT_EQ(doc[1]["result"], "differs");
    EXPECT_EQ(doc[1]["read_back"], "42");
    EXPECT_EQ(doc[2]["result"], "written");
    EXPECT_NE(r.err.find("Held: written, but the controller now holds 42"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Limit: "), std::string::npos) << r.err;
    const std::vector<json> lines = record();
    ASSERT_EQ(lines.size(), 9u);
    const json& first = lines[0];
    for (const char* field : {"time", "user", "source", "address", "identity", "product", "tag", "type", "before",
                              "asked", "result", "read_back"})
        EXPECT_TRUE(first.contains(field)) << field;
    EXPECT_EQ(first["identity"], "1-166-00C0FFEE");
    EXPECT_EQ(first["product"], "1756-L83E/B");
    EXPECT_EQ(first["address"], address_);
    EXPECT_EQ(first["before"], "42");
    EXPECT_EQ(first["asked"], "43");
    EXPECT_EQ(lines[6]["result"], "refused");
    EXPECT_EQ(lines[6]["status"], "0x0F/0x0000");
    EXPECT_EQ(lines[7]["read_back"], "42");
    struct stat st{};
    ASSERT_EQ(::stat((std::string(std::getenv("XDG_STATE_HOME")) + "/orvane/writes.jsonl").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// On a terminal the plan is shown and only "y" writes.
TEST_F(CliWrite, OnATerminalOnlyYesWrites) {
    if (std::system("command -v script >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "script(1) is not installed";
    for (const char* answer : {"n", "y"}) {
        const std::string command = std::string("printf '") + answer + "\\n' | script -qec \"'" + ORVANE_CLI_EXE +
                                    "' write " + address_ + " Speed=7\" /dev/null > " + out_ + " 2>&1";
        const int status = std::system(command.c_str());
        const std::string out = slurp(out_);
        EXPECT_NE(out.find("Speed  42 -> 7"), std::string::npos) << out;
        EXPECT_NE(out.find("Write this value to 1756-L83E/B at " + address_ + "? [y/N]"), std::string::npos) << out;
        EXPECT_EQ(WEXITSTATUS(status), *answer == 'y' ? 0 : 1) << out;
        EXPECT_EQ(values().substr(0, 11), *answer == 'y' ? "Speed = 7\nS" : "Speed = 42\n");
    }
    EXPECT_EQ(record().size(), 1u);
}

} // namespace
