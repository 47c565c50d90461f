// scripts/shell.sh (make shell): commands fed on standard input run in the
// private platform with quellix and its completion at hand, and leaving the
// shell stops every daemon it started.
#include "Patterns.h"
#include "Process.h"
#include "Scratch.h"

#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>

namespace {

// Runs the shell with `lines` as its input, the way a pipe would feed it.
RunResult runShell(const std::vector<std::string>& lines)
{
    std::vector<std::string> args = {"-c", "s=$0 b=$1; shift; printf '%s\\n' \"$@\" | \"$s\" \"$b\"",
                                     sourcePath("scripts/shell.sh"), binaryPath("")};
    args.insert(args.end(), lines.begin(), lines.end());
    // No history file of the user's is written.
    return runProgram("/bin/sh", args, 60s, {"HISTFILE="});
}

// The process id that the greeting gives for `daemon`; 0 if none.
pid_t announcedPid(const std::string& out, const std::string& daemon)
{
    const std::vector<std::string> match = firstMatch(out, daemon + " \\(pid ([0-9]+)\\)");
    return match.empty() ? 0 : pid_t(std::stol(match[1]));
}

void expectGone(pid_t pid)
{
    ASSERT_GT(pid, 0);
    errno = 0;
    EXPECT_EQ(kill(pid, 0), -1) << "process " << pid << " is still there";
    EXPECT_EQ(errno, ESRCH);
}

TEST(ShellTest, RunsCommandsInThePlatformAndStopsItOnExit)
{
    RunResult result = runShell({"quellix check demo.echo", "complete -p quellix", "type -P quellix",
                                 "echo \"$PS1\"", "exit"});
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_NE(result.out.find("\nService demo.echo: found\n"
                              "complete -F _quellix quellix\n" +
                              binaryPath("quellix") + "\n"
                              "[quellix shell] \\w\\$ \n"),
              std::string::npos)
        << result.out;
    expectGone(announcedPid(result.out, "service-manager"));
    expectGone(announcedPid(result.out, "service-host"));
}

TEST(ShellTest, FindsTheManualPages)
{
    RunResult result = runShell({"man -w quellix service-manager service-host",
                                 "man quellix | sed -n '/^NAME$/,+1p'", "exit"});
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_NE(result.out.find("\n" + sourcePath("man/man1/quellix.1") + "\n" +
                              sourcePath("man/man8/service-manager.8") + "\n" +
                              sourcePath("man/man1/service-host.1") + "\n"
                              "NAME\n"
                              "       quellix - list, check and call the services of a service manager\n"),
              std::string::npos)
        << result.out << result.err;
}

TEST(ShellTest, EndsWithTheShellsExitStatusAndStopsThePlatform)
{
    for (const char* last : {"exit 7", "quellix call demo.nothing 1"}) {
        SCOPED_TRACE(last);
        RunResult result = runShell({last});
        ASSERT_FALSE(result.timedOut);
        // The end of input leaves the shell as "exit" would.
        EXPECT_EQ(result.exitStatus, std::string(last) == "exit 7" ? 7 : 10) << result.err;
        expectGone(announcedPid(result.out, "service-manager"));
        expectGone(announcedPid(result.out, "service-host"));
    }
}

} // namespace
