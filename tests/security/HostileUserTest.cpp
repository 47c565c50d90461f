// What a hostile local user (nobody) does to root's manager and hosts over
// the transport itself, and what root still gets meanwhile.
#include "Hostile.h"
#include "ParcelText.h"
#include "ProcessProbe.h"
#include "RawClient.h"
#include "Reliability.h"
#include "TestPlatform.h"

#include <quellix/ServiceManager.h>

#include <gtest/gtest.h>

#include <csignal>
#include <future>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// Root's calls of the echo service "s" that did not come back right.
size_t failedCalls(size_t calls)
{
    size_t failed = 0;
    for (size_t i = 0; i < calls; ++i)
        failed += TestPlatform::quellix({"call", "s", "1", "i32", "7"}).out != echoedSeven();
    return failed;
}

class HostileUserTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(platform.startManager()) << platform.manager().error();
        ASSERT_TRUE(platform.startHost({"--service", "s"})) << platform.host(0).error();
    }
    pid_t host() { return platform.host(0).pid(); }

    TestPlatform platform;
};

// A descriptor whose close blocks, sent to the manager and to a host, does
// not freeze either: root is served at once and both stop on SIGTERM.
TEST_F(HostileUserTest, LingeringDescriptorsFreezeNoOne)
{
    ASSERT_TRUE(bringUpLoopback());
    Attacker nobody;
    ASSERT_TRUE(nobody.run(kNobody, [] {
        int manager = connectRaw();
        int link = -1;
        rawLookup(manager, lookupRequest("s", true), &link);
        // Once sent, the daemon's copy is the last one; one refused stays
        // ours, closed without lingering when we are killed.
        for (int via : {manager, link}) {
            int lingering = lingeringSocket(30);
            if (sendDescriptor(via, lingering))
                close(lingering);
        }
    }));
    Stopwatch watch;
    EXPECT_EQ(failedCalls(3), 0u);
    const double served = watch.seconds();
    EXPECT_LT(served, 2.0);
    const std::string stops = expectBothStopAtOnce(platform.host(0), platform.manager());
    threat("a descriptor whose close blocks, sent where none belong",
           "sockets refuse descriptors where they are made (SO_PASSRIGHTS off); any that still arrive go to "
           "the event loop's closer",
           "root served 3 calls in " + std::to_string(int(served * 1000)) + " ms; " + stops,
           watch.seconds());
}

// Connections by the hundred at a host: nobody keeps at most its share,
// evicted among its own, and root's held reference and new calls work.
TEST(HostileHostTest, ConnectionsAreBoundedPerUid)
{
    struct Case {
        const char* what;
        rlim_t hostLimit; // 0: as it starts
        bool trickle;     // each connection sends one header byte
    };
    for (const Case& c : {Case{"600 busy connections", 0, true}, Case{"400 idle ones, 200 descriptors", 200, false}}) {
        SCOPED_TRACE(c.what);
        TestPlatform own;
        ASSERT_TRUE(own.startManager());
        ASSERT_TRUE(own.startHost({"--service", "s"}));
        const pid_t pid = own.host(0).pid();
        if (c.hostLimit) {
            ASSERT_TRUE(limitDescriptors(pid, c.hostLimit));
        }
        // Served once before the flood (and so, in a sanitized build, its
        // first call's type check done while descriptors are there for it).
        sp<IBinder> held = defaultServiceManager()->lookupService(String16("s"));
        ASSERT_NE(held, nullptr);
        Parcel data, reply;
        ASSERT_EQ(held->sendTransaction(1, data, &reply, 0), kStatusOk);
        const int before = openDescriptors(pid);
        Stopwatch watch;
        Attacker nobody;
        ASSERT_TRUE(nobody.run(kNobody, [&] {
            for (int i = 0; i < (c.trickle ? 600 : 400); ++i) {
                int manager = connectRaw();
                int link = -1;
                rawLookup(manager, lookupRequest("s"), &link);
                close(manager);
                if (c.trickle)
                    sendRaw(link, std::string(1, '\0'));
            }
        }));
        std::this_thread::sleep_for(300ms);
        const int flooded = openDescriptors(pid);
        // At a limit of its own the kernel bounds the host; else its share.
        if (!c.hostLimit) {
            EXPECT_LE(flooded, before + 256 + 8);
        }
        EXPECT_EQ(held->sendTransaction(1, data, &reply, 0), kStatusOk);
        EXPECT_EQ(failedCalls(3), 0u);
        threat(c.hostLimit ? "another uid's connections pressing a host out of descriptors"
                           : "connections by the hundred at a host",
               c.hostLimit ? "a host makes room only among the pressing uid's own connections"
                           : "256 connections per unprivileged uid at a host; past it, its idlest goes",
               std::string(c.what) + ": the host held " + std::to_string(flooded - before) +
                   " more descriptors; root's held reference and new calls served",
               watch.seconds());
    }
}

