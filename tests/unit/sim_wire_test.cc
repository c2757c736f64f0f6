// The simulator's answers at the byte level, through its socket-free request handling:
// identity, symbol pages, templates, tag reads, fragments, Multiple Service Packets, routing.
#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "logixsim/server.h"
#include "sim_testkit.h"

using namespace simtest;
using nlohmann::json;

namespace {

class SimWire : public ::testing::Test {
protected:
    logixsim::Options options;
    std::unique_ptr<logixsim::Connection> conn;
    json demo = demo_json();

    void SetUp() override { reset(); }
    void reset() { conn = std::make_unique<logixsim::Connection>(logixsim::demo_controller(), options); }
    Bytes raw(const Bytes& request) { return conn->cip(request.data(), request.size()); }
    Reply cip(const Bytes& request) { return parse(raw(request)); }
    Reply read(const Bytes& path, uint16_t count = 1) { return cip(req(0x4C, path, u16(count))); }
    Reply fragment(const Bytes& path, uint16_t count, uint32_t offset) {
        return cip(req(0x52, path, u16(count) + u32(offset)));
    }

    struct Entry {
        uint32_t instance;
        std::string name;
        uint16_t word;
        uint32_t dims[3];
    };
    // Browses every page of a scope, checking the paging rules on the way.
    std::vector<Entry> browse(const Bytes& prefix = {}, size_t* pages = nullptr) {
        std::vector<Entry> out;
        uint32_t next = 0;
        for (size_t page = 0;; ++page) {
            Reply r = cip(req(0x55, prefix + cls(0x6B) + inst(next), u16(3) + u16(1) + u16(2) + u16(8)));
            EXPECT_EQ(r.service, 0xD5);
            size_t at = 0;
            size_t before = out.size();
            while (at < r.data.size()) {
                Entry e{};
                e.instance = rd32(r.data, at);
                uint16_t len = rd16(r.data, at + 4);
                e.name.assign(r.data.begin() + long(at + 6), r.data.begin() + long(at + 6 + len));
                e.word = rd16(r.data, at + 6 + len);
                for (int k = 0; k < 3; ++k)
                    e.dims[k] = rd32(r.data, at + 8 + len + 4 * size_t(k));
                EXPECT_GE(e.instance, next) << "an entry before the instance asked for";
                next = e.instance + 1;
                out.push_back(e);
                at += 20 + len;
            }
            EXPECT_EQ(at, r.data.size());
            EXPECT_TRUE(r.data.size() <= options.faults.reply_limit || out.size() == before + 1)
                << "a page holds what fits, or one entry";
            if (r.status == 0) {
                if (pages)
                    *pages = page + 1;
                return out;
            }
            EXPECT_EQ(r.status, 6);
            EXPECT_GT(out.size(), before) << "a partial page must make progress";
            if (out.size() == before || page > 10000)
                return out;
        }
    }

