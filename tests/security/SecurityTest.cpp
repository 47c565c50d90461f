// The platform against a local user who misbehaves. What `nobody` does runs
// through setpriv, in this test's network namespace, against root's daemons
// (or nobody's own).
#include "Hostile.h"
#include "ProcessProbe.h"
#include "RawClient.h"
#include "Reliability.h"
#include "Scratch.h"
#include "TestPlatform.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <future>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char kNoManager[] = "quellix: Unable to get default service manager!\n";

TEST(SecurityTest, OnlyAllowedUidsRegister)
{
    struct Case {
        const char* name;
        std::vector<std::string> managerArgs;
        std::vector<std::string> hostArgs;
        int status;
        std::string err;
        bool pastTheCap; // reported as its own threat
    };
    const Case cases[] = {
        {"a squat refused", {}, {"--service", "demo.greeter"}, 1,
         "service-host: cannot register 'demo.greeter': permission denied: the service manager does not let "
         "this uid register names (status -1)\n", false},
        {"an allowed uid registers", {"--allow-register", "65534"}, {"--service", "mine"}, 0, "", false},
        {"past its names", {"--allow-register", "65534", "--max-names-per-connection", "1"},
         {"--service", "one", "--service", "two"}, 1,
         "service-host: cannot register 'two': this uid may register no more names (status -24)\n", true},
    };
    Stopwatch watch;
    size_t squats = 0, pastCap = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        size_t& wrong = c.pastTheCap ? pastCap : squats;
        Daemon manager;
        ASSERT_TRUE(manager.start(binaryPath("service-manager"), c.managerArgs)) << manager.error();
        if (c.status == 0) {
            Daemon allowed;
            EXPECT_TRUE(startAs(allowed, true, "service-host", c.hostArgs)) << allowed.error();
            wrong += !allowed.running();
            continue;
        }
        RunResult refused = run(true, "service-host", c.hostArgs);
        EXPECT_EQ(refused.exitStatus, c.status);
        EXPECT_EQ(refused.err, c.err);
        wrong += refused.exitStatus == 0;
    }
    // Root's services, open to every uid, answer nobody.
    TestPlatform platform;
    ASSERT_TRUE(platform.startManager());
    ASSERT_TRUE(platform.startHost({}));
    RunResult call = run(true, "quellix", {"call", "demo.greeter", "1", "s16", "x"});
    EXPECT_EQ(call.out, "Result: Parcel(24 bytes: 00000009 00650048 006c006c 002c006f 00780020 00000021 "
                        "'....H.e.l.l.o.,. .x.!...')\n");
    EXPECT_EQ(call.exitStatus, 0);
    threat("name squatting by another uid", "registration only for root, the manager's uid and --allow-register",
           grouped(squats) + " squats let through", watch.seconds());
    threat("one connection registering names without bound",
           "names per connection capped for unprivileged uids; listings come in pages",
           grouped(pastCap) + " names let through past a cap of one", watch.seconds());
}

TEST(SecurityTest, AnImpostorManagerIsRefused)
{
    Stopwatch watch;
    Daemon impostor;
    ASSERT_TRUE(startAs(impostor, true, "service-manager", {})) << impostor.error();
    const std::string who = "pid " + std::to_string(impostor.pid()) + ", uid 65534";

    RunResult list = run(false, "quellix", {"list"});
    EXPECT_EQ(list.err, kNoManager);
    EXPECT_EQ(list.exitStatus, 20);
    Daemon host;
    EXPECT_FALSE(host.start(binaryPath("service-host"), {}));
    EXPECT_EQ(host.error(), "service-host: refusing the service manager address held by " + who +
                                " (neither root nor this user)\n");
    Daemon manager;
    EXPECT_FALSE(manager.start(binaryPath("service-manager"), {}));
    EXPECT_EQ(manager.error(), "service-manager: another service manager is already running (" + who + ")\n");

    // Its own user's tools use it.
    Daemon own;
    ASSERT_TRUE(startAs(own, true, "service-host", {"--service", "nobodys"})) << own.error();
    RunResult ownList = run(true, "quellix", {"list"});
    EXPECT_EQ(ownList.out, "Found 1 services:\n0\tnobodys: [test.IEcho]\n");
    threat("an impostor service manager on the abstract address",
           "clients accept only a manager of uid 0 or their own; the real manager names the holder",
           std::string(list.exitStatus == 20 ? "root's quellix exited 20" : "root's quellix used it"),
           watch.seconds());
}

TEST(SecurityTest, AllowUidIsHonouredBothWays)
{
    TestPlatform platform;
    ASSERT_TRUE(platform.startManager());
    ASSERT_TRUE(platform.startHost({"--service", "for.root", "--allow-uid", "0", "--service", "for.nobody",
                                    "--allow-uid", "65534"}));
    const std::string served = "Result: Parcel(28 bytes: 0000000a 00650074 00740073 0049002e 00630045 "
                               "006f0068 00000000 '....t.e.s.t...I.E.c.h.o.....')\n";
    struct Case {
        bool nobody;
        const char* service;
        bool allowed;
    };
    Stopwatch watch;
    size_t wrong = 0;
    for (const Case& c : {Case{false, "for.root", true}, Case{true, "for.root", false},
                          Case{true, "for.nobody", true}, Case{false, "for.nobody", false}}) {
        SCOPED_TRACE(std::string(c.nobody ? "nobody" : "root") + " calls " + c.service);
        RunResult result = run(c.nobody, "quellix", {"call", c.service, "1"});
        EXPECT_EQ(result.out, c.allowed ? served : "Result: Parcel(0 bytes)\n");
        EXPECT_EQ(result.err, c.allowed ? "" : "quellix: Transaction failed with status -1\n");
        EXPECT_EQ(result.exitStatus, c.allowed ? 0 : 10);
        wrong += result.exitStatus != (c.allowed ? 0 : 10);
    }
    threat("no caller identity", "the manager hands each client's credentials to the host; --allow-uid",
           grouped(wrong) + " of 4 calls answered wrongly", watch.seconds());
}

// Connections that hold the manager at its descriptor limit, opened by a
// child as `uid`; a legitimate listing still goes through at once.
TEST(SecurityTest, IdleFloodsDoNotBlockAListing)
{
    const size_t connections = 2000;
    DescriptorLimit ours(connections + 256);
    ASSERT_GE(ours.current(), connections + 64);
    for (uid_t uid : {uid_t(0), kNobody}) {
        SCOPED_TRACE(uid);
        TestPlatform platform;
        ASSERT_TRUE(platform.startManager());
        ASSERT_TRUE(limitDescriptors(platform.manager().pid(), 256));
        ASSERT_TRUE(platform.startHost({"--service", "steady"}));
        Attacker flood;
        ASSERT_TRUE(flood.run(uid, [] {
            for (size_t i = 0; i < connections; ++i)
                connectRaw(true);
        }));
        Stopwatch watch;
        RunResult list = TestPlatform::quellix({"list"});
        double seconds = watch.seconds();
        EXPECT_EQ(list.out, "Found 1 services:\n0\tsteady: [test.IEcho]\n");
        EXPECT_LT(seconds, 5.0);
        char figure[120];
        std::snprintf(figure, sizeof figure, "quellix list took %.2f s beside %zu idle connections of uid %u",
                      seconds, connections, unsigned(uid));
        threat(uid ? "idle connections of another uid at the descriptor limit (256)"
                   : "idle connections of root at the descriptor limit (256)",
               uid ? "256 connections per uid; the longest idle one makes room"
                   : "out of descriptors, the longest idle client makes room",
               figure, seconds);
    }
}

} // namespace
