// The simulator's answers at the byte level, through its socket-free request handling:
// identity, symbol pages, templates, tag reads, fragments, Multiple Service Packets, routing.
#include <cstring>
#include <map>

#include "logixsim/server.h"
#include "sim_testkit.h"

using namespace simtest;

namespace {

class SimWire : public ::testing::Test {
protected:
    logixsim::Options options;
    std::unique_ptr<logixsim::Connection> conn;
    void SetUp() override { reset(); }
    void reset() { conn = std::make_unique<logixsim::Connection>(logixsim::demo_controller(), options); }
    Bytes raw(const Bytes& request) { return conn->cip(request.data(), request.size()); }
    std::string ask(const Bytes& request) { return hex(raw(request)); }
    // Every page of the controller scope: name, then type word and dimensions in hex, an entry each.
    std::vector<std::pair<std::string, std::string>> browse(size_t& pages) {
        std::vector<std::pair<std::string, std::string>> out;
        pages = 0;
        for (uint32_t next = 0, status = 6; status == 6; ++pages) {
            Bytes r = raw(req(0x55, cls(0x6B) + Bytes{0x26, 0} + u32(next), u16(3) + u16(1) + u16(2) + u16(8)));
            status = r.at(2);
            for (size_t at = 4, n = 0; at < r.size(); at += 20 + n, next = rd32(r, at - 20 - n) + 1) {
                n = rd16(r, at + 4);
                out.emplace_back(std::string(r.begin() + long(at + 6), r.begin() + long(at + 6 + n)),
                                 hex(Bytes(r.begin() + long(at + 6 + n), r.begin() + long(at + 20 + n))));
            }
        }
        return out;
    }
    // A template's definition read in fragments from the reply limit; the number of fragments.
    Bytes definition(uint16_t id, size_t& n) {
        Bytes a = raw(req(0x03, cls(0x6C) + inst(id), u16(1) + u16(4)));
        size_t size = rd32(a, 10) * 4 - 23;
        Bytes def;
        for (uint8_t status = 6; status == 6 && def.size() < size; ++n) {
            Bytes r = raw(req(0x4C, cls(0x6C) + inst(id), u32(uint32_t(def.size())) + u16(uint32_t(size - def.size()))));
            EXPECT_LE(r.size() - 4, options.faults.reply_limit);
            def = def + Bytes(r.begin() + 4, r.end());
            status = r.at(2);
        }
        return def;
    }
};

Bytes msp(const std::vector<Bytes>& requests) {
    Bytes table = u16(uint32_t(requests.size())), data;
    for (const Bytes& r : requests) {
        table = table + u16(uint32_t(2 + 2 * requests.size() + data.size()));
        data = data + r;
    }
    return req(0x0A, cls(0x02) + inst(1), table + data);
}

Bytes unconnected_send(const Bytes& message, const Bytes& route) {
    Bytes data = Bytes{10, 14} + u16(uint32_t(message.size())) + message + Bytes(message.size() % 2, 0);
    return req(0x52, cls(0x06) + inst(1), data + Bytes{uint8_t(route.size() / 2), 0} + route);
}

Bytes read(const Bytes& path, uint16_t count = 1) { return req(0x4C, path, u16(count)); }

TEST_F(SimWire, RequestsGetTheAnswersOfAController) {
    const Bytes motor1 = sym("Motor1"), status = sym("Status"), dint = read(sym("DintTag"));
    const Bytes ingredients = sym("Recipe1") + sym("Ingredients"), array = sym("DintArray"), motors = sym("Motors") + elem8(1);
    const Bytes packet = req(0x0A, cls(0x02) + inst(1)), cm = req(0x52, cls(0x06) + inst(1));
    const std::string ok = "cc 00 00 00 ", dint_reply = ok + "c4 00 40 e2 01 00";
    const std::pair<Bytes, std::string> cases[] = {
        {req(0x01, cls(0x01) + inst(1)),
         "81 00 00 00 01 00 0e 00 a6 00 21 0b 60 30 ee ff c0 00 0b 31 37 35 36 2d 4c 38 33 45 2f 42 03"},
        {req(0x01, cls(0x64) + inst(1)), "81 00 00 00 0a 00 4f 72 76 61 6e 65 44 65 6d 6f"},
        {req(0x01, cls(0x01) + inst(2)), "81 00 05 00"}, {req(0x10, cls(0x01) + inst(1)), "90 00 08 00"},
        {req(0x01, cls(0x73) + inst(1)), "81 00 00 00 01 00"}, {req(0x01, cls(0x73)), "81 00 00 00 01 00"},
        {req(0x0E, cls(0x73) + inst(1)), "8e 00 08 00"}, {req(0x01, cls(0x73) + inst(2)), "81 00 05 00"},
        {read(sym("SintTag")), ok + "c2 00 f4"}, {read(sym("IntTag")), ok + "c3 00 d2 04"},
        {read(sym("dinttag")), dint_reply}, {read(sym("UdintTag")), ok + "c8 00 00 28 6b ee"},
        {read(sym("LintTag")), ok + "c5 00 35 fb 04 8e e0 fe ff ff"}, {read(sym("WordTag")), ok + "d2 00 ef be"},
        {read(sym("UlintTag")), ok + "c9 00 00 00 08 c5 a1 d8 cc f9"}, {read(sym("RealTag")), ok + "ca 00 00 00 50 40"},
        {read(sym("LrealTag")), ok + "cb 00 69 57 14 8b 0a bf 05 40"},
        {read(motor1 + status + sym("Running")), ok + "c1 00 ff"}, {read(motor1 + status + sym("Faulted")), ok + "c1 00 00"},
        {read(motors + status + sym("Faulted")), ok + "c1 00 ff"}, {read(motors + status + sym("FaultCode")), ok + "c3 00 2a 00"},
        {read(ingredients + elem8(1) + sym("Code")), ok + "c8 00 ea 03 00 00"},
        {read(motor1 + sym("History") + elem8(2)), ok + "c4 00 03 00 00 00"},
        {read(sym("Matrix") + elem8(2) + elem8(3)), ok + "c3 00 17 00"}, {read(sym("BoolFalse")), ok + "c1 00 00"},
        {read(array + Bytes{0x29, 0, 5, 0}), ok + "c4 00 05 00 00 00"}, {read(array + Bytes{0x2A, 0, 5, 0, 0, 0}), ok + "c4 00 05 00 00 00"},
        {read(array + elem8(7), 3), ok + "c4 00 07 00 00 00 08 00 00 00 09 00 00 00"},
        {read(sym("Program:MainProgram") + sym("Step")), ok + "c3 00 03 00"},
        {req(0x52, motor1 + sym("Enabled"), u16(1) + u32(0)), "d2 00 00 00 c1 00 ff"},
        {req(0x52, array, u16(10) + u32(36)), "d2 00 00 00 c4 00 09 00 00 00"},
        {unconnected_send(dint, {0x01, 0x00}), dint_reply}, {unconnected_send(dint, {0x11, 0x01, 0x00, 0x00}), dint_reply},
        {unconnected_send(read(sym("Bytes") + elem8(0)) + Bytes{0}, {0x01, 0x00}), ok + "c2 00 48"}, // odd length
        // Errors: a tag the controller does not know is a bad segment, a missing instance unknown.
        {read(sym("NoSuchTag")), "cc 00 04 00"}, {read(sym("Step")), "cc 00 04 00"},
        {read(cls(0x6B) + inst(0xFFFF)), "cc 00 05 00"}, {req(0x4C, sym("DintTag")), "cc 00 13 00"},
        {read(sym("DintTag") + sym("Member")), "cc 00 05 00"}, {read(motor1 + sym("Nope")), "cc 00 05 00"},
        {read(array + elem8(10)), "cc 00 ff 01 05 21"}, {read(array + elem8(8), 3), "cc 00 ff 01 05 21"},
        {req(0x52, sym("DintTag"), u16(1)), "d2 00 13 00"}, {req(0x52, array, u16(10) + u32(40)), "d2 00 ff 01 05 21"},
        {req(0x4B, sym("DintTag"), u16(1)), "cb 00 08 00"}, {read(sym("Matrix") + elem8(1)), "cc 00 04 00"},
        {Bytes{0x4C, 0x05, 0x91, 0x03, 'A'}, "cc 00 04 00"}, {Bytes{0x4C, 0x02, 0x91, 0x09, 'A', 'B'}, "cc 00 04 00"},
        {Bytes{0x4C}, "cc 00 13 00"}, {Bytes{}, "80 00 13 00"}, {read(Bytes{0x34, 0x01}), "cc 00 04 00"},
        // Multiple Service Packet tables that are refused, not followed.
        {packet + u16(2) + u16(6) + u16(4) + read(sym("A")), "8a 00 20 00"},
        {packet + u16(5) + u16(12), "8a 00 13 00"}, {packet + u16(1) + u16(200), "8a 00 20 00"},
        // Routes leading elsewhere than the controller's own slot 0, or cut short.
        {unconnected_send(dint, {0x01, 0x03}), "d2 00 01 01 12 03 01 00"},
        {unconnected_send(dint, {0x02, 0x00}), "d2 00 01 01 11 03 01 00"},
        {unconnected_send(dint, {0x01, 0x00, 0x01, 0x00}), "d2 00 01 01 15 03 02 00"},
        {unconnected_send(dint, {}), "d2 00 01 01 15 03 00 00"}, {cm + Bytes{10, 14} + u16(40) + Bytes{1, 2}, "d2 00 13 00"},
    };
    for (const auto& [request, reply] : cases)
        EXPECT_EQ(ask(request), reply) << hex(request);
    // A STRING: marker, handle 0x0FCE, LEN, 82 characters.
    EXPECT_EQ(ask(read(sym("Greeting"))).substr(0, 74), ok + "a0 02 ce 0f 0d 00 00 00 48 65 6c 6c 6f 2c 20 4f 72 76 61 6e 65");
    // Live values move a step per tick: the counter on Ramp[3] by 5, Ramp[2] stays.
    conn->tick();
    EXPECT_EQ(ask(read(sym("Ramp") + elem8(2), 2)), ok + "c4 00 c8 00 00 00 31 01 00 00");
    // A controller in slot 3 answers routes to slot 3 only.
    options.slot = 3;
    reset();
    EXPECT_EQ(ask(unconnected_send(packet + u16(1) + u16(4) + dint, {0x01, 0x03})), "8a 00 00 00 01 00 04 00 " + dint_reply);
    EXPECT_EQ(ask(unconnected_send(dint, {0x01, 0x00})), "d2 00 01 01 12 03 01 00");
}

// Type words as a client decodes them: atomic code, or 0x8000 and the template id; array rank in
// bits 13-14; system entries (0x1000) that a client leaves out.
TEST_F(SimWire, SymbolPagesListEveryTagOnceWithItsTypeAndDimensions) {
    size_t pages = 0;
    const auto all = browse(pages);
    std::map<std::string, std::string> got(all.begin(), all.end());
    EXPECT_EQ(all.size(), 34u + 3 + 4) << "every tag and program of the demo, Map, Task and two __ entries";
    const char* const words[][2] = {
        {"BoolTag", "c1 00 00"}, {"DintArray", "c4 20 0a 00 00 00 00"}, {"Matrix", "c3 40 03 00 00 00 04 00 00 00 00"},
        {"Cube", "c2 60 02 00 00 00 03 00 00 00 04"}, {"Names", "ce af 03"}, {"Motor1", "01 81 00"},
        {"Motors", "01 a1 03"}, {"Program:MainProgram", "68 10"}, {"Map:Local", "69 10"}, {"__CONTAINER", "c4 00 00"},
    };
    for (const auto& [name, word] : words)
        EXPECT_EQ(got[name].substr(0, strlen(word)), word) << name;
    // Past the last instance, nothing.
    EXPECT_EQ(ask(req(0x55, cls(0x6B) + Bytes{0x26, 0} + u32(0xFFFFFF00u), u16(1) + u16(2))), "d5 00 00 00");
    // Attributes in the order asked, each entry as long as its attributes.
    EXPECT_EQ(masked(ask(req(0x55, cls(0x6B) + inst(0), u16(2) + u16(2) + u16(1))).substr(0, 62), "d5 00 06 00 xx xx xx xx"),
              "d5 00 06 00 xx xx xx xx 69 10 09 00 4d 61 70 3a 4c 6f 63 61 6c");
    EXPECT_EQ(ask(req(0x55, cls(0x6B) + inst(0), u16(1) + u16(99))), "d5 00 14 00");
    EXPECT_EQ(ask(req(0x55, cls(0x6B) + inst(0), u16(3) + u16(1))), "d5 00 13 00") << "attribute list cut short";
    // A page ending exactly at the limit holds its last entry; one byte less and it moves on.
    auto size = [&](size_t i) { return 20 + all[i].first.size(); };
    for (size_t less : {0, 1}) {
        options.faults.reply_limit = size(0) + size(1) + size(2) - less;
        reset();
        Bytes r = raw(req(0x55, cls(0x6B) + inst(0), u16(3) + u16(1) + u16(2) + u16(8)));
        EXPECT_EQ(r.at(2), 6);
        EXPECT_EQ(r.size() - 4, size(0) + size(1) + (less ? 0 : size(2)));
    }
    options.faults.reply_limit = 24;
    reset();
    EXPECT_EQ(browse(pages), all);
    EXPECT_EQ(pages, all.size()) << "an entry that does not fit still comes alone";
}

// Template 0x0101 is Motor, the second declared type: member info (array size or BOOL bit), type
// word, offset; "Motor;n", 'A' and an access byte per member; the names, a hidden BOOL host first.
TEST_F(SimWire, TemplatesAreServedWholeOrInFragments) {
    const std::string motor =
        "00 00 ce 8f 00 00 00 00 00 00 00 81 58 00 00 00 00 00 ca 00 6c 00 00 00 00 00 c2 00 70 00 00 00 "
        "00 00 c1 00 70 00 00 00 0a 00 c4 20 74 00 00 00 4d 6f 74 6f 72 3b 6e 41 43 41 43 41 43 41 40 41 "
        "43 41 43 00 4e 61 6d 65 00 53 74 61 74 75 73 00 53 65 74 50 6f 69 6e 74 00 5a 5a 5a 5a 5a 5a 5a "
        "5a 5a 5a 4d 6f 74 6f 72 30 00 45 6e 61 62 6c 65 64 00 48 69 73 74 6f 72 79 00 00 00 00";
    size_t fragments = 0;
    EXPECT_EQ(hex(definition(0x0101, fragments)), motor);
    EXPECT_EQ(ask(req(0x4C, cls(0x6C) + inst(0x0101), u32(8) + u16(8))), "cc 00 00 00 " + motor.substr(24, 23))
        << "fewer bytes than remain: all of them, status 0";
    EXPECT_EQ(ask(req(0x4C, cls(0x6C) + inst(0x0101), u32(uint32_t(motor.size() + 1) / 3) + u16(10))),
              "cc 00 ff 01 05 21");
    EXPECT_EQ(ask(req(0x4C, cls(0x6C) + inst(0x0101), u16(0))), "cc 00 13 00");
    options.faults.reply_limit = 40;
    options.faults.refused_templates = {"MotorStatus"};
    reset();
    fragments = 0;
    EXPECT_EQ(hex(definition(0x0101, fragments)), motor);
    EXPECT_EQ(fragments, ((motor.size() + 1) / 3 + 39) / 40);
    EXPECT_EQ(ask(req(0x03, cls(0x6C) + inst(0x0100), u16(1) + u16(4))), "83 00 05 00");
    EXPECT_EQ(ask(req(0x4C, cls(0x6C) + inst(0x0100), u32(0) + u16(8))), "cc 00 05 00");
}

TEST_F(SimWire, FragmentedReadsCarryWholeElementsUpToTheReplyLimit) {
    // LargeArray: 300 DINT = 1200 bytes; at most 500 data bytes a reply, type code included.
    for (uint32_t offset : {0u, 496u, 992u}) {
        Bytes r = raw(req(0x52, sym("LargeArray"), u16(300) + u32(offset)));
        EXPECT_EQ(hex(Bytes(r.begin(), r.begin() + 6)), offset < 992 ? "d2 00 06 00 c4 00" : "d2 00 00 00 c4 00");
        EXPECT_EQ(r.size(), offset < 992 ? 4u + 2 + 496 : 4u + 2 + 208);
    }
    // A reply that fits the limit exactly comes whole; one byte less and the last element waits.
    options.faults.reply_limit = 2 + 40;
    reset();
    EXPECT_EQ(ask(req(0x52, sym("DintArray"), u16(10) + u32(0))).substr(0, 18), "d2 00 00 00 c4 00 ");
    EXPECT_EQ(ask(read(sym("DintArray"), 10)).substr(0, 18), "cc 00 00 00 c4 00 ");
    options.faults.reply_limit = 2 + 39;
    reset();
    EXPECT_EQ(raw(req(0x52, sym("DintArray"), u16(10) + u32(0))).size(), 4u + 2 + 36);
    EXPECT_EQ(ask(read(sym("DintArray"), 10)).substr(0, 18), "cc 00 06 00 c4 00 ");
    // STRING[3]: marker and handle on every fragment, the elements back to back.
    EXPECT_EQ(ask(req(0x52, sym("Names"), u16(3) + u32(88))).substr(0, 59),
              "d2 00 06 00 a0 02 ce 0f 05 00 00 00 42 72 61 76 6f 00 00 00");
}

TEST_F(SimWire, MultipleServicePacketsAnswerEachServiceInOrderUpToThePacketLimit) {
    const Bytes dint = read(sym("DintTag")), large = read(sym("LargeArray"), 300);
    EXPECT_EQ(ask(msp({dint, read(sym("BoolTag")), read(sym("Missing"))})),
              "8a 00 1e 00 03 00 08 00 12 00 19 00 " + ask(dint) + " " + ask(read(sym("BoolTag"))) + " cc 00 04 00");
    EXPECT_EQ(ask(msp({large, dint})).substr(0, 41), "8a 00 00 00 02 00 06 00 fc 01 cc 00 06 00")
        << "a partial reply inside is no error";
    // A packet of exactly the limit is taken, one byte more refused.
    auto packet_of = [&](size_t size) {
        std::vector<Bytes> reads(size / 20, dint);
        reads.back() = reads.back() + Bytes(size - msp(reads).size(), 0);
        return msp(reads);
    };
    for (size_t limit : {504, 100}) {
        options.faults.packet_limit = limit;
        reset();
        EXPECT_EQ(ask(packet_of(limit)).substr(0, 11), "8a 00 00 00");
        EXPECT_EQ(ask(packet_of(limit + 1)), "8a 00 1a 00");
        EXPECT_EQ(ask(unconnected_send(packet_of(limit + 1), {0x01, 0x00})), "8a 00 1a 00");
    }
}

// Read-Modify-Write on tags: (value | OR) & AND at the path, masks as wide as the integer there;
// Write Tag ignores bytes after its data, as controllers do; the wall clock's attribute 6 is set
// and read in step with 0x0B.
// A device without the Symbol object: the tag list, a program's tag list and a tag by its instance
// are answered 0x05 (path destination unknown); reads and writes by name are answered as before.
TEST_F(SimWire, WithoutTheSymbolObjectOnlyNamesReachTags) {
    options.faults.no_symbol_object = true;
    reset();
    const Bytes attributes = u16(3) + u16(1) + u16(2) + u16(8);
    for (const Bytes& request : {req(0x55, cls(0x6B) + inst(0), attributes),
                                 req(0x55, sym("Program:MainProgram") + cls(0x6B) + inst(0), attributes),
                                 read(cls(0x6B) + inst(1)), req(0x01, cls(0x6B) + inst(1), {})})
        EXPECT_EQ(ask(request).substr(2), " 00 05 00") << hex(request);
    EXPECT_EQ(ask(read(sym("DintTag"))), "cc 00 00 00 c4 00 40 e2 01 00");
    EXPECT_EQ(ask(req(0x4D, sym("DintTag"), u16(0xC4) + u16(1) + u32(7))), "cd 00 00 00");
    EXPECT_EQ(ask(read(sym("Program:MainProgram") + sym("Step"))), "cc 00 00 00 c3 00 03 00");
}

TEST_F(SimWire, ReadModifyWriteTolerantWritesAndClockAttribute6) {
    const std::tuple<Bytes, std::string, std::string, std::string> cases[] = {
        // path, mask size and masks, reply, the read after it
        {sym("SintTag"), "01 00 81 7f", "ce 00 00 00", "cc 00 00 00 c2 00 75"}, // OR first, then AND
        {sym("IntTag"), "02 00 00 80 fd ff", "ce 00 00 00", "cc 00 00 00 c3 00 d0 84"},
        {sym("DintArray") + elem8(3), "04 00 00 01 00 00 ff ff ff ff", "ce 00 00 00", "cc 00 00 00 c4 00 03 01 00 00"},
        {sym("LintTag"), "08 00 00 00 00 00 00 00 00 80 ff 0f ff ff ff ff ff ff", "ce 00 00 00",
         "cc 00 00 00 c5 00 35 0b 04 8e e0 fe ff ff"},
        {sym("WordTag"), "02 00 00 00 00 00", "ce 00 00 00", "cc 00 00 00 d2 00 00 00"},
        {sym("IntTag"), "04 00 00 00 00 00 ff ff ff ff", "ce 00 ff 01 07 21", "cc 00 00 00 c3 00 d0 84"}, // masks too wide
        {sym("DintTag"), "02 00 00 00 ff ff", "ce 00 ff 01 07 21", "cc 00 00 00 c4 00 40 e2 01 00"},   // too narrow
        {sym("RealTag"), "04 00 00 00 00 00 ff ff ff ff", "ce 00 ff 01 07 21", "cc 00 00 00 ca 00 00 00 50 40"},
        {sym("BoolTag"), "01 00 00 00", "ce 00 ff 01 07 21", "cc 00 00 00 c1 00 ff"},
        {sym("DintTag"), "04 00 00 00 00 00 ff ff ff", "ce 00 13 00", "cc 00 00 00 c4 00 40 e2 01 00"},
        // bytes after the masks ignored: an 8-byte AND mask for a DINT, as a popular client sends
        {sym("DintTag"), "04 00 20 00 00 00 ff ff ff ff ff ff ff ff", "ce 00 00 00", "cc 00 00 00 c4 00 60 e2 01 00"},
        {sym("Missing"), "01 00 01 ff", "ce 00 04 00", "cc 00 04 00"},
    };
    for (const auto& [path, masks, reply, after] : cases) {
        EXPECT_EQ(ask(req(0x4E, path, bytes(masks))), reply) << hex(path) << masks;
        EXPECT_EQ(ask(read(path)), after) << hex(path) << masks;
    }
    EXPECT_EQ(ask(req(0x4D, sym("DintTag"), u16(0xC4) + u16(1) + u32(7) + u32(7))), "cd 00 00 00");
    EXPECT_EQ(ask(read(sym("DintTag"))), "cc 00 00 00 c4 00 07 00 00 00");
    EXPECT_EQ(ask(req(0x4D, sym("DintTag"), u16(0xC4) + u16(1) + u16(7))), "cd 00 13 00");
    // The clock runs on from the time set: the low 16 bits are not compared.
    const Bytes clock = cls(0x8B) + inst(1), us = u32(0x89AB0000) + u32(0x00051234);
    const std::string later = "xx xx" + hex(us).substr(5);
    EXPECT_EQ(ask(req(0x04, clock, u16(1) + u16(6) + us)), "84 00 00 00 01 00 06 00 00 00");
    const std::string both = "83 00 00 00 02 00 06 00 00 00 " + later + " 0b 00 00 00 " + later;
    EXPECT_EQ(masked(ask(req(0x03, clock, u16(2) + u16(6) + u16(0x0B))), both), both);
}

} // namespace