    Bytes read_template(uint16_t id, uint32_t* member_count = nullptr, size_t* fragments = nullptr) {
        Reply a = cip(req(0x03, cls(0x6C) + inst(id), u16(2) + u16(4) + u16(2)));
        EXPECT_EQ(a.service, 0x83);
        EXPECT_EQ(a.status, 0);
        EXPECT_EQ(a.data.size(), 16u);
        if (a.data.size() != 16)
            return {};
        EXPECT_EQ(rd16(a.data, 0), 2);
        EXPECT_EQ(rd16(a.data, 2), 4);
        EXPECT_EQ(rd16(a.data, 4), 0);
        EXPECT_EQ(rd16(a.data, 10), 2);
        EXPECT_EQ(rd16(a.data, 12), 0);
        uint32_t size = rd32(a.data, 6) * 4 - 23;
        if (member_count)
            *member_count = rd16(a.data, 14);
        Bytes def;
        size_t n = 0;
        while (def.size() < size) {
            Reply r = cip(req(0x4C, cls(0x6C) + inst(id),
                              u32(uint32_t(def.size())) + u16(uint32_t(size - def.size()))));
            ++n;
            EXPECT_TRUE(r.status == 0 || r.status == 6) << int(r.status);
            EXPECT_FALSE(r.data.empty());
            EXPECT_LE(r.data.size(), options.faults.reply_limit);
            def += r.data;
            if (r.status == 0 || r.data.empty())
                break;
        }
        EXPECT_EQ(def.size(), size) << "the definition must be exactly size x 4 - 23 bytes";
        if (fragments)
            *fragments = n;
        return def;
    }
};

// Type word a declared type has on the wire.
uint16_t declared_word(const json& tag, const std::map<std::string, uint16_t>& template_ids) {
    static const std::map<std::string, uint16_t> atomic = {
        {"BOOL", 0xC1},  {"SINT", 0xC2}, {"INT", 0xC3},   {"DINT", 0xC4},  {"LINT", 0xC5},
        {"USINT", 0xC6}, {"UINT", 0xC7}, {"UDINT", 0xC8}, {"ULINT", 0xC9}, {"REAL", 0xCA},
        {"LREAL", 0xCB}, {"BYTE", 0xD1}, {"WORD", 0xD2},  {"DWORD", 0xD3}, {"LWORD", 0xD4}};
    std::string type = tag["type"];
    uint16_t word;
    if (atomic.count(type))
        word = atomic.at(type);
    else if (type == "STRING")
        word = 0x8FCE;
    else
        word = uint16_t(0x8000 | template_ids.at(type));
    size_t rank = tag.contains("dims") ? tag["dims"].size() : 0;
    return uint16_t(word | (rank << 13));
}

TEST_F(SimWire, IdentityGetAttributesAllCarriesTheDeclaredIdentity) {
    const json& id = demo["identity"];
    std::string name = id["product_name"];
    Bytes expected = u16(id["vendor_id"]) + u16(id["device_type"]) + u16(id["product_code"]) +
                     Bytes{uint8_t(id["revision"]["major"]), uint8_t(id["revision"]["minor"])} +
                     u16(id["status"]) + u32(id["serial_number"]) + Bytes{uint8_t(name.size())};
    expected.insert(expected.end(), name.begin(), name.end());
    expected.push_back(3); // state: operational
    Bytes r = raw(req(0x01, cls(0x01) + inst(1)));
    EXPECT_EQ(r, Bytes({0x81, 0, 0, 0}) + expected);
    // Another instance of the Identity class does not exist; another service is not offered.
    EXPECT_EQ(raw(req(0x01, cls(0x01) + inst(2))), Bytes({0x81, 0, 0x05, 0}));
    EXPECT_EQ(raw(req(0x10, cls(0x01) + inst(1))), Bytes({0x90, 0, 0x08, 0}));
}

TEST_F(SimWire, ControllerScopeListsEveryTagProgramAndHiddenEntriesInPages) {
    size_t pages = 0;
    std::vector<Entry> all = browse({}, &pages);
    EXPECT_GT(pages, 1u) << "the demo must not fit one page";
    std::map<std::string, Entry> by_name;
    for (size_t i = 0; i < all.size(); ++i) {
        if (i > 0) {
            EXPECT_GT(all[i].instance, all[i - 1].instance);
        }
        by_name[all[i].name] = all[i];
    }
    // Template ids come from the tags' type words; a nested type's id from a tag of that type.
    std::map<std::string, uint16_t> ids;
    for (const json& t : demo["tags"]) {
        ASSERT_TRUE(by_name.count(t["name"])) << t["name"];
        const Entry& e = by_name[t["name"]];
        if ((e.word & 0x8000) && t["type"] != "STRING")
            ids[t["type"]] = e.word & 0x0FFF;
    }
    for (const json& t : demo["tags"]) {
        const Entry& e = by_name[t["name"]];
        EXPECT_EQ(e.word, declared_word(t, ids)) << t["name"];
        for (size_t k = 0; k < 3; ++k) {
            uint32_t want = t.contains("dims") && k < t["dims"].size() ? uint32_t(t["dims"][k]) : 0;
            EXPECT_EQ(e.dims[k], want) << t["name"] << " dimension " << k;
        }
    }
    for (const json& p : demo["programs"]) {
        std::string name = "Program:" + p["name"].get<std::string>();
        ASSERT_TRUE(by_name.count(name)) << name;
        EXPECT_EQ(by_name[name].word, 0x1068);
    }
    size_t system = 0;
    for (const Entry& e : all)
        system += (e.word & 0x1000) && e.word != 0x1068;
    EXPECT_GE(system, 2u) << "system symbols exercise the client's filter";
    EXPECT_TRUE(by_name.count("__CONTAINER"));
    EXPECT_EQ(all.size(), demo["tags"].size() + demo["programs"].size() + system + 1);

    // A page asked from a listed instance starts with exactly that entry; the ids are stable.
    const Entry& mid = all[all.size() / 2];
    Reply r = cip(req(0x55, cls(0x6B) + inst(mid.instance), u16(3) + u16(1) + u16(2) + u16(8)));
    ASSERT_GE(r.data.size(), 4u);
    EXPECT_EQ(rd32(r.data, 0), mid.instance);
    reset();
    std::vector<Entry> again = browse();
    ASSERT_EQ(again.size(), all.size());
    for (size_t i = 0; i < all.size(); ++i)
        EXPECT_EQ(again[i].instance, all[i].instance);

    // Past the last instance: an empty, final page.
    r = cip(req(0x55, cls(0x6B) + Bytes{0x26, 0} + u32(0xFFFFFF00u), u16(3) + u16(1) + u16(2) + u16(8)));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.data.empty());
}

