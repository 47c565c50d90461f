// Frames over a real socket pair, in-process: what a connection delivers,
// which frame owns which descriptor, half-sent frames and the size limit.
#include "Connection.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t kLimit = 64 * 1024;

struct Pair {
    Pair()
    {
        int ends[2] = {-1, -1};
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        a = std::make_unique<Connection>(ends[0], kLimit);
        b = std::make_unique<Connection>(ends[1], kLimit);
    }
    std::unique_ptr<Connection> a, b;
};

bool isOpen(int fd) { return fcntl(fd, F_GETFD) >= 0; }

// Sent waiting (send) or not (queue and flush), frames arrive whole and in
// order, whatever their size up to the limit.
TEST(ConnectionTest, FramesArriveWholeAndInOrder)
{
    Pair pair;
    const std::vector<size_t> sizes = {0, 1, 15, 16, 4097, kLimit};
    for (size_t size : sizes) {
        std::vector<uint8_t> payload(size, uint8_t(size));
        if (size % 2)
            ASSERT_EQ(pair.a->send(-5, uint32_t(size), 9, payload.data(), size), 0);
        else
            pair.a->queue(-5, uint32_t(size), 9, payload);
        ASSERT_EQ(pair.a->flush(), 0);
        EXPECT_FALSE(pair.a->hasOutput());
    }
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        Frame frame;
        ASSERT_EQ(pair.b->receive(&frame), 0);
        EXPECT_EQ(frame.word, -5);
        EXPECT_EQ(frame.arg, size);
        EXPECT_EQ(frame.target, 9u);
        EXPECT_EQ(frame.payload, std::vector<uint8_t>(size, uint8_t(size)));
    }
}

// A descriptor belongs to the frame it was sent with; one nobody takes is
// closed with its frame, and the sender's copy is closed once it went.
TEST(ConnectionTest, DescriptorsBelongToTheirFrame)
{
    Pair pair;
    int passed[2];
    ASSERT_EQ(pipe(passed), 0);
    const uint8_t byte = 1;
    ASSERT_EQ(pair.a->send(1, 0, 0, &byte, 1), 0);
    ASSERT_EQ(pair.a->sendNow(2, 0, 0, &byte, 1, passed[0]), 0);
    EXPECT_FALSE(isOpen(passed[0]));
    ASSERT_EQ(pair.a->send(3, 0, 0, &byte, 1), 0);

    Frame first, second, third;
    ASSERT_EQ(pair.b->receive(&first), 0);
    ASSERT_EQ(pair.b->receive(&second), 0);
    ASSERT_EQ(pair.b->receive(&third), 0);
    EXPECT_TRUE(first.fds.empty());
    EXPECT_TRUE(third.fds.empty());
    ASSERT_EQ(second.fds.size(), 1u);
    const int received = second.fds[0];
    EXPECT_TRUE(isOpen(received));
    second = Frame();
    EXPECT_FALSE(isOpen(received));
    close(passed[1]);
}

// Bytes that trickle in make no frame until the last one; a header that
// announces more than the limit is malformed, and stays so.
TEST(ConnectionTest, PartialAndOversizedFrames)
{
    uint8_t header[kFrameHeaderSize];
    encodeFrameHeader(header, 3, 1, 2, 3);
    const uint8_t payload[3] = {'a', 'b', 'c'};
    FrameReader reader(kLimit);
    Frame frame;
    for (size_t i = 0; i < kFrameHeaderSize + 2; ++i) {
        reader.append(i < kFrameHeaderSize ? &header[i] : &payload[i - kFrameHeaderSize], 1);
        ASSERT_EQ(reader.next(&frame), FrameReader::Result::kNeedMore) << i;
        EXPECT_TRUE(reader.holdsPartialFrame());
    }
    reader.append(&payload[2], 1);
    ASSERT_EQ(reader.next(&frame), FrameReader::Result::kFrame);
    EXPECT_FALSE(reader.holdsPartialFrame());
    EXPECT_EQ(frame.payload, std::vector<uint8_t>(payload, payload + 3));

    Pair pair;
    encodeFrameHeader(header, uint32_t(kLimit + 1), 1, 0, 0);
    ASSERT_EQ(send(pair.a->fd(), header, sizeof header, MSG_NOSIGNAL), ssize_t(sizeof header));
    EXPECT_EQ(pair.b->receive(&frame), -1);
    EXPECT_EQ(errno, EBADMSG);
    EXPECT_TRUE(pair.b->broken());
    EXPECT_EQ(statusFromErrno(EBADMSG), kStatusBadParcel);
}

// A peer that has gone reads as EPIPE, never as a signal; a frame that
// cannot go now, behind queued ones, is refused with EAGAIN.
TEST(ConnectionTest, GonePeersAndBusySockets)
{
    Pair pair;
    pair.a->queue(1, 0, 0, std::vector<uint8_t>(8));
    const uint8_t byte = 0;
    EXPECT_EQ(pair.a->sendNow(2, 0, 0, &byte, 1, -1), -1);
    EXPECT_EQ(errno, EAGAIN);

    pair.b.reset();
    Frame frame;
    EXPECT_EQ(pair.a->receive(&frame), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(statusFromErrno(errno), kStatusDeadObject);
    EXPECT_EQ(pair.a->send(1, 0, 0, &byte, 1), -1);
    EXPECT_EQ(errno, EPIPE);
}

} // namespace
