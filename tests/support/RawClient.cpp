#include "RawClient.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <climits>
#include <cstdint>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The name README.md documents, written out here rather than taken from
// the platform's headers, so that a change of address shows up.
constexpr char kAddress[] = "quellix.service-manager";

void appendLittleEndian(std::string* out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out->push_back(char((value >> (8 * i)) & 0xFF));
}

// The abstract address: a NUL byte, then the name.
socklen_t managerAddress(sockaddr_un* address)
{
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path + 1, kAddress, sizeof kAddress - 1);
    return socklen_t(offsetof(sockaddr_un, sun_path) + 1 + sizeof kAddress - 1);
}

} // namespace

int listenRaw(int backlog)
{
    sockaddr_un address;
    socklen_t length = managerAddress(&address);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, backlog) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

int connectRaw(bool nonBlocking)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0)
        return -1;
    sockaddr_un address;
    socklen_t length = managerAddress(&address);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool sendRaw(int fd, const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return true;
}

bool peerHolds(int fd)
{
    pollfd watch{fd, POLLRDHUP, 0};
    return poll(&watch, 1, 0) == 0;
}

bool waitForClose(int fd, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0)
            return false;
        pollfd ready{fd, POLLIN, 0};
        int polled = poll(&ready, 1, int(left.count()));
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled <= 0)
            return false;
        char buffer[4096];
        ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0)
            return true;
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
    }
}

namespace {

// Reads exactly `size` bytes, keeping the first descriptor that comes and
// closing any other.
bool readExactly(int fd, uint8_t* out, size_t size, int* passedFd)
{
    for (size_t got = 0; got < size;) {
        iovec iov{out + got, size - got};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)];
        msghdr message{};
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t n = recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int passed;
                std::memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof passed);
                if (passedFd && *passedFd < 0)
                    *passedFd = passed;
                else
                    close(passed);
            }
        }
        got += size_t(n);
    }
    return true;
}

} // namespace

int32_t rawLookup(int fd, const std::string& request, int* passedFd)
{
    if (passedFd)
        *passedFd = -1;
    uint8_t header[16];
    if (!sendRaw(fd, request) || !readExactly(fd, header, sizeof header, passedFd))
        return INT32_MIN;
    uint32_t size;
    int32_t status;
    std::memcpy(&size, header, sizeof size);
    std::memcpy(&status, header + 8, sizeof status);
    std::string payload(size, '\0');
    if (!readExactly(fd, reinterpret_cast<uint8_t*>(payload.data()), size, passedFd))
        return INT32_MIN;
    return status;
}

namespace {

// A String16 of ASCII `name`, as a request's payload.
std::string namePayload(const std::string& name)
{
    std::string payload;
    appendLittleEndian(&payload, uint32_t(name.size()));
    for (char c : name)
        payload += std::string{c, '\0'};
    payload += std::string(2, '\0');
    payload.resize((payload.size() + 3) / 4 * 4, '\0');
    return payload;
}

} // namespace

std::string lookupRequest(const std::string& name, bool fresh)
{
    std::string payload = namePayload(name);
    return frameBytes(uint32_t(payload.size()), 1, fresh ? 1 : 0, payload, kManagerProtocol);
}

std::string listRequest() { return frameBytes(4, 2, 0, std::string(4, '\xff'), kManagerProtocol); }

std::string registerRequest(const std::string& name, uint32_t handle)
{
    std::string payload = namePayload(name);
    return frameBytes(uint32_t(payload.size()), 3, handle, payload, kManagerProtocol);
}

std::string frameBytes(uint32_t payloadSize, int32_t word, uint32_t arg, const std::string& payload,
                       uint32_t target)
{
    std::string frame;
    appendLittleEndian(&frame, payloadSize);
    appendLittleEndian(&frame, uint32_t(word));
    appendLittleEndian(&frame, arg);
    appendLittleEndian(&frame, target);
    return frame + payload;
}
