// service-manager: one per network namespace, and a clean stop.
#include "TestPlatform.h"

#include <csignal>
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
        EXPECT_EQ(platform.manager().error(), "service-manager: ready, serving @quellix.service-manager\n");

        RunResult list = TestPlatform::quellix({"list"});
        EXPECT_EQ(list.out, "");
        EXPECT_EQ(list.err, "quellix: Unable to get default service manager!\n");
        EXPECT_EQ(list.exitStatus, 20);
        // The next round starts a manager at the same address again.
    }
}

} // namespace
