#include <csignal>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // A peer closing its socket while we send must give an error code, not end the process.
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
