// The wrapper that gives the tests their throw-away session: what the command writes reaches the
// caller whole, so that a failing test's diagnostics never vanish.
#include "tests/support/run_program.h"

#include <gtest/gtest.h>

TEST(SessionServices, EveryLineTheCommandWritesToStandardErrorArrives) {
    std::string lines;
    for (int i = 1; i <= 2000; ++i)
        lines += std::to_string(i) + "\n";
    auto run = runProgram({.program = std::string(DOVREL_TEST_SOURCE) + "/scripts/with-session-services",
                           .arguments = {"/bin/sh", "-c", "seq 2000 >&2; exit 3"}});
    EXPECT_EQ(run.exitStatus, 3);
    EXPECT_NE(run.err.find(lines), std::string::npos) << run.err.size();
}
