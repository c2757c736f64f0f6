// Controller files: clear errors for bad descriptions, structure layouts that agree with the
// values served, and the generator's large controllers.
#include <cstdio>
#include <filesystem>
#include <map>

#include "logixsim/server.h"
#include "sim_testkit.h"

using namespace simtest;
using nlohmann::json;

namespace {

std::string write_temp(const std::string& text) {
    static int n = 0;
    auto path = std::filesystem::temp_directory_path() /
                ("sim_controller_test_" + std::to_string(::getpid()) + "_" + std::to_string(n++) + ".json");
    std::ofstream(path) << text;
    return path.string();
}

std::string load_error(const std::string& text, std::string* file = nullptr) {
    std::string path = write_temp(text);
    if (file)
        *file = path;
    try {
        logixsim::load_controller(path);
    } catch (const std::runtime_error& e) {
        std::filesystem::remove(path);
        return e.what();
    }
    std::filesystem::remove(path);
    return "(loaded)";
}

TEST(SimController, BadFilesNameTheFileTheJsonPathAndTheProblem) {
    struct Case {
        const char* json;
        const char* path;
        const char* problem;
    };
    const Case cases[] = {
        {R"({"tags":[{"name":"A","type":"Nope"}]})", "$.tags[0].type", "unknown type \"Nope\""},
        {R"({"tags":[{"name":"A","type":"DINT"},{"name":"a","type":"INT"}]})", "$.tags[1].name",
         "declared twice"},
        {R"({"tags":[{"name":"A","type":"SINT","value":200}]})", "$.tags[0].value", "out of range for SINT"},
        {R"({"tags":[{"name":"A","type":"UINT","value":-1}]})", "$.tags[0].value", "out of range for UINT"},
        {R"({"tags":[{"name":"A","type":"DINT","value":"x"}]})", "$.tags[0].value",
         "expected a whole number"},
        {R"({"tags":[{"name":"A","type":"DINT","dims":[2],"value":[1,2,3]}]})", "$.tags[0].value",
         "3 values for 2 elements"},
        {R"({"tags":[{"name":"A","type":"DINT","dims":[1,2,3,4]}]})", "$.tags[0].dims", "one to three"},
        {R"({"tags":[{"name":"A","type":"DINT","dims":[0]}]})", "$.tags[0].dims[0]", "at least 1"},
        {R"({"tags":[{"name":"A","type":"STRING","value":"0123456789012345678901234567890123456789012345678901234567890123456789012345678901234"}]})",
         "$.tags[0].value", "at most 82"},
        {R"({"tags":[{"name":"1A","type":"DINT"}]})", "$.tags[0].name", "must start with a letter"},
        {R"({"tags":[{"name":"A","type":"DINT","behaviour":{"kind":"spin"}}]})", "$.tags[0].behaviour.kind",
         "unknown behaviour"},
        {R"({"tags":[{"name":"A","type":"DINT","behaviour":{"kind":"toggle"}}]})", "$.tags[0].behaviour",
         "needs a BOOL"},
        {R"({"tags":[{"name":"A","type":"DINT","dims":[3],"behaviour":{"kind":"counter"}}]})",
         "$.tags[0].behaviour", "naming one element"},
        {R"({"tags":[{"name":"A","type":"DINT","dims":[3],"behaviour":{"kind":"counter","path":"[3]"}}]})",
         "$.tags[0].behaviour.path", "does not name"},
        {R"({"tags":[{"name":"A","type":"DINT","colour":1}]})", "$.tags[0].colour", "unknown key"},
        {R"({"tagz":[]})", "$.tagz", "unknown key"},
        {R"({"identity":{"vendor_id":70000}})", "$.identity.vendor_id", "out of range"},
        {R"({"types":[{"name":"T","members":[{"name":"X","type":"U"}]},{"name":"U","members":[{"name":"Y","type":"T"}]}]})",
         "$.types[0]", "contains itself"},
        {R"({"types":[{"name":"T","members":[]}]})", "$.types[0].members", "non-empty"},
        {R"({"types":[{"name":"T","members":[{"name":"F","type":"BOOL","dim":8}]}]})",
         "$.types[0].members[0].dim", "BOOL array"},
        {R"({"types":[{"name":"STRING","members":[{"name":"F","type":"DINT"}]}]})", "$.types[0].name",
         "built-in"},
        {R"({"types":[{"name":"T","members":[{"name":"F","type":"DINT"}]}],"tags":[{"name":"A","type":"T","value":{"G":1}}]})",
         "$.tags[0].value.G", "has no member \"G\""},
        {R"({"programs":[{"name":"P"},{"name":"P"}]})", "$.programs[1].name", "declared twice"},
        {R"({"tags":[{"name":"A","type":"DINT"})", "$", "not valid JSON"},
        {R"([1,2])", "$", "expected an object"},
    };
    for (const Case& c : cases) {
        std::string file;
        std::string error = load_error(c.json, &file);
        EXPECT_EQ(error.rfind(file + ": ", 0), 0u) << error;
        EXPECT_NE(error.find(std::string(": ") + c.path + ": "), std::string::npos) << c.json << "\n"
                                                                                    << error;
        EXPECT_NE(error.find(c.problem), std::string::npos) << c.json << "\n" << error;
    }
    try {
        logixsim::load_controller("/nonexistent/controller.json");
        ADD_FAILURE() << "a missing file loaded";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/controller.json"), std::string::npos);
    }
}

TEST(SimController, TheBuiltInDemoIsTheCommittedFileAndEveryCommittedFileLoads) {
    EXPECT_EQ(json::parse(logixsim::demo_controller_json()), demo_json());
    EXPECT_NE(logixsim::demo_controller(), nullptr);
    size_t files = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(SIM_SOURCE_DIR) + "/controllers")) {
        EXPECT_NO_THROW(logixsim::load_controller(entry.path().string())) << entry.path();
        ++files;
    }
    EXPECT_GE(files, 2u);
}

