// Tag path text to EPATH: the exact bytes of every valid form (element segments of 8, 16 and 32
// bits at their boundaries, program scope), the grammar's refusals and the name-length limit.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "zelkc_logix.h"

namespace {

// The path as upper-case hex, or the result code when building failed.
std::string build(const std::string& tag) {
    zelkc_cip_buffer path;
    const uint8_t rc = zelkc_logix_path_build_tag_path(tag.c_str(), &path);
    std::string hex = rc == ZELKC_LOGIX_OK ? "" : "rc" + std::to_string(rc);
    for (uint32_t i = 0; rc == ZELKC_LOGIX_OK && i < path.size; ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02X", path.data[i]);
        hex += two;
    }
    zelkc_cip_path_free(&path);
    return hex;
}

TEST(LogixTagPath, ExactSegmentsOrRefusals) {
    std::pair<std::string, std::string> cases[] = {
        {"A.B[3].C", "91014100 91014200 2803 91014300"}, {"A[1, 2 ]", "91014100 2801 2802"},
        {"A[1][2]", "91014100 2801 2802"},                {"A[\t7\n]", "91014100 2807"},
        {"A[255]", "91014100 28FF"},                      {"A[256]", "91014100 2900 0001"},
        {"A[65535]", "91014100 2900 FFFF"},               {"A[65536]", "91014100 2A00 00000100"},
        {"A[4294967295]", "91014100 2A00 FFFFFFFF"},      {"A .B", "91024120 91014200"}, // spaces stay
        {" Ab", "91032041 6200"}, {"Program:Main.Tag[2]", "910C 50726F6772616D3A4D61696E 9103 54616700 2802"},
        {std::string(256, 'n'), "rc18"}, {std::string(100000, 'n') + "[1]", "rc 18"}, // not read past
        {"A." + std::string(300, 'n'), "rc 18"},
    };
    for (auto& [text, expected] : cases) {
        std::erase(expected, ' ');
        EXPECT_EQ(build(text), expected) << text.substr(0, 40);
    }
    const std::string longest = build(std::string(255, 'n')); // the longest name part, padded
    EXPECT_EQ(longest.substr(0, 6) + longest.substr(longest.size() - 4) + std::to_string(longest.size()), "91FF6E6E00516");
    for (const char* text : {"", "   ", ".A", "A.", "A..B", "A]", "A[1", "A[1]]", "[1]", "A[]", "A[ ]", "A[1,]",
                             "A[-1]", "A[0x10]", "A[1]B", "A[4294967296]", "A[1.5]", "A[99999999999]", "A.[1]",
                             "A[,1]", " \t\n"}) {
        EXPECT_EQ(build(text), "rc1") << '"' << text << '"';
    }
}

} // namespace
