#include "Frame.h"

#include "ByteOrder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Each read offers the socket room for as many bytes as are buffered
// already, between these two sizes: a buffer doubles while a large frame
// arrives, and stays small for the small frames most connections carry.
constexpr size_t kFirstChunk = 4 * 1024;
constexpr size_t kLargestChunk = 256 * 1024;
// As many descriptors as one message can carry (the kernel's SCM_MAX_FD):
// any the control buffer had no room for, the kernel would close in the
// reading thread, where a close that blocks holds up everything.
constexpr int kMaxFdsPerRead = 253;

} // namespace

Frame& Frame::operator=(Frame&& other) noexcept
{
    if (this != &other) {
        closeFds();
        word = other.word;
        arg = other.arg;
        target = other.target;
        payload = std::move(other.payload);
        fds = std::move(other.fds);
        other.fds.clear();
    }
    return *this;
}

int Frame::takeFd()
{
    if (fds.empty())
        return -1;
    int fd = fds.front();
    fds.erase(fds.begin());
    return fd;
}

void Frame::closeFds()
{
    for (int fd : fds)
        close(fd);
    fds.clear();
}

void encodeFrameHeader(uint8_t header[kFrameHeaderSize], uint32_t size, int32_t word, uint32_t arg,
                       uint32_t target)
{
    putLittle32(header, size);
    putLittle32(header + 4, uint32_t(word));
    putLittle32(header + 8, arg);
    putLittle32(header + 12, target);
}

void FrameReader::reserve(size_t room)
{
    if (start_ > 0 && (start_ == end_ || capacity_ - end_ < room)) {
        std::memmove(buffer_.get(), buffer_.get() + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    if (capacity_ - end_ >= room)
        return;
    size_t capacity = std::max(end_ + room, 2 * capacity_);
    // Not zero-filled: only received bytes are ever read.
    std::unique_ptr<uint8_t[]> bigger(new uint8_t[capacity]);
    if (end_ > 0)
        std::memcpy(bigger.get(), buffer_.get(), end_);
    buffer_ = std::move(bigger);
    capacity_ = capacity;
}

ssize_t FrameReader::receive(int fd, int flags)
{
    reserve(std::clamp(end_ - start_, kFirstChunk, kLargestChunk));
    iovec iov{buffer_.get() + end_, capacity_ - end_};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFdsPerRead)];
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;

    ssize_t count;
    do
        count = recvmsg(fd, &message, flags | MSG_CMSG_CLOEXEC);
    while (count < 0 && errno == EINTR);
    if (count < 0)
        return -1;

    uint64_t last = offset_ + (end_ - start_) + uint64_t(count) - 1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < n; ++i) {
            int received;
            std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof received);
            // Descriptors without a byte to go with cannot belong to a frame.
            if (count == 0)
                close(received);
            else
                fds_.emplace_back(last, received);
        }
    }
    end_ += size_t(count);
    return count;
}

void FrameReader::append(const uint8_t* bytes, size_t size)
{
    reserve(size);
    if (size > 0)
        std::memcpy(buffer_.get() + end_, bytes, size);
    end_ += size;
}

bool FrameReader::holdsWholeFrame() const
{
    const size_t available = end_ - start_;
    return !malformed_ && available >= kFrameHeaderSize &&
           getLittle32(buffer_.get() + start_) <= available - kFrameHeaderSize;
}

FrameReader::Result FrameReader::next(Frame* frame)
{
    if (malformed_)
        return Result::kMalformed;
    size_t available = end_ - start_;
    if (available < kFrameHeaderSize)
        return Result::kNeedMore;
    const uint8_t* header = buffer_.get() + start_;
    uint32_t size = getLittle32(header);
    if (size > maxPayload_) {
        malformed_ = true;
        return Result::kMalformed;
    }
    if (size > available - kFrameHeaderSize)
        return Result::kNeedMore;

    frame->closeFds();
    frame->word = int32_t(getLittle32(header + 4));
    frame->arg = getLittle32(header + 8);
    frame->target = getLittle32(header + 12);
    frame->payload.assign(header + kFrameHeaderSize, header + kFrameHeaderSize + size);
    const size_t length = kFrameHeaderSize + size;
    const uint64_t frameEnd = offset_ + length;
    while (!fds_.empty() && fds_.front().first < frameEnd) {
        frame->fds.push_back(fds_.front().second);
        fds_.pop_front();
    }
    start_ += length;
    offset_ = frameEnd;
    // A buffer that grew for a large frame is not kept for small ones.
    if (start_ == end_ && capacity_ > 2 * kLargestChunk) {
        buffer_.reset();
        capacity_ = start_ = end_ = 0;
    }
    return Result::kFrame;
}

std::vector<int> FrameReader::takeFds()
{
    std::vector<int> fds;
    for (auto& [offset, fd] : fds_)
        fds.push_back(fd);
    fds_.clear();
    return fds;
}

void FrameReader::closeFds()
{
    for (auto& [offset, fd] : fds_)
        close(fd);
    fds_.clear();
}
