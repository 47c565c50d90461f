#include "EventLoop.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

// A peer that leaves this much of our output unread is stalled.
constexpr size_t kMaxUnreadOutput = 64u << 20;
constexpr size_t kMaxUnreadFrames = 16384;

} // namespace

bool raiseDescriptorLimit()
{
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) < 0)
        return false;
    limit.rlim_cur = limit.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

std::unique_ptr<EventLoop> EventLoop::create(status_t* status)
{
    std::unique_ptr<EventLoop> loop(new EventLoop);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    loop->epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (loop->epoll_ < 0 ||
        (loop->signals_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK)) < 0) {
        *status = errno == EMFILE || errno == ENFILE ? kStatusNoResources : kStatusBadValue;
        return nullptr;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = &loop->signals_;
    if (epoll_ctl(loop->epoll_, EPOLL_CTL_ADD, loop->signals_, &event) < 0) {
        *status = kStatusNoResources;
        return nullptr;
    }
    *status = kStatusOk;
    return loop;
}

EventLoop::~EventLoop()
{
    connections_.clear();
    if (signals_ >= 0)
        ::close(signals_);
    if (listener_ >= 0)
        ::close(listener_);
    if (epoll_ >= 0)
        ::close(epoll_);
}

// The descriptor's own blocking mode does not matter: every receive and send
// of the loop passes MSG_DONTWAIT. Leaving it as it is saves a host two
// fcntl calls for each client a look-up hands it.
Connection* EventLoop::adopt(std::unique_ptr<Connection> adopted, bool acceptFds, ConnectionHandler* handler)
{
    Connection* connection = adopted.get();
    connection->handler_ = handler;
    connection->acceptFds_ = acceptFds;
    connection->lastFrame = Connection::Clock::now();
    connections_.push_back(std::move(adopted));
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = connection;
    if (connection->broken() || epoll_ctl(epoll_, EPOLL_CTL_ADD, connection->fd(), &event) < 0) {
        close(connection);
        return nullptr;
    }
    connection->interest_ = EPOLLIN;
    // Frames that arrived before the loop took over are handled now.
    processFrames(connection);
    return connection->broken() ? nullptr : connection;
}

bool EventLoop::send(Connection* connection, int32_t word, uint32_t arg, uint32_t target,
                     std::vector<uint8_t> payload)
{
    if (connection->broken())
        return false;
    // The limit is on what the peer left unread before this frame, so that
    // one large reply still goes out whole.
    bool stalled = connection->unsentBytes() > kMaxUnreadOutput ||
                   connection->unsentFrames() >= kMaxUnreadFrames;
    connection->queue(word, arg, target, std::move(payload));
    if (stalled || !connection->flush()) {
        close(connection);
        return false;
    }
    watch(connection);
    return true;
}

Connection::SendResult EventLoop::sendNow(Connection* connection, int32_t word, uint32_t arg, uint32_t target,
                                          const std::vector<uint8_t>& payload, int passFd)
{
    Connection::SendResult result =
        connection->sendNow(word, arg, target, payload.data(), payload.size(), passFd);
    if (result == Connection::SendResult::kFailed)
        close(connection);
    else
        watch(connection);
    return result;
}

void EventLoop::close(Connection* connection)
{
    if (connection->handler_ == nullptr)
        return;
    ++closedCount_;
    if (!connection->broken())
        epoll_ctl(epoll_, EPOLL_CTL_DEL, connection->fd(), nullptr);
    // The descriptor is free at once; the object lives on until reap(),
    // since events already fetched may still point at it.
    connection->shutDown();
    std::exchange(connection->handler_, nullptr)->onClose(*connection);
}

void EventLoop::setListener(int fd, std::function<void()> onReadable)
{
    listener_ = fd;
    onListenerReadable_ = std::move(onReadable);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = &listener_;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
}

void EventLoop::pauseListener(bool paused)
{
    if (listener_ < 0 || paused == listenerPaused_)
        return;
    listenerPaused_ = paused;
    epoll_event event{};
    event.events = paused ? 0u : uint32_t(EPOLLIN);
    event.data.ptr = &listener_;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, listener_, &event);
}

void EventLoop::setTick(std::chrono::milliseconds interval, std::function<void()> onTick)
{
    tickInterval_ = interval;
    onTick_ = std::move(onTick);
}

// Reads while the connection may take frames, writes while it has output.
void EventLoop::watch(Connection* connection)
{
    if (connection->broken()) {
        close(connection);
        return;
    }
    uint32_t interest = connection->output_.empty() ? uint32_t(EPOLLIN) : uint32_t(EPOLLOUT);
    if (interest == connection->interest_)
        return;
    epoll_event event{};
    event.events = interest;
    event.data.ptr = connection;
    if (epoll_ctl(epoll_, EPOLL_CTL_MOD, connection->fd(), &event) < 0) {
        close(connection);
        return;
    }
    connection->interest_ = interest;
}

void EventLoop::onReadable(Connection* connection)
{
    ssize_t count = connection->fill();
    if (!connection->acceptFds_)
        connection->reader_.closeFds();
    if (count == 0 || (count < 0 && errno != EAGAIN)) {
        close(connection);
        return;
    }
    processFrames(connection);
}

void EventLoop::onWritable(Connection* connection)
{
    if (!connection->flush()) {
        close(connection);
        return;
    }
    processFrames(connection);
}

void EventLoop::processFrames(Connection* connection)
{
    Frame frame;
    while (!connection->broken() && connection->output_.empty()) {
        FrameReader::Result result = connection->reader_.next(&frame);
        if (result == FrameReader::Result::kNeedMore)
            break;
        if (result == FrameReader::Result::kMalformed ||
            !connection->handler_->onFrame(*connection, frame)) {
            close(connection);
            return;
        }
        connection->lastFrame = Connection::Clock::now();
        ++connection->frames;
    }
    if (connection->handler_)
        watch(connection);
}

void EventLoop::reap()
{
    if (closedCount_ == 0)
        return;
    std::erase_if(connections_, [](const std::unique_ptr<Connection>& c) { return c->handler_ == nullptr; });
    closedCount_ = 0;
}

status_t EventLoop::run()
{
    auto nextTick = Connection::Clock::now() + tickInterval_;
    epoll_event events[64];
    while (!stopped_) {
        int timeout = -1;
        if (onTick_) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                nextTick - Connection::Clock::now());
            timeout = int(std::max<int64_t>(0, left.count()));
        }
        int count = epoll_wait(epoll_, events, 64, timeout);
        if (count < 0 && errno != EINTR)
            return kStatusBadValue;
        for (int i = 0; i < count && !stopped_; ++i) {
            void* tag = events[i].data.ptr;
            if (tag == &signals_) {
                signalfd_siginfo info;
                while (read(signals_, &info, sizeof info) == ssize_t(sizeof info))
                    stop(kStatusOk);
            } else if (tag == &listener_) {
                onListenerReadable_();
            } else {
                auto* connection = static_cast<Connection*>(tag);
                if (connection->handler_ == nullptr)
                    continue;
                if (events[i].events & EPOLLOUT)
                    onWritable(connection);
                else if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))
                    onReadable(connection);
            }
        }
        if (onTick_ && Connection::Clock::now() >= nextTick) {
            onTick_();
            nextTick = Connection::Clock::now() + tickInterval_;
        }
        reap();
    }
    return stopStatus_;
}

void EventLoop::stop(status_t status)
{
    if (!stopped_)
        stopStatus_ = status;
    stopped_ = true;
}
