// The policy files end to end: a grant written and reloaded lets nobody
// register; a bad file on the next reload keeps it; a grant taken away
// leaves the names registered, and the log says so.
#include "Hostile.h"
#include "Scratch.h"
#include "TestPlatform.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>

namespace {

// Whether a SIGHUP waits for `pid` (shared or its own), as /proc shows.
bool hangupPending(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if ((line.starts_with("ShdPnd:") || line.starts_with("SigPnd:")) &&
            std::stoull(line.substr(7), nullptr, 16) & (1ull << (SIGHUP - 1)))
            return true;
    return false;
}

// Sends SIGHUP and waits until the manager has taken it: it reloads as it
// reads the signal, before it serves anything that comes after.
bool reload(Daemon& manager)
{
    if (kill(manager.pid(), SIGHUP) != 0)
        return false;
    for (int i = 0; i < 500 && hangupPending(manager.pid()); ++i)
        usleep(10000);
    return !hangupPending(manager.pid());
}

TEST(PolicyReloadTest, AGrantReloadedLetsNobodyRegister)
{
    ScratchDir policy;
    Daemon manager;
    ASSERT_TRUE(manager.start(binaryPath("service-manager"), {"--policy-dir", policy.path()})) << manager.error();
    RunResult refused = run(true, "service-host", {"--service", "example.counter"});
    EXPECT_EQ(refused.exitStatus, 1);

    const std::string grant = policy.path() + "/example.conf", bad = policy.path() + "/zz.conf";
    std::ofstream(grant) << "# the example's hosts\nallow nobody prefix example.\n";
    ASSERT_TRUE(reload(manager));
    Daemon counter, second;
    ASSERT_TRUE(startAs(counter, true, "service-host", {"--service", "example.counter"})) << counter.error();
    EXPECT_EQ(TestPlatform::quellix({"list"}).out, "Found 1 services:\n0\texample.counter: [test.IEcho]\n");

    // The grant's file goes, a bad one comes: the policy in force stays.
    std::ofstream(bad) << "allow nobody name other\nallow nobody names x\n";
    ASSERT_EQ(std::remove(grant.c_str()), 0);
    ASSERT_TRUE(reload(manager));
    EXPECT_TRUE(startAs(second, true, "service-host", {"--service", "example.second"})) << second.error();

    // Now the grant goes: its names stay until their hosts go.
    ASSERT_EQ(std::remove(bad.c_str()), 0);
    ASSERT_TRUE(reload(manager));
    EXPECT_EQ(run(true, "service-host", {"--service", "example.third"}).exitStatus, 1);
    EXPECT_EQ(TestPlatform::quellix({"list"}).out,
              "Found 2 services:\n0\texample.counter: [test.IEcho]\n1\texample.second: [test.IEcho]\n");
    EXPECT_EQ(manager.stop(), 0);
    const std::string pid = std::to_string(counter.pid()), log = manager.error();
    const std::string expected[] = {
        "service-manager: refused to register 'example.counter' for pid ",
        "service-manager: policy reloaded: 1 grant from 1 file\n",
        "service-manager: " + bad + ":2: expected 'allow USER name NAME' or 'allow USER prefix PREFIX'\n"
        "service-manager: policy not reloaded; the policy in force stays\n",
        "service-manager: policy reloaded: 0 grants from 0 files\n"
        "service-manager: 'example.counter' of pid " + pid + ", uid 65534 stays registered until its host goes; "
        "the policy no longer grants it\n"
        "service-manager: 'example.second' of pid " + std::to_string(second.pid()) +
        ", uid 65534 stays registered until its host goes; the policy no longer grants it\n",
        "service-manager: refused to register 'example.third' for pid ",
    };
    // In this order.
    size_t at = 0;
    for (const std::string& line : expected) {
        const size_t found = log.find(line, at);
        EXPECT_NE(found, std::string::npos) << line << "\nin:\n" << log;
        at = found == std::string::npos ? at : found;
    }
}

// A bad file at start: the manager serves, with none of the files' grants.
TEST(PolicyReloadTest, ABadFileAtStartAppliesNoFile)
{
    ScratchDir policy;
    std::ofstream(policy.path() + "/a.conf") << "allow nobody prefix example.\n";
    std::ofstream(policy.path() + "/b.conf") << "\nallow nobody\n";
    Daemon manager;
    ASSERT_TRUE(manager.start(binaryPath("service-manager"), {"--policy-dir", policy.path()})) << manager.error();
    EXPECT_EQ(run(true, "service-host", {"--service", "example.counter"}).exitStatus, 1);
    EXPECT_EQ(manager.stop(), 0);
    EXPECT_TRUE(manager.error().starts_with(
        "service-manager: " + policy.path() + "/b.conf:2: expected 'allow USER name NAME' or 'allow USER prefix "
        "PREFIX'\nservice-manager: policy files not applied; until a reload reads them without error, only root, "
        "the manager's own uid and the uids of --allow-register may register\n"
        "service-manager: ready, serving @quellix.service-manager\n"))
        << manager.error();
}

} // namespace
