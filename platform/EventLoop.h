// A single-threaded event loop over non-blocking frame connections, used by
// the service manager and the service host. Internal to the platform library.
//
// Each connection handles one frame at a time: while its replies have not
// been written out, nothing more is read from it, so a peer that sends and
// never reads holds up only itself and costs bounded memory.
#pragma once

#include "Connection.h"

#include <quellix/Status.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// Raises this process's soft descriptor limit to its hard limit; false
// when it could not.
bool raiseDescriptorLimit();

// What the owner of a connection does with its frames.
class ConnectionHandler {
public:
    virtual ~ConnectionHandler() = default;
    // One complete frame; return false to close the connection.
    virtual bool onFrame(Connection& connection, Frame& frame) = 0;
    // The connection is closing; it is deleted once the loop moves on.
    virtual void onClose(Connection& connection) = 0;
};

class EventLoop {
public:
    // Watches for SIGTERM and SIGINT, which the program has blocked;
    // kStatusOk or a failure status in *status.
    static std::unique_ptr<EventLoop> create(status_t* status);
    ~EventLoop();

    // Takes the connection over (frames it already holds are handled now);
    // null when it could not be watched or closed at once. Descriptors that
    // arrive on it are closed unless `acceptFds`.
    Connection* adopt(std::unique_ptr<Connection> connection, bool acceptFds, ConnectionHandler* handler);
    // Queues a frame. A peer whose unread output passes the limit is
    // closed: false.
    bool send(Connection* connection, int32_t word, uint32_t arg, uint32_t target,
              std::vector<uint8_t> payload);
    // Sends a frame with a descriptor now (see Connection::sendNow); a
    // connection whose socket failed is closed.
    Connection::SendResult sendNow(Connection* connection, int32_t word, uint32_t arg, uint32_t target,
                                   const std::vector<uint8_t>& payload, int passFd);
    // Closes the descriptor now and tells the handler.
    void close(Connection* connection);

    // `onReadable` runs when the listening socket `fd` has a connection.
    void setListener(int fd, std::function<void()> onReadable);
    // Stops or resumes watching the listener.
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
            if (!c->broken())
                f(*c);
    }
    // The open connection that has waited longest for a frame among those
    // `eligible` accepts and that are not in the middle of a request; null
    // when there is none.
    template <typename F>
    Connection* longestIdle(F eligible)
    {
        Connection* idle = nullptr;
        for (auto& c : connections_)
            if (!c->broken() && !c->busy() && eligible(*c) && (!idle || c->lastFrame < idle->lastFrame))
                idle = c.get();
        return idle;
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
