// The list command: order, display form of names and interface names, and
// services that cannot or will not name their interface.
#include "ToolCase.h"

#include <algorithm>

namespace {

class ListTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(platform.startManager()) << platform.manager().error(); }

    TestPlatform platform;
};

TEST_F(ListTest, EmptyRegistry) { expectRun({"list"}, "Found 0 services:\n", "", 0); }

TEST_F(ListTest, ServicesOfSeveralHostsInSortedOrder)
{
    ASSERT_TRUE(platform.startHost({"--service", "zeta", "--interface", "z.IZ", "--service", "alpha",
                                    "--interface", "a.IA"}));
    ASSERT_TRUE(platform.startHost({"--service", "Beta", "--interface", "b.IB", "--service", "alpha2",
                                    "--interface", "a.IA2", "--service", "a", "--interface", "one",
                                    "--service", "e"}));
    const std::string listing = "Found 6 services:\n"
                                "0\tBeta: [b.IB]\n"
                                "1\ta: [one]\n"
                                "2\talpha: [a.IA]\n"
                                "3\talpha2: [a.IA2]\n"
                                "4\te: [test.IEcho]\n"
                                "5\tzeta: [z.IZ]\n";
    expectRuns({
        {"list", {"list"}, listing, "", 0},
        {"arguments after list are ignored", {"list", "anything", "else"}, listing, "", 0},
    });
}

// Sorted by UTF-16 units: the surrogate pair (0xD83D 0xDE00) comes before
// 0xFFFF, although its code point U+1F600 is the larger one.
TEST_F(ListTest, SortedByUtf16UnitsAndPrintedAsUtf8)
{
    ASSERT_TRUE(platform.startHost({"--service", "\\uffff", "--interface", "max", "--service",
                                    "\\ud83d\\ude00", "--interface", "smile", "--service",
                                    "caf\\u00e9", "--interface", "i.\\u00e9\\ud83d\\ude00", "--service",
                                    "cafz", "--interface", "z"}));
    expectRun({"list"},
              "Found 4 services:\n"
              "0\tcafz: [z]\n"
              "1\tcaf\xC3\xA9: [i.\xC3\xA9\xF0\x9F\x98\x80]\n"
              "2\t\xF0\x9F\x98\x80: [smile]\n"
              "3\t\xEF\xBF\xBF: [max]\n",
              "", 0);
}

TEST_F(ListTest, ZeroUnitsPrintNothingAndLoneSurrogatesPrintAsReplacement)
{
    ASSERT_TRUE(platform.startHost({"--service", "a\\u0000b", "--interface", "i\\u0000j", "--service", "ab",
                                    "--interface", "plain", "--service", "lone\\ud800", "--interface",
                                    "\\udc00x", "--service", "low\\udc00", "--interface", "q\\ud800",
                                    "--service", "\\ude00\\ud83d", "--interface", "reversed"}));
    expectRun({"list"},
              "Found 5 services:\n"
              "0\tab: [ij]\n"
              "1\tab: [plain]\n"
              "2\tlone\xEF\xBF\xBD: [\xEF\xBF\xBD"
              "x]\n"
              "3\tlow\xEF\xBF\xBD: [q\xEF\xBF\xBD]\n"
              "4\t\xEF\xBF\xBD\xEF\xBF\xBD: [reversed]\n",
              "", 0);
}

// A failing query shows empty brackets even though its reply holds the name.
TEST_F(ListTest, NoInterfaceNameShowsEmptyBrackets)
{
    ASSERT_TRUE(platform.startHost({"--service", "q", "--interface", "hidden", "--query-status", "7",
                                    "--service", "r", "--interface", "", "--service", "t", "--interface",
                                    "shown", "--query-status", "0", "--service", "u", "--interface",
                                    "gone", "--query-status", "-32"}));
    expectRun({"list"},
              "Found 4 services:\n"
              "0\tq: []\n"
              "1\tr: []\n"
              "2\tt: [shown]\n"
              "3\tu: []\n",
              "", 0);
}

TEST_F(ListTest, PrintedNameNamesTheSameService)
{
    ASSERT_TRUE(platform.startHost({"--service", "r\\u00e9\\u2603\\ud83d\\ude00", "--interface", "x"}));
    const std::string name = "r\xC3\xA9\xE2\x98\x83\xF0\x9F\x98\x80";
    RunResult listing = TestPlatform::quellix({"list"});
    ASSERT_EQ(listing.out, "Found 1 services:\n0\t" + name + ": [x]\n");
    ASSERT_EQ(listing.exitStatus, 0);

    // The name exactly as list printed it.
    const std::string prefix = "Found 1 services:\n0\t";
    std::string printed = listing.out.substr(prefix.size(), listing.out.find(": [") - prefix.size());
    expectRuns({
        {"check", {"check", printed}, "Service " + name + ": found\n", "", 0},
        {"call", {"call", printed, "1"}, "Result: Parcel(8 bytes: 00000001 00000078 '....x...')\n", "", 0},
    });
}

TEST_F(ListTest, TwoThousandServices)
{
    constexpr int kServices = 2000;
    constexpr int kHosts = 2;
    std::vector<std::string> names;
    for (int host = 0; host < kHosts; ++host) {
        std::vector<std::string> args;
        for (int i = host; i < kServices; i += kHosts) {
            std::string name = "svc." + std::to_string(i);
            names.push_back(name);
            args.insert(args.end(), {"--service", name, "--interface", "if." + std::to_string(i)});
        }
        ASSERT_TRUE(platform.startHost(args));
    }

    // All names are ASCII, so byte order is unit order: svc.0, svc.1,
    // svc.10, svc.100, svc.1000, svc.1001, ...
    std::sort(names.begin(), names.end());
    std::string expected = "Found 2000 services:\n";
    for (size_t i = 0; i < names.size(); ++i)
        expected += std::to_string(i) + "\t" + names[i] + ": [if." + names[i].substr(4) + "]\n";
    ASSERT_EQ(names[3], "svc.100");

    RunResult result = TestPlatform::quellix({"list"});
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out.substr(0, 60), expected.substr(0, 60));
    EXPECT_EQ(result.out.size(), expected.size());
    EXPECT_TRUE(result.out == expected);
}

} // namespace