TEST_F(SimWire, SmallReplyLimitGivesOneEntryPagesAndAttributeOrderIsHonoured) {
    options.faults.reply_limit = 24;
    reset();
    size_t pages = 0;
    std::vector<Entry> all = browse({}, &pages);
    EXPECT_EQ(pages, all.size()) << "an entry that does not fit still comes alone";

    // Attributes come in the order asked: type word before name.
    Reply r = cip(req(0x55, cls(0x6B) + inst(0), u16(2) + u16(2) + u16(1)));
    ASSERT_GE(r.data.size(), 8u);
    uint16_t len = rd16(r.data, 6);
    EXPECT_EQ(rd16(r.data, 4), all[0].word);
    EXPECT_EQ(std::string(r.data.begin() + 8, r.data.begin() + 8 + len), all[0].name);
    EXPECT_EQ(cip(req(0x55, cls(0x6B) + inst(0), u16(1) + u16(99))).status, 0x14);
    EXPECT_EQ(cip(req(0x55, cls(0x6B) + inst(0), u16(3) + u16(1))).status, 0x13)
        << "attribute list cut short";
}

TEST_F(SimWire, ProgramScopeIsBrowsedBehindItsProgramSymbol) {
    for (const json& p : demo["programs"]) {
        std::vector<Entry> all = browse(sym("Program:" + p["name"].get<std::string>()));
        std::set<std::string> names;
        for (const Entry& e : all)
            if (!(e.word & 0x1000))
                names.insert(e.name);
        std::set<std::string> declared;
        for (const json& t : p["tags"])
            declared.insert(t["name"]);
        EXPECT_EQ(names, declared) << p["name"];
    }
    EXPECT_EQ(cip(req(0x55, sym("Program:Nowhere") + cls(0x6B) + inst(0), u16(1) + u16(1))).status, 0x05);
}

TEST_F(SimWire, StringTemplateIsTheBuiltInLayout) {
    uint32_t members = 0;
    Bytes def = read_template(0x0FCE, &members);
    ASSERT_EQ(members, 2u);
    ASSERT_GT(def.size(), 16u);
    // LEN: DINT at 0; DATA: SINT[82] at 4.
    EXPECT_EQ(Bytes(def.begin(), def.begin() + 16),
              u16(0) + u16(0xC4) + u32(0) + u16(82) + u16(0x20C2) + u32(4));
    std::string text(def.begin() + 16, def.end());
    EXPECT_EQ(text.substr(0, 7), "STRING;");
    size_t names = text.find('\0') + 1;
    EXPECT_EQ(text.substr(names, 9), std::string("LEN\0DATA\0", 9));
    // Structure size (attribute 5) and handle (attribute 1).
    Reply a = cip(req(0x03, cls(0x6C) + inst(0x0FCE), u16(2) + u16(5) + u16(1)));
    EXPECT_EQ(a.data, u16(2) + u16(5) + u16(0) + u32(88) + u16(1) + u16(0) + u16(0x0FCE));
    Reply bad = cip(req(0x03, cls(0x6C) + inst(0x0FCE), u16(1) + u16(77)));
    EXPECT_EQ(bad.status, 0x0A);
    EXPECT_EQ(bad.data, u16(1) + u16(77) + u16(0x14));
}

