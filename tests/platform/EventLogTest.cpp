#include "EventLog.h"
#include "LogEscape.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uid_t kOwnUid = 999;
constexpr uint64_t kTick = ~uint64_t(0);
constexpr auto E = LogPriority::kError, W = LogPriority::kWarning, I = LogPriority::kInfo;

// A log on a clock that the test sets, whose sink keeps "<N>TEXT" lines.
struct TestLog {
    EventLog::Clock::time_point now{};
    std::vector<std::string> lines;
    EventLog log{kOwnUid, [this] { return now; }};
    TestLog()
    {
        log.setSink([this](LogPriority priority, const std::string& text) {
            lines.push_back("<" + std::to_string(int(priority)) + ">" + text);
        });
    }
};

// At `second`, `uid` writes `text` `times` times with `key` (kTick: the log
// ticks instead).
struct Step {
    int second;
    uid_t uid;
    uint64_t key;
    LogPriority priority;
    const char* text;
    int times = 1;
};

struct LogCase {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::pair<std::string, int>> lines; // each line, so many times in a row
};

const Step kTickAt10 = {10, 0, kTick, I, ""};

const LogCase kLogCases[] = {
    {"floodOfOneUidSparesOtherUidsAndPrivileged",
     {{0, 1000, 0, W, "flood", 25}, {1, 1001, 0, W, "other"}, {1, 0, 0, W, "root", 25}, {1, kOwnUid, 0, I, "own"},
      {9, 0, kTick, I, ""}, kTickAt10},
     {{"<4>flood", 20}, {"<4>other", 1}, {"<4>root", 25}, {"<6>own", 1}, {"<4>5 more log lines held back for uid 1000", 1}}},
    {"heldBackCountedPerUidAtItsMostSeverePriority",
     {{0, 1000, 0, I, "a", 21}, {0, 1001, 0, I, "b", 21}, {0, 1001, 0, E, "c"}, kTickAt10},
     {{"<6>a", 20}, {"<6>b", 20}, {"<6>1 more log line held back for uid 1000", 1},
      {"<3>2 more log lines held back for uid 1001", 1}}},
    {"countWrittenWhenTheUidWritesAgainBeforeATick", {{0, 1000, 0, I, "a", 21}, {10, 1000, 0, I, "b"}},
     {{"<6>a", 20}, {"<6>1 more log line held back for uid 1000", 1}, {"<6>b", 1}}},
    {"repeatFoldedIntoOneLineAndACount",
     {{0, 1000, 7, W, "bad", 200}, {0, 1000, 8, W, "other key"}, {0, 1001, 7, W, "other uid", 2}, kTickAt10},
     {{"<4>bad", 1}, {"<4>other key", 1}, {"<4>other uid", 1}, {"<4>bad (repeated 199 more times)", 1},
      {"<4>other uid (repeated 1 more time)", 1}}},
    {"repeatAfterItsWindowIsANewLine", {{0, 1000, 7, W, "a"}, {10, 1000, 7, W, "a"}}, {{"<4>a", 2}}},
    {"repeatCountSpendsTheBudget",
     {{0, 1000, 7, W, "r", 2}, {1, 1000, 0, W, "x", 19}, kTickAt10, {11, 1000, 0, W, "y", 20}, {20, 0, kTick, I, ""}},
     {{"<4>r", 1}, {"<4>x", 19}, {"<4>r (repeated 1 more time)", 1}, {"<4>y", 19},
      {"<4>1 more log line held back for uid 1000", 1}}},
};

class EventLogCase : public testing::TestWithParam<LogCase> {};

