// A frame connection over a connected stream socket, which it owns. One
// type, used two ways: clients wait in send() and receive(); the event
// loop (EventLoop.h) never waits, and uses queue(), sendNow(), flush() and
// fill(). Internal to the platform library.
#pragma once

#include "FrameReader.h"

#include <quellix/Credentials.h>
#include <quellix/Status.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

class ConnectionHandler;

class Connection {
public:
    using Clock = std::chrono::steady_clock;

    // Frames whose payload exceeds `maxPayload` are malformed.
    Connection(int fd, size_t maxPayload);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int fd() const { return fd_; }
    // Once a send or receive has failed, the socket is closed and every
    // later one fails too: a stream out of step cannot be trusted.
    bool broken() const { return fd_ < 0; }
    void shutDown();

    // Sends the whole frame, waiting as long as it takes. kStatusDeadObject
    // when the peer is gone.
    status_t send(int32_t word, uint32_t arg, uint32_t target, const uint8_t* payload, size_t size);
    // Waits for the next frame: kStatusDeadObject when the peer is gone,
    // kStatusBadParcel when it sent something malformed.
    status_t receive(Frame* frame);

    enum class SendResult { kSent, kBusy, kFailed };
    // Sends a frame with the descriptor `passFd` now, without waiting:
    // kSent (`passFd` is closed here, and any rest of the frame queued),
    // kBusy when it cannot go now (earlier frames wait, the socket is
    // full, or the kernel takes no more descriptors in flight), kFailed
    // when the socket failed. Unless kSent, `passFd` stays the caller's.
    SendResult sendNow(int32_t word, uint32_t arg, uint32_t target, const uint8_t* payload,
                       size_t size, int passFd);
    // Queues a frame behind the ones not yet written.
    void queue(int32_t word, uint32_t arg, uint32_t target, std::vector<uint8_t> payload);
    // Writes queued frames as far as the socket takes them now; false when
    // the socket failed.
    bool flush();
    size_t unsentFrames() const { return output_.size(); }
    size_t unsentBytes() const { return outputBytes_; }
    // One read of what has arrived, without waiting: the byte count, 0 at
    // the end of the stream, -1 with errno set.
    ssize_t fill();
    FrameReader& reader() { return reader_; }

    // Who is at the other end, as the owner learned it.
    Credentials peer;
    // The owner's number for this connection.
    uint64_t id = 0;
    // When the last complete frame arrived (or the connection was made),
    // how many have, and when bytes last arrived.
    Clock::time_point lastFrame;
    uint64_t frames = 0;
    Clock::time_point lastRead;
    // Whether it is in the middle of a request: part of a frame has
    // arrived, or a reply waits to be written.
    bool busy() const { return reader_.holdsPartialFrame() || !output_.empty(); }

private:
    friend class EventLoop;
    struct Pending {
        uint8_t header[kFrameHeaderSize];
        std::vector<uint8_t> payload;
        size_t sent = 0;
    };

    int fd_;
    FrameReader reader_;
    std::deque<Pending> output_;
    size_t outputBytes_ = 0;
    // The event loop's bookkeeping.
    ConnectionHandler* handler_ = nullptr;
    uint32_t interest_ = 0;
    bool acceptFds_ = false;
};