TEST_F(SimWire, UserTemplatesHideBoolHostsNestTypesAndComeInFragments) {
    std::map<std::string, Entry> tags;
    for (const Entry& e : browse())
        tags[e.name] = e;
    uint16_t motor = tags["Motor1"].word & 0x0FFF;
    uint16_t status = tags["PumpStatus"].word & 0x0FFF;

    uint32_t count = 0;
    Bytes whole = read_template(motor, &count);
    options.faults.reply_limit = 40;
    reset();
    size_t fragments = 0;
    Bytes pieces = read_template(motor, nullptr, &fragments);
    EXPECT_EQ(pieces, whole);
    EXPECT_GE(fragments, whole.size() / 40);

    // Member info, then "Motor;...", then one name per member.
    ASSERT_GT(whole.size(), count * 8u);
    std::vector<std::string> names;
    size_t at = count * 8;
    std::string tmpl_name;
    for (size_t i = 0; i <= count; ++i) {
        size_t end = std::find(whole.begin() + long(at), whole.end(), 0) - whole.begin();
        ASSERT_LT(end, whole.size());
        std::string s(whole.begin() + long(at), whole.begin() + long(end));
        (i == 0 ? tmpl_name : names.emplace_back()) = s;
        at = end + 1;
    }
    EXPECT_EQ(tmpl_name.substr(0, tmpl_name.find(';')), "Motor");
    std::map<std::string, std::tuple<uint16_t, uint16_t, uint32_t>> m;
    for (size_t i = 0; i < count; ++i)
        m[names[i]] = {rd16(whole, 8 * i), rd16(whole, 8 * i + 2), rd32(whole, 8 * i + 4)};
    ASSERT_TRUE(m.count("ZZZZZZZZZZMotor0")) << "the BOOL host is named after the type";
    auto [host_info, host_word, host_offset] = m["ZZZZZZZZZZMotor0"];
    EXPECT_EQ(host_word, 0xC2);
    auto [en_info, en_word, en_offset] = m["Enabled"];
    EXPECT_EQ(en_word, 0xC1);
    EXPECT_EQ(en_offset, host_offset) << "a BOOL lives in its host byte";
    EXPECT_LT(en_info, 8) << "the info word of a BOOL is its bit";
    EXPECT_EQ(std::get<1>(m["Status"]), 0x8000 | status);
    EXPECT_EQ(std::get<1>(m["Name"]), 0x8FCE);
    EXPECT_EQ(std::get<0>(m["History"]), 10);
    EXPECT_EQ(std::get<1>(m["History"]), 0x20C4);
    EXPECT_EQ(m.size(), demo["types"][1]["members"].size() + 1);

    EXPECT_EQ(cip(req(0x03, cls(0x6C) + inst(0x0ABC), u16(1) + u16(4))).status, 0x05);
    Reply past = cip(req(0x4C, cls(0x6C) + inst(motor), u32(uint32_t(whole.size())) + u16(10)));
    EXPECT_EQ(past.status, 0xFF);
    EXPECT_EQ(cip(req(0x4C, cls(0x6C) + inst(motor), u16(0))).status, 0x13) << "request data cut short";
}

// Expected wire bytes of a declared atomic value.
Bytes atomic_bytes(const std::string& type, const json& v) {
    auto le = [](uint64_t x, int n) {
        Bytes b;
        for (int i = 0; i < n; ++i)
            b.push_back(uint8_t(x >> (8 * i)));
        return b;
    };
    if (type == "BOOL")
        return {uint8_t(v.get<bool>() ? 0xFF : 0x00)};
    if (type == "REAL") {
        float f = v.get<float>();
        uint32_t x;
        std::memcpy(&x, &f, 4);
        return le(x, 4);
    }
    if (type == "LREAL") {
        double d = v.get<double>();
        uint64_t x;
        std::memcpy(&x, &d, 8);
        return le(x, 8);
    }
    static const std::map<std::string, int> width = {{"SINT", 1},  {"INT", 2},  {"DINT", 4},  {"LINT", 8},
                                                     {"USINT", 1}, {"UINT", 2}, {"UDINT", 4}, {"ULINT", 8},
                                                     {"BYTE", 1},  {"WORD", 2}, {"DWORD", 4}, {"LWORD", 8}};
    uint64_t x = v.is_number_unsigned() ? v.get<uint64_t>() : uint64_t(v.get<int64_t>());
    return le(x, width.at(type));
}

