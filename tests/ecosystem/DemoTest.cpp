// scripts/demo.sh (make demo), which shares its platform handling with the
// shell and the tour: each command with its output and exit status.
#include "Process.h"
#include "Scratch.h"

#include <gtest/gtest.h>

namespace {

TEST(DemoTest, ShowsEachCommandWithItsOutputAndExitStatus)
{
    RunResult result = runProgram(sourcePath("scripts/demo.sh"), {binaryPath("")}, 60s);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out.rfind("$ quellix check demo.echo\n"
                               "Service demo.echo: found\n"
                               "(exit status 0)\n"
                               "\n"
                               "$ quellix check no.such.service\n"
                               "Service no.such.service: not found\n"
                               "(exit status 0)\n"
                               "\n"
                               "$ quellix list\n"
                               "Found 3 services:\n",
                               0),
              0u)
        << result.out;
    for (const char* call : {"$ quellix call demo.adder 1 i32 2 i32 40\nResult: Parcel(4 bytes: 0000002a '*...')\n",
                             "$ quellix call demo.greeter 1 s16 world\nResult: Parcel(32 bytes: ",
                             "$ quellix call demo.echo 1 null\nResult: Parcel(52 bytes: ",
                             "$ quellix call demo.echo 1 intent action=VIEW launchFlags=16\nResult: Parcel(84 bytes: "})
        EXPECT_NE(result.out.find(call), std::string::npos) << call;
}

} // namespace
