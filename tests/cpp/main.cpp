#include <gtest/gtest.h>

#include <csignal>

#include "test_util.hpp"

int main(int argc, char** argv) {
    // Python ignores SIGPIPE; a write to an exited child must not kill the runner.
    std::signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    // What the run leaves in the temporary folder goes with it: the scratch
    // folders of a server a test killed, say.
    halvo::test::TempDir tmp;
    halvo::test::EnvVar tmpdir("TMPDIR", tmp.path().c_str());
    return RUN_ALL_TESTS();
}