TEST_P(EventLogCase, WritesTheseLines)
{
    TestLog test;
    for (const Step& step : GetParam().steps) {
        test.now = EventLog::Clock::time_point{} + std::chrono::seconds(step.second);
        for (int i = 0; i < step.times; ++i)
            step.key == kTick ? test.log.tick() : test.log.write(step.priority, step.uid, step.key, "%s", step.text);
    }
    std::vector<std::string> expected;
    for (const auto& [line, times] : GetParam().lines)
        expected.insert(expected.end(), size_t(times), line);
    EXPECT_EQ(test.lines, expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, EventLogCase, testing::ValuesIn(kLogCases),
                         [](const auto& each) { return std::string(each.param.name); });

TEST(EventLogTest, NewUidPastTheBoundEndsTheOldestWindowWithItsCount)
{
    TestLog test;
    for (uid_t uid = 10000; uid < 10000 + EventLog::kMaxUids; ++uid, test.now += std::chrono::milliseconds(1))
        for (size_t i = 0; i <= EventLog::kLinesPerWindow; ++i)
            test.log.write(I, uid, 0, "x");
    test.log.write(I, 50000, 0, "newcomer");
    const std::vector<std::string> last(test.lines.end() - 2, test.lines.end());
    EXPECT_EQ(last, (std::vector<std::string>{"<6>1 more log line held back for uid 10000", "<6>newcomer"}));
}

TEST(EventLogTest, NewKeyPastTheBoundEndsTheOldestRepeatWithItsCount)
{
    TestLog test;
    for (uint64_t key = 1; key <= EventLog::kMaxRepeats; ++key, test.now += std::chrono::milliseconds(1))
        for (int i = 0; i < 2; ++i)
            test.log.write(I, 0, key, "key %llu", (unsigned long long)key);
    test.log.write(I, 0, 50000, "newcomer");
    const std::vector<std::string> last(test.lines.end() - 2, test.lines.end());
    EXPECT_EQ(last, (std::vector<std::string>{"<6>key 1 (repeated 1 more time)", "<6>newcomer"}));
}

TEST(EventLogTest, FlushWritesEveryCountAtOnce)
{
    TestLog test;
    for (size_t i = 0; i <= EventLog::kLinesPerWindow + 1; ++i)
        test.log.write(W, 1000, i < 2 ? 7 : EventLog::kNoKey, "x");
    test.log.writeOwn(E, "own");
    test.log.flush();
    std::vector<std::string> expected(EventLog::kLinesPerWindow, "<4>x");
    expected.insert(expected.end(), {"<3>own", "<4>2 more log lines held back for uid 1000"});
    EXPECT_EQ(test.lines, expected);
}

struct EscapeCase {
    const char* name;
    std::u16string text;
    std::string shown;
};

const EscapeCase kEscapeCases[] = {
    {"plainAscii", u"demo.echo-1_x", "demo.echo-1_x"},
    {"forgedQuote", u"x' for pid 1, uid 0", "x\\' for pid 1, uid 0"},
    {"c0AndDelete", {u'a', u'\n', u'\r', 0, 0x7F}, "a\\x0a\\x0d\\x00\\x7f"},
    {"backslash", u"a\\x41", "a\\\\x41"},
    {"c1Csi", u"a\u009b" "2J", "a\\u009b2J"},
    {"nextLineAndSeparators", u"\u0085\u2028\u2029", "\\u0085\\u2028\\u2029"},
    {"bidirectionalControls", u"\u202e\u2066\u061c\u200f", "\\u202e\\u2066\\u061c\\u200f"},
    {"loneSurrogate", {u'a', 0xD800, u'b'}, "a\\ud800b"},
    {"nonAsciiLetterAndPair", u"\u00e9\U0001F600", "\\u00e9\\ud83d\\ude00"},
    {"exactlyTheBound", std::u16string(kMaxEscapedForLog, u'a'), std::string(kMaxEscapedForLog, 'a')},
    {"longCut", std::u16string(kMaxEscapedForLog + 1, u'a'), std::string(kMaxEscapedForLog, 'a') + "..."},
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

// (The daemons' lines with and without the journal: ServiceManagerTest.)
TEST(LogLineTest, EveryByteOutsidePrintableAsciiIsEscaped)
{
    EXPECT_EQ(formatLogLine(E, "d", "a\nb\xc2\x9b\x7f~ ", true), "<3>d: a\\x0ab\\xc2\\x9b\\x7f~ \n");
}

TEST(LogLineTest, JournalStreamNamesTheFileOfTheDescriptor)
{
    int fds[2], others[2];
    struct stat status;
    ASSERT_TRUE(pipe(fds) == 0 && pipe(others) == 0 && fstat(fds[1], &status) == 0);
    const std::string named = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
    EXPECT_TRUE(isJournalStream(fds[1], named.c_str()));
    EXPECT_FALSE(isJournalStream(others[1], named.c_str()));
    for (const char* other : std::initializer_list<const char*>{"", "1:2", "x", nullptr})
        EXPECT_FALSE(isJournalStream(fds[1], other)) << (other ? other : "null");
    EXPECT_FALSE(isJournalStream(fds[1], (named + "x").c_str()));
    for (int fd : {fds[0], fds[1], others[0], others[1]})
        close(fd);
    EXPECT_FALSE(isJournalStream(fds[1], named.c_str()));
}

} // namespace
