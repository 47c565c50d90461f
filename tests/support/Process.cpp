#include "Process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <algorithm>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// In the sanitizer build every report (ASan, UBSan, and LeakSanitizer's at
// exit) ends the process with this status (ASAN_OPTIONS, set for CTest in
// CMakeLists.txt). The test that started the process fails, whatever
// status it expected.
constexpr int kSanitizerExitStatus = 23;

void flagSanitizerReport(const std::string& path, int exitStatus, const std::string& err)
{
    if (exitStatus == kSanitizerExitStatus)
        ADD_FAILURE() << path << " exited with a sanitizer report:\n" << err;
}

int millisLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return int(std::max<int64_t>(0, left.count()));
}

// Forks and execs with standard output and error on the given pipes' write
// ends (-1: /dev/null) and standard input from /dev/null.
pid_t spawn(const std::string& path, const std::vector<std::string>& args, int out, int err,
            const std::vector<std::string>& environment)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        env.emplace_back(*e);
    env.insert(env.end(), environment.begin(), environment.end());
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = fork();
    if (pid != 0)
        return pid;
    // The child: signals as a shell would leave them.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(out >= 0 ? out : null, 1);
    dup2(err >= 0 ? err : null, 2);
    execve(path.c_str(), argv.data(), envp.data());
    _exit(127);
}

void readInto(int fd, std::string* text, bool* open)
{
    char buffer[65536];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0)
        text->append(buffer, size_t(n));
    else if (n == 0 || (errno != EINTR && errno != EAGAIN))
        *open = false;
}

void decodeStatus(int status, int* exitStatus, int* signal)
{
    if (WIFEXITED(status))
        *exitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        *signal = WTERMSIG(status);
}

// Waits for `pid` until `deadline`; false on timeout.
bool waitUntil(pid_t pid, Clock::time_point deadline, int* status)
{
    for (;;) {
        pid_t done = waitpid(pid, status, WNOHANG);
        if (done == pid)
            return true;
        if (done < 0 && errno != EINTR)
            return false;
        if (Clock::now() >= deadline)
            return false;
        usleep(2000);
    }
}

} // namespace

std::string sentBy(int signal)
{
    return std::string("SIG") + sigabbrev_np(signal) + " from pid " + std::to_string(getpid()) + ", uid " +
           std::to_string(getuid()) + "\n";
}

std::string binaryPath(const std::string& name) { return std::string(QUELLIX_BIN_DIR) + "/" + name; }

RunResult runProgram(const std::string& path, const std::vector<std::string>& args,
                     std::chrono::milliseconds timeout, const std::vector<std::string>& environment)
{
    RunResult result;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) < 0)
        return result;
    if (pipe2(err, O_CLOEXEC) < 0) {
        close(out[0]);
        close(out[1]);
        return result;
    }
    pid_t pid = spawn(path, args, out[1], err[1], environment);
    close(out[1]);
    close(err[1]);
    auto deadline = Clock::now() + timeout;
    bool outOpen = true, errOpen = true;
    while ((outOpen || errOpen) && pid > 0) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        fds[0].fd = outOpen ? out[0] : -1;
        fds[1].fd = errOpen ? err[0] : -1;
        int ready = poll(fds, 2, millisLeft(deadline));
        if (ready == 0) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        if (ready < 0)
            continue;
        if (fds[0].revents)
            readInto(out[0], &result.out, &outOpen);
        if (fds[1].revents)
            readInto(err[0], &result.err, &errOpen);
    }
    close(out[0]);
    close(err[0]);
    int status = 0;
    if (pid > 0 && !waitUntil(pid, Clock::now() + 5s, &status)) {
        result.timedOut = true;
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    decodeStatus(status, &result.exitStatus, &result.signal);
    flagSanitizerReport(path, result.exitStatus, result.err);
    return result;
}

Daemon::~Daemon()
{
    if (pid_ > 0)
        stop();
    if (out_ >= 0)
        close(out_);
    if (err_ >= 0)
        close(err_);
}

Daemon::Daemon(Daemon&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), out_(std::exchange(other.out_, -1)),
      err_(std::exchange(other.err_, -1)), path_(std::move(other.path_)), error_(std::move(other.error_))
{
}

bool Daemon::start(const std::string& path, const std::vector<std::string>& args,
                   std::chrono::milliseconds timeout)
{
    for (int* fd : {&out_, &err_})
        if (*fd >= 0)
            close(std::exchange(*fd, -1));
    error_.clear();
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC | O_NONBLOCK) < 0)
        return false;
    path_ = path;
    pid_ = spawn(path, args, out[1], err[1], {});
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
    std::string said;
    bool open = true;
    auto deadline = Clock::now() + timeout;
    while (open && said.find("ready\n") == std::string::npos) {
        pollfd fd{out_, POLLIN, 0};
        int ready = poll(&fd, 1, millisLeft(deadline));
        if (ready == 0)
            break;
        if (ready > 0)
            readInto(out_, &said, &open);
    }
    if (said.find("ready\n") != std::string::npos)
        return true;
    stop(SIGKILL);
    collectError();
    return false;
}

int Daemon::stop(int signal, std::chrono::milliseconds timeout)
{
    if (pid_ <= 0)
        return -1;
    kill(pid_, signal);
    int status = 0;
    int code = -1;
    if (waitUntil(pid_, Clock::now() + timeout, &status)) {
        int exitStatus = -1, bySignal = 0;
        decodeStatus(status, &exitStatus, &bySignal);
        code = bySignal ? 128 + bySignal : exitStatus;
    } else {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    collectError();
    flagSanitizerReport(path_, code, error_);
    return code;
}

bool Daemon::waitForError(const std::string& text, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        collectError();
        if (error_.find(text) != std::string::npos)
            return true;
        if (Clock::now() >= deadline)
            return false;
        pollfd fd{err_, POLLIN, 0};
        // Closed and read to the end: nothing more will come.
        if (poll(&fd, 1, std::min(millisLeft(deadline), 50)) > 0 && fd.revents == POLLHUP)
            return false;
    }
}

void Daemon::collectError()
{
    if (err_ < 0)
        return;
    bool open = true;
    std::string before;
    do {
        before = error_;
        readInto(err_, &error_, &open);
    } while (open && error_.size() != before.size());
}

ForkedChild::~ForkedChild()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (channel_ >= 0)
        close(channel_);
}

bool ForkedChild::start(uid_t uid, const std::function<int(int channel)>& body, std::chrono::milliseconds timeout)
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return false;
    pid_ = fork();
    if (pid_ == 0) {
        close(ends[0]);
        if (uid != geteuid() &&
            (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0))
            _exit(1);
        _exit(body(ends[1]));
    }
    close(ends[1]);
    channel_ = ends[0];
    char first = 0;
    return pid_ > 0 && receive(&first, 1, timeout);
}

bool ForkedChild::receive(void* bytes, size_t size, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    auto* at = static_cast<char*>(bytes);
    while (size > 0) {
        pollfd ready{channel_, POLLIN, 0};
        if (poll(&ready, 1, millisLeft(deadline)) <= 0)
            return false;
        ssize_t n = read(channel_, at, size);
        if (n <= 0)
            return false;
        at += n;
        size -= size_t(n);
    }
    return true;
}

int ForkedChild::wait(std::chrono::milliseconds timeout)
{
    if (pid_ <= 0)
        return -1;
    int status = 0, exitStatus = -1, signal = 0;
    if (waitUntil(pid_, Clock::now() + timeout, &status))
        decodeStatus(status, &exitStatus, &signal);
    else {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    return exitStatus;
}
