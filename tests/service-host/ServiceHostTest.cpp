// service-host: its command line and escapes, refused registrations, names
// freed when a host ends, how it ends, and how it serves on through a
// restart of the service manager.
#include "Hostile.h"
#include "TestPlatform.h"

#include <quellix/Parcel.h>
#include <quellix/ServiceManager.h>

#include <csignal>
#include <gtest/gtest.h>

namespace {

RunResult runHost(const std::vector<std::string>& args)
{
    return runProgram(binaryPath("service-host"), args, 10s);
}

// A host that must not start: it says why and exits with a non-zero status.
void expectRefused(const RunResult& result)
{
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.signal, 0);
    EXPECT_NE(result.exitStatus, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("service-host: ", 0), 0u) << result.err;
}

void expectQuellix(const std::vector<std::string>& args, const std::string& out)
{
    RunResult result = TestPlatform::quellix(args);
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitStatus, 0);
}

TEST(ServiceHostWithoutManagerTest, Refused)
{
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"--service", "a"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        expectRefused(runHost(args));
    }
}

class ServiceHostTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(platform.startManager()) << platform.manager().error(); }

    TestPlatform platform;
};

TEST_F(ServiceHostTest, BadCommandLinesAndNamesAreRefused)
{
    struct Case {
        const char* name;
        std::vector<std::string> args;
    };
    std::string e1025;
    for (int i = 0; i < 1025; ++i)
        e1025 += "\xC3\xA9";
    const std::vector<Case> cases = {
        {"unknown escape", {"--service", "a\\x"}},
        {"short \\u escape", {"--service", "a\\u12"}},
        {"non-hex \\u escape", {"--service", "a\\u12G4"}},
        {"trailing backslash", {"--service", "a\\"}},
        {"bad escape in the interface name", {"--service", "a", "--interface", "i\\q"}},
        {"bad escape in a later service", {"--service", "a", "--service", "b\\n"}},
        {"option before --service", {"--interface", "x", "--service", "a"}},
        {"missing value", {"--service"}},
        {"unknown option", {"--service", "a", "--bogus", "1"}},
        {"non-numeric status", {"--service", "a", "--status", "five"}},
        {"empty query status", {"--service", "a", "--query-status", ""}},
        {"empty name", {"--service", ""}},
        {"name of 1025 units", {"--service", std::string(1025, 'n')}},
        {"name of 1025 units in 2050 bytes", {"--service", e1025}},
        {"the same name twice", {"--service", "dup", "--service", "dup"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expectRefused(runHost(c.args));
    }
    // Nothing of a refused host stays registered.
    expectQuellix({"list"}, "Found 0 services:\n");
}

TEST_F(ServiceHostTest, EscapesAndLongestName)
{
    std::string e1024;
    for (int i = 0; i < 1024; ++i)
        e1024 += "\xC3\xA9";
    ASSERT_TRUE(platform.startHost({"--service", "back\\\\slash", "--service", "\\u0041BC", "--interface",
                                    "upper\\u00E9", "--service", "x\\u00e9"}));
    ASSERT_TRUE(platform.startHost({"--service", e1024, "--service", std::string(1024, 'n')}));
    expectQuellix({"list"}, "Found 5 services:\n"
                            "0\tABC: [upper\xC3\xA9]\n"
                            "1\tback\\slash: [test.IEcho]\n"
                            "2\t" + std::string(1024, 'n') + ": [test.IEcho]\n"
                            "3\tx\xC3\xA9: [test.IEcho]\n"
                            "4\t" + e1024 + ": [test.IEcho]\n");
}

TEST_F(ServiceHostTest, SampleServices)
{
    ASSERT_TRUE(platform.startHost({}));
    expectQuellix({"list"}, "Found 3 services:\n"
                            "0\tdemo.adder: [quellix.demo.IAdder]\n"
                            "1\tdemo.echo: [quellix.demo.IEcho]\n"
                            "2\tdemo.greeter: [quellix.demo.IGreeter]\n");
}

TEST_F(ServiceHostTest, NameIsFreeOnlyAfterItsHostEnds)
{
    size_t first = 0;
    ASSERT_TRUE(platform.startHost({"--service", "dup", "--interface", "first"}, &first));
    expectRefused(runHost({"--service", "dup", "--interface", "second"}));
    expectQuellix({"list"}, "Found 1 services:\n0\tdup: [first]\n");

    EXPECT_EQ(platform.host(first).stop(SIGTERM), 0);
    expectQuellix({"check", "dup"}, "Service dup: not found\n");
    size_t second = 0;
    ASSERT_TRUE(platform.startHost({"--service", "dup", "--interface", "second"}, &second));
    expectQuellix({"list"}, "Found 1 services:\n0\tdup: [second]\n");

    // A host that is killed loses its names just the same.
    EXPECT_EQ(platform.host(second).stop(SIGKILL), 128 + SIGKILL);
    expectQuellix({"list"}, "Found 0 services:\n");
}

TEST_F(ServiceHostTest, StopsWithStatus0OnSigtermAndSigint)
{
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        size_t index = 0;
        ASSERT_TRUE(platform.startHost({"--service", "a"}, &index));
        EXPECT_EQ(platform.host(index).stop(signal), 0);
        EXPECT_EQ(platform.host(index).error(), "service-host: stopping on " + sentBy(signal));
    }
}

// What a host says when the service manager goes and the next one comes.
const std::string kGone = "service-host: the service manager has gone away; waiting for the next one\n";

std::string registeredAgain(const std::string& count, const Daemon& manager)
{
    return "service-host: registered " + count + " again with the service manager (pid " +
           std::to_string(manager.pid()) + ")\n";
}

// A call over a reference held since before the manager went.
void expectEcho(const sp<IBinder>& service)
{
    Parcel data, reply;
    data.writeInt32(42);
    EXPECT_EQ(service->sendTransaction(1, data, &reply, 0), kStatusOk);
    EXPECT_EQ(reply.dataSize(), data.dataSize());
}

// The client numbers of the new manager start again where the old one's
// did: a new client must not take an old one's connection.
TEST_F(ServiceHostTest, ServesThroughARestartOfTheManagerAndRegistersAgain)
{
    size_t index = 0;
    ASSERT_TRUE(platform.startHost({"--service", "a", "--service", "b", "--interface", "test.IB", "--service", "c"},
                                   &index));
    Daemon& host = platform.host(index);
    sp<IBinder> held = defaultServiceManager()->lookupService(String16("b"));
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(platform.manager().stop(SIGKILL), 128 + SIGKILL);
    expectEcho(held);

    ASSERT_TRUE(platform.startManager()) << platform.manager().error();
    ASSERT_TRUE(host.waitForError("again with the service manager")) << host.error();
    RunResult call = TestPlatform::quellix({"call", "b", "1"});
    EXPECT_EQ(call.exitStatus, 0);
    EXPECT_EQ(call.err, "");
    expectEcho(held);
    expectQuellix({"list"}, "Found 3 services:\n0\ta: [test.IEcho]\n1\tb: [test.IB]\n2\tc: [test.IEcho]\n");
    EXPECT_EQ(host.stop(SIGTERM), 0);
    EXPECT_EQ(host.error(), kGone + registeredAgain("3 names", platform.manager()) +
                                "service-host: stopping on " + sentBy(SIGTERM));
}

TEST_F(ServiceHostTest, ANameTakenMeanwhileIsLoggedAndTheOthersComeBack)
{
    size_t index = 0, other = 0;
    ASSERT_TRUE(platform.startHost({"--service", "a", "--service", "b", "--service", "c"}, &index));
    const pid_t held = platform.host(index).pid();
    EXPECT_EQ(platform.manager().stop(SIGTERM), 0);
    // Held still, the host comes back only after the other one has the name.
    ASSERT_EQ(kill(held, SIGSTOP), 0);
    ASSERT_TRUE(platform.startManager()) << platform.manager().error();
    ASSERT_TRUE(platform.startHost({"--service", "b", "--interface", "other.IB"}, &other));
    ASSERT_EQ(kill(held, SIGCONT), 0);
    Daemon& host = platform.host(index);
    ASSERT_TRUE(host.waitForError("again with the service manager")) << host.error();
    expectQuellix({"list"}, "Found 3 services:\n0\ta: [test.IEcho]\n1\tb: [other.IB]\n2\tc: [test.IEcho]\n");
    EXPECT_EQ(host.stop(SIGTERM), 0);
    EXPECT_EQ(host.error(), kGone +
                                "service-host: cannot register 'b' again: the name is taken by a running host (pid " +
                                std::to_string(platform.host(other).pid()) + ", uid 0) (status -17)\n" +
                                registeredAgain("2 of 3 names", platform.manager()) + "service-host: stopping on " +
                                sentBy(SIGTERM));
}

// Run as nobody, the host refuses a manager of another unprivileged uid at
// the address, and registers with root's once it is back.
TEST(ServiceHostAsNobodyTest, RegistersOnlyWithAManagerOfRootOrItsOwnUid)
{
    const std::vector<std::string> allowNobody = {"--allow-register", std::to_string(kNobody)};
    const uid_t other = kNobody - 1;
    Daemon manager, squatter, host;
    ASSERT_TRUE(manager.start(binaryPath("service-manager"), allowNobody)) << manager.error();
    ASSERT_TRUE(startAs(host, true, "service-host", {"--service", "a", "--service", "b"})) << host.error();
    EXPECT_EQ(manager.stop(SIGKILL), 128 + SIGKILL);

    ASSERT_TRUE(startAsUid(squatter, other, "service-manager", {})) << squatter.error();
    const std::string refused = "service-host: refusing the service manager address held by pid " +
                                std::to_string(squatter.pid()) + ", uid " + std::to_string(other) +
                                " (neither root nor this user)\n";
    ASSERT_TRUE(host.waitForError(refused)) << host.error();
    RunResult list = runAsUid(other, "quellix", {"list"});
    EXPECT_EQ(list.out, "Found 0 services:\n");
    EXPECT_EQ(squatter.stop(SIGTERM), 0);

    ASSERT_TRUE(manager.start(binaryPath("service-manager"), allowNobody)) << manager.error();
    ASSERT_TRUE(host.waitForError("again with the service manager")) << host.error();
    expectQuellix({"list"}, "Found 2 services:\n0\ta: [test.IEcho]\n1\tb: [test.IEcho]\n");
    EXPECT_EQ(host.stop(SIGTERM), 0);
    EXPECT_EQ(host.error(), kGone + refused + registeredAgain("2 names", manager) + "service-host: stopping on " +
                                sentBy(SIGTERM));
}

} // namespace
