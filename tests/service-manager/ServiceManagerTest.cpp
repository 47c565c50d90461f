// service-manager: one per network namespace, and a clean stop.
#include "Hostile.h"
#include "RawClient.h"
#include "Scratch.h"
#include "TestPlatform.h"

#include <quellix/Status.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <future>
#include <sys/stat.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <gtest/gtest.h>

namespace {

TEST(ServiceManagerTest, SecondManagerInTheSameNamespaceExitsWith1)
{
    TestPlatform platform;
    ASSERT_TRUE(platform.startManager()) << platform.manager().error();
    RunResult second = runProgram(binaryPath("service-manager"), {}, 10s);
    EXPECT_FALSE(second.timedOut);
    EXPECT_EQ(second.exitStatus, 1);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err.rfind("service-manager: ", 0), 0u) << second.err;

    // The first one still serves.
    RunResult list = TestPlatform::quellix({"list"});
    EXPECT_EQ(list.out, "Found 0 services:\n");
    EXPECT_EQ(list.exitStatus, 0);
}

TEST(ServiceManagerTest, StopsWithStatus0AndFreesTheAddress)
{
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        TestPlatform platform;
        ASSERT_TRUE(platform.startManager()) << platform.manager().error();
        EXPECT_EQ(platform.manager().stop(signal), 0);
        EXPECT_EQ(platform.manager().error(), "service-manager: ready, serving @quellix.service-manager\n"
                                              "service-manager: stopping on " + sentBy(signal));

        RunResult list = TestPlatform::quellix({"list"});
        EXPECT_EQ(list.out, "");
        EXPECT_EQ(list.err, "quellix: Unable to get default service manager!\n");
        EXPECT_EQ(list.exitStatus, 20);
        // The next round starts a manager at the same address again.
    }
}

} // namespace

namespace {

// SIGHUP (a closed terminal, a reload) ends neither daemon; the manager
// reads its policy again.
TEST(ServiceManagerTest, SighupEndsNeitherDaemon)
{
    TestPlatform platform;
    ASSERT_TRUE(platform.startManager());
    ASSERT_TRUE(platform.startHost({}));
    ASSERT_EQ(kill(platform.manager().pid(), SIGHUP), 0);
    ASSERT_EQ(kill(platform.host(0).pid(), SIGHUP), 0);
    RunResult check = TestPlatform::quellix({"check", "demo.echo"});
    EXPECT_EQ(check.out, "Service demo.echo: found\n");
    EXPECT_EQ(platform.host(0).stop(), 0);
    EXPECT_EQ(platform.manager().stop(), 0);
    EXPECT_NE(platform.manager().error().find("service-manager: policy reloaded: "),
              std::string::npos)
        << platform.manager().error();
}

// What an operator reads: a refused registration with the name's holder,
// a malformed client, a host gone; a flood of nobody's bad clients writes
// 20 lines and a count, root's lines all the same, and normal traffic none.
TEST(ServiceManagerTest, LogsWhatAnOperatorMustKnow)
{
    TestPlatform platform;
    ASSERT_TRUE(platform.startManager());
    ASSERT_TRUE(platform.startHost({"--service", "taken"}));
    const std::string holder = "pid " + std::to_string(platform.host(0).pid()) + ", uid 0";
    RunResult second = runProgram(binaryPath("service-host"), {"--service", "taken"}, 10s);
    EXPECT_EQ(second.err, "service-host: cannot register 'taken': the name is taken by a running host (" + holder +
                              ") (status -17)\n");
    size_t gone;
    ASSERT_TRUE(platform.startHost({"--service", "a", "--service", "b"}, &gone));
    const std::string goneHost = "host pid " + std::to_string(platform.host(gone).pid()) + ", uid 0 gone: 2 names dropped\n";
    EXPECT_EQ(platform.host(gone).stop(), 0);
    for (int i = 0; i < 3; ++i)
        TestPlatform::quellix({"list"});
    // A client of another version of the protocol is told so.
    int other = connectRaw();
    EXPECT_EQ(rawLookup(other, frameBytes(8, 1, 0, std::string("\x01\0\0\0s\0\0\0", 8), 0)), kStatusProtocolMismatch);
    close(other);
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(seteuid(kNobody), 0);
        int fd = connectRaw();
        ASSERT_EQ(seteuid(0), 0);
        sendRaw(fd, frameBytes(0, 99, 0, "", kManagerProtocol));
        waitForClose(fd, 5s);
        close(fd);
    }
    EXPECT_EQ(platform.host(0).stop(), 0);
    std::this_thread::sleep_for(100ms);
    platform.manager().stop();
    const std::string& log = platform.manager().error();
    EXPECT_NE(log.find("refused to register 'taken' for pid "), std::string::npos) << log;
    EXPECT_NE(log.find(": status -17 (held by " + holder + ")\n"), std::string::npos) << log;
    EXPECT_NE(log.find(goneHost), std::string::npos) << log;
    EXPECT_NE(log.find(", uid 0 speaks protocol version 0; this manager speaks 1\n"), std::string::npos) << log;
    EXPECT_NE(log.find(", uid 65534: it sent a malformed message\n"), std::string::npos) << log;
    // Root's five lines, nobody's bound, the stop, and nobody's count.
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 5 + 20 + 1 + 1) << log;
    EXPECT_TRUE(log.ends_with("service-manager: stopping on " + sentBy(SIGTERM) +
                              "service-manager: 30 more log lines held back for uid 65534\n"))
        << log;
}

