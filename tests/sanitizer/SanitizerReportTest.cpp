// A sanitizer report in any program a test starts fails that test: in the
// sanitizer build a report ends the program with status 23, which the test
// support flags for one-shot runs and for daemons alike (a daemon's leaks
// are reported when it exits after SIGTERM).
#include "Process.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

namespace {

TEST(SanitizerReportTest, RunEndingWithTheReportStatusFails)
{
    EXPECT_NONFATAL_FAILURE(runProgram("/bin/sh", {"-c", "echo 'ERROR: leaks' >&2; exit 23"}),
                            "exited with a sanitizer report:\nERROR: leaks");
}

TEST(SanitizerReportTest, DaemonEndingWithTheReportStatusAtStopFails)
{
    EXPECT_NONFATAL_FAILURE(
        {
            Daemon daemon;
            ASSERT_TRUE(daemon.start("/bin/sh", {"-c", "trap 'exit 23' TERM; echo ready; "
                                                       "while :; do sleep 0.05; done"}));
            daemon.stop();
        },
        "/bin/sh exited with a sanitizer report");
}

TEST(SanitizerReportTest, OtherStatusesAreLeftToTheTest)
{
    for (int status : {0, 1, 22, 24}) {
        RunResult result = runProgram("/bin/sh", {"-c", "exit " + std::to_string(status)});
        EXPECT_EQ(result.exitStatus, status);
    }
}

} // namespace
