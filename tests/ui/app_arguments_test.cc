// The command line: --unconnected wherever it stands, next to the address and port it leaves as
// they were.
#include "Startup.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(CommandLineMode, UnconnectedIsTakenWhereverItStands) {
    const struct {
        std::vector<const char*> argv;
        const char* address;
        int port;
        bool unconnected;
        bool refused;
    } cases[] = {
        {{"orvane"}, "", 44818, false, false},
        {{"orvane", "--unconnected"}, "", 44818, true, false},
        {{"orvane", "--unconnected", "plc", "2222"}, "plc", 2222, true, false},
        {{"orvane", "plc", "--unconnected"}, "plc", 44818, true, false},
        {{"orvane", "plc", "2222", "--unconnected"}, "plc", 2222, true, false},
        {{"orvane", "plc", "2222", "x", "--unconnected"}, "", 44818, true, true},
        {{"orvane", "plc", "--unconnectedx"}, "plc", 44818, false, true},
    };
    for (const auto& c : cases) {
        const auto args = startup::parseArguments(static_cast<int>(c.argv.size()), c.argv.data());
        EXPECT_EQ(args.address, c.address) << c.argv.size();
        EXPECT_EQ(args.port, c.port) << c.argv.back();
        EXPECT_EQ(args.unconnected, c.unconnected) << c.argv.back();
        EXPECT_EQ(args.error.empty(), !c.refused) << c.argv.back();
    }
}

} // namespace
