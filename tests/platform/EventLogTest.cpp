#include "EventLog.h"
#include "LogEscape.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr uid_t kOwnUid = 999;
constexpr uint64_t kTick = ~uint64_t(0);
constexpr auto W = LogPriority::kWarning, I = LogPriority::kInfo;

// At `second`, `uid` writes `text` `times` times with `key`, or the log
// ticks when `key` is kTick.
struct Step {
    int second;
    uid_t uid;
    uint64_t key;
    LogPriority priority;
    const char* text;
    int times;
};

// A line the sink gets, "<N>TEXT", `times` times in a row.
struct Lines {
    std::string line;
    int times;
};

struct LogCase {
    const char* name;
    std::vector<Step> steps;
    std::vector<Lines> expected;
};

Step tickAt(int second) { return {second, 0, kTick, I, "", 1}; }

const LogCase kLogCases[] = {
    {"floodOfOneUidSparesOtherUidsAndPrivileged",
     {{0, 1000, 0, W, "flood", 25}, {1, 1001, 0, W, "other", 1}, {1, 0, 0, W, "root", 1},
      {1, kOwnUid, 0, I, "own", 1}, tickAt(9), tickAt(10)},
     {{"<4>flood", 20}, {"<4>other", 1}, {"<4>root", 1}, {"<6>own", 1},
      {"<4>5 more log lines held back for uid 1000", 1}}},
    {"heldBackCountedPerUidWithPlurals",
     {{0, 1000, 0, I, "a", 21}, {0, 1001, 0, I, "b", 22}, tickAt(10)},
     {{"<6>a", 20}, {"<6>b", 20}, {"<6>1 more log line held back for uid 1000", 1},
      {"<6>2 more log lines held back for uid 1001", 1}}},
    {"heldBackCountAtItsMostSeverePriority",
     {{0, 1000, 0, I, "a", 21}, {0, 1000, 0, LogPriority::kError, "b", 1}, tickAt(10)},
     {{"<6>a", 20}, {"<3>2 more log lines held back for uid 1000", 1}}},
    {"countWrittenWhenTheUidWritesAgainBeforeATick",
     {{0, 1000, 0, I, "a", 21}, {10, 1000, 0, I, "b", 1}},
     {{"<6>a", 20}, {"<6>1 more log line held back for uid 1000", 1}, {"<6>b", 1}}},
    {"privilegedNeverHeldBack", {{0, 0, 0, I, "root", 30}, tickAt(10)}, {{"<6>root", 30}}},
    {"repeatFoldedIntoOneLineAndACount",
     {{0, 1000, 7, W, "bad version", 200}, tickAt(9), tickAt(10)},
     {{"<4>bad version", 1}, {"<4>bad version (repeated 199 more times)", 1}}},
    {"repeatOnceSingular", {{0, 1000, 7, W, "bad", 2}, tickAt(10)},
     {{"<4>bad", 1}, {"<4>bad (repeated 1 more time)", 1}}},
    {"repeatOfRootFoldedToo", {{0, 0, 7, W, "bad", 3}, tickAt(10)},
     {{"<4>bad", 1}, {"<4>bad (repeated 2 more times)", 1}}},
    {"otherKeysAndUidsNotFolded",
     {{0, 1000, 7, W, "a", 1}, {0, 1000, 8, W, "b", 1}, {0, 1001, 7, W, "c", 1}, tickAt(10)},
     {{"<4>a", 1}, {"<4>b", 1}, {"<4>c", 1}}},
    {"repeatAfterItsWindowIsANewLine", {{0, 1000, 7, W, "a", 1}, {10, 1000, 7, W, "a", 1}}, {{"<4>a", 2}}},
    {"repeatCountSpendsTheBudget",
     {{0, 1000, 7, W, "r", 2}, {1, 1000, 0, W, "x", 19}, tickAt(10), {11, 1000, 0, W, "y", 20}, tickAt(20)},
     {{"<4>r", 1}, {"<4>x", 19}, {"<4>r (repeated 1 more time)", 1}, {"<4>y", 19},
      {"<4>1 more log line held back for uid 1000", 1}}},
};

class EventLogCase : public testing::TestWithParam<LogCase> {};

TEST_P(EventLogCase, WritesTheseLines)
{
    EventLog::Clock::time_point now{};
    std::vector<std::string> lines;
    EventLog log(kOwnUid, [&now] { return now; });
    log.setSink([&lines](LogPriority priority, const std::string& text) {
        lines.push_back("<" + std::to_string(int(priority)) + ">" + text);
    });
    for (const Step& step : GetParam().steps) {
        now = EventLog::Clock::time_point{} + std::chrono::seconds(step.second);
        for (int i = 0; i < step.times; ++i) {
            if (step.key == kTick)
                log.tick();
            else
                log.write(step.priority, step.uid, step.key, "%s", step.text);
        }
    }
    std::vector<std::string> expected;
    for (const Lines& each : GetParam().expected)
        expected.insert(expected.end(), size_t(each.times), each.line);
    EXPECT_EQ(lines, expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, EventLogCase, testing::ValuesIn(kLogCases),
                         [](const auto& each) { return std::string(each.param.name); });

TEST(EventLogTest, NewUidPastTheBoundEndsTheOldestWindowWithItsCount)
{
    EventLog::Clock::time_point now{};
    std::vector<std::string> lines;
    EventLog log(kOwnUid, [&now] { return now; });
    log.setSink([&lines](LogPriority, const std::string& text) { lines.push_back(text); });
    for (uid_t uid = 10000; uid < 10000 + EventLog::kMaxUids; ++uid) {
        for (size_t i = 0; i <= EventLog::kLinesPerWindow; ++i)
            log.write(I, uid, 0, "x");
        now += 1ms;
    }
    log.write(I, 50000, 0, "newcomer");
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "1 more log line held back for uid 10000");
    EXPECT_EQ(lines.back(), "newcomer");
}

