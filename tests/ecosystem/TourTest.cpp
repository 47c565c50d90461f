// The tour in the README and the examples in the man pages hold what the
// programs print now: scripts/tour.sh runs them again and compares.
#include "Process.h"
#include "Scratch.h"

#include <gtest/gtest.h>

namespace {

TEST(TourTest, DocumentsShowTheProgramsRealOutput)
{
    RunResult result = runProgram(sourcePath("scripts/tour.sh"), {"--check", binaryPath("")}, 120s);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
    EXPECT_EQ(result.out, "");
}

} // namespace
