// Thousands of generated command lines against a running platform: none
// may crash quellix or break the invariants of Invariants.h. The seed is
// printed with every failure; QUELLIX_RELIABILITY_SEED=N runs the same
// lines again.
#include "CommandLines.h"
#include "Invariants.h"
#include "Reliability.h"
#include "TestPlatform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <thread>

namespace {

constexpr size_t kParallelRuns = 4;
constexpr size_t kFailuresShown = 10;

uint64_t chooseSeed()
{
    if (const char* given = std::getenv("QUELLIX_RELIABILITY_SEED"))
        return std::strtoull(given, nullptr, 10);
    std::random_device device;
    return (uint64_t(device()) << 32) | device();
}

struct Tally {
    std::mutex lock;
    std::map<int, size_t> byStatus; // exit status, or -signal
    size_t words = 0;
    size_t bytes = 0;
    size_t failedLines = 0;
    std::vector<std::string> failures;
};

void runLine(CommandLineGenerator& generator, uint64_t index, Tally* tally)
{
    std::vector<std::string> args = generator.line(index);
    RunResult result = runProgram(binaryPath("quellix"), args, 20s);
    std::vector<std::string> violations = invariantViolations(result, binaryPath("quellix"));
    size_t bytes = 0;
    for (const std::string& a : args)
        bytes += a.size();

    std::lock_guard<std::mutex> hold(tally->lock);
    ++tally->byStatus[result.signal ? -result.signal : result.exitStatus];
    tally->words += args.size();
    tally->bytes += bytes;
    if (violations.empty())
        return;
    ++tally->failedLines;
    if (tally->failures.size() >= kFailuresShown)
        return;
    std::string report = "line " + std::to_string(index) + ": quellix " + describe(args);
    for (const std::string& v : violations)
        report += "\n    " + v;
    report += "\n    stdout: " + describe({result.out.substr(0, 300)});
    report += "\n    stderr: " + describe({result.err.substr(0, 300)});
    tally->failures.push_back(report);
}

std::string statusSummary(const std::map<int, size_t>& byStatus)
{
    std::string text;
    for (const auto& [status, count] : byStatus) {
        text += text.empty() ? "" : ", ";
        text += (status < 0 ? "signal " + std::to_string(-status) : "exit " + std::to_string(status)) + ": " +
                grouped(count);
    }
    return text;
}

TEST(CommandLinePropertyTest, GeneratedLinesKeepTheInvariants)
{
    TestPlatform platform;
    ASSERT_TRUE(platform.startManager()) << platform.manager().error();
    ASSERT_TRUE(platform.startHost({"--service", "echo", "--service", "echo.failing", "--status", "5", "--service",
                                    "echo.unnamed", "--interface", "", "--service", "echo.\\u00e9", "--interface",
                                    "x"}))
        << "the echo services did not start";

    const uint64_t seed = chooseSeed();
    const size_t lines = scaled(sanitized() ? 150 : 1500, 100000);
    CommandLineGenerator generator(seed, {"echo", "echo.failing", "echo.unnamed", "echo.\xC3\xA9", "absent", ""});
    Tally tally;
    std::atomic<uint64_t> next{0};
    Stopwatch watch;
    std::vector<std::thread> runners;
    for (size_t i = 0; i < kParallelRuns; ++i)
        runners.emplace_back([&] {
            for (uint64_t index = next++; index < lines; index = next++)
                runLine(generator, index, &tally);
        });
    for (std::thread& runner : runners)
        runner.join();
    double seconds = watch.seconds();

    std::string shown;
    for (const std::string& f : tally.failures)
        shown += f + "\n";
    EXPECT_EQ(tally.failedLines, 0u) << "seed " << seed << " (QUELLIX_RELIABILITY_SEED=" << seed
                                     << " makes the same lines); " << tally.failedLines << " of " << lines
                                     << " lines broke an invariant, the first ones:\n"
                                     << shown;
    record({"bad inputs tried", "generated command lines against echo services (seed " + std::to_string(seed) + ")",
            grouped(lines) + " lines, " + grouped(tally.words) + " words, " + grouped(tally.bytes) + " bytes; " +
                statusSummary(tally.byStatus),
            grouped(tally.failedLines) + " lines breaking an invariant", seconds});
}

} // namespace
