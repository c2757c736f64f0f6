#include <csignal>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // A peer closing its socket while we send must give an error code, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
