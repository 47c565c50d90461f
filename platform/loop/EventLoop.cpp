#include "EventLoop.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

sigset_t stopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

std::string describe(const Signal& signal)
{
    const char* name = sigabbrev_np(signal.number);
    std::string text = name ? std::string("SIG") + name : "signal " + std::to_string(signal.number);
    if (signal.pid != 0)
        text += " from pid " + std::to_string(signal.pid) + ", uid " + std::to_string(signal.uid);
    return text;
}

int raiseDescriptorLimit()
{
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) < 0)
        return -1;
    limit.rlim_cur = limit.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &limit);
}

EventLoop::~EventLoop()
{
    if (signals_ >= 0)
        close(signals_);
    if (epoll_ >= 0)
        close(epoll_);
}

int EventLoop::open(const sigset_t& signals)
{
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0 || (signals_ = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK)) < 0)
        return -1;
    // The signal descriptor is the one event without a watcher.
    return control(EPOLL_CTL_ADD, signals_, EPOLLIN, nullptr);
}

int EventLoop::control(int operation, int fd, uint32_t events, Watcher* watcher)
{
    epoll_event event{};
    event.events = events;
    event.data.ptr = watcher;
    return epoll_ctl(epoll_, operation, fd, &event);
}

int EventLoop::add(int fd, uint32_t events, Watcher* watcher)
{
    if (control(EPOLL_CTL_ADD, fd, events, watcher) < 0)
        return -1;
    watcher->watched = true;
    return 0;
}

int EventLoop::modify(int fd, uint32_t events, Watcher* watcher) { return control(EPOLL_CTL_MOD, fd, events, watcher); }

void EventLoop::remove(int fd, Watcher* watcher)
{
    if (watcher->watched && fd >= 0)
        epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    watcher->watched = false;
    removed_.push_back(watcher);
}

void EventLoop::setTick(std::chrono::milliseconds interval, std::function<void()> onTick)
{
    tickInterval_ = interval;
    nextTick_ = std::chrono::steady_clock::now() + interval;
    onTick_ = std::move(onTick);
}

void EventLoop::releaseRemoved()
{
    // released() may remove more watchers; those are released too.
    while (!removed_.empty()) {
        std::vector<Watcher*> removed = std::move(removed_);
        removed_.clear();
        for (Watcher* watcher : removed)
            watcher->released();
    }
}

int EventLoop::run()
{
    nextTick_ = std::chrono::steady_clock::now() + tickInterval_;
    while (!stopped_)
        if (wait(-1) < 0)
            return -1;
    releaseRemoved();
    return 0;
}

int EventLoop::step(std::chrono::milliseconds wait)
{
    return this->wait(int(std::max<int64_t>(0, wait.count())));
}

int EventLoop::wait(int timeout)
{
    using Clock = std::chrono::steady_clock;
    if (onTick_) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nextTick_ - Clock::now());
        const int untilTick = int(std::max<int64_t>(0, left.count()));
        timeout = timeout < 0 ? untilTick : std::min(timeout, untilTick);
    }
    epoll_event events[64];
    int count = epoll_wait(epoll_, events, 64, timeout);
    if (count < 0 && errno != EINTR)
        return -1;
    for (int i = 0; i < count && !stopped_; ++i) {
        auto* watcher = static_cast<Watcher*>(events[i].data.ptr);
        if (watcher == nullptr) {
            signalfd_siginfo info;
            while (read(signals_, &info, sizeof info) == ssize_t(sizeof info)) {
                const bool sent = info.ssi_code == SI_USER || info.ssi_code == SI_QUEUE;
                const Signal signal{int(info.ssi_signo), sent ? pid_t(info.ssi_pid) : 0,
                                    sent ? uid_t(info.ssi_uid) : 0};
                stopped_ = stopped_ || !onSignal_ || onSignal_(signal);
            }
        } else if (watcher->watched) {
            watcher->ready(events[i].events);
        }
    }
    if (onTick_ && Clock::now() >= nextTick_) {
        onTick_();
        nextTick_ = Clock::now() + tickInterval_;
    }
    releaseRemoved();
    return 0;
}
