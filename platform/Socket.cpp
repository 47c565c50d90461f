#include "Socket.h"
#include "ServiceManager.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace {

// The abstract address: a NUL byte, then the name, no terminator.
socklen_t managerAddress(sockaddr_un* address)
{
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path + 1, kServiceManagerSocket, sizeof kServiceManagerSocket - 1);
    return socklen_t(offsetof(sockaddr_un, sun_path) + 1 + sizeof kServiceManagerSocket - 1);
}

} // namespace

int connectServiceManager()
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un address;
    socklen_t length = managerAddress(&address);
    int result;
    do
        result = connect(fd, reinterpret_cast<sockaddr*>(&address), length);
    while (result < 0 && errno == EINTR);
    if (result < 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int listenServiceManager()
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    sockaddr_un address;
    socklen_t length = managerAddress(&address);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) < 0 || listen(fd, SOMAXCONN) < 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

ssize_t sendBytes(int fd, const uint8_t* bytes, size_t size, int passFd, bool wait)
{
    size_t sent = 0;
    while (sent < size) {
        iovec iov{const_cast<uint8_t*>(bytes) + sent, size - sent};
        msghdr message{};
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        if (passFd >= 0 && sent == 0) {
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            cmsghdr* c = CMSG_FIRSTHDR(&message);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(c), &passFd, sizeof(int));
        }
        ssize_t count = sendmsg(fd, &message, MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
        if (count < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN && !wait)
                break;
            return -1;
        }
        sent += size_t(count);
    }
    return ssize_t(sent);
}

Channel::~Channel()
{
    if (fd_ >= 0)
        close(fd_);
}

status_t Channel::send(int32_t word, uint32_t arg, const uint8_t* payload, size_t size, int passFd)
{
    if (broken_)
        return kStatusDeadObject;
    uint8_t header[kFrameHeaderSize];
    encodeFrameHeader(header, uint32_t(size), word, arg);
    // Small frames go out in one system call; large ones skip the copy.
    bool ok;
    if (size <= 4096) {
        uint8_t frame[kFrameHeaderSize + 4096];
        std::memcpy(frame, header, kFrameHeaderSize);
        if (size > 0)
            std::memcpy(frame + kFrameHeaderSize, payload, size);
        ok = sendBytes(fd_, frame, kFrameHeaderSize + size, passFd, true) >= 0;
    } else {
        ok = sendBytes(fd_, header, kFrameHeaderSize, passFd, true) >= 0 &&
             sendBytes(fd_, payload, size, -1, true) >= 0;
    }
    if (!ok) {
        broken_ = true;
        return kStatusDeadObject;
    }
    return kStatusOk;
}

status_t Channel::receive(Frame* frame)
{
    while (!broken_) {
        switch (reader_.next(frame)) {
        case FrameReader::Result::kFrame:
            return kStatusOk;
        case FrameReader::Result::kMalformed:
            broken_ = true;
            return kStatusBadParcel;
        case FrameReader::Result::kNeedMore:
            break;
        }
        if (reader_.receive(fd_, 0) <= 0)
            broken_ = true;
    }
    return kStatusDeadObject;
}

int Channel::releaseFd()
{
    broken_ = true;
    return std::exchange(fd_, -1);
}
