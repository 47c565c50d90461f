// The event loop's closer in-process: its bound per sender, and an end that
// waits for no close that blocks.
#include "Closer.h"
#include "Hostile.h"
#include "Reliability.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {

std::vector<int> devNull(size_t count)
{
    std::vector<int> fds;
    for (size_t i = 0; i < count; ++i)
        fds.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    return fds;
}

} // namespace

TEST(CloserTest, BoundsEachSenderAndEndsAtOnce)
{
    ASSERT_TRUE(bringUpLoopback());
    const int stuck = socketWhoseCloseBlocks();
    ASSERT_GE(stuck, 0);
    Stopwatch watch;
    {
        Closer closer(4);
        EXPECT_TRUE(closer.take(1, {stuck}));
        EXPECT_TRUE(closer.take(1, devNull(3)));
        // Sender 1 has its four pending behind the close that blocks: its
        // fifth is refused (and still closed there), another's is not.
        EXPECT_FALSE(closer.take(1, devNull(1)));
        EXPECT_TRUE(closer.take(2, devNull(4)));
        EXPECT_TRUE(closer.full(1) && closer.full(2));
        EXPECT_FALSE(closer.full(3));
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(closer.pending(), 9u);
        watch = Stopwatch();
    }
    EXPECT_LT(watch.seconds(), 1.0);
}