TEST(EventLogTest, OldEntryPointSharesOneBudgetAtInfo)
{
    EventLog::Clock::time_point now{};
    std::vector<std::string> lines;
    EventLog log(kOwnUid, [&now] { return now; });
    log.setSink([&lines](LogPriority priority, const std::string& text) {
        lines.push_back(std::to_string(int(priority)) + text);
    });
    for (size_t i = 0; i <= EventLog::kLinesPerWindow; ++i)
        log.write("old %d", 1);
    log.write(W, 1000, 0, "new");
    now += EventLog::kWindow;
    log.tick();
    std::vector<std::string> expected(EventLog::kLinesPerWindow, "6old 1");
    expected.insert(expected.end(), {"4new", "61 more log line held back"});
    EXPECT_EQ(lines, expected);
}

struct EscapeCase {
    const char* name;
    std::u16string text;
    std::string shown;
};

const EscapeCase kEscapeCases[] = {
    {"plainAscii", u"demo.echo-1_x", "demo.echo-1_x"},
    {"forgedQuote", u"x' for pid 1, uid 0: status -17", "x\\' for pid 1, uid 0: status -17"},
    {"newline", u"a\nb\rc", "a\\x0ab\\x0dc"},
    {"nulAndDelete", {u'a', 0, 0x7F}, "a\\x00\\x7f"},
    {"backslash", u"a\\x41", "a\\\\x41"},
    {"c1Csi", u"a\u009b" "2J", "a\\u009b2J"},
    {"nextLine", u"a\u0085", "a\\u0085"},
    {"lineAndParagraphSeparators", u"\u2028\u2029", "\\u2028\\u2029"},
    {"bidirectionalControls", u"\u202e\u2066\u061c\u200f", "\\u202e\\u2066\\u061c\\u200f"},
    {"loneSurrogate", {u'a', 0xD800, u'b'}, "a\\ud800b"},
    {"nonAsciiLetterAndPair", u"\u00e9\U0001F600", "\\u00e9\\ud83d\\ude00"},
    {"longCut", std::u16string(200, u'a'), std::string(kMaxEscapedForLog, 'a') + "..."},
    {"exactlyTheBound", std::u16string(kMaxEscapedForLog, u'a'), std::string(kMaxEscapedForLog, 'a')},
    {"cutBetweenEscapes", std::u16string(kMaxEscapedForLog - 3, u'a') + u"\u00e9",
     std::string(kMaxEscapedForLog - 3, 'a') + "..."},
};

class EscapeForLogCase : public testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeForLogCase, ShowsAsciiOnly)
{
    EXPECT_EQ(escapeForLog(String16(GetParam().text)), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Cases, EscapeForLogCase, testing::ValuesIn(kEscapeCases),
                         [](const auto& each) { return std::string(each.param.name); });

TEST(LogLineTest, JournalPrefixOnlyForTheJournal)
{
    EXPECT_EQ(formatLogLine(LogPriority::kWarning, "daemon", "refused", true), "<4>daemon: refused\n");
    EXPECT_EQ(formatLogLine(LogPriority::kError, "daemon", "stopped", true), "<3>daemon: stopped\n");
    EXPECT_EQ(formatLogLine(LogPriority::kInfo, "daemon", "ready", true), "<6>daemon: ready\n");
    EXPECT_EQ(formatLogLine(LogPriority::kWarning, "daemon", "refused", false), "daemon: refused\n");
    EXPECT_EQ(formatLogLine(LogPriority::kInfo, "d", "a\nb\xc2\x9b", false), "d: a\\x0ab\\xc2\\x9b\n");
}

TEST(LogLineTest, JournalStreamNamesTheFileOfTheDescriptor)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    struct stat status;
    ASSERT_EQ(fstat(fds[1], &status), 0);
    const std::string device = std::to_string(status.st_dev), inode = std::to_string(status.st_ino);
    EXPECT_TRUE(isJournalStream(fds[1], (device + ":" + inode).c_str()));
    EXPECT_FALSE(isJournalStream(fds[1], (device + ":" + std::to_string(status.st_ino + 1)).c_str()));
    EXPECT_FALSE(isJournalStream(fds[1], (device + ":" + inode + "x").c_str()));
    EXPECT_FALSE(isJournalStream(fds[1], ""));
    EXPECT_FALSE(isJournalStream(fds[1], nullptr));
    close(fds[0]);
    close(fds[1]);
    EXPECT_FALSE(isJournalStream(fds[1], (device + ":" + inode).c_str()));
}

} // namespace