TEST_F(SimWire, ReadTagAnswersEveryAtomicTypeWithItsCodeAndValue) {
    static const std::map<std::string, uint8_t> codes = {
        {"BOOL", 0xC1},  {"SINT", 0xC2}, {"INT", 0xC3},   {"DINT", 0xC4},  {"LINT", 0xC5},
        {"USINT", 0xC6}, {"UINT", 0xC7}, {"UDINT", 0xC8}, {"ULINT", 0xC9}, {"REAL", 0xCA},
        {"LREAL", 0xCB}, {"BYTE", 0xD1}, {"WORD", 0xD2},  {"DWORD", 0xD3}, {"LWORD", 0xD4}};
    size_t checked = 0;
    for (const json& t : demo["tags"]) {
        std::string type = t["type"];
        if (!codes.count(type) || t.contains("dims") || !t.contains("value") || t.contains("behaviour"))
            continue;
        Bytes r = raw(req(0x4C, sym(t["name"]), u16(1)));
        EXPECT_EQ(r, Bytes({0xCC, 0, 0, 0}) + u16(codes.at(type)) + atomic_bytes(type, t["value"]))
            << t["name"];
        ++checked;
    }
    EXPECT_GE(checked, 15u);
    // Names are matched without regard to case, as on a controller.
    EXPECT_EQ(read(sym("dinttag")).data, read(sym("DintTag")).data);
}

TEST_F(SimWire, MembersElementsAndBoolBitsResolve) {
    // Motor1.Status.Running is true, Motor1.Status.Faulted false, Motors[1].Status.Faulted true.
    EXPECT_EQ(read(sym("Motor1") + sym("Status") + sym("Running")).data, Bytes({0xC1, 0, 0xFF}));
    EXPECT_EQ(read(sym("Motor1") + sym("Status") + sym("Faulted")).data, Bytes({0xC1, 0, 0x00}));
    EXPECT_EQ(read(sym("Motors") + elem8(1) + sym("Status") + sym("Faulted")).data, Bytes({0xC1, 0, 0xFF}));
    EXPECT_EQ(read(sym("Motors") + elem8(1) + sym("Status") + sym("FaultCode")).data, u16(0xC3) + u16(42));
    EXPECT_EQ(read(sym("Recipe1") + sym("Ingredients") + elem8(1) + sym("Code")).data, u16(0xC8) + u32(1002));
    EXPECT_EQ(read(sym("Recipe1") + sym("Ingredients") + elem8(0) + sym("Valid")).data,
              Bytes({0xC1, 0, 0xFF}));
    EXPECT_EQ(read(sym("Motor1") + sym("History") + elem8(2)).data, u16(0xC4) + u32(3));
    // Two and three indexes, row-major; "[2][3]" and "[2,3]" are the same segments.
    EXPECT_EQ(read(sym("Matrix") + elem8(2) + elem8(3)).data, u16(0xC3) + u16(23));
    EXPECT_EQ(read(sym("Matrix") + elem8(1) + elem8(0)).data, u16(0xC3) + u16(10));
    EXPECT_EQ(read(sym("Cube") + elem8(1) + elem8(2) + elem8(3)).status, 0);
    // Element segments of every width address the same element.
    Bytes five = u16(0xC4) + u32(5);
    EXPECT_EQ(read(sym("DintArray") + elem8(5)).data, five);
    EXPECT_EQ(read(sym("DintArray") + elem16(5)).data, five);
    EXPECT_EQ(read(sym("DintArray") + elem32(5)).data, five);
    EXPECT_EQ(read(sym("LargeArray") + elem16(299)).status, 0);
    // Several elements from an index on.
    EXPECT_EQ(read(sym("DintArray") + elem8(7), 3).data, u16(0xC4) + u32(7) + u32(8) + u32(9));
    // A program's tag behind its program symbol.
    EXPECT_EQ(read(sym("Program:MainProgram") + sym("Step")).data, u16(0xC3) + u16(3));
    // A STRING with Read Tag: marker, handle 0x0FCE, LEN, characters.
    Reply s = read(sym("Greeting"));
    ASSERT_EQ(s.data.size(), 4u + 88u);
    EXPECT_EQ(Bytes(s.data.begin(), s.data.begin() + 8), u16(0x02A0) + u16(0x0FCE) + u32(13));
    EXPECT_EQ(std::string(s.data.begin() + 8, s.data.begin() + 21), "Hello, Orvane");
}

