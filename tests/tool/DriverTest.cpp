// The command-line driver: the missing service manager, the option scan,
// the command word and the check command.
#include "ToolCase.h"

#include <csignal>

namespace {

const std::string kUsage = kUsageText;
const char kNoManager[] = "quellix: Unable to get default service manager!\n";

TEST(DriverWithoutManagerTest, EveryRunEndsWithStatus20AndNothingElse)
{
    // Nothing listens in this test's network namespace.
    const std::vector<std::vector<std::string>> commandLines = {
        {}, {"-h"}, {"-?"}, {"-x"}, {"list"}, {"check"}, {"check", "foo"}, {"call", "foo", "1"}, {"LIST"},
    };
    for (const auto& args : commandLines) {
        SCOPED_TRACE(testing::PrintToString(args));
        expectRun(args, "", kNoManager, 20);
    }
}

class DriverTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(platform.startManager()) << platform.manager().error();
        ASSERT_TRUE(platform.startHost({"--service", "known", "--interface", "i.Known", "--service", "s",
                                        "--interface", "x"}));
    }

    TestPlatform platform;
};

const std::string kListing = "Found 2 services:\n"
                             "0\tknown: [i.Known]\n"
                             "1\ts: [x]\n";

const std::vector<ToolCase> kDriverCases = {
    {"no arguments", {}, kUsage, "", 0},
    {"-h", {"-h"}, kUsage, "", 0},
    {"-?", {"-?"}, kUsage, "", 0},
    {"both options", {"-h", "-?"}, kUsage, "", 0},
    {"grouped options", {"-h?"}, kUsage, "", 0},
    {"-h before list: list does not run", {"-h", "list"}, kUsage, "", 0},
    {"-? before check: check does not run", {"-?", "check", "known"}, kUsage, "", 0},
    {"-h before a faulty call: usage only", {"-h", "call"}, kUsage, "", 0},
    {"-h after list is no option", {"list", "-h"}, kListing, "", 0},
    {"list", {"list"}, kListing, "", 0},
    {"command words are case-sensitive", {"LIST"}, kUsage, "quellix: Unknown command LIST\n", 10},
    {"unknown command", {"lists"}, kUsage, "quellix: Unknown command lists\n", 10},
    {"a lone dash is a command word", {"-"}, kUsage, "quellix: Unknown command -\n", 10},
    {"an empty command word", {""}, kUsage, "quellix: Unknown command \n", 10},
    {"-- then a command", {"--", "check", "known"}, "Service known: found\n", "", 0},
    {"-- then an option-like word", {"--", "-h"}, kUsage, "quellix: Unknown command -h\n", 10},
    {"check alone", {"check"}, kUsage, "quellix: No service specified for check\n", 10},
    {"check of an unknown service, extra argument ignored", {"check", "foo", "bar"},
     "Service foo: not found\n", "", 0},
    {"check of a registered service", {"check", "known"}, "Service known: found\n", "", 0},
    {"check ignores what follows", {"check", "known", "-h", "extra"}, "Service known: found\n", "", 0},
    {"check is exact", {"check", "Known"}, "Service Known: not found\n", "", 0},
    {"check of an empty name", {"check", ""}, "Service : not found\n", "", 0},
};

TEST_F(DriverTest, CommandLines) { expectRuns(kDriverCases); }

// The scan never reorders the arguments, whatever the environment asks.
TEST_F(DriverTest, CommandLinesUnderPosixlyCorrect) { expectRuns(kDriverCases, {"POSIXLY_CORRECT=1"}); }

TEST_F(DriverTest, UnknownOptionShowsUsageWithStatus0)
{
    for (const auto& args : std::vector<std::vector<std::string>>{{"-x"}, {"-x", "list"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        RunResult result = TestPlatform::quellix(args);
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.out, kUsage);
        // The C library's own diagnostic for the option.
        EXPECT_FALSE(result.err.empty());
        EXPECT_EQ(result.exitStatus, 0);
    }
}

TEST_F(DriverTest, NegativeOperandIsNoOption)
{
    const std::string out = "Result: Parcel(12 bytes: 00000001 00000078 fffffff9 '....x.......')\n";
    for (const std::vector<std::string>& environment :
         std::vector<std::vector<std::string>>{{}, {"POSIXLY_CORRECT=1"}}) {
        SCOPED_TRACE(testing::PrintToString(environment));
        expectRun({"call", "s", "1", "i32", "-7"}, out, "", 0, environment);
    }
}

// Runs quellix through sh with `shell` as the command: "$0" is quellix
// and "$@" its arguments.
RunResult runInShell(const std::string& shell, const std::vector<std::string>& args)
{
    std::vector<std::string> shellArgs = {"-c", shell, binaryPath("quellix")};
    shellArgs.insert(shellArgs.end(), args.begin(), args.end());
    return runProgram("/bin/sh", shellArgs);
}

// Output that cannot be written fails the run with one more line on
// standard error; everything else it says stays as it was.
TEST_F(DriverTest, LostOutputFailsTheRun)
{
    const struct {
        const char* redirection;
        std::string error;
    } outputs[] = {
        {">/dev/full", "quellix: write error: No space left on device\n"},
        {">&-", "quellix: write error: Bad file descriptor\n"},
    };
    const struct {
        std::vector<std::string> args;
        std::string err;  // what it says besides the write error
        bool writes;      // whether it has output to lose
    } cases[] = {
        {{"list"}, "", true},
        {{"check", "known"}, "", true},
        {{"check", "foo"}, "", true},
        {{"call", "s", "1", "i32", "7"}, "", true},
        {{"call", "s", "1", "i32"}, "quellix: no integer supplied for 'i32'\n", true},
        {{"check"}, "quellix: No service specified for check\n", true},
        {{"-h"}, "", true},
        {{"call", "nothing", "1"}, "quellix: Service nothing does not exist\n", false},
    };
    for (const auto& output : outputs) {
        for (const auto& c : cases) {
            SCOPED_TRACE(output.redirection + (" " + testing::PrintToString(c.args)));
            RunResult result = runInShell(std::string("exec \"$0\" \"$@\" ") + output.redirection, c.args);
            EXPECT_FALSE(result.timedOut);
            EXPECT_EQ(result.signal, 0);
            EXPECT_EQ(result.out, "");
            EXPECT_EQ(result.err, c.err + (c.writes ? output.error : ""));
            EXPECT_EQ(result.exitStatus, 10);
        }
    }
}

// A reader that stops early ends the run with SIGPIPE, as it ends any other
// writer: the reply's text is far larger than a pipe holds.
TEST_F(DriverTest, ReaderThatStopsEarlyEndsTheRunWithSigpipe)
{
    RunResult result = runInShell("{ \"$0\" \"$@\"; echo \"status $?\" >&2; } | head -c 1 >/dev/null",
                                  {"call", "s", "1", "s16", std::string(40000, 'a')});
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.err, "status " + std::to_string(128 + SIGPIPE) + "\n");
    EXPECT_EQ(result.exitStatus, 0);
}

} // namespace
