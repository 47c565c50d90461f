#include "FrameReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A reader's buffer starts at the first size and grows with what arrives,
// up to the second for frames of unknown size.
constexpr size_t kFirstChunk = 4 * 1024;
constexpr size_t kReadChunk = 64 * 1024;
constexpr int kMaxFdsPerMessage = 8;

void putLittle32(uint8_t* out, uint32_t value)
{
    out[0] = uint8_t(value);
    out[1] = uint8_t(value >> 8);
    out[2] = uint8_t(value >> 16);
    out[3] = uint8_t(value >> 24);
}

uint32_t getLittle32(const uint8_t* in)
{
    return uint32_t(in[0]) | uint32_t(in[1]) << 8 | uint32_t(in[2]) << 16 | uint32_t(in[3]) << 24;
}

} // namespace

void encodeFrameHeader(uint8_t header[kFrameHeaderSize], uint32_t size, int32_t word, uint32_t arg)
{
    putLittle32(header, size);
    putLittle32(header + 4, uint32_t(word));
    putLittle32(header + 8, arg);
}

FrameReader::~FrameReader() { closeFds(); }

FrameReader::FrameReader(FrameReader&& other) noexcept
    : maxPayload_(other.maxPayload_), buffer_(std::move(other.buffer_)), start_(other.start_),
      end_(other.end_), wanted_(other.wanted_), malformed_(other.malformed_),
      fds_(std::move(other.fds_))
{
    other.start_ = other.end_ = 0;
    other.fds_.clear();
}

void FrameReader::reserve(size_t room)
{
    if (start_ > 0 && (start_ == end_ || buffer_.size() - end_ < room)) {
        std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    if (buffer_.size() - end_ < room)
        buffer_.resize(end_ + room);
}

ssize_t FrameReader::receive(int fd, int flags)
{
    // Most connections carry a few small frames: a new reader does not
    // allocate (and zero) a large buffer for them. The rest of a large
    // frame is read in one go once its size is known.
    size_t room = std::clamp(buffer_.size(), kFirstChunk, kReadChunk);
    if (wanted_ > end_ - start_ && wanted_ - (end_ - start_) > room)
        room = wanted_ - (end_ - start_);
    reserve(room);

    iovec iov{buffer_.data() + end_, room};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFdsPerMessage)];
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

    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < n; ++i) {
            int received;
            std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof received);
            fds_.push_back(received);
        }
    }
    end_ += size_t(count);
    return count;
}

void FrameReader::append(const uint8_t* bytes, size_t size)
{
    reserve(size);
    if (size > 0)
        std::memcpy(buffer_.data() + end_, bytes, size);
    end_ += size;
}

FrameReader::Result FrameReader::next(Frame* frame)
{
    if (malformed_)
        return Result::kMalformed;
    size_t available = end_ - start_;
    if (available < kFrameHeaderSize)
        return Result::kNeedMore;
    const uint8_t* header = buffer_.data() + start_;
    uint32_t size = getLittle32(header);
    if (size > maxPayload_) {
        malformed_ = true;
        return Result::kMalformed;
    }
    wanted_ = kFrameHeaderSize + size;
    if (size > available - kFrameHeaderSize)
        return Result::kNeedMore;

    frame->word = int32_t(getLittle32(header + 4));
    frame->arg = getLittle32(header + 8);
    frame->payload.assign(header + kFrameHeaderSize, header + kFrameHeaderSize + size);
    start_ += kFrameHeaderSize + size;
    wanted_ = 0;
    return Result::kFrame;
}

int FrameReader::takeFd()
{
    if (fds_.empty())
        return -1;
    int fd = fds_.front();
    fds_.pop_front();
    return fd;
}

void FrameReader::closeFds()
{
    for (int fd : fds_)
        close(fd);
    fds_.clear();
}
