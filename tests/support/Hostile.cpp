#include "Hostile.h"

#include "ParcelText.h"
#include "Reliability.h"
#include "Scratch.h"
#include "TestPlatform.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// Copies of the built programs that nobody may run: the build tree may lie
// below a directory only root enters. Made in a scratch directory that
// everyone may enter, removed when the test process ends.
class PublicCopies {
public:
    PublicCopies() { chmod(directory_.path().c_str(), 0755); }

    std::string of(const std::string& program)
    {
        const std::string copy = directory_.path() + "/" + program;
        if (access(copy.c_str(), X_OK) != 0) {
            std::ifstream in(binaryPath(program), std::ios::binary);
            std::ofstream(copy, std::ios::binary) << in.rdbuf();
            chmod(copy.c_str(), 0755);
        }
        return copy;
    }

private:
    ScratchDir directory_;
};

std::string runnableByAnyone(const std::string& program)
{
    static PublicCopies copies;
    return copies.of(program);
}

// `args` as `uid` (and the group of the same number): setpriv, then the
// program.
std::vector<std::string> asUser(uid_t uid, const std::string& program, std::vector<std::string> args)
{
    std::vector<std::string> line = {"--reuid=" + std::to_string(uid), "--regid=" + std::to_string(uid),
                                     "--clear-groups", runnableByAnyone(program)};
    line.insert(line.end(), args.begin(), args.end());
    return line;
}

} // namespace

RunResult run(bool nobody, const std::string& program, const std::vector<std::string>& args)
{
    if (nobody)
        return runAsUid(kNobody, program, args);
    return runProgram(binaryPath(program), args);
}

bool startAs(Daemon& daemon, bool nobody, const std::string& program, const std::vector<std::string>& args)
{
    if (nobody)
        return startAsUid(daemon, kNobody, program, args);
    return daemon.start(binaryPath(program), args);
}

RunResult runAsUid(uid_t uid, const std::string& program, const std::vector<std::string>& args)
{
    return runProgram("/usr/bin/setpriv", asUser(uid, program, args));
}

bool startAsUid(Daemon& daemon, uid_t uid, const std::string& program, const std::vector<std::string>& args)
{
    return daemon.start("/usr/bin/setpriv", asUser(uid, program, args));
}

double expectRootServed(const std::string& listing)
{
    Stopwatch watch;
    RunResult call = TestPlatform::quellix({"call", "s", "1", "i32", "7"});
    RunResult list = TestPlatform::quellix({"list"});
    const double seconds = watch.seconds();
    EXPECT_EQ(call.out, echoedSeven());
    EXPECT_EQ(call.err, "");
    EXPECT_EQ(call.exitStatus, 0);
    EXPECT_EQ(list.out, listing);
    EXPECT_EQ(list.err, "");
    EXPECT_EQ(list.exitStatus, 0);
    return seconds;
}

int expectStopsAtOnce(Daemon& daemon)
{
    Stopwatch watch;
    EXPECT_EQ(daemon.stop(SIGTERM, 1s), 0) << daemon.error();
    return int(watch.seconds() * 1000);
}

std::string expectBothStopAtOnce(Daemon& host, Daemon& manager)
{
    const int hostMs = expectStopsAtOnce(host);
    const int managerMs = expectStopsAtOnce(manager);
    return "SIGTERM stopped the host in " + std::to_string(hostMs) + " ms and the manager in " +
           std::to_string(managerMs) + " ms, exit 0";
}

void threat(const std::string& what, const std::string& defence, const std::string& figure, double seconds)
{
    record({"threat", what, defence, figure, seconds});
}

bool Attacker::run(uid_t uid, const std::function<void()>& attack)
{
    return child_.start(
        uid,
        [&attack](int channel) {
            attack();
            (void)!write(channel, "x", 1);
            pause();
            return 0;
        },
        60s);
}

bool bringUpLoopback()
{
    int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (control < 0)
        return false;
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    bool up = ioctl(control, SIOCGIFFLAGS, &request) == 0;
    if (up) {
        request.ifr_flags |= IFF_UP;
        up = ioctl(control, SIOCSIFFLAGS, &request) == 0;
    }
    close(control);
    return up;
}

int lingeringSocket(int seconds)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        connect(client, reinterpret_cast<sockaddr*>(&address), length) != 0)
        return -1;
    // The listener stays open and never accepts, so nothing is ever read.
    fcntl(client, F_SETFL, O_NONBLOCK);
    static char filler[65536];
    while (send(client, filler, sizeof filler, MSG_NOSIGNAL) > 0) {
    }
    linger lingering{1, seconds};
    setsockopt(client, SOL_SOCKET, SO_LINGER, &lingering, sizeof lingering);
    fcntl(client, F_SETFL, 0);
    return client;
}

int socketWhoseCloseBlocks()
{
    int ends[2];
    const int lingering = lingeringSocket(30);
    if (lingering < 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return -1;
    const bool sent = sendDescriptor(ends[0], lingering);
    close(ends[0]);
    if (!sent) {
        // Ours is the last copy, whose close would linger: exit closes it.
        close(ends[1]);
        return -1;
    }
    // The copy in flight is the last one now, and closing ours waits for no one.
    close(lingering);
    return ends[1];
}

bool sendDescriptor(int via, int fd) { return sendDescriptors(via, std::string(1, '\0'), {fd}); }

bool sendDescriptors(int via, const std::string& bytes, const std::vector<int>& fds)
{
    iovec iov{const_cast<char*>(bytes.data()), bytes.size()};
    std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()));
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    return sendmsg(via, &message, MSG_NOSIGNAL) == ssize_t(bytes.size());
}

NineDescriptors::NineDescriptors()
{
    for (int i = 0; i < 8; ++i)
        fds_.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    fds_.push_back(lingeringSocket(30));
}

// Whatever lingers is closed at our exit, which waits for no lingering.
NineDescriptors::~NineDescriptors()
{
    for (size_t i = 0; i + 1 < fds_.size(); ++i)
        close(fds_[i]);
}

bool NineDescriptors::ok() const
{
    for (int fd : fds_)
        if (fd < 0)
            return false;
    return true;
}

bool NineDescriptors::sendWith(int via, const std::string& bytes)
{
    if (!sendDescriptors(via, bytes, fds_))
        return false;
    // Should the receiver's copy be gone already, ours is the last and its
    // close lingers: that wait is not ours to make.
    std::thread([fd = fds_.back()] { close(fd); }).detach();
    fds_.back() = lingeringSocket(30);
    return true;
}
