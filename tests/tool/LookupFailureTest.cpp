// A look-up that the service manager refuses for want of descriptors (it
// can make no connection to the host): check and call fail with its
// status, list shows the name without an interface name.
#include "ProcessProbe.h"
#include "ToolCase.h"

namespace {

TEST(LookupFailureTest, ARefusedLookUpIsAFailure)
{
    TestPlatform platform;
    ASSERT_TRUE(platform.startManager()) << platform.manager().error();
    ASSERT_TRUE(platform.startHost({"--service", "s"}));
    // One descriptor left: a run's connection takes it, and no socket pair
    // can be made for the host.
    const pid_t manager = platform.manager().pid();
    ASSERT_TRUE(limitDescriptors(manager, rlim_t(openDescriptors(manager) + 1)));
    const std::string failed = "quellix: Lookup of s failed with status -24\n";
    expectRuns({
        {"check", {"check", "s"}, "", failed, 10},
        {"call, its arguments unread", {"call", "s", "1", "bogus"}, "", failed, 10},
        {"list", {"list"}, "Found 1 services:\n0\ts: []\n", "", 0},
        {"a name that is not there", {"check", "t"}, "Service t: not found\n", "", 0},
    });
}

} // namespace
