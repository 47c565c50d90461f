// The invariant check of the property test catches what it is meant to.
#include "Invariants.h"
#include "TestPlatform.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* name;
    RunResult result;
    size_t violations;
};

RunResult run(std::string out, std::string err, int status, int signal = 0)
{
    RunResult r;
    r.out = std::move(out);
    r.err = std::move(err);
    r.exitStatus = signal ? -1 : status;
    r.signal = signal;
    return r;
}

TEST(InvariantsTest, CountsEachBrokenInvariant)
{
    const std::string usage = kUsageText;
    const std::string program = "/bin/quellix";
    const Case cases[] = {
        {"usage alone", run(usage, "", 0), 0},
        {"a result, then usage", run("Result: Parcel(0 bytes)\n" + usage, "quellix: no integer supplied for 'i32'\n", 10), 0},
        {"getopt's diagnostic", run(usage, program + ": invalid option -- 'x'\n" + program + ": invalid option -- '\xC3'\n", 0), 0},
        {"no service manager", run("", "quellix: Unable to get default service manager!\n", 20), 0},
        {"a signal", run("", "", 0, 11), 1},
        {"exit status 1", run("", "", 1), 1},
        {"a timeout", [] { RunResult r = run("", "", 0); r.timedOut = true; return r; }(), 1},
        {"a foreign error line", run("", "Segmentation fault\n", 10), 1},
        {"another program's diagnostic", run(usage, "/bin/other: invalid option -- 'x'\n", 0), 1},
        {"diagnostic of two bytes", run(usage, program + ": invalid option -- 'xy'\n", 0), 1},
        {"error without a newline", run("", "quellix: Unknown command x", 10), 1},
        {"output without a newline", run("Found 0 services:", "", 0), 1},
        {"something after the usage", run(usage + "Result: Parcel(0 bytes)\n", "", 10), 1},
        {"a cut usage", run(usage.substr(0, 40) + "\n", "", 0), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> found = invariantViolations(c.result, program);
        std::string listed;
        for (const std::string& v : found)
            listed += v + "\n";
        EXPECT_EQ(found.size(), c.violations) << listed;
    }
}

} // namespace
