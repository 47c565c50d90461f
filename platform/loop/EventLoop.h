// A single-threaded event loop: descriptors, one periodic tick and the
// signals that stop it. It knows nothing of what the descriptors carry.
// Internal to the platform library (the server side: the service manager
// and the service host). Every operation that can fail returns -1 with
// errno set.
#pragma once

#include "Closer.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <signal.h>
#include <string>
#include <sys/types.h>
#include <vector>

// SIGTERM and SIGINT: what asks a daemon to stop. A daemon blocks them
// before it starts its loop, which then takes them from a signalfd.
sigset_t stopSignals();
// Raises this process's soft descriptor limit to its hard limit: 0, or -1.
int raiseDescriptorLimit();
// A signal the loop took. A process that sent it (kill, sigqueue) is
// named by its pid and uid; from the kernel (a terminal's ^C), both are 0.
struct Signal {
    int number = 0;
    pid_t pid = 0;
    uid_t uid = 0;
};
// "SIGTERM from pid 12, uid 0", or "SIGINT" when the kernel sent it: what
// a daemon's log says of the signal that stops it.
std::string describe(const Signal& signal);

// Something the loop watches. The loop's own bookkeeping is `watched`.
class Watcher {
public:
    // The events (EPOLLIN, EPOLLOUT, EPOLLHUP, ...) that happened.
    virtual void ready(uint32_t events) = 0;
    // Called once after remove(), when no event the loop holds can reach
    // this watcher any more: from then on its owner may free it.
    virtual void released() {}

    bool watched = false;

protected:
    ~Watcher() = default;
};

class EventLoop {
public:
    EventLoop() = default;
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Sets the loop up; run() ends when one of `signals` (blocked by the
    // program) arrives, unless onSignal says otherwise.
    int open(const sigset_t& signals);
    // `handle` is told of each signal and returns whether it stops the
    // loop.
    void onSignal(std::function<bool(const Signal&)> handle) { onSignal_ = std::move(handle); }
    // Watches `fd` for `events` (0: for nothing, for now).
    int add(int fd, uint32_t events, Watcher* watcher);
    int modify(int fd, uint32_t events, Watcher* watcher);
    // Stops watching `fd` (which the caller closes after); released()
    // follows once the events in hand have been dealt with.
    void remove(int fd, Watcher* watcher);
    // `onTick` runs about every `interval`.
    void setTick(std::chrono::milliseconds interval, std::function<void()> onTick);

    // Runs until one of the signals arrives or stop() is called (0), or
    // waiting fails (-1).
    int run();
    // One pass of run(): waits at most `wait` (less when the tick falls
    // due first) for events, handles them and then the tick if it is due;
    // 0, or -1 when waiting fails. For a caller that drives the loop
    // itself, such as a test.
    int step(std::chrono::milliseconds wait);
    void stop() { stopped_ = true; }
    bool stopped() const { return stopped_; }
    // Where descriptors that arrived where none belong go, so that no
    // close of theirs holds up the loop; it ends with the loop, at once.
    Closer& closer() { return closer_; }

private:
    int control(int operation, int fd, uint32_t events, Watcher* watcher);
    void releaseRemoved();
    // -1: until an event comes.
    int wait(int timeout);

    int epoll_ = -1;
    int signals_ = -1;
    std::chrono::milliseconds tickInterval_{0};
    std::chrono::steady_clock::time_point nextTick_;
    std::function<void()> onTick_;
    std::function<bool(const Signal&)> onSignal_;
    bool stopped_ = false;
    std::vector<Watcher*> removed_;
    Closer closer_;
};
