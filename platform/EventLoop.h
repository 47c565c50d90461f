// A single-threaded event loop over non-blocking frame connections, used by
// the service manager and the service host. Internal to the platform library.
//
// Each connection handles one frame at a time: while its replies have not
// been written out, nothing more is read from it, so a peer that sends and
// never reads holds up only itself and costs bounded memory.
#pragma once

#include "FrameReader.h"
#include "Status.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

class Connection;

// What the owner of a connection does with its frames.
class ConnectionHandler {
public:
    virtual ~ConnectionHandler() = default;
    // One complete frame; return false to close the connection.
    virtual bool onFrame(Connection& connection, Frame& frame) = 0;
    // The connection is closing; it is deleted once the loop moves on.
    virtual void onClose(Connection& connection) = 0;
};

class Connection {
public:
    using Clock = std::chrono::steady_clock;

    int fd() const { return fd_; }
    FrameReader& reader() { return reader_; }
    bool closed() const { return closed_; }
    // When the last complete frame arrived (or the connection was made).
    Clock::time_point lastFrame() const { return lastFrame_; }
    // Frames queued for the peer and not yet written out.
    size_t unsentFrames() const { return output_.size(); }
    // The owner's state for this connection.
    void* context = nullptr;

    ~Connection();

private:
    friend class EventLoop;
    struct Pending {
        std::vector<uint8_t> bytes;
        size_t offset = 0;
        int fd = -1; // sent with the first byte, then closed here
    };

    Connection(int fd, FrameReader reader, bool acceptFds, ConnectionHandler* handler);
    bool flush();

    int fd_;
    ConnectionHandler* handler_;
    FrameReader reader_;
    bool acceptFds_;
    bool closed_ = false;
    uint32_t interest_ = 0;
    Clock::time_point lastFrame_;
    std::deque<Pending> output_;
    size_t outputBytes_ = 0;
};

class EventLoop {
public:
    // Blocks SIGTERM and SIGINT for the process and watches for them;
    // kStatusOk or a failure status in *status.
    static std::unique_ptr<EventLoop> create(status_t* status);
    ~EventLoop();

    // Takes ownership of `fd` (blocking or not: the loop never waits on
    // it), with the bytes and descriptors `reader` already holds.
    // Descriptors that arrive on it are closed unless `acceptFds`.
    Connection* adopt(int fd, FrameReader reader, bool acceptFds, ConnectionHandler* handler);
    // Queues a frame, with `passFd` (owned by the loop from now on) if not
    // -1. A peer whose unread output passes the limit is closed: false.
    bool send(Connection* connection, int32_t word, uint32_t arg, const uint8_t* payload,
              size_t size, int passFd = -1);
    // Closes the descriptor now and tells the handler.
    void close(Connection* connection);

    // `onReadable` runs when the listening socket `fd` has a connection.
    void setListener(int fd, std::function<void()> onReadable);
    // Stops or resumes watching the listener (while out of descriptors).
    void pauseListener(bool paused);
    // `onTick` runs about every `interval`.
    void setTick(std::chrono::milliseconds interval, std::function<void()> onTick);

    // Runs until a watched signal arrives (kStatusOk) or stop() is called
    // (the status of the first stop()).
    status_t run();
    void stop(status_t status);

    template <typename F>
    void forEachConnection(F f)
    {
        for (auto& c : connections_)
            if (!c->closed())
                f(*c);
    }

private:
    EventLoop() = default;
    void watch(Connection* connection);
    void onReadable(Connection* connection);
    void onWritable(Connection* connection);
    void processFrames(Connection* connection);
    void reap();

    int epoll_ = -1;
    int signals_ = -1;
    int listener_ = -1;
    bool listenerPaused_ = false;
    std::function<void()> onListenerReadable_;
    std::chrono::milliseconds tickInterval_{0};
    std::function<void()> onTick_;
    bool stopped_ = false;
    status_t stopStatus_ = kStatusOk;
    std::vector<std::unique_ptr<Connection>> connections_;
    size_t closedCount_ = 0;
};
