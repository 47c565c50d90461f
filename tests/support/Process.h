// Child processes for the end-to-end tests: one-shot runs with their output
// captured, and daemons that say "ready". Every wait has a timeout.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

using namespace std::chrono_literals;

// The path of a built program.
std::string binaryPath(const std::string& name);
// How a daemon's log names `signal` sent by this process, as in
// "SIGTERM from pid 12, uid 0\n".
std::string sentBy(int signal);

struct RunResult {
    std::string out;
    std::string err;
    int exitStatus = -1;  // the exit status, when it exited
    int signal = 0;       // the signal that ended it, if one did
    bool timedOut = false;
};

// Runs `path` with `args` (argv[0] is the path), standard input /dev/null,
// and kills it when it outlasts `timeout`. `environment` entries are added
// to the child's environment.
RunResult runProgram(const std::string& path, const std::vector<std::string>& args,
                     std::chrono::milliseconds timeout = 30s,
                     const std::vector<std::string>& environment = {});

// A background process that writes "ready" on standard output once it
// serves. Stopped with SIGTERM (and SIGKILL if need be) when destroyed.
class Daemon {
public:
    Daemon() = default;
    ~Daemon();
    Daemon(Daemon&& other) noexcept;
    Daemon& operator=(Daemon&&) = delete;
    Daemon(const Daemon&) = delete;

    // Starts it (again, once stopped) and waits for "ready"; false (with
    // what it said in error()) when it exits first or stays silent for
    // `timeout`.
    bool start(const std::string& path, const std::vector<std::string>& args,
               std::chrono::milliseconds timeout = 10s);
    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }
    // Sends `signal` and waits for the end; the wait status's exit code,
    // or 128 + signal number when a signal ended it; -1 on timeout.
    int stop(int signal = 15, std::chrono::milliseconds timeout = 10s);
    // What it wrote on standard error so far (collected at start and stop).
    const std::string& error() const { return error_; }
    // Waits until what it writes on standard error holds `text`; false
    // after `timeout`.
    bool waitForError(const std::string& text, std::chrono::milliseconds timeout = 5s);

private:
    void collectError();

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string path_;
    std::string error_;
};

// A function run in a forked child, for a process that needs no program
// of its own (an attacker, a client, a host of the library's): the one
// place where tests fork. Killed, if it still runs, when the object goes.
class ForkedChild {
public:
    ForkedChild() = default;
    ~ForkedChild();
    ForkedChild(const ForkedChild&) = delete;
    ForkedChild& operator=(const ForkedChild&) = delete;

    // Forks; unless `uid` is this process's, the child becomes `uid`, with
    // the group of the same number and no others. It then runs `body` with
    // its end of a socket pair to this process, and exits with what it
    // returns. Returns once the child has sent its first byte there;
    // false when it failed or stayed silent for `timeout`.
    bool start(uid_t uid, const std::function<int(int channel)>& body, std::chrono::milliseconds timeout = 10s);
    // This process's end of the socket pair.
    int channel() const { return channel_; }
    pid_t pid() const { return pid_; }
    // Reads exactly `size` bytes from the channel; false after `timeout`
    // or at its end.
    bool receive(void* bytes, size_t size, std::chrono::milliseconds timeout = 10s);
    // Waits for the child to exit: its exit status, or -1 (it is killed
    // then) after `timeout` or when a signal ended it.
    int wait(std::chrono::milliseconds timeout = 10s);

private:
    pid_t pid_ = -1;
    int channel_ = -1;
};
