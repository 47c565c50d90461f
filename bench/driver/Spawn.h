// Child processes of the benchmarks: timed one-shot runs, and daemons that
// say "ready". Every child gets an empty environment and standard input
// from /dev/null, and dies with the benchmark (PR_SET_PDEATHSIG).
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// The directory of the running program (where its siblings are built).
std::string ownDirectory();

// A one-shot run still going after this long is ended by SIGALRM.
inline constexpr unsigned kRunLimitSeconds = 300;

// Write or read all `size` bytes, resuming after signals; false when the
// descriptor fails or reaches its end first.
bool writeFull(int fd, const void* bytes, size_t size);
bool readFull(int fd, void* bytes, size_t size);

struct RunResult {
    int64_t ns = 0;       // from just before fork to the end of wait4
    long maxRssKiB = 0;   // the child's peak resident memory (ru_maxrss)
    int exitStatus = -1;  // -1 when a signal ended it
};

// Runs argv[0] with `argv` and our standard error, captures its
// standard output into `out` and waits for it. False when it could not be
// forked or waited for.
bool runCaptured(const std::vector<std::string>& argv, std::string* out, RunResult* result);

// Timed runs, through the small bench-spawn program (spawn.c), so that a
// run's peak memory is its own and not inflated by a copy of ours.
class Spawner {
public:
    Spawner() = default;
    ~Spawner();
    Spawner(const Spawner&) = delete;
    Spawner& operator=(const Spawner&) = delete;

    bool start(const std::string& binDir);
    // Runs `argv` with standard output and error on /dev/null; false when
    // the spawner failed (result->exitStatus -2: the program did not start).
    bool run(const std::vector<std::string>& argv, RunResult* result);

private:
    pid_t pid_ = -1;
    int requests_ = -1;
    int replies_ = -1;
};

// A background process that writes "ready" on standard output once it
// serves; its standard error is ours. Stopped when destroyed.
class Daemon {
public:
    Daemon() = default;
    ~Daemon() { stop(); }
    Daemon(Daemon&& other) noexcept;
    Daemon& operator=(Daemon&&) = delete;
    Daemon(const Daemon&) = delete;

    bool spawn(const std::vector<std::string>& argv);
    // Waits for its "ready" line until `deadlineNs` (CLOCK_MONOTONIC);
    // false when it exits, closes its output or the deadline passes first.
    bool waitReady(int64_t deadlineNs);
    pid_t pid() const { return pid_; }
    // SIGTERM, then SIGKILL after 10 s; the exit status, or -1.
    int stop();

private:
    pid_t pid_ = -1;
    int out_ = -1;
};
