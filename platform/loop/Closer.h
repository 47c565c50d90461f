// Closes descriptors that arrived where none belong, on a thread of its
// own: a close can block (a socket that lingers, one whose queue holds such
// sockets in flight, a file whose flush waits), and the loop's thread
// serves everyone. Sockets are closed without lingering. Each sender may
// have a bounded number of closes pending; one past it is refused (its
// caller closes its connection, so that it sends no more), though what it
// sent last is still closed here, never on the caller's thread. The thread
// starts with the first descriptor it is given, and the closer's end waits
// for it only briefly: a close that still blocks is left to finish, or to
// the process's exit. Internal to the platform library.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

class Closer {
public:
    // Closes pending for one sender that a daemon allows; past this, a
    // closer that falls behind refuses that sender.
    static constexpr size_t kPendingPerSender = 1024;
    // How long the end waits for closes still pending.
    static constexpr std::chrono::milliseconds kEndWait{100};

    explicit Closer(size_t pendingPerSender = kPendingPerSender);
    ~Closer();
    Closer(const Closer&) = delete;
    Closer& operator=(const Closer&) = delete;

    // Takes `fds` (of `sender`, whose number is the caller's) to close:
    // true when there are none or the sender stays within its bound. False
    // when it has more pending now, and the caller refuses it; false too
    // when no thread can start, and then they are closed here.
    bool take(uint64_t sender, std::vector<int> fds);
    // Whether `sender` has its bound of closes pending, or more.
    bool full(uint64_t sender) const;
    // Closes queued or under way, of every sender.
    size_t pending() const;

private:
    struct State;
    // What the thread runs: closes what is queued until the closer ends
    // and nothing is left.
    static void closeQueued(const std::shared_ptr<State>& state);
    // Starts the thread unless it runs: false when it cannot.
    bool startThread();

    std::shared_ptr<State> state_;
    size_t pendingPerSender_;
    std::thread thread_;
};
