// The bash completion of quellix, driven in a real bash the way the shell
// calls it: COMP_WORDS, COMP_CWORD, COMP_LINE and COMP_POINT set, the
// function run, COMPREPLY printed one entry a line.
#include "Process.h"
#include "Scratch.h"
#include "TestPlatform.h"

#include <gtest/gtest.h>

namespace {

const char kDriver[] = "source \"$0\" || exit 1\n"
                       "PATH=$QUELLIX_TEST_BIN:$PATH\n"
                       "COMP_LINE=$1 COMP_POINT=${#1} COMP_CWORD=$2\n"
                       "shift 2\n"
                       "COMP_WORDS=(\"$@\")\n"
                       "_quellix quellix \"${COMP_WORDS[COMP_CWORD]}\" \"${COMP_WORDS[COMP_CWORD - 1]}\"\n"
                       "for reply in \"${COMPREPLY[@]}\"; do printf '%s\\n' \"$reply\"; done\n";

struct CompletionCase {
    std::string line;                // up to the cursor
    std::vector<std::string> words;  // COMP_WORDS as bash cuts the line; none: at blanks
    std::vector<std::string> replies;
};

std::vector<std::string> wordsAtBlanks(const std::string& line)
{
    std::vector<std::string> words{""};
    for (char c : line) {
        if (c == ' ')
            words.emplace_back();
        else
            words.back() += c;
    }
    return words;
}

// The replies, one a line, or the error output when bash failed.
std::string complete(const CompletionCase& c)
{
    std::vector<std::string> words = c.words.empty() ? wordsAtBlanks(c.line) : c.words;
    std::vector<std::string> args = {"-c", kDriver, sourcePath("completion/quellix"), c.line,
                                     std::to_string(words.size() - 1)};
    args.insert(args.end(), words.begin(), words.end());
    RunResult result = runProgram(QUELLIX_BASH, args, 30s, {"QUELLIX_TEST_BIN=" + binaryPath("")});
    if (result.exitStatus != 0 || !result.err.empty())
        return "bash failed: " + result.err;
    return result.out;
}

std::string lines(const std::vector<std::string>& replies)
{
    std::string text;
    for (const std::string& r : replies)
        text += r + "\n";
    return text;
}

class CompletionTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(platform.startManager()) << platform.manager().error();
        ASSERT_TRUE(platform.startHost({}));
        // A name that holds ": [" itself, as `quellix list` shows it.
        ASSERT_TRUE(platform.startHost({"--service", "odd: [name"}));
    }

    TestPlatform platform;
};

const std::vector<std::string> kServices = {"demo.adder", "demo.echo", "demo.greeter", "odd:\\ \\[name"};
const std::vector<std::string> kKinds = {"i32", "s16", "null", "intent"};
const std::vector<std::string> kIntentKeys = {"action=",      "data=",     "type=",
                                              "launchFlags=", "component=", "categories="};

TEST_F(CompletionTest, CompletesWhatQuellixTakesAtEachPosition)
{
    const std::vector<CompletionCase> cases = {
        {"quellix ", {}, {"list", "check", "call"}},
        {"quellix c", {}, {"check", "call"}},
        {"quellix -", {}, {"-h", "-\\?"}},
        {"quellix -h ", {}, {"list", "check", "call"}},
        {"quellix -? l", {}, {"list"}},
        {"quellix list ", {}, {}},
        {"quellix LIST ", {}, {}},
        {"quellix check ", {}, kServices},
        {"quellix check demo.g", {}, {"demo.greeter"}},
        {"quellix check o", {}, {"odd:\\ \\[name"}},
        // bash cuts the word at ':'; only what follows it is replaced.
        {"quellix check odd:", {"quellix", "check", "odd", ":"}, {"\\ \\[name"}},
        {"quellix check demo.echo ", {}, {}},
        {"quellix call ", {}, kServices},
        {"quellix -h call demo.e", {}, {"demo.echo"}},
        {"quellix call demo.echo ", {}, {}},
        {"quellix call demo.echo 1 ", {}, kKinds},
        {"quellix call demo.echo 1 s", {}, {"s16"}},
        {"quellix call demo.echo 1 i32 ", {}, {}},
        {"quellix call demo.echo 1 s16 ", {}, {}},
        {"quellix call demo.echo 1 i32 5 ", {}, kKinds},
        {"quellix call demo.echo 1 i32 -7 s16 hi null ", {}, kKinds},
        {"quellix call demo.echo 1 bogus ", {}, {}},
        {"quellix call demo.echo 1 intent ", {}, kIntentKeys},
        {"quellix call demo.echo 1 null intent c", {}, {"component=", "categories="}},
        {"quellix call demo.echo 1 intent action=VIEW la",
         {"quellix", "call", "demo.echo", "1", "intent", "action", "=", "VIEW", "la"},
         {"launchFlags="}},
        {"quellix call demo.echo 1 intent data=", {"quellix", "call", "demo.echo", "1", "intent", "data", "="}, {}},
        {"quellix call demo.echo 1 intent type=te",
         {"quellix", "call", "demo.echo", "1", "intent", "type", "=", "te"},
         {}},
    };
    for (const CompletionCase& c : cases) {
        SCOPED_TRACE("\"" + c.line + "\"");
        EXPECT_EQ(complete(c), lines(c.replies));
    }
}

TEST(CompletionWithoutPlatformTest, OffersNoNamesAndPrintsNothing)
{
    // No service manager runs in this test's network namespace.
    EXPECT_EQ(complete({"quellix check ", {}, {}}), "");
    EXPECT_EQ(complete({"quellix call demo.echo 1 ", {}, {}}), lines(kKinds));
}

} // namespace
