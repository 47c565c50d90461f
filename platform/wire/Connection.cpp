#include "Connection.h"

#include <cerrno>
#include <cstring>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// One sendmsg of what is left of a frame after `sent` bytes: header and
// payload as two pieces, `passFd` (unless -1) with the first byte. Never
// raises SIGPIPE.
ssize_t sendPart(int fd, const uint8_t* header, const uint8_t* payload, size_t size, size_t sent,
                 int passFd, int flags)
{
    iovec iov[2];
    int pieces = 0;
    if (sent < kFrameHeaderSize)
        iov[pieces++] = {const_cast<uint8_t*>(header) + sent, kFrameHeaderSize - sent};
    size_t payloadSent = sent > kFrameHeaderSize ? sent - kFrameHeaderSize : 0;
    if (size > payloadSent)
        iov[pieces++] = {const_cast<uint8_t*>(payload) + payloadSent, size - payloadSent};
    msghdr message{};
    message.msg_iov = iov;
    message.msg_iovlen = size_t(pieces);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (passFd >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &passFd, sizeof(int));
    }
    ssize_t count;
    do
        count = sendmsg(fd, &message, MSG_NOSIGNAL | flags);
    while (count < 0 && errno == EINTR);
    return count;
}

} // namespace

static_assert(kStatusDeadObject == -EPIPE && kStatusBadParcel == -EBADMSG && kStatusNoResources == -EMFILE);

bool isExhaustion(int error) { return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM; }

status_t statusFromErrno(int error)
{
    if (error == ECONNRESET)
        return kStatusDeadObject;
    return isExhaustion(error) ? kStatusNoResources : -error;
}

Connection::Connection(int fd, size_t maxPayload) : fd_(fd), reader_(maxPayload) {}

Connection::~Connection() { shutDown(); }

void Connection::shutDown()
{
    int error = errno;
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    errno = error;
}

int Connection::release()
{
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

int Connection::send(int32_t word, uint32_t arg, uint32_t target, const uint8_t* payload, size_t size)
{
    uint8_t header[kFrameHeaderSize];
    encodeFrameHeader(header, uint32_t(size), word, arg, target);
    for (size_t sent = 0; sent < kFrameHeaderSize + size;) {
        if (broken())
            return failWith(EPIPE);
        ssize_t count = sendPart(fd_, header, payload, size, sent, -1, 0);
        if (count < 0) {
            shutDown();
            return -1;
        }
        sent += size_t(count);
    }
    return 0;
}

int Connection::receive(Frame* frame)
{
    while (!broken()) {
        switch (reader_.next(frame)) {
        case FrameReader::Result::kFrame:
            return 0;
        case FrameReader::Result::kMalformed:
            shutDown();
            return failWith(EBADMSG);
        case FrameReader::Result::kNeedMore:
            break;
        }
        ssize_t count = reader_.receive(fd_, 0);
        if (count <= 0) {
            shutDown();
            return count == 0 ? failWith(EPIPE) : -1;
        }
    }
    return failWith(EPIPE);
}

int Connection::call(int32_t word, uint32_t arg, uint32_t target, const uint8_t* payload, size_t size,
                     Frame* reply)
{
    if (send(word, arg, target, payload, size) < 0)
        return -1;
    return receive(reply);
}

int Connection::sendNow(int32_t word, uint32_t arg, uint32_t target, const uint8_t* payload, size_t size,
                        int passFd)
{
    if (broken())
        return failWith(EPIPE);
    if (!output_.empty())
        return failWith(EAGAIN);
    Pending p;
    encodeFrameHeader(p.header, uint32_t(size), word, arg, target);
    ssize_t count = sendPart(fd_, p.header, payload, size, 0, passFd, MSG_DONTWAIT);
    if (count < 0)
        return -1;
    if (passFd >= 0)
        close(passFd);
    written_ += uint64_t(count);
    p.sent = size_t(count);
    if (p.sent < kFrameHeaderSize + size) {
        p.payload.assign(payload, payload + size);
        outputBytes_ += kFrameHeaderSize + size;
        output_.push_back(std::move(p));
    }
    return 0;
}

void Connection::queue(int32_t word, uint32_t arg, uint32_t target, std::vector<uint8_t> payload)
{
    Pending p;
    encodeFrameHeader(p.header, uint32_t(payload.size()), word, arg, target);
    p.payload = std::move(payload);
    outputBytes_ += kFrameHeaderSize + p.payload.size();
    output_.push_back(std::move(p));
}

size_t Connection::unreadBytes() const
{
    int queued = 0;
    return ioctl(fd_, SIOCOUTQ, &queued) == 0 && queued > 0 ? size_t(queued) : 0;
}

int Connection::flush()
{
    while (!output_.empty()) {
        if (broken())
            return failWith(EPIPE);
        Pending& p = output_.front();
        ssize_t count = sendPart(fd_, p.header, p.payload.data(), p.payload.size(), p.sent, -1, MSG_DONTWAIT);
        if (count < 0)
            return errno == EAGAIN ? 0 : -1;
        written_ += uint64_t(count);
        p.sent += size_t(count);
        if (p.sent < kFrameHeaderSize + p.payload.size())
            return 0;
        outputBytes_ -= kFrameHeaderSize + p.payload.size();
        output_.pop_front();
    }
    return 0;
}