class Reader {
public:
    explicit Reader(std::shared_ptr<const logixsim::Controller> c) : conn_(std::move(c)) {}
    Reply cip(const Bytes& r) { return parse(conn_.cip(r.data(), r.size())); }
    struct Member {
        std::string name;
        uint16_t info, word;
        uint32_t offset;
    };
    std::vector<Member> members(uint16_t id) {
        Reply a = cip(req(0x03, cls(0x6C) + inst(id), u16(2) + u16(4) + u16(2)));
        uint32_t size = rd32(a.data, 6) * 4 - 23;
        uint16_t count = rd16(a.data, 14);
        Reply d = cip(req(0x4C, cls(0x6C) + inst(id), u32(0) + u16(size)));
        EXPECT_EQ(d.status, 0);
        std::vector<Member> out;
        size_t at = count * 8u;
        at = std::find(d.data.begin() + long(at), d.data.end(), 0) - d.data.begin() + 1;
        for (size_t i = 0; i < count; ++i) {
            size_t end = std::find(d.data.begin() + long(at), d.data.end(), 0) - d.data.begin();
            out.push_back({std::string(d.data.begin() + long(at), d.data.begin() + long(end)),
                           rd16(d.data, 8 * i), rd16(d.data, 8 * i + 2), rd32(d.data, 8 * i + 4)});
            at = end + 1;
        }
        return out;
    }

private:
    logixsim::Connection conn_;
};

uint32_t atomic_size(uint16_t word) {
    static const std::map<uint16_t, uint32_t> sizes = {{0xC2, 1}, {0xC3, 2}, {0xC4, 4}, {0xC5, 8}, {0xC6, 1},
                                                       {0xC7, 2}, {0xC8, 4}, {0xC9, 8}, {0xCA, 4}, {0xCB, 8}};
    auto it = sizes.find(word & 0xFF);
    return it == sizes.end() ? 0 : it->second;
}

// Every atomic member read by name equals the bytes at the template's offset in the whole
// structure, and every BOOL member equals its bit in the host byte: template and values agree.
void check_struct(Reader& r, const Bytes& path, uint16_t id, const Bytes& whole, uint32_t base, int depth) {
    for (const Reader::Member& m : r.members(id)) {
        if (m.name.rfind("ZZZZZZZZZZ", 0) == 0)
            continue;
        Bytes member = path + sym(m.name);
        if (m.word & 0x8000) {
            if (depth < 4 && !(m.word & 0x2000))
                check_struct(r, member, m.word & 0x0FFF, whole, base + m.offset, depth + 1);
            continue;
        }
        Reply v = r.cip(req(0x4C, member, u16(1)));
        ASSERT_EQ(v.status, 0) << m.name;
        ASSERT_EQ(rd16(v.data, 0), m.word & 0xFF) << m.name;
        if (m.word == 0xC1) {
            bool bit = (whole.at(base + m.offset) >> m.info) & 1;
            EXPECT_EQ(v.data.at(2), bit ? 0xFF : 0x00) << m.name;
        } else if (!(m.word & 0x2000)) {
            uint32_t n = atomic_size(m.word);
            EXPECT_EQ(Bytes(v.data.begin() + 2, v.data.end()),
                      Bytes(whole.begin() + base + m.offset, whole.begin() + base + m.offset + n))
                << m.name;
        }
    }
}

