// The controller address grammar the window and orvane-cli share.
#include <gtest/gtest.h>

#include "AddressText.h"

namespace {

TEST(AddressText, FormsAndMistakes) {
    const struct {
        const char* text;
        const char* host; // null: refused with `problem`
        uint32_t port;
        int slot;
        bool portGiven;
        const char* problem;
    } cases[] = {
        {"10.0.0.5", "10.0.0.5", 44818, -1, false, ""},
        {"  plc-1 ", "plc-1", 44818, -1, false, ""},
        {"10.0.0.5:2222", "10.0.0.5", 2222, -1, true, ""},
        {"10.0.0.5/3", "10.0.0.5", 44818, 3, false, ""},
        {"10.0.0.5:2222/0", "10.0.0.5", 2222, 0, true, ""},
        {"10.0.0.5/255", "10.0.0.5", 44818, 255, false, ""},
        {"10.0.0.5/256", nullptr, 0, 0, false,
         "'10.0.0.5/256': the slot after '/' must be a number from 0 to 255"},
        {"10.0.0.5/", nullptr, 0, 0, false, "'10.0.0.5/': the slot after '/' must be a number from 0 to 255"},
        {"10.0.0.5/-1", nullptr, 0, 0, false,
         "'10.0.0.5/-1': the slot after '/' must be a number from 0 to 255"},
        {"10.0.0.5:0", nullptr, 0, 0, false,
         "'10.0.0.5:0': the port after ':' must be a number from 1 to 65535"},
        {"10.0.0.5:65536", nullptr, 0, 0, false,
         "'10.0.0.5:65536': the port after ':' must be a number from 1 to 65535"},
        {"10.0.0.5:80x", nullptr, 0, 0, false,
         "'10.0.0.5:80x': the port after ':' must be a number from 1 to 65535"},
        {":44818", nullptr, 0, 0, false, "':44818': the address needs a host name or IP address"},
        {"   ", nullptr, 0, 0, false, "'   ': the address needs a host name or IP address"},
        {"plc 1", nullptr, 0, 0, false, "'plc 1': a host name has no spaces"},
    };
    for (const auto& c : cases) {
        ControllerAddress out;
        out.host = "untouched";
        const std::string problem = parseControllerAddress(c.text, 44818, &out);
        EXPECT_EQ(problem, c.problem) << c.text;
        if (c.host == nullptr) {
            EXPECT_EQ(out.host, "untouched") << c.text << ": left alone on an error";
            continue;
        }
        EXPECT_EQ(out.host + ":" + std::to_string(out.port) + "/" + std::to_string(out.slot) +
                      (out.portGiven ? " given" : ""),
                  std::string(c.host) + ":" + std::to_string(c.port) + "/" + std::to_string(c.slot) +
                      (c.portGiven ? " given" : ""))
            << c.text;
    }
}

} // namespace