TEST_F(SimWire, BadPathsAndRequestsGetControllerStatuses) {
    auto status = [&](const Bytes& request) {
        Reply r = cip(request);
        EXPECT_EQ(r.service, request.empty() ? 0x80 : (request[0] | 0x80));
        return std::make_pair(r.status, uint16_t(r.extended.empty() ? 0 : r.extended[0]));
    };
    using P = std::pair<uint8_t, uint16_t>;
    // A tag the controller does not know is a bad path segment; a missing instance is unknown.
    EXPECT_EQ(status(req(0x4C, sym("NoSuchTag"), u16(1))), P(0x04, 0));
    EXPECT_EQ(status(req(0x4C, sym("Step"), u16(1))), P(0x04, 0)) << "program tag without its program";
    EXPECT_EQ(status(req(0x4C, sym("Program:Nowhere") + sym("Step"), u16(1))), P(0x04, 0));
    EXPECT_EQ(status(req(0x4C, cls(0x6B) + inst(0xFFFF), u16(1))), P(0x05, 0));
    EXPECT_EQ(status(req(0x4C, sym("DintTag") + sym("Member"), u16(1))), P(0x05, 0));
    EXPECT_EQ(status(req(0x4C, sym("Motor1") + sym("Nope"), u16(1))), P(0x05, 0));
    EXPECT_EQ(status(req(0x4C, sym("DintArray") + elem8(10), u16(1))), P(0xFF, 0x2105));
    EXPECT_EQ(status(req(0x4C, sym("DintArray") + elem8(8), u16(3))), P(0xFF, 0x2105))
        << "count past the end";
    EXPECT_EQ(status(req(0x4C, sym("Matrix") + elem8(1), u16(1))), P(0x04, 0))
        << "one index for two dimensions";
    EXPECT_EQ(status(req(0x4C, sym("DintTag") + elem8(0), u16(1))), P(0x04, 0));
    EXPECT_EQ(status(req(0x4C, sym("Motors") + sym("Name"), u16(1))), P(0x05, 0))
        << "member of a whole array";
    EXPECT_EQ(status(req(0x4C, sym("DintTag"))), P(0x13, 0)) << "no element count";
    EXPECT_EQ(status(req(0x52, sym("DintTag"), u16(1))), P(0x13, 0)) << "no offset";
    EXPECT_EQ(status(req(0x4B, sym("DintTag"), u16(1))), P(0x08, 0));
    EXPECT_EQ(status(req(0x4C, cls(0x77) + inst(1))), P(0x05, 0));
    EXPECT_EQ(status(req(0x4C, Bytes{0x34, 0x01}, u16(1))), P(0x04, 0)) << "unknown segment type";
    EXPECT_EQ(status(Bytes{0x4C, 0x05, 0x91, 0x03, 'A'}), P(0x04, 0)) << "path longer than the request";
    EXPECT_EQ(status(Bytes{0x4C, 0x02, 0x91, 0x09, 'A', 'B'}), P(0x04, 0)) << "symbol longer than the path";
    EXPECT_EQ(status(Bytes{0x4C}), P(0x13, 0));
    EXPECT_EQ(status(Bytes{}), P(0x13, 0));
    EXPECT_EQ(status(req(0xCC, sym("DintTag"), u16(1))), P(0x08, 0)) << "a reply code is not a service";
}

TEST_F(SimWire, FragmentedReadsSplitArraysAndStructuresAtTheReplyLimit) {
    // LargeArray: 300 DINT = 1200 bytes, in whole-element fragments of at most 500 data bytes.
    Bytes all;
    std::vector<uint8_t> statuses;
    while (true) {
        Reply r = fragment(sym("LargeArray"), 300, uint32_t(all.size()));
        ASSERT_GE(r.data.size(), 3u);
        EXPECT_EQ(rd16(r.data, 0), 0xC4);
        EXPECT_LE(r.data.size(), 500u);
        EXPECT_EQ((r.data.size() - 2) % 4, 0u);
        all.insert(all.end(), r.data.begin() + 2, r.data.end());
        statuses.push_back(r.status);
        if (r.status != 6)
            break;
    }
    EXPECT_EQ(statuses.back(), 0);
    EXPECT_EQ(all.size(), 1200u);
    EXPECT_GE(statuses.size(), 3u);

    // STRING[3]: marker and handle on every fragment, the elements back to back.
    options.faults.reply_limit = 100;
    reset();
    Bytes strings;
    for (int guard = 0; guard < 100; ++guard) {
        Reply r = fragment(sym("Names"), 3, uint32_t(strings.size()));
        ASSERT_GE(r.data.size(), 5u);
        EXPECT_EQ(Bytes(r.data.begin(), r.data.begin() + 4), u16(0x02A0) + u16(0x0FCE));
        strings.insert(strings.end(), r.data.begin() + 4, r.data.end());
        if (r.status != 6)
            break;
    }
    ASSERT_EQ(strings.size(), 3u * 88u);
    EXPECT_EQ(rd32(strings, 88), 5u);
    EXPECT_EQ(std::string(strings.begin() + 92, strings.begin() + 97), "Bravo");
    // A fragment asked from the middle, and past the end.
    EXPECT_EQ(fragment(sym("DintArray"), 10, 36).data, u16(0xC4) + u32(9));
    EXPECT_EQ(fragment(sym("DintArray"), 10, 40).status, 0xFF);
    // A BOOL member through the fragmented service.
    EXPECT_EQ(fragment(sym("Motor1") + sym("Enabled"), 1, 0).data, Bytes({0xC1, 0, 0xFF}));
}