TEST(SimController, StructureLayoutsAgreeWithMemberReads) {
    std::string text = R"({
      "types": [
        {"name": "Packed", "members": [
          {"name": "B0", "type": "BOOL"}, {"name": "D", "type": "DINT"},
          {"name": "B1", "type": "BOOL"}, {"name": "B2", "type": "BOOL"}, {"name": "B3", "type": "BOOL"},
          {"name": "B4", "type": "BOOL"}, {"name": "B5", "type": "BOOL"}, {"name": "B6", "type": "BOOL"},
          {"name": "B7", "type": "BOOL"}, {"name": "B8", "type": "BOOL"}, {"name": "B9", "type": "BOOL"},
          {"name": "S", "type": "SINT"}, {"name": "L", "type": "LINT"}, {"name": "I", "type": "INT", "dim": 3},
          {"name": "R", "type": "REAL"}]},
        {"name": "Outer", "members": [
          {"name": "C", "type": "SINT"}, {"name": "P", "type": "Packed"}, {"name": "E", "type": "BOOL"},
          {"name": "Q", "type": "Packed", "dim": 2}, {"name": "Text", "type": "STRING"}]}],
      "tags": [
        {"name": "X", "type": "Outer", "value": {"C": -1, "E": true, "Text": "abc",
          "P": {"B0": true, "D": -5, "B2": true, "B8": true, "B9": true, "S": 7, "L": -9, "I": [1, 2, 3], "R": 1.5},
          "Q": [{"B9": true, "L": 123456789012}, {"D": 77, "B0": true}]}}]})";
    auto controller = logixsim::parse_controller(text, "layout.json");
    Reader r(controller);
    Reply whole = r.cip(req(0x4C, sym("X"), u16(1)));
    ASSERT_EQ(whole.status, 0);
    uint16_t outer = 0;
    {
        logixsim::Connection c(controller);
        Bytes b = req(0x55, cls(0x6B) + inst(0), u16(1) + u16(2));
        Reply page = parse(c.cip(b.data(), b.size()));
        for (size_t at = 0; at + 6 <= page.data.size(); at += 6)
            if ((rd16(page.data, at + 4) & 0x9000) == 0x8000)
                outer = rd16(page.data, at + 4) & 0x0FFF;
    }
    ASSERT_NE(outer, 0);
    Bytes data(whole.data.begin() + 4, whole.data.end());
    // The structure size (attribute 5) is what a whole read carries.
    Reply size = r.cip(req(0x03, cls(0x6C) + inst(outer), u16(1) + u16(5)));
    EXPECT_EQ(rd32(size.data, 6), data.size());
    check_struct(r, sym("X"), outer, data, 0, 0);
    // Array-of-structure elements: Q[1].D and Q[0].B9.
    EXPECT_EQ(r.cip(req(0x4C, sym("X") + sym("Q") + elem8(1) + sym("D"), u16(1))).data, u16(0xC4) + u32(77));
    EXPECT_EQ(r.cip(req(0x4C, sym("X") + sym("Q") + elem8(0) + sym("B9"), u16(1))).data,
              Bytes({0xC1, 0, 0xFF}));
    EXPECT_EQ(r.cip(req(0x4C, sym("X") + sym("Q") + elem8(0) + sym("B8"), u16(1))).data,
              Bytes({0xC1, 0, 0x00}));
    // Nine BOOLs after a DINT need two host bytes; each host is a hidden SINT.
    uint16_t packed = 0;
    for (const auto& m : r.members(outer))
        if (m.name == "P")
            packed = m.word & 0x0FFF;
    size_t hosts = 0;
    for (const auto& m : r.members(packed))
        hosts += m.name.rfind("ZZZZZZZZZZPacked", 0) == 0 && m.word == 0xC2;
    EXPECT_EQ(hosts, 3u);
}

TEST(SimController, GeneratorWritesLoadableDeterministicControllers) {
    logixsim::GeneratorOptions o;
    o.tags = 300;
    o.programs = 4;
    o.program_tags = 25;
    o.types = 30;
    o.depth = 3;
    std::string text = logixsim::generate_controller_json(o);
    EXPECT_EQ(text, logixsim::generate_controller_json(o));
    o.seed = 2;
    EXPECT_NE(text, logixsim::generate_controller_json(o));
    json j = json::parse(text);
    EXPECT_EQ(j["tags"].size(), 300u);
    ASSERT_EQ(j["programs"].size(), 4u);
    EXPECT_EQ(j["programs"][3]["tags"].size(), 25u);
    EXPECT_EQ(j["types"].size(), 30u);
    auto controller = logixsim::parse_controller(text, "generated.json");
    logixsim::Connection c(controller);
    size_t listed = 0;
    for (uint32_t next = 0;;) {
        Bytes q = req(0x55, cls(0x6B) + Bytes{0x26, 0} + u32(next), u16(1) + u16(2));
        Reply page = parse(c.cip(q.data(), q.size()));
        for (size_t at = 0; at + 6 <= page.data.size(); at += 6) {
            next = rd32(page.data, at) + 1;
            listed += (rd16(page.data, at + 4) & 0x1000) == 0 && next != 0;
        }
        if (page.status != 6)
            break;
    }
    EXPECT_EQ(listed, 300u + 1u) << "every tag and the __CONTAINER entry";

    // More levels than types, and no types at all.
    o.types = 2;
    o.depth = 5;
    EXPECT_NO_THROW(logixsim::parse_controller(logixsim::generate_controller_json(o), "few.json"));
    o.types = 0;
    EXPECT_NO_THROW(logixsim::parse_controller(logixsim::generate_controller_json(o), "none.json"));
}

} // namespace
