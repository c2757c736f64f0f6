// The JSON text orvane-cli writes for controller bytes (MQTT payloads, browse --json): escapes,
// UTF-8 kept, every other byte read as Latin-1, and JSON's number grammar.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli.h"

namespace {

std::string json_of(std::string_view bytes) {
    std::string out = "x"; // appended to, not replaced
    cli::append_json_string(out, bytes);
    return out.substr(1);
}

TEST(CliJsonText, StringsAreEscapedAndStayValidUtf8) {
    const struct {
        std::string bytes, json;
    } cases[] = {
        {"", R"("")"},
        {"Hello, Orvane", R"("Hello, Orvane")"},
        {"a\"b\\c/", R"("a\"b\\c/")"},
        {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
        {std::string("\x00\x01\x1f\x7f", 4), "\"\\u0000\\u0001\\u001f\x7f\""},
        {"25\xc2\xb0" "C", "\"25\xc2\xb0" "C\""},                     // UTF-8 kept
        {"\xe2\x82\xac\xf0\x9f\x98\x80", "\"\xe2\x82\xac\xf0\x9f\x98\x80\""}, // 3 and 4 bytes
        {"25\xb0" "C", "\"25\xc2\xb0" "C\""},                         // Latin-1 degree sign
        {"\xc3", "\"\xc3\x83\""},                                     // a sequence cut at the end
        {"\xe2\x82", "\"\xc3\xa2\xc2\x82\""},                         // cut after two of three
        {"\xc0\xaf", "\"\xc3\x80\xc2\xaf\""},                         // overlong '/'
        {"\xed\xa0\x80", "\"\xc3\xad\xc2\xa0\xc2\x80\""},             // a surrogate
        {"\xf4\x90\x80\x80", "\"\xc3\xb4\xc2\x90\xc2\x80\xc2\x80\""}, // beyond U+10FFFF
        {"\xff\x80", "\"\xc3\xbf\xc2\x80\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(json_of(c.bytes), c.json) << c.bytes;
        const auto parsed = nlohmann::json::parse(json_of(c.bytes), nullptr, false);
        ASSERT_TRUE(parsed.is_string()) << c.json;
        EXPECT_EQ(parsed.get<std::string>(), cli::utf8_text(c.bytes)) << c.json;
    }
}

TEST(CliJsonText, NumbersFollowJsonGrammar) {
    for (const char* yes : {"0", "-0", "7", "123456", "-42", "3.25", "0.5", "1e5", "1E+05", "-2.5e-3",
                            "18000000000000000000", "2.718281828459045"}) {
        EXPECT_TRUE(cli::is_json_number(yes)) << yes;
    }
    for (const char* no : {"", "-", "+1", "01", "-01", "1.", ".5", "1e", "1e+", "1.e5", "nan", "-inf",
                           "inf", "1 ", " 1", "0x10", "1,5", "true"}) {
        EXPECT_FALSE(cli::is_json_number(no)) << no;
    }
}

} // namespace
