#include "Address.h"

#include <quellix/Names.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A listener with a full backlog gets this many tries, this far apart.
constexpr int kConnectTries = 200;
constexpr useconds_t kConnectPause = 10000;

// The abstract address: a NUL byte, then the name, no terminator.
socklen_t managerAddress(sockaddr_un* address)
{
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path + 1, kServiceManagerSocket, sizeof kServiceManagerSocket - 1);
    return socklen_t(offsetof(sockaddr_un, sun_path) + 1 + sizeof kServiceManagerSocket - 1);
}

// Connects to whoever listens at the address, trying a full backlog again
// `retries` times; *peer says who that is once it is known.
int connectManager(int retries, Credentials* peer)
{
    // Not blocking, so that an address whose listener takes no one (its
    // backlog full) is given up after a while instead of waited for.
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    sockaddr_un address;
    socklen_t length = managerAddress(&address);
    int result;
    for (int wait = 0;; ++wait) {
        result = connect(fd, reinterpret_cast<sockaddr*>(&address), length);
        if (result == 0 || (errno != EINTR && (errno != EAGAIN || wait == retries)))
            break;
        usleep(kConnectPause);
    }
    if (result == 0)
        result = fcntl(fd, F_SETFL, 0);
    if (result == 0 && !peerCredentials(fd, peer))
        result = -1;
    if (result == 0 && peer->uid != 0 && peer->uid != geteuid()) {
        errno = EPERM;
        result = -1;
    }
    if (result < 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

} // namespace

bool peerCredentials(int fd, Credentials* peer)
{
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) < 0)
        return false;
    *peer = Credentials{credentials.pid, credentials.uid, credentials.gid};
    return true;
}

int connectServiceManager(Credentials* holder)
{
    Credentials peer;
    int fd = connectManager(kConnectTries, &peer);
    if (fd < 0 && errno == EPERM && holder)
        *holder = peer;
    return fd;
}

int connectServiceManagerNow(Credentials* peer) { return connectManager(0, peer); }

// Linux 6.16 and later; older kernels refuse the option.
#ifndef SO_PASSRIGHTS
#define SO_PASSRIGHTS 83
#endif

int refuseDescriptors(int fd)
{
    int off = 0;
    if (setsockopt(fd, SOL_SOCKET, SO_PASSRIGHTS, &off, sizeof off) == 0)
        return 0;
    return errno == ENOPROTOOPT || errno == EINVAL ? 0 : -1;
}

bool refusedDescriptors(int fd)
{
    int passes = 1;
    socklen_t size = sizeof passes;
    return getsockopt(fd, SOL_SOCKET, SO_PASSRIGHTS, &passes, &size) == 0 && passes == 0;
}

int refusingSocketPair(int ends[2])
{
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) < 0)
        return -1;
    if (refuseDescriptors(ends[0]) == 0 && refuseDescriptors(ends[1]) == 0)
        return 0;
    int error = errno;
    close(ends[0]);
    close(ends[1]);
    errno = error;
    return -1;
}

int listenServiceManager()
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    sockaddr_un address;
    socklen_t length = managerAddress(&address);
    // Refused before it listens, so that no connection can carry any in.
    if (refuseDescriptors(fd) < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) < 0 ||
        listen(fd, SOMAXCONN) < 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}