// Transactions of 1 MiB whose replies are never read: a host holds a
// bounded number of bytes for one uid.
TEST_F(HostileUserTest, HostMemoryIsBoundedPerUid)
{
    const long before = residentKiB(host());
    Stopwatch watch;
    Attacker nobody;
    ASSERT_TRUE(nobody.run(kNobody, [] {
        const std::string payload(1 << 20, 'x');
        for (int i = 0; i < 100; ++i) {
            int manager = connectRaw();
            int link = -1;
            rawLookup(manager, lookupRequest("s"), &link);
            sendRaw(link, frameBytes(uint32_t(payload.size()), 1, 0, payload));
        }
    }));
    std::this_thread::sleep_for(300ms);
    const long grown = (residentKiB(host()) - before) / 1024;
    // AddressSanitizer keeps freed memory in quarantine.
    if (!sanitized()) {
        EXPECT_LT(grown, 48);
    }
    EXPECT_EQ(failedCalls(3), 0u);
    threat("replies of 1 MiB never read, 100 connections", "32 MiB buffered per unprivileged uid at a host",
           "the host grew by " + std::to_string(grown) + " MiB", watch.seconds());
}

// Connections that each completed a request and then trickle one header
// byte, at a manager of 256 descriptors: meanwhile a listing that fails
// says so, and once they are gone root lists at once. (That they go 10 s
// after that byte is the server's in-process test.)
TEST_F(HostileUserTest, HalfSentFramesFailListingsThatSaySo)
{
    ASSERT_TRUE(limitDescriptors(platform.manager().pid(), 256));
    Stopwatch watch;
    auto nobody = std::make_unique<Attacker>();
    ASSERT_TRUE(nobody->run(kNobody, [] {
        for (int i = 0; i < 248; ++i) {
            int manager = connectRaw();
            rawLookup(manager, lookupRequest("s"));
            sendRaw(manager, std::string(1, '\0'));
        }
    }));
    const std::string listing = "Found 1 services:\n0\ts: [test.IEcho]\n";
    RunResult during = TestPlatform::quellix({"list"});
    if (during.exitStatus != 0) {
        EXPECT_EQ(during.out, "");
        EXPECT_EQ(during.err, "quellix: Listing failed with status -32\n");
        EXPECT_EQ(during.exitStatus, 10);
    } else {
        EXPECT_EQ(during.out, listing);
    }
    nobody.reset();
    RunResult after;
    while (watch.seconds() < 5 && (after = TestPlatform::quellix({"list"})).out != listing)
        std::this_thread::sleep_for(50ms);
    EXPECT_EQ(after.out, listing);
    threat("connections with half a frame each, at the descriptor limit (256)",
           "a frame must be whole 10 s after its first byte; a failed listing is reported (exit 10)",
           "meanwhile root's listing exited " + std::to_string(during.exitStatus) + "; listed again " +
               std::to_string(int(watch.seconds() * 1000)) + " ms after the flood began, once it was gone",
           watch.seconds());
}

// Connections that ask for listings by the thousand and read none of the
// replies, at a manager of 256 descriptors: they are idle, so root's
// newcomers take their places, and root's listing and call come back
// whole at once.
TEST_F(HostileUserTest, UnreadRepliesGiveWayToRoot)
{
    ASSERT_TRUE(limitDescriptors(platform.manager().pid(), 256));
    Attacker nobody;
    ASSERT_TRUE(nobody.run(kNobody, [] {
        std::string lists;
        for (int i = 0; i < 1000; ++i)
            lists += listRequest();
        for (int i = 0; i < 248; ++i)
            sendRaw(connectRaw(), lists);
    }));
    std::this_thread::sleep_for(300ms);
    const double seconds = expectRootServed("Found 1 services:\n0\ts: [test.IEcho]\n");
    EXPECT_LT(seconds, 5.0);
    // With the replies still unread.
    const std::string stops = expectBothStopAtOnce(platform.host(0), platform.manager());
    threat("replies never read, 248 connections at the descriptor limit (256)",
           "a connection whose replies wait unread is idle, and the idlest makes room; unread 10 s, it goes",
           "root's list and call came back whole in " + std::to_string(int(seconds * 1000)) + " ms; " + stops,
           seconds);
}

// An impostor that holds the address with a full backlog: root's tools
// give up instead of hanging.
TEST(HostileImpostorTest, AFullBacklogHangsNoOne)
{
    Attacker nobody;
    ASSERT_TRUE(nobody.run(kNobody, [] {
        listenRaw(0);
        connectRaw();
    }));
    Stopwatch watch;
    RunResult list = TestPlatform::quellix({"list"});
    EXPECT_EQ(list.err, "quellix: Unable to get default service manager!\n");
    EXPECT_EQ(list.exitStatus, 20);
    RunResult manager = runProgram(binaryPath("service-manager"), {}, 10s);
    EXPECT_EQ(manager.err, "service-manager: another service manager is already running\n");
    EXPECT_EQ(manager.exitStatus, 1);
    EXPECT_LT(watch.seconds(), 8.0);
    threat("an impostor holding the address with a full backlog", "clients connect with a deadline (2 s)",
           "root's quellix exited 20 and service-manager 1 within " + std::to_string(int(watch.seconds())) + " s",
           watch.seconds());
}

