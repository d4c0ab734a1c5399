#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv) {
    // Python ignores SIGPIPE; a write to an exited child must not kill the runner.
    std::signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
