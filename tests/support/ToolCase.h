// One run of quellix and the output and exit status it must give, for the
// table-driven end-to-end tests of the tool.
#pragma once

#include "TestPlatform.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

struct ToolCase {
    const char* name;
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int status;
};

// Runs quellix with `args` and compares standard output, standard error and
// the exit status byte for byte.
inline void expectRun(const std::vector<std::string>& args, const std::string& out,
                      const std::string& err, int status,
                      const std::vector<std::string>& environment = {})
{
    RunResult result = TestPlatform::quellix(args, environment);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(result.err, err);
    EXPECT_EQ(result.exitStatus, status);
}

// Runs every case of the table against the platform that is up.
inline void expectRuns(const std::vector<ToolCase>& cases,
                       const std::vector<std::string>& environment = {})
{
    for (const ToolCase& c : cases) {
        SCOPED_TRACE(c.name);
        expectRun(c.args, c.out, c.err, c.status, environment);
    }
}