Bytes msp(const std::vector<Bytes>& requests) {
    Bytes data = u16(uint32_t(requests.size()));
    size_t offset = 2 + 2 * requests.size();
    for (const Bytes& r : requests) {
        data += u16(uint32_t(offset));
        offset += r.size();
    }
    for (const Bytes& r : requests)
        data += r;
    return req(0x0A, cls(0x02) + inst(1), data);
}

TEST_F(SimWire, MultipleServicePacketAnswersEachServiceInOrder) {
    std::vector<Bytes> reads = {req(0x4C, sym("DintTag"), u16(1)), req(0x4C, sym("BoolTag"), u16(1)),
                                req(0x4C, sym("LrealTag"), u16(1))};
    Reply r = cip(msp(reads));
    EXPECT_EQ(r.service, 0x8A);
    EXPECT_EQ(r.status, 0);
    Bytes expected_data = u16(3);
    std::vector<Bytes> singles;
    size_t offset = 8;
    for (const Bytes& q : reads) {
        singles.push_back(raw(q));
        expected_data += u16(uint32_t(offset));
        offset += singles.back().size();
    }
    for (const Bytes& s : singles)
        expected_data += s;
    EXPECT_EQ(r.data, expected_data);

    // One failed service: 0x1E overall, its own status inside.
    Reply f = cip(msp({reads[0], req(0x4C, sym("Missing"), u16(1))}));
    EXPECT_EQ(f.status, 0x1E);
    ASSERT_GE(f.data.size(), 6u);
    size_t second = rd16(f.data, 4);
    EXPECT_EQ(Bytes(f.data.begin() + long(second), f.data.end()), Bytes({0xCC, 0, 0x04, 0}));

    // Malformed tables are refused, not followed.
    Bytes bad = req(0x0A, cls(0x02) + inst(1), u16(2) + u16(6) + u16(4) + req(0x4C, sym("A"), u16(1)));
    EXPECT_EQ(cip(bad).status, 0x20) << "offsets going backwards";
    EXPECT_EQ(cip(req(0x0A, cls(0x02) + inst(1), u16(5) + u16(12))).status, 0x13) << "table past the end";
    EXPECT_EQ(cip(req(0x0A, cls(0x02) + inst(1), u16(1) + u16(200))).status, 0x20) << "offset past the end";
}

TEST_F(SimWire, PacketLimitRefusesLargerMultipleServicePacketsWith0x1A) {
    // Build a packet of exactly 504 bytes, then one of 505.
    auto packet_of = [&](size_t size) {
        std::vector<Bytes> reads;
        Bytes one = req(0x4C, sym("DintTag"), u16(1)); // 12 bytes + 2 in the table
        while (6 + 2 + (reads.size() + 1) * (one.size() + 2) <= size)
            reads.push_back(one);
        // Pad the last request's data (bytes after the element count) up to the exact size.
        reads.back().resize(reads.back().size() + (size - msp(reads).size()), 0);
        Bytes p = msp(reads);
        EXPECT_EQ(p.size(), size);
        return p;
    };
    EXPECT_EQ(cip(packet_of(504)).status, 0);
    EXPECT_EQ(raw(packet_of(505)), Bytes({0x8A, 0, 0x1A, 0}));
    options.faults.packet_limit = 100;
    reset();
    EXPECT_EQ(cip(packet_of(100)).status, 0);
    EXPECT_EQ(cip(packet_of(101)).status, 0x1A);
}

Bytes unconnected_send(const Bytes& message, const Bytes& route) {
    Bytes data = Bytes{10, 14} + u16(uint32_t(message.size())) + message;
    if (message.size() % 2)
        data.push_back(0);
    data += Bytes{uint8_t(route.size() / 2), 0} + route;
    return req(0x52, cls(0x06) + inst(1), data);
}

