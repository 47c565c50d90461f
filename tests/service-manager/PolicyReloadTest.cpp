// The policy files end to end, as nobody: a bad file at start applies no
// file; a grant reloaded lets nobody register; a bad file on the next
// reload keeps it; a grant taken away leaves its names, and the log says so.
#include "Hostile.h"
#include "Scratch.h"
#include "TestPlatform.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>

namespace {

// Sends SIGHUP and waits until the manager has read it (no longer pending
// in /proc): it reloads then, before it serves anything that comes later.
bool reload(Daemon& manager)
{
    kill(manager.pid(), SIGHUP);
    for (int i = 0; i < 500; ++i, usleep(10000)) {
        std::ifstream status("/proc/" + std::to_string(manager.pid()) + "/status");
        bool pending = false;
        for (std::string line; std::getline(status, line);)
            pending |= line.starts_with("ShdPnd:") && std::stoull(line.substr(7), nullptr, 16) & (1u << (SIGHUP - 1));
        if (!pending)
            return true;
    }
    return false;
}

TEST(PolicyReloadTest, AGrantReloadedLetsNobodyRegister)
{
    ScratchDir policy;
    const std::string grant = policy.path() + "/example.conf", bad = policy.path() + "/zz.conf";
    const std::string expected = ": expected 'allow USER name NAME' or 'allow USER prefix PREFIX'\n";
    std::ofstream(bad) << "allow nobody name other\nallow nobody names x\n";
    Daemon manager, counter, second;
    ASSERT_TRUE(manager.start(binaryPath("service-manager"), {"--policy-dir", policy.path()})) << manager.error();
    EXPECT_EQ(run(true, "service-host", {"--service", "other"}).exitStatus, 1);

    std::ofstream(grant) << "allow nobody prefix example.\n";
    ASSERT_EQ(std::remove(bad.c_str()), 0);
    ASSERT_TRUE(reload(manager));
    ASSERT_TRUE(startAs(counter, true, "service-host", {"--service", "example.counter"})) << counter.error();
    EXPECT_EQ(TestPlatform::quellix({"list"}).out, "Found 1 services:\n0\texample.counter: [test.IEcho]\n");

    std::ofstream(bad) << "allow nobody name other\nallow nobody names x\n";
    ASSERT_EQ(std::remove(grant.c_str()), 0);
    ASSERT_TRUE(reload(manager));
    EXPECT_TRUE(startAs(second, true, "service-host", {"--service", "example.second"})) << second.error();

    ASSERT_EQ(std::remove(bad.c_str()), 0);
    ASSERT_TRUE(reload(manager));
    EXPECT_EQ(run(true, "service-host", {"--service", "example.third"}).exitStatus, 1);
    EXPECT_EQ(TestPlatform::quellix({"list"}).out,
              "Found 2 services:\n0\texample.counter: [test.IEcho]\n1\texample.second: [test.IEcho]\n");
    EXPECT_EQ(manager.stop(), 0);
    const std::string stays = ", uid 65534 stays registered until its host goes; the policy no longer grants it\n";
    const std::string lines[] = {
        "service-manager: " + bad + ":2" + expected + "service-manager: policy files not applied; until a reload "
        "reads them without error, only root, the manager's own uid and the uids of --allow-register may register\n"
        "service-manager: ready, serving @quellix.service-manager\n",
        "service-manager: refused to register 'other' for pid ",
        "service-manager: policy reloaded: 1 grant from 1 file\n",
        "service-manager: " + bad + ":2" + expected + "service-manager: policy not reloaded; the policy in force stays\n",
        "service-manager: policy reloaded: 0 grants from 0 files\nservice-manager: 'example.counter' of pid " +
            std::to_string(counter.pid()) + stays + "service-manager: 'example.second' of pid " +
            std::to_string(second.pid()) + stays,
        "service-manager: refused to register 'example.third' for pid ",
    };
    size_t at = 0; // in this order
    for (const std::string& line : lines) {
        const size_t found = manager.error().find(line, at);
        EXPECT_NE(found, std::string::npos) << line << "\nin:\n" << manager.error();
        at = found == std::string::npos ? at : found;
    }
}

} // namespace
