#include "Floor.h"
#include "Spawn.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A frame header and a small parcel, as an interface-name query's reply.
constexpr size_t kMessageSize = 40;
// A frame header and a 20-unit name as a String16, as a look-up request.
constexpr size_t kLookupRequestSize = 60;
constexpr size_t kLookupReplySize = 12;
constexpr char kFloorSocket[] = "quellix.bench.floor";
constexpr unsigned kServerLimitSeconds = 300;

// Forks a child that runs `serve` and exits; it dies with us.
template <typename F>
pid_t forkServer(F serve)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    alarm(kServerLimitSeconds);
    serve();
    _exit(0);
}

void endServer(pid_t pid)
{
    kill(pid, SIGKILL);
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

void echoServer(int fd)
{
    uint8_t message[kMessageSize];
    while (readFull(fd, message, sizeof message) && writeFull(fd, message, sizeof message)) {
    }
}

void lookupServer(int fd)
{
    uint8_t request[kLookupRequestSize];
    uint8_t reply[kLookupReplySize] = {};
    while (readFull(fd, request, sizeof request)) {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) < 0)
            return;
        iovec iov{reply, sizeof reply};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr message{};
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &ends[1], sizeof(int));
        bool sent = sendmsg(fd, &message, MSG_NOSIGNAL) == ssize_t(sizeof reply);
        close(ends[0]);
        close(ends[1]);
        if (!sent)
            return;
    }
}

// Receives the look-up reply and the descriptor that came with it.
int receiveWithFd(int fd)
{
    uint8_t reply[kLookupReplySize];
    iovec iov{reply, sizeof reply};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n;
    do
        n = recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
    while (n < 0 && errno == EINTR);
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    if (n != ssize_t(sizeof reply) || !c || c->cmsg_type != SCM_RIGHTS)
        return -1;
    int received;
    std::memcpy(&received, CMSG_DATA(c), sizeof received);
    return received;
}

socklen_t floorAddress(sockaddr_un* address)
{
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path + 1, kFloorSocket, sizeof kFloorSocket - 1);
    return socklen_t(offsetof(sockaddr_un, sun_path) + 1 + sizeof kFloorSocket - 1);
}

// Runs `server` on one end of a socket pair in a child process and
// `client` on the other end here.
template <typename Server, typename Client>
bool withPairServer(Server server, Client client, std::string* error)
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) < 0) {
        *error = std::string("socketpair: ") + std::strerror(errno);
        return false;
    }
    pid_t pid = forkServer([&] {
        close(ends[0]);
        server(ends[1]);
    });
    close(ends[1]);
    if (pid < 0) {
        close(ends[0]);
        *error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    bool ok = client(ends[0]);
    close(ends[0]);
    endServer(pid);
    return ok;
}

} // namespace

bool measureRoundTrip(size_t ops, Samples* out, std::string* error)
{
    return withPairServer(echoServer, [&](int fd) {
        uint8_t message[kMessageSize] = {};
        for (size_t i = 0; i < ops; ++i) {
            int64_t start = nowNs();
            if (!writeFull(fd, message, sizeof message) || !readFull(fd, message, sizeof message)) {
                *error = "the echo server went away";
                return false;
            }
            out->add(double(nowNs() - start));
        }
        return true;
    }, error);
}

bool measureLookup(size_t ops, Samples* out, std::string* error)
{
    return withPairServer(lookupServer, [&](int fd) {
        uint8_t request[kLookupRequestSize] = {};
        for (size_t i = 0; i < ops; ++i) {
            int64_t start = nowNs();
            int received = -1;
            if (writeFull(fd, request, sizeof request))
                received = receiveWithFd(fd);
            if (received < 0) {
                *error = "the look-up server went away";
                return false;
            }
            out->add(double(nowNs() - start));
            close(received);
        }
        return true;
    }, error);
}

bool measureConnect(size_t ops, Samples* out, std::string* error)
{
    sockaddr_un address;
    socklen_t length = floorAddress(&address);
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) < 0 ||
        listen(listener, SOMAXCONN) < 0) {
        *error = std::string("cannot listen at the floor socket: ") + std::strerror(errno);
        if (listener >= 0)
            close(listener);
        return false;
    }
    pid_t pid = forkServer([&] {
        for (;;) {
            int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                close(fd);
            else if (errno != EINTR && errno != ECONNABORTED)
                return;
        }
    });
    close(listener);
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    bool ok = true;
    for (size_t i = 0; i < ops && ok; ++i) {
        int64_t start = nowNs();
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int result = -1;
        if (fd >= 0) {
            do
                result = connect(fd, reinterpret_cast<sockaddr*>(&address), length);
            while (result < 0 && errno == EINTR);
        }
        int64_t end = nowNs();
        if (fd >= 0)
            close(fd);
        if (result < 0) {
            *error = std::string("connect: ") + std::strerror(errno);
            ok = false;
        }
        out->add(double(end - start));
    }
    endServer(pid);
    return ok;
}
