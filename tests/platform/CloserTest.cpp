// The event loop's closer in-process: its bound per sender, and an end that
// waits for no close that blocks.
#include "Closer.h"
#include "Hostile.h"
#include "Reliability.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// A socket whose close blocks whatever its own options: its queue holds a
// lingering socket in flight, whose last copy that close releases.
int blockingClose()
{
    int ends[2];
    const int lingering = lingeringSocket(30);
    if (lingering < 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0 ||
        !sendDescriptor(ends[0], lingering))
        return -1;
    close(lingering);
    close(ends[0]);
    return ends[1];
}

std::vector<int> devNull(size_t count)
{
    std::vector<int> fds;
    for (size_t i = 0; i < count; ++i)
        fds.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    return fds;
}

bool isOpen(int fd) { return fcntl(fd, F_GETFD) >= 0; }

} // namespace

TEST(CloserTest, BoundsEachSenderAndEndsAtOnce)
{
    ASSERT_TRUE(bringUpLoopback());
    const int stuck = blockingClose();
    ASSERT_GE(stuck, 0);
    Stopwatch watch;
    {
        Closer closer(4);
        EXPECT_TRUE(closer.take(1, {stuck}));
        EXPECT_TRUE(closer.take(1, devNull(3)));
        // Sender 1 has its four pending behind the close that blocks.
        const std::vector<int> refused = devNull(1);
        EXPECT_FALSE(closer.take(1, refused));
        EXPECT_FALSE(isOpen(refused[0]));
        EXPECT_TRUE(closer.take(2, devNull(4)));
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(closer.pending(), 8u);
        watch = Stopwatch();
    }
    EXPECT_LT(watch.seconds(), 1.0);
}