TEST_F(SimWire, UnconnectedSendToTheControllerSlotGivesTheTargetsOwnReply) {
    Bytes read_dint = req(0x4C, sym("DintTag"), u16(1));
    EXPECT_EQ(raw(unconnected_send(read_dint, {0x01, 0x00})), raw(read_dint));
    Bytes identity = req(0x01, cls(0x01) + inst(1));
    EXPECT_EQ(raw(unconnected_send(identity, {0x01, 0x00})), raw(identity));
    Bytes packet = msp({read_dint, req(0x4C, sym("IntTag"), u16(1))});
    EXPECT_EQ(raw(unconnected_send(packet, {0x01, 0x00})), raw(packet));
    // Odd message length: the pad byte is skipped. Extended link address form of slot 0.
    Bytes odd = req(0x4C, sym("Bytes") + elem8(0), u16(1)) + Bytes{0};
    EXPECT_EQ(parse(raw(unconnected_send(odd, {0x01, 0x00}))).status, 0);
    EXPECT_EQ(raw(unconnected_send(read_dint, {0x11, 0x01, 0x00, 0x00})), raw(read_dint));

    // The packet limit applies to a routed packet too.
    options.faults.packet_limit = 20;
    reset();
    EXPECT_EQ(raw(unconnected_send(packet, {0x01, 0x00})), Bytes({0x8A, 0, 0x1A, 0}));
}

TEST_F(SimWire, RoutesElsewhereGetUnconnectedSendRoutingErrors) {
    options.slot = 3;
    reset();
    Bytes read_dint = req(0x4C, sym("DintTag"), u16(1));
    EXPECT_EQ(raw(unconnected_send(read_dint, {0x01, 0x03})), raw(read_dint));
    // Empty slot, other port, a second hop: service 0xD2, status 1, extended status, remaining path
    // size, reserved byte.
    EXPECT_EQ(raw(unconnected_send(read_dint, {0x01, 0x00})),
              Bytes({0xD2, 0, 0x01, 0x01, 0x12, 0x03, 0x01, 0}));
    EXPECT_EQ(raw(unconnected_send(read_dint, {0x02, 0x03})),
              Bytes({0xD2, 0, 0x01, 0x01, 0x11, 0x03, 0x01, 0}));
    EXPECT_EQ(parse(raw(unconnected_send(read_dint, {0x01, 0x03, 0x01, 0x00}))).status, 0x01);
    EXPECT_EQ(parse(raw(unconnected_send(read_dint, {}))).status, 0x01);
    // Cut short: message length beyond the data.
    EXPECT_EQ(raw(req(0x52, cls(0x06) + inst(1), Bytes{10, 14} + u16(40) + Bytes{1, 2})),
              Bytes({0xD2, 0, 0x13, 0}));
}

TEST_F(SimWire, LiveValuesMoveOneStepPerTick) {
    auto value = [&](const Bytes& path) { return read(path).data; };
    Bytes counter = value(sym("Counter"));
    Bytes blink = value(sym("Blink"));
    Bytes message = value(sym("Message"));
    Bytes ramp = value(sym("Ramp") + elem8(3));
    Bytes hours = value(sym("PumpStatus") + sym("RunHours"));
    Bytes sine = value(sym("Sine"));
    Bytes steady = value(sym("DintTag"));
    conn->tick();
    EXPECT_EQ(rd32(value(sym("Counter")), 2), rd32(counter, 2) + 1);
    EXPECT_NE(value(sym("Blink")), blink);
    EXPECT_NE(value(sym("Message")), message);
    EXPECT_EQ(rd32(value(sym("Ramp") + elem8(3)), 2), rd32(ramp, 2) + 5);
    EXPECT_EQ(value(sym("Ramp") + elem8(2)), u16(0xC4) + u32(200)) << "only the named element moves";
    EXPECT_EQ(rd32(value(sym("PumpStatus") + sym("RunHours")), 2), rd32(hours, 2) + 1);
    EXPECT_NE(value(sym("Sine")), sine);
    EXPECT_EQ(value(sym("DintTag")), steady);
    EXPECT_EQ(value(sym("PumpStatus") + sym("Running")), Bytes({0xC1, 0, 0xFF})) << "neighbours untouched";
    conn->tick();
    EXPECT_EQ(value(sym("Blink")), blink);
    // The changing STRING stays a well-formed STRING.
    Reply s = read(sym("Message"));
    ASSERT_EQ(s.data.size(), 92u);
    EXPECT_LE(rd32(s.data, 4), 82u);
}

} // namespace
