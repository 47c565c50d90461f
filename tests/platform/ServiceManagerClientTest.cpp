// A ServiceManager held across a restart of the service manager asks the
// new one, and a reference from before still reaches its host. The host is
// raw, so that it outlives the first service manager and registers again.
#include "RawClient.h"
#include "TestPlatform.h"

#include <quellix/IBinder.h>
#include <quellix/Parcel.h>
#include <quellix/ServiceManager.h>

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <unistd.h>

namespace {

constexpr uint32_t kHandle = 7;

// A raw host's connection, with "s" registered; -1 when refused.
int registerHost()
{
    int fd = connectRaw();
    if (fd >= 0 && rawLookup(fd, registerRequest("s", kHandle)) != kStatusOk) {
        close(fd);
        return -1;
    }
    return fd;
}

// The host's end of the connection the service manager has just made for
// a look-up; -1 when none came.
int attached(int host)
{
    int end = -1;
    rawLookup(host, "", &end);
    return end;
}

// The status of a transaction on `binder` that the host at `end` answers
// with `answer` (queued first, so that nothing waits); INT32_MIN unless the
// request reached that end.
status_t callThrough(const sp<IBinder>& binder, int end, status_t answer)
{
    Parcel data, reply;
    if (!sendRaw(end, frameBytes(0, answer, 0, "", kHandle)))
        return INT32_MIN;
    status_t status = binder->sendTransaction(1, data, &reply, 0);
    return rawLookup(end, "") == INT32_MIN ? INT32_MIN : status;
}

// Kills the service manager, starts another and registers the host there
// again, on a new connection in *host. A client comes first, so that the
// new service manager's number for the host is not the old one's.
bool restart(TestPlatform& platform, int* host)
{
    close(*host);
    *host = -1;
    if (platform.manager().stop(SIGKILL) != 128 + SIGKILL || !platform.startManager())
        return false;
    int first = connectRaw();
    *host = registerHost();
    close(first);
    return *host >= 0;
}

TEST(ServiceManagerClientTest, HeldAcrossARestartItAsksTheNextManager)
{
    TestPlatform platform;
    ASSERT_TRUE(platform.startManager()) << platform.manager().error();
    int host = registerHost();
    ASSERT_GE(host, 0);
    sp<ServiceManager> manager = defaultServiceManager();
    ASSERT_TRUE(manager != nullptr);
    status_t status;
    sp<IBinder> before = manager->lookupService(String16("s"), &status);
    ASSERT_EQ(status, kStatusOk);
    const int beforeEnd = attached(host);

    ASSERT_TRUE(restart(platform, &host)) << platform.manager().error();
    Vector<String16> names;
    EXPECT_EQ(manager->listServiceNames(&names), kStatusOk);
    EXPECT_EQ(names.size(), 1u);

    ASSERT_TRUE(restart(platform, &host)) << platform.manager().error();
    sp<IBinder> after = manager->lookupService(String16("s"), &status);
    ASSERT_EQ(status, kStatusOk);
    EXPECT_EQ(callThrough(after, attached(host), 12), 12);
    EXPECT_EQ(callThrough(before, beforeEnd, 11), 11);
    // Nothing but the reference held that link.
    before.clear();
    EXPECT_TRUE(waitForClose(beforeEnd, 5s));
}

} // namespace
