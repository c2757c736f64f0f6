// Device-supplied text for the terminal: every control character visible as an escape, everything
// printable (ASCII and well-formed UTF-8) unchanged.
#include "terminal_text.h"

#include <gtest/gtest.h>

TEST(CliTerminalText, ControlCharactersBecomeEscapesAndPrintableTextStays) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"Line_1.Speed[3]", "Line_1.Speed[3]"},
        {"", ""},
        {"\x1b]0;pwned\x07", "\\x1b]0;pwned\\x07"},           // retitle the terminal
        {"\x1b[2J\x1b[H", "\\x1b[2J\\x1b[H"},                 // clear the screen
        {"a\nFake_Row  DINT\r", "a\\x0aFake_Row  DINT\\x0d"}, // forge a row
        {std::string("nul\0tab\t", 8), "nul\\x00tab\\x09"},
        {"del\x7f", "del\\x7f"},
        {"\xc2\x9b"
         "31m",
         "\\u009b31m"},                                         // C1 CSI written as UTF-8
        {"\xc2\x80\xc2\x9f\xc2\xa0", "\\u0080\\u009f\xc2\xa0"}, // U+00A0 is printable
        {"\x9b"
         "31m",
         "\\x9b31m"}, // 8-bit CSI, not UTF-8
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xc3", "\\xc3"},                   // truncated sequence
        {"\xc0\x9b", "\\xc0\\x9b"},          // over-long encoding of a control
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"}, // a surrogate
        {"back\\slash", "back\\slash"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cli::terminal_safe(c.in), c.out) << c.out;
}
