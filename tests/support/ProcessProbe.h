// What the reliability tests read about other processes in /proc, and the
// descriptor limit they lower for a child or raise for themselves.
#pragma once

#include <chrono>
#include <sys/resource.h>
#include <sys/types.h>

using namespace std::chrono_literals;

// The one-letter state from /proc/PID/stat ('R', 'S', 'T', 'Z', ...), or 0
// when the process cannot be read.
char processState(pid_t pid);
// Waits until the process shows `state`; false after `timeout`.
bool waitForState(pid_t pid, char state, std::chrono::milliseconds timeout);
// CPU time (user and system) the process has used so far, in seconds; -1
// when it cannot be read.
double cpuSeconds(pid_t pid);
// The number of descriptors the process has open; -1 when unreadable.
int openDescriptors(pid_t pid);
// The process's resident memory (VmRSS) in KiB; -1 when unreadable.
long residentKiB(pid_t pid);

// Sets another process's RLIMIT_NOFILE, soft and hard, to `limit` (the
// daemons raise their soft limit to the hard one as they start).
bool limitDescriptors(pid_t pid, rlim_t limit);

// Sets this process's soft RLIMIT_NOFILE to `soft` (within the hard limit)
// for its lifetime, so that children started meanwhile inherit it, and puts
// the old value back when destroyed.
class DescriptorLimit {
public:
    explicit DescriptorLimit(rlim_t soft);
    ~DescriptorLimit();
    DescriptorLimit(const DescriptorLimit&) = delete;
    DescriptorLimit& operator=(const DescriptorLimit&) = delete;

    bool ok() const { return ok_; }
    // The soft limit in force now.
    rlim_t current() const;

private:
    rlimit saved_{};
    bool ok_ = false;
};
