// Tag path text to EPATH: exact segment bytes for the valid forms, result 1 for every grammar
// violation, and the name-length limit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zelkc_logix.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Built {
    uint8_t result;
    Bytes bytes;
};

Built build(const char* tag) {
    zelkc_cip_buffer path;
    Built built;
    built.result = zelkc_logix_path_build_tag_path(tag, &path);
    built.bytes.assign(path.data, path.data + path.size);
    zelkc_cip_path_free(&path);
    return built;
}

Bytes symbol(const std::string& name) {
    Bytes b;
    b.push_back(0x91);
    b.push_back(static_cast<uint8_t>(name.size()));
    for (char c : name) {
        b.push_back(static_cast<uint8_t>(c));
    }
    if (name.size() % 2 != 0) {
        b.push_back(0x00);
    }
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

TEST(LogixTagPath, ValidPathsGiveExactSegments) {
    struct Case {
        const char* text;
        Bytes expected;
    };
    const Case cases[] = {
        {"A.B[3].C", cat({symbol("A"), symbol("B"), {0x28, 0x03}, symbol("C")})},
        {"A[1, 2 ]", cat({symbol("A"), {0x28, 0x01, 0x28, 0x02}})},
        {"Program:Main.Tag", cat({symbol("Program:Main"), symbol("Tag")})},
        {"A[1,2]", cat({symbol("A"), {0x28, 0x01, 0x28, 0x02}})},
        {"A[1][2]", cat({symbol("A"), {0x28, 0x01, 0x28, 0x02}})},
        {"A[4294967295]", cat({symbol("A"), {0x2A, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}})},
        {"A[300]", cat({symbol("A"), {0x29, 0x00, 0x2C, 0x01}})},
        {"A[70000]", cat({symbol("A"), {0x2A, 0x00, 0x70, 0x11, 0x01, 0x00}})},
        {"A[\t7\n]", cat({symbol("A"), {0x28, 0x07}})},
        // Spaces in a name part stay part of it.
        {"A .B", cat({symbol("A "), symbol("B")})},
        {" Ab", symbol(" Ab")},
        {"Counter", symbol("Counter")},
        {"Program:MainProgram.Counter.ACC",
         cat({symbol("Program:MainProgram"), symbol("Counter"), symbol("ACC")})},
    };
    for (const auto& c : cases) {
        Built b = build(c.text);
        EXPECT_EQ(b.result, ZELKC_LOGIX_OK) << c.text;
        EXPECT_EQ(b.bytes, c.expected) << c.text;
    }
}

TEST(LogixTagPath, GrammarViolationsAreInvalidArgument) {
    const char* invalid[] = {
        "",      "   ",   ".A",    "A.",    "A..B",    "A]",    "A[1",           "A[1]]",  "[1]",
        "A[]",   "A[ ]",  "A[1,]", "A[-1]", "A[0x10]", "A[1]B", "A[4294967296]", "A[1.5]", "A[99999999999]",
        "A.[1]", "A[,1]", " \t\n"};
    for (const char* text : invalid) {
        EXPECT_EQ(build(text).result, ZELKC_LOGIX_ERR_INVALID_ARGUMENT) << '"' << text << '"';
    }
    zelkc_cip_buffer path;
    EXPECT_EQ(zelkc_logix_path_build_tag_path(nullptr, &path), ZELKC_LOGIX_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(zelkc_logix_path_build_tag_path("A", nullptr), ZELKC_LOGIX_ERR_INVALID_ARGUMENT);
}

TEST(LogixTagPath, NamePartLengthLimit) {
    std::string longest(255, 'n');
    Built ok = build(longest.c_str());
    EXPECT_EQ(ok.result, ZELKC_LOGIX_OK);
    EXPECT_EQ(ok.bytes, symbol(longest));
    // 256 characters and far more are refused with the limit code, not read past.
    EXPECT_EQ(build(std::string(256, 'n').c_str()).result, ZELKC_LOGIX_ERR_LIMIT);
    EXPECT_EQ(build((std::string(100000, 'n') + "[1]").c_str()).result, ZELKC_LOGIX_ERR_LIMIT);
    EXPECT_EQ(build(("A." + std::string(300, 'n')).c_str()).result, ZELKC_LOGIX_ERR_LIMIT);
}

} // namespace
