// Controller files: clear errors for bad descriptions, structure layouts that agree with the
// values served, and the generator's large controllers.
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "logixsim/server.h"
#include "sim_testkit.h"

using namespace simtest;

namespace {

TEST(SimController, BadFilesNameTheFileTheJsonPathAndTheProblem) {
    const char* const cases[][3] = {
        {R"({"tags":[{"name":"A","type":"Nope"}]})", "$.tags[0].type", "unknown type \"Nope\""},
        {R"({"tags":[{"name":"A","type":"DINT","dims":[3],"behaviour":{"kind":"counter","path":"[3]"}}]})",
         "$.tags[0].behaviour.path", "does not name"},
        {R"({"types":[{"name":"T","members":[{"name":"X","type":"U"}]},{"name":"U","members":[{"name":"Y","type":"T"}]}]})",
         "$.types[0]", "contains itself"},
        {R"({"tagz":[]})", "$.tagz", "unknown key"}, {"", "$", "cannot open"},
    };
    const std::string file = std::filesystem::temp_directory_path() / ("sim_controller_" + std::to_string(::getpid()));
    for (const auto& [text, path, problem] : cases) {
        if (*text)
            std::ofstream(file) << text;
        std::string error = "(loaded)";
        try {
            logixsim::load_controller(file);
        } catch (const std::runtime_error& e) {
            error = e.what();
        }
        std::filesystem::remove(file);
        EXPECT_EQ(error.rfind(file + ": " + path + ": ", 0), 0u) << error;
        EXPECT_NE(error.find(problem), std::string::npos) << text << "\n" << error;
    }
    std::ifstream demo(std::string(SIM_SOURCE_DIR) + "/controllers/demo.json");
    EXPECT_EQ(nlohmann::json::parse(logixsim::demo_controller_json()), nlohmann::json::parse(demo));
    EXPECT_NO_THROW(logixsim::load_controller(std::string(SIM_SOURCE_DIR) + "/controllers/example.json"));
}

// Members at their natural alignment, arrays and structures on 4 (8 with 64-bit content), BOOLs
// packed eight to a hidden SINT host byte; the values land there, and BOOL members read their bit.
TEST(SimController, StructureLayoutsAgreeWithMemberReads) {
    std::string bools;
    for (int i = 1; i <= 9; ++i)
        bools += R"({"name": "B)" + std::to_string(i) + R"(", "type": "BOOL"}, )";
    auto controller = logixsim::parse_controller(R"({"types": [
        {"name": "Packed", "members": [{"name": "B0", "type": "BOOL"}, {"name": "D", "type": "DINT"}, )" + bools + R"(
          {"name": "S", "type": "SINT"}, {"name": "L", "type": "LINT"}, {"name": "I", "type": "INT", "dim": 3},
          {"name": "R", "type": "REAL"}]},
        {"name": "Outer", "members": [{"name": "C", "type": "SINT"}, {"name": "P", "type": "Packed"},
          {"name": "E", "type": "BOOL"}, {"name": "Q", "type": "Packed", "dim": 2}, {"name": "T", "type": "STRING"}]}],
      "tags": [{"name": "X", "type": "Outer", "value": {"C": -1, "E": true, "T": "abc",
          "P": {"B0": true, "D": -5, "B2": true, "B8": true, "B9": true, "S": 7, "L": -9, "I": [1, 2, 3], "R": 1.5},
          "Q": [{"B9": true, "L": 123456789012}, {"D": 77, "B0": true}]}}]})",
                                                 "layout.json");
    logixsim::Connection conn(controller);
    auto ask = [&](const Bytes& r) { return hex(conn.cip(r.data(), r.size())); };
    // X's first 48 bytes: C, then P at 8: B0's host, D at 12, the hosts of B1-B8 and B9, S, L at 24, I at 32, R at 40.
    EXPECT_EQ(ask(req(0x4C, sym("X"), u16(1))).substr(24, 48 * 3 - 1),
              "ff 00 00 00 00 00 00 00 01 00 00 00 fb ff ff ff 82 01 07 00 00 00 00 00 f7 ff ff ff ff ff ff ff "
              "01 00 02 00 03 00 00 00 00 00 c0 3f 00 00 00 00");
    const Bytes p = sym("X") + sym("P"), q = sym("X") + sym("Q");
    EXPECT_EQ(ask(req(0x4C, q + elem8(1) + sym("D"), u16(1))), "cc 00 00 00 c4 00 4d 00 00 00");
    const std::pair<Bytes, const char*> flags[] = {{p + sym("B1"), "00"}, {p + sym("B8"), "ff"}, {p + sym("B9"), "ff"},
                                                   {q + elem8(0) + sym("B9"), "ff"}, {q + elem8(0) + sym("B8"), "00"}};
    for (const auto& [path, value] : flags)
        EXPECT_EQ(ask(req(0x4C, path, u16(1))), std::string("cc 00 00 00 c1 00 ") + value) << hex(path);
}

TEST(SimController, GeneratorWritesLoadableDeterministicControllers) {
    logixsim::GeneratorOptions o;
    o.tags = 300;
    o.programs = 4;
    o.program_tags = 25;
    o.types = 30;
    std::string text = logixsim::generate_controller_json(o);
    EXPECT_EQ(text, logixsim::generate_controller_json(o));
    o.seed = 2;
    nlohmann::json j = nlohmann::json::parse(text), other = nlohmann::json::parse(logixsim::generate_controller_json(o));
    EXPECT_NE(j["types"], other["types"]);
    EXPECT_EQ(j["tags"].size(), 300u);
    EXPECT_EQ(j["programs"][3]["tags"].size(), 25u);
    logixsim::Connection c(logixsim::parse_controller(text, "generated.json"));
    const Bytes last = req(0x4C, sym("Program:Program3") + sym("Local24"), u16(1));
    EXPECT_EQ(c.cip(last.data(), last.size()).at(2) & ~6, 0) << "every program tag is served, whole or in part";
    // More levels than types.
    o.types = 2;
    o.depth = 5;
    EXPECT_NO_THROW(logixsim::parse_controller(logixsim::generate_controller_json(o), "few.json"));
}

} // namespace
