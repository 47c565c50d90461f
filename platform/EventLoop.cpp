#include "EventLoop.h"
#include "Socket.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A peer that leaves this much of our output unread is stalled.
constexpr size_t kMaxUnreadOutput = 64u << 20;
constexpr size_t kMaxUnreadFrames = 16384;

} // namespace

Connection::Connection(int fd, FrameReader reader, bool acceptFds, ConnectionHandler* handler)
    : fd_(fd), handler_(handler), reader_(std::move(reader)), acceptFds_(acceptFds),
      lastFrame_(Clock::now())
{
}

Connection::~Connection()
{
    for (Pending& p : output_)
        if (p.fd >= 0)
            ::close(p.fd);
    if (fd_ >= 0)
        ::close(fd_);
}

bool Connection::flush()
{
    while (!output_.empty()) {
        Pending& p = output_.front();
        ssize_t sent = sendBytes(fd_, p.bytes.data() + p.offset, p.bytes.size() - p.offset,
                                 p.offset == 0 ? p.fd : -1, false);
        if (sent < 0)
            return false;
        if (sent == 0)
            return true;
        if (p.fd >= 0) {
            ::close(p.fd);
            p.fd = -1;
        }
        p.offset += size_t(sent);
        if (p.offset < p.bytes.size())
            return true;
        outputBytes_ -= p.bytes.size();
        output_.pop_front();
    }
    return true;
}

std::unique_ptr<EventLoop> EventLoop::create(status_t* status)
{
    std::unique_ptr<EventLoop> loop(new EventLoop);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    loop->epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (loop->epoll_ < 0 || sigprocmask(SIG_BLOCK, &set, nullptr) < 0 ||
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
Connection* EventLoop::adopt(int fd, FrameReader reader, bool acceptFds, ConnectionHandler* handler)
{
    connections_.push_back(
        std::unique_ptr<Connection>(new Connection(fd, std::move(reader), acceptFds, handler)));
    Connection* connection = connections_.back().get();
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = connection;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) < 0) {
        connection->closed_ = true;
        ++closedCount_;
        return nullptr;
    }
    connection->interest_ = EPOLLIN;
    // Frames that arrived before the loop took over are handled now.
    processFrames(connection);
    return connection->closed_ ? nullptr : connection;
}

bool EventLoop::send(Connection* connection, int32_t word, uint32_t arg, const uint8_t* payload,
                     size_t size, int passFd)
{
    if (connection->closed_) {
        if (passFd >= 0)
            ::close(passFd);
        return false;
    }
    Connection::Pending p;
    p.bytes.resize(kFrameHeaderSize + size);
    encodeFrameHeader(p.bytes.data(), uint32_t(size), word, arg);
    if (size > 0)
        std::copy(payload, payload + size, p.bytes.begin() + kFrameHeaderSize);
    p.fd = passFd;
    // The limit is on what the peer left unread before this frame, so that
    // one large reply (a long listing) still goes out whole.
    bool stalled = connection->outputBytes_ > kMaxUnreadOutput ||
                   connection->output_.size() >= kMaxUnreadFrames;
    connection->outputBytes_ += p.bytes.size();
    connection->output_.push_back(std::move(p));
    if (stalled || !connection->flush()) {
        close(connection);
        return false;
    }
    watch(connection);
    return true;
}

void EventLoop::close(Connection* connection)
{
    if (connection->closed_)
        return;
    connection->closed_ = true;
    ++closedCount_;
    epoll_ctl(epoll_, EPOLL_CTL_DEL, connection->fd_, nullptr);
    // The descriptor is free at once; the object lives on until reap(),
    // since events already fetched may still point at it.
    ::close(connection->fd_);
    connection->fd_ = -1;
    connection->handler_->onClose(*connection);
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
    if (connection->closed_)
        return;
    uint32_t interest = connection->output_.empty() ? uint32_t(EPOLLIN) : uint32_t(EPOLLOUT);
    if (interest == connection->interest_)
        return;
    epoll_event event{};
    event.events = interest;
    event.data.ptr = connection;
    if (epoll_ctl(epoll_, EPOLL_CTL_MOD, connection->fd_, &event) < 0) {
        close(connection);
        return;
    }
    connection->interest_ = interest;
}

void EventLoop::onReadable(Connection* connection)
{
    ssize_t count = connection->reader_.receive(connection->fd_, MSG_DONTWAIT);
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
    while (!connection->closed_ && connection->output_.empty()) {
        FrameReader::Result result = connection->reader_.next(&frame);
        if (result == FrameReader::Result::kNeedMore)
            break;
        if (result == FrameReader::Result::kMalformed ||
            !connection->handler_->onFrame(*connection, frame)) {
            close(connection);
            return;
        }
        connection->lastFrame_ = Connection::Clock::now();
    }
    watch(connection);
}

void EventLoop::reap()
{
    if (closedCount_ == 0)
        return;
    std::erase_if(connections_, [](const std::unique_ptr<Connection>& c) { return c->closed(); });
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
                if (connection->closed_)
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
