// Tag path text to EPATH: exact segment bytes for the valid forms, the result for every grammar
// violation and the name-length limit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zelkc_logix.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint8_t build(const std::string& tag, Bytes* bytes = nullptr) {
    zelkc_cip_buffer path;
    const uint8_t rc = zelkc_logix_path_build_tag_path(tag.c_str(), &path);
    if (bytes != nullptr) {
        bytes->assign(path.data, path.data + path.size);
    }
    zelkc_cip_path_free(&path);
    return rc;
}

// Symbol segments for each name, then the given element bytes.
Bytes seg(std::initializer_list<std::string> names, Bytes elements = {}) {
    Bytes b;
    for (const auto& name : names) {
        b.push_back(0x91);
        b.push_back(uint8_t(name.size()));
        b.insert(b.end(), name.begin(), name.end());
        if (name.size() % 2 != 0) {
            b.push_back(0x00);
        }
    }
    b.insert(b.end(), elements.begin(), elements.end());
    return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(LogixTagPath, ValidPathsGiveExactSegments) {
    const std::string longest(255, 'n');
    const std::pair<std::string, Bytes> cases[] = {
        {"A.B[3].C", seg({"A", "B"}, {0x28, 0x03}) + seg({"C"})},
        {"A[1, 2 ]", seg({"A"}, {0x28, 0x01, 0x28, 0x02})},
        {"A[1,2]", seg({"A"}, {0x28, 0x01, 0x28, 0x02})},
        {"A[1][2]", seg({"A"}, {0x28, 0x01, 0x28, 0x02})},
        {"A[4294967295]", seg({"A"}, {0x2A, 0x00, 0xFF, 0xFF, 0xFF, 0xFF})},
        {"A[300]", seg({"A"}, {0x29, 0x00, 0x2C, 0x01})},
        {"A[70000]", seg({"A"}, {0x2A, 0x00, 0x70, 0x11, 0x01, 0x00})},
        {"A[\t7\n]", seg({"A"}, {0x28, 0x07})},
        {"A .B", seg({"A ", "B"})}, // spaces in a name part stay part of it
        {" Ab", seg({" Ab"})},
        {"Program:Main.Tag", seg({"Program:Main", "Tag"})},
        {"Program:MainProgram.Counter.ACC", seg({"Program:MainProgram", "Counter", "ACC"})},
        {longest, seg({longest})},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        Bytes bytes;
        EXPECT_EQ(build(text, &bytes), ZELKC_LOGIX_OK);
        EXPECT_EQ(bytes, expected);
    }
}

TEST(LogixTagPath, InvalidPathsAreRefused) {
    const char* invalid[] = {
        "",      "   ",   ".A",    "A.",    "A..B",    "A]",    "A[1",           "A[1]]",  "[1]",
        "A[]",   "A[ ]",  "A[1,]", "A[-1]", "A[0x10]", "A[1]B", "A[4294967296]", "A[1.5]", "A[99999999999]",
        "A.[1]", "A[,1]", " \t\n"};
    for (const char* text : invalid) {
        EXPECT_EQ(build(text), ZELKC_LOGIX_ERR_INVALID_ARGUMENT) << '"' << text << '"';
    }
    // A name part above 255 characters is refused with the limit code, not read past.
    for (const std::string& text : {std::string(256, 'n'), std::string(100000, 'n') + "[1]",
                                    "A." + std::string(300, 'n')}) {
        EXPECT_EQ(build(text), ZELKC_LOGIX_ERR_LIMIT) << text.size();
    }
}

} // namespace
