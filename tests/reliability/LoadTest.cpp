// Load: many names over several hosts, listed completely and in order, and
// loops of quellix calls running at the same time, each reply checked.
#include "ParcelText.h"
#include "Reliability.h"
#include "TestPlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <thread>

namespace {

std::string serviceName(size_t host, size_t index)
{
    char name[64];
    std::snprintf(name, sizeof name, "load.h%zu.n%06zu", host, index);
    return name;
}

std::string interfaceName(size_t host) { return "load.IHost" + std::to_string(host); }

// Starts `hosts` hosts with `names` names between them (the names on one
// command line stay well below the kernel's limit on argv).
// A host that does not get ready is a fatal failure: callers wrap this in
// ASSERT_NO_FATAL_FAILURE, so that nothing is measured without it.
void startHosts(TestPlatform& platform, size_t hosts, size_t names)
{
    for (size_t h = 0; h < hosts; ++h) {
        std::vector<std::string> args;
        for (size_t i = h; i < names; i += hosts)
            args.insert(args.end(), {"--service", serviceName(h, i), "--interface", interfaceName(h)});
        ASSERT_TRUE(platform.startHost(args)) << "host " << h << " did not register its names";
    }
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

TEST(LoadTest, ManyNamesAreListedCompletely)
{
    const size_t hosts = scaled(4, 8);
    const size_t names = scaled(5000, 100000);
    TestPlatform platform;
    ASSERT_TRUE(platform.startManager()) << platform.manager().error();
    Stopwatch registering;
    ASSERT_NO_FATAL_FAILURE(startHosts(platform, hosts, names));
    double registered = registering.seconds();

    // Sorted by UTF-16 units, which for ASCII is byte order.
    std::vector<std::pair<std::string, size_t>> expected;
    for (size_t i = 0; i < names; ++i)
        expected.emplace_back(serviceName(i % hosts, i), i % hosts);
    std::sort(expected.begin(), expected.end());

    Stopwatch listing;
    RunResult list = TestPlatform::quellix({"list"});
    double listed = listing.seconds();
    EXPECT_EQ(list.exitStatus, 0);
    EXPECT_EQ(list.err, "");
    std::vector<std::string> got = lines(list.out);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0], "Found " + std::to_string(names) + " services:");
    size_t wrong = 0;
    for (size_t i = 0; i < names; ++i) {
        std::string want = std::to_string(i) + "\t" + expected[i].first + ": [" + interfaceName(expected[i].second) + "]";
        if (i + 1 >= got.size() || got[i + 1] != want) {
            if (wrong++ < 5)
                ADD_FAILURE() << "line " << i + 1 << ": want \"" << want << "\", got \""
                              << (i + 1 < got.size() ? got[i + 1] : "(missing)") << "\"";
        }
    }
    size_t extra = got.size() > names + 1 ? got.size() - names - 1 : 0;
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(extra, 0u);
    record({"load held", "names registered", grouped(names) + " names across " + grouped(hosts) + " hosts",
            "0 refused (every host said ready)", registered});
    record({"load held", "names listed by quellix list",
            grouped(names) + " lines, each with its interface name",
            grouped(wrong) + " missing or wrong, " + grouped(extra) + " extra", listed});
}

TEST(LoadTest, ConcurrentCallLoopsGetTheirOwnReplies)
{
    const size_t loops = scaled(4, 8);
    const size_t calls = scaled(sanitized() ? 25 : 100, 1000);
    const size_t hosts = 4, names = 32;
    TestPlatform platform;
    ASSERT_TRUE(platform.startManager()) << platform.manager().error();
    ASSERT_NO_FATAL_FAILURE(startHosts(platform, hosts, names));

    std::vector<size_t> wrong(loops, 0);
    std::vector<std::string> firstWrong(loops);
    Stopwatch watch;
    std::vector<std::thread> runners;
    for (size_t loop = 0; loop < loops; ++loop)
        runners.emplace_back([&, loop] {
            for (size_t call = 0; call < calls; ++call) {
                size_t n = (loop * calls + call) % names;
                int32_t value = int32_t(loop * 1000000 + call);
                std::string text = "loop " + std::to_string(loop) + " call " + std::to_string(call);
                Parcel sent;
                sent.writeInterfaceToken(String16(interfaceName(n % hosts).c_str()));
                sent.writeInt32(value);
                sent.writeString16(String16(text.c_str()));
                RunResult result = TestPlatform::quellix(
                    {"call", serviceName(n % hosts, n), std::to_string(call), "i32", std::to_string(value), "s16", text});
                if (result.out != echoedCall(sent) || !result.err.empty() || result.exitStatus != 0) {
                    if (wrong[loop]++ == 0)
                        firstWrong[loop] = text + ": " + result.out + result.err;
                }
            }
        });
    for (std::thread& runner : runners)
        runner.join();
    double seconds = watch.seconds();

    size_t total = 0;
    for (size_t loop = 0; loop < loops; ++loop) {
        EXPECT_EQ(wrong[loop], 0u) << "loop " << loop << ", first: " << firstWrong[loop];
        total += wrong[loop];
    }
    record({"load held", "concurrent quellix call loops",
            grouped(loops) + " loops x " + grouped(calls) + " calls over " + grouped(names) + " services on " +
                grouped(hosts) + " hosts",
            grouped(total) + " replies wrong or missing", seconds});
}

} // namespace
