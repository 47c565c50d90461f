#include "Spawn.h"
#include "Samples.h"

#include <cerrno>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace {

std::vector<char*> pointers(const std::vector<std::string>& argv)
{
    std::vector<char*> result;
    for (const std::string& a : argv)
        result.push_back(const_cast<char*>(a.c_str()));
    result.push_back(nullptr);
    return result;
}

// Forks and execs `argv` with standard input from `inFd` (-1: /dev/null),
// standard output on `outFd` (-1: /dev/null) and standard error on `errFd`
// (-1: /dev/null, -2: ours). -1 when fork fails.
pid_t spawn(char* const* argv, int inFd, int outFd, int errFd, unsigned limitSeconds)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    // The child: as a shell would start it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    int null = open("/dev/null", O_RDWR);
    if (null < 0)
        _exit(127);
    dup2(inFd >= 0 ? inFd : null, 0);
    dup2(outFd >= 0 ? outFd : null, 1);
    if (errFd != -2)
        dup2(errFd >= 0 ? errFd : null, 2);
    if (limitSeconds)
        alarm(limitSeconds);
    char* noEnvironment[] = {nullptr};
    execve(argv[0], argv, noEnvironment);
    _exit(127);
}

bool finish(pid_t pid, int64_t start, RunResult* result)
{
    int status = 0;
    rusage usage{};
    pid_t done;
    do
        done = wait4(pid, &status, 0, &usage);
    while (done < 0 && errno == EINTR);
    result->ns = nowNs() - start;
    if (done != pid)
        return false;
    result->maxRssKiB = usage.ru_maxrss;
    result->exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

// waitpid with a deadline; kills the process when it passes.
int reap(pid_t pid, int64_t deadlineNs)
{
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if ((done < 0 && errno != EINTR) || nowNs() > deadlineNs) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(1000);
    }
}

} // namespace

std::string ownDirectory()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    std::string self(path, size_t(n));
    return self.substr(0, self.rfind('/'));
}

bool runCaptured(const std::vector<std::string>& argv, std::string* out, RunResult* result)
{
    std::vector<char*> args = pointers(argv);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0)
        return false;
    int64_t start = nowNs();
    pid_t pid = spawn(args.data(), -1, fds[1], -2, kRunLimitSeconds);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return false;
    }
    // The child's alarm bounds this loop: its end closes the pipe.
    out->clear();
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n > 0)
            out->append(buffer, size_t(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    close(fds[0]);
    return finish(pid, start, result);
}

Daemon::Daemon(Daemon&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), out_(std::exchange(other.out_, -1))
{
}

bool Daemon::spawn(const std::vector<std::string>& argv)
{
    std::vector<char*> args = pointers(argv);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0)
        return false;
    pid_ = ::spawn(args.data(), -1, fds[1], -2, 0);
    close(fds[1]);
    out_ = fds[0];
    return pid_ > 0;
}

bool Daemon::waitReady(int64_t deadlineNs)
{
    std::string said;
    while (said.find("ready\n") == std::string::npos) {
        int64_t left = (deadlineNs - nowNs()) / 1000000;
        if (left <= 0)
            return false;
        pollfd fd{out_, POLLIN, 0};
        int ready = poll(&fd, 1, int(left));
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready <= 0)
            continue;
        char buffer[256];
        ssize_t n = read(out_, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EINTR))
            return false;
        if (n > 0)
            said.append(buffer, size_t(n));
    }
    return true;
}

int Daemon::stop()
{
    int status = -1;
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        status = reap(pid_, nowNs() + 10'000'000'000);
        pid_ = -1;
    }
    if (out_ >= 0) {
        close(out_);
        out_ = -1;
    }
    return status;
}

bool writeFull(int fd, const void* bytes, size_t size)
{
    const char* p = static_cast<const char*>(bytes);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

bool readFull(int fd, void* bytes, size_t size)
{
    char* p = static_cast<char*>(bytes);
    while (size > 0) {
        ssize_t n = read(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}


Spawner::~Spawner()
{
    // End of input ends it.
    if (requests_ >= 0)
        close(requests_);
    if (replies_ >= 0)
        close(replies_);
    if (pid_ > 0)
        reap(pid_, nowNs() + 10'000'000'000);
}

bool Spawner::start(const std::string& binDir)
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) < 0)
        return false;
    if (pipe2(out, O_CLOEXEC) < 0) {
        close(in[0]);
        close(in[1]);
        return false;
    }
    std::vector<std::string> argv{binDir + "/bench-spawn"};
    std::vector<char*> args = pointers(argv);
    pid_ = ::spawn(args.data(), in[0], out[1], -2, 0);
    close(in[0]);
    close(out[1]);
    requests_ = in[1];
    replies_ = out[0];
    return pid_ > 0;
}

bool Spawner::run(const std::vector<std::string>& argv, RunResult* result)
{
    std::string request;
    for (const std::string& a : argv)
        request.append(a.c_str(), a.size() + 1);
    uint32_t length = uint32_t(request.size());
    int64_t reply[2];
    int32_t status;
    if (requests_ < 0 || !writeFull(requests_, &length, sizeof length) ||
        !writeFull(requests_, request.data(), request.size()) ||
        !readFull(replies_, reply, sizeof reply) || !readFull(replies_, &status, sizeof status))
        return false;
    result->ns = reply[0];
    result->maxRssKiB = long(reply[1]);
    result->exitStatus = status;
    return status != -2;
}