// Fresh look-ups in a flood from four connections, while the host is
// stopped for a moment (busy, say): root's hand-off still finds room in
// the host's socket, since no uid may fill it, and root's calls all come
// back.
TEST_F(HostileUserTest, FreshLookUpFloodsLeaveOthersServed)
{
    ASSERT_EQ(kill(host(), SIGSTOP), 0);
    Attacker nobody;
    ASSERT_TRUE(nobody.run(kNobody, [] {
        for (int i = 0; i < 4; ++i)
            std::thread([] {
                int manager = connectRaw();
                for (;;) {
                    int link = -1;
                    rawLookup(manager, lookupRequest("s", true), &link);
                    if (link >= 0)
                        close(link);
                }
            }).detach();
    }));
    std::this_thread::sleep_for(500ms);
    Stopwatch watch;
    auto waiting = std::async(std::launch::async, [] { return TestPlatform::quellix({"call", "s", "1", "i32", "7"}); });
    std::this_thread::sleep_for(500ms);
    ASSERT_EQ(kill(host(), SIGCONT), 0);
    EXPECT_EQ(waiting.get().out, echoedSeven());
    const size_t failed = failedCalls(30);
    EXPECT_EQ(failed, 0u);
    threat("fresh look-ups in a flood", "at most 16 unread hand-offs per unprivileged uid at a host",
           "root's call made while the host was stopped was served; " + std::to_string(failed) +
               " of 30 later ones failed",
           watch.seconds());
}

// A uid allowed to register holds its cap of names over all its
// connections together.
TEST(HostileNamesTest, NamesAreCappedPerUid)
{
    Daemon manager;
    ASSERT_TRUE(manager.start(binaryPath("service-manager"), {"--allow-register", "65534", "--max-names-per-uid", "4"}));
    Stopwatch watch;
    Daemon first;
    ASSERT_TRUE(startAs(first, true, "service-host", {"--service", "a1", "--service", "a2", "--service", "a3"}));
    RunResult second = run(true, "service-host", {"--service", "b1", "--service", "b2"});
    EXPECT_EQ(second.err, "service-host: cannot register 'b2': this uid may register no more names (status -24)\n");
    EXPECT_EQ(second.exitStatus, 1);
    Daemon root;
    EXPECT_TRUE(root.start(binaryPath("service-host"), {"--service", "r1", "--service", "r2", "--service", "r3",
                                                         "--service", "r4", "--service", "r5"}));
    threat("names registered over many connections", "names are capped per uid too (--max-names-per-uid)",
           second.exitStatus == 1 ? "the fifth name of the uid refused" : "past the cap", watch.seconds());
}

// nobody's 200 requests of another protocol version on one connection are
// one line and its count; root's refused registration has its line.
TEST_F(HostileUserTest, FloodOfOneUidLeavesRootsLine)
{
    Stopwatch watch;
    Attacker nobody;
    ASSERT_TRUE(nobody.run(kNobody, [] {
        int fd = connectRaw();
        std::string flood;
        for (int i = 0; i < 200; ++i)
            flood += frameBytes(0, 1, 0, "", 2);
        sendRaw(fd, flood);
        char replies[200 * 16];
        for (size_t got = 0; got < sizeof replies;) {
            ssize_t n = read(fd, replies + got, sizeof replies - got);
            if (n <= 0)
                break;
            got += size_t(n);
        }
    }));
    EXPECT_EQ(run(false, "service-host", {"--service", "s"}).exitStatus, 1);
    expectStopsAtOnce(platform.manager());
    const std::string& log = platform.manager().error();
    size_t lines = 0;
    for (size_t at = log.find("speaks protocol version 2"); at != std::string::npos;
         at = log.find("speaks protocol version 2", at + 1))
        ++lines;
    EXPECT_EQ(lines, 2u) << log;
    EXPECT_NE(log.find(", uid 65534 speaks protocol version 2; this manager speaks 1 (repeated 199 more times)\n"),
              std::string::npos)
        << log;
    const bool rootsLine = log.find("refused to register 's' for pid ") != std::string::npos;
    EXPECT_TRUE(rootsLine) << log;
    threat("200 requests of another protocol version on one connection, then root's refused registration",
           "the log's budget is per uid; one connection's repeats are one line and a count",
           std::to_string(lines) + " lines for the 200; root's line " + (rootsLine ? "present" : "missing"),
           watch.seconds());
}

// A name made to forge a line, and the controls that hide or reorder one,
// come out escaped, on the line of the refusal.
TEST_F(HostileUserTest, NamesCannotForgeALine)
{
    const std::string name = "demo.echo' for pid 1, uid 0: status -17\n\u009b2J\u0085\u202e";
    EXPECT_EQ(run(true, "service-host", {"--service", name}).exitStatus, 1);
    expectStopsAtOnce(platform.manager());
    EXPECT_NE(platform.manager().error().find(
                  "service-manager: refused to register 'demo.echo\\' for pid 1, uid 0: status -17\\x0a\\u009b2J"
                  "\\u0085\\u202e' for pid "),
              std::string::npos)
        << platform.manager().error();
}

} // namespace