// Each line carries its priority for the journal when JOURNAL_STREAM names
// the file that standard error is, and none otherwise.
TEST(ServiceManagerTest, LinesCarryTheirPriorityForTheJournal)
{
    for (bool journal : {true, false}) {
        SCOPED_TRACE(journal);
        ScratchDir scratch;
        const std::string path = scratch.path() + "/stderr";
        Daemon manager;
        FILE* file = fopen(path.c_str(), "w");
        ASSERT_NE(file, nullptr);
        fclose(file);
        struct stat status;
        ASSERT_EQ(stat(path.c_str(), &status), 0);
        const std::string stream = std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino + !journal);
        ASSERT_EQ(setenv("JOURNAL_STREAM", stream.c_str(), 1), 0);
        ASSERT_TRUE(manager.start("/bin/sh", {"-c", "exec " + binaryPath("service-manager") + " 2>>" + path}));
        unsetenv("JOURNAL_STREAM");
        EXPECT_EQ(run(true, "service-host", {"--service", "x"}).exitStatus, 1);
        EXPECT_EQ(manager.stop(), 0);
        const std::string prefix = journal ? "<6>" : "", warning = journal ? "<4>" : "";
        const std::string log = readFile(path);
        EXPECT_TRUE(log.starts_with(prefix + "service-manager: ready, serving ")) << log;
        EXPECT_NE(log.find("\n" + warning + "service-manager: refused to register 'x' for pid "), std::string::npos)
            << log;
        EXPECT_TRUE(log.ends_with("\n" + prefix + "service-manager: stopping on " + sentBy(SIGTERM))) << log;
    }
}

// A service manager of protocol version 2 answers each request so; the
// library says which version spoke, and each program fails as it fails
// at any refusal.
TEST(ServiceManagerTest, AnotherProtocolVersionIsNamed)
{
    struct Case {
        std::string program;
        std::vector<std::string> args;
        std::string err;
        int exitStatus;
    };
    const std::string named = "quellix platform: the service manager speaks protocol version 2, this program 1\n";
    const Case cases[] = {
        {"quellix", {"list"}, named + "quellix: Listing failed with status -93\n", 10},
        {"service-host", {"--service", "x"},
         named + "service-host: cannot register 'x': the service manager speaks another version of the protocol "
                 "(status -93)\n",
         1},
    };
    int listener = listenRaw(8);
    ASSERT_GE(listener, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program);
        auto manager = std::async(std::launch::async, [listener] {
            int fd = accept(listener, nullptr, nullptr);
            char header[16];
            if (fd >= 0 && recv(fd, header, sizeof header, MSG_WAITALL) == sizeof header)
                sendRaw(fd, frameBytes(0, 1, uint32_t(kStatusProtocolMismatch), "", 2));
            waitForClose(fd, 10s);
            close(fd);
        });
        RunResult result = runProgram(binaryPath(c.program), c.args, 10s);
        manager.get();
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.exitStatus, c.exitStatus);
    }
    close(listener);
}

} // namespace
