// Descriptors sent where none belong, by nobody to root's daemons and by a
// host to root's clients: none get through, root is served beside them,
// and both daemons stop at once on SIGTERM afterwards.
#include "Hostile.h"
#include "ParcelText.h"
#include "ProcessProbe.h"
#include "RawClient.h"
#include "Reliability.h"
#include "TestPlatform.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kAttempts = 100;

// Waits up to 3 s for `pid` to hold at most `count` descriptors: what it
// holds then.
int settleTo(pid_t pid, int count)
{
    Stopwatch watch;
    int now;
    while ((now = openDescriptors(pid)) > count && watch.seconds() < 3)
        std::this_thread::sleep_for(20ms);
    return now;
}

// A counter that the attacker's child writes and the test reads.
int* sharedCounter()
{
    void* page = mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return page == MAP_FAILED ? nullptr : static_cast<int*>(page);
}

} // namespace

// As nobody, connections that send one byte with nine descriptors at
// once: to the manager before it accepts them, and on fresh look-ups'
// ends before the host adopts them.
TEST(DescriptorAttackTest, NobodysDescriptorsReachNoDaemon)
{
    ASSERT_TRUE(bringUpLoopback());
    for (bool atHost : {false, true}) {
        SCOPED_TRACE(atHost ? "at the host" : "at the manager");
        TestPlatform platform;
        ASSERT_TRUE(platform.startManager());
        ASSERT_TRUE(platform.startHost({"--service", "s"}));
        const pid_t target = atHost ? platform.host(0).pid() : platform.manager().pid();
        // Counted once both serve, as they do after a call.
        ASSERT_EQ(TestPlatform::quellix({"call", "s", "1", "i32", "7"}).out, echoedSeven());
        const int before = openDescriptors(target);
        int* went = sharedCounter();
        ASSERT_NE(went, nullptr);
        *went = 0;
        Stopwatch watch;
        Attacker nobody;
        ASSERT_TRUE(nobody.run(kNobody, [&] {
            NineDescriptors nine;
            const int manager = atHost ? connectRaw() : -1;
            for (int i = 0; nine.ok() && i < kAttempts; ++i) {
                int via = -1;
                if (atHost)
                    rawLookup(manager, lookupRequest("s", true), &via);
                else
                    via = connectRaw();
                *went += via >= 0 && nine.sendWith(via, std::string(1, '\0'));
                close(via);
            }
        }));
        expectRootServed("Found 1 services:\n0\ts: [test.IEcho]\n");
        const int after = settleTo(target, before);
        EXPECT_EQ(*went, 0);
        EXPECT_LE(after, before);
        const std::string stops = expectBothStopAtOnce(platform.host(0), platform.manager());
        threat(atHost ? "nine descriptors (one lingering) on fresh look-ups' ends before the host adopts them"
                      : "nine descriptors (one lingering) sent before the manager accepts",
               atHost ? "both ends of each look-up's pair refuse descriptors before either is handed out"
                      : "the listening socket refuses descriptors before it listens; accepted ones inherit it",
               std::to_string(*went) + " of " + std::to_string(kAttempts) + " sends got through; " +
                   (atHost ? "the host" : "the manager") + " held " + std::to_string(before) +
                   " descriptors before, " + std::to_string(after) + " after; root served; " + stops,
               watch.seconds());
        munmap(went, sizeof(int));
    }
}

// A host that nobody may run sends nine descriptors on each new client
// link at once: root's listing is right and prompt, the host's sends fail.
TEST(DescriptorAttackTest, AHostsDescriptorsReachNoClient)
{
    ASSERT_TRUE(bringUpLoopback());
    Daemon manager, host, hostile;
    ASSERT_TRUE(manager.start(binaryPath("service-manager"), {"--allow-register", "65534"}));
    ASSERT_TRUE(host.start(binaryPath("service-host"), {"--service", "s"}));
    ASSERT_TRUE(startAs(hostile, true, "descriptor-host", {"t"})) << hostile.error();
    const std::string listing = "Found 2 services:\n0\ts: [test.IEcho]\n1\tt: [test.IHostile]\n";
    Stopwatch watch;
    double slowest = 0;
    for (int i = 0; i < 3; ++i)
        slowest = std::max(slowest, expectRootServed(listing));
    EXPECT_LT(slowest, 3.0);
    hostile.stop(SIGKILL, 3s);
    const std::string& said = hostile.error();
    EXPECT_EQ(said.find("took"), std::string::npos) << said;
    EXPECT_NE(said.find("refused"), std::string::npos) << said;
    const std::string stops = expectBothStopAtOnce(host, manager);
    threat("a host sending nine descriptors (one lingering) on each new client link",
           "the manager makes the client's end refuse descriptors before handing it out",
           "the host's sends failed; root's call and listing took at most " + std::to_string(int(slowest * 1000)) +
               " ms; " + stops,
           watch.seconds());
}

// Connections that nobody queues at the init system's socket before the
// manager starts, each with nine descriptors that the listener did not yet
// refuse, the first's ninth a socket whose close blocks: the manager's
// closer falls behind and refuses nobody, root is served, and SIGTERM
// stops the manager at once.
TEST(DescriptorAttackTest, DescriptorsQueuedBeforeStartDelayNoOne)
{
    ASSERT_TRUE(bringUpLoopback());
    const int listener = listenRaw(SOMAXCONN);
    ASSERT_GE(listener, 0);
    ASSERT_EQ(fcntl(listener, F_SETFD, 0), 0);
    int* went = sharedCounter();
    ASSERT_NE(went, nullptr);
    *went = 0;
    constexpr int kConnections = 150;
    Stopwatch watch;
    Attacker nobody;
    ASSERT_TRUE(nobody.run(kNobody, [&] {
        std::vector<int> fds;
        for (int i = 0; i < 8; ++i)
            fds.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
        fds.push_back(socketWhoseCloseBlocks());
        for (int i = 0; i < kConnections; ++i) {
            const int via = connectRaw();
            *went += sendDescriptors(via, std::string(1, '\0'), fds);
            close(via);
            if (i == 0) {
                close(fds.back());
                fds.back() = open("/dev/null", O_RDONLY | O_CLOEXEC);
            }
        }
    }));
    Daemon manager, host;
    ASSERT_TRUE(manager.start("/bin/sh", {"-c", "exec 3<&" + std::to_string(listener) +
                                                    "; export LISTEN_FDS=1 LISTEN_PID=$$; exec \"$0\"",
                                          binaryPath("service-manager")}))
        << manager.error();
    close(listener);
    ASSERT_TRUE(host.start(binaryPath("service-host"), {"--service", "s"}));
    expectRootServed("Found 1 services:\n0\ts: [test.IEcho]\n");
    EXPECT_GT(*went, 0);
    const std::string stops = expectBothStopAtOnce(host, manager);
    EXPECT_NE(manager.error().find("its uid sent more descriptors than are closed yet"), std::string::npos)
        << manager.error();
    threat("nine descriptors on each of 150 connections queued before the manager starts, one close blocking",
           "the init system's socket refuses descriptors from the start; those queued before go to a closer "
           "bounded per uid, which never holds up the loop or the stop",
           std::to_string(*went) + " of " + std::to_string(kConnections) + " sends queued; root served; " + stops,
           watch.seconds());
    munmap(went, sizeof(int));
}
