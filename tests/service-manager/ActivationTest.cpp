// The service manager under an init system: it serves the listening
// socket passed to it (LISTEN_FDS), refuses any other, and while the
// socket is held nobody can take the address, not even between two runs
// of the manager. The installed systemd units pass systemd's own checks.
#include "Hostile.h"
#include "Patterns.h"
#include "RawClient.h"
#include "Scratch.h"
#include "SystemdUnits.h"
#include "TestPlatform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <future>
#include <grp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const char kRefused[] = "service-manager: the socket passed by the init system is not a listening Unix stream "
                        "socket at @quellix.service-manager\n";

// The service manager with `fd` passed as the init system passes it: as
// descriptor 3, with LISTEN_FDS=1 and LISTEN_PID its own pid.
std::vector<std::string> activated(int fd)
{
    return {"-c", "exec 3<&" + std::to_string(fd) + "; export LISTEN_FDS=1 LISTEN_PID=$$; exec \"$0\"",
            binaryPath("service-manager")};
}

// A socket of `type`, bound to the abstract name (the platform's when
// empty), listening when asked to; children inherit it.
int socketAt(int type, const std::string& name, bool listening)
{
    if (name.empty()) {
        int fd = listenRaw(SOMAXCONN);
        return fd >= 0 && fcntl(fd, F_SETFD, 0) == 0 ? fd : -1;
    }
    int fd = socket(AF_UNIX, type, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    auto length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || (listening && listen(fd, 8) != 0))
        return -1;
    return fd;
}

// Whether nobody may bind the platform's address now.
bool nobodyCanBind()
{
    Attacker nobody;
    return nobody.run(kNobody, [] {
        if (listenRaw(1) < 0)
            _exit(1);
    });
}

TEST(ActivationTest, ServesTheSocketOfSystemdSocketActivate)
{
    // The manager is started on the first connection, which it serves.
    auto list = std::async(std::launch::async, [] {
        std::this_thread::sleep_for(300ms);
        return TestPlatform::quellix({"list"});
    });
    Daemon manager;
    ASSERT_TRUE(manager.start("/usr/bin/systemd-socket-activate",
                              {"-l", "@quellix.service-manager", binaryPath("service-manager")}))
        << manager.error();
    RunResult result = list.get();
    EXPECT_EQ(result.out, "Found 0 services:\n");
    EXPECT_EQ(result.exitStatus, 0);
}

TEST(ActivationTest, RefusesEveryOtherSocket)
{
    struct Case {
        const char* name;
        int fd;
    };
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const Case cases[] = {
        {"a listening stream socket elsewhere", socketAt(SOCK_STREAM, "elsewhere", true)},
        {"a datagram socket at the address", socketAt(SOCK_DGRAM, "quellix.service-manager", false)},
        {"a connected socket", pair[0]},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_GE(c.fd, 0);
        RunResult result = runProgram("/bin/sh", activated(c.fd), 10s);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, kRefused);
        EXPECT_EQ(result.exitStatus, 1);
        close(c.fd);
    }
    close(pair[1]);
}

// The socket held as the init system holds it: the address stays taken
// while no manager runs, and the next manager serves it again.
TEST(ActivationTest, AHeldSocketKeepsTheAddressAcrossRestarts)
{
    const int listener = socketAt(SOCK_STREAM, "", true);
    ASSERT_GE(listener, 0);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        Daemon manager;
        ASSERT_TRUE(manager.start("/bin/sh", activated(listener))) << manager.error();
        EXPECT_FALSE(nobodyCanBind());
        RunResult list = TestPlatform::quellix({"list"});
        EXPECT_EQ(list.out, "Found 0 services:\n");
        EXPECT_EQ(manager.stop(), 0);
        EXPECT_FALSE(nobodyCanBind());
    }
    close(listener);
    EXPECT_TRUE(nobodyCanBind());
}

// The units as `make install PREFIX=/usr` stages them below DESTDIR pass
// systemd-analyze verify unmodified, and the service's exposure rates "OK"
// or better (2.0 at most).
TEST(ActivationTest, TheInstalledUnitsPassSystemdsChecks)
{
    ScratchDir stage;
    ASSERT_TRUE(stage.ok());
    RunResult installed = runProgram(QUELLIX_CMAKE, {"--install", QUELLIX_BUILD_DIR, "--prefix", "/usr", "--component", "runtime"},
                                     60s, {"DESTDIR=" + stage.path()});
    ASSERT_EQ(installed.exitStatus, 0) << installed.out << installed.err;
    const std::string service = stage.path() + "/usr/lib/systemd/system/quellix-service-manager.service";
    EXPECT_NE(readFile(service).find("\nExecStart=/usr/sbin/service-manager\n"), std::string::npos);
    RunResult verify = verifyUnits(stage.path(), "usr/lib/systemd/system");
    EXPECT_EQ(verify.err, "");
    EXPECT_EQ(verify.exitStatus, 0);
    RunResult security = runProgram("/usr/bin/systemd-analyze",
                                    {"security", "--offline=true", "--no-pager", "--root=" + stage.path(), service},
                                    30s, {"MANPATH=" + stage.path() + "/usr/share/man"});
    const std::vector<std::string> level = firstMatch(security.out, "exposure level for [^:]*: ([0-9.]+)");
    ASSERT_EQ(level.size(), 2u) << security.out << security.err;
    EXPECT_LE(std::stod(level[1]), 2.0) << security.out;
}

} // namespace
