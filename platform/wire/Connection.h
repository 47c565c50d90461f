// One connected stream socket, which it owns, as a carrier of frames: the
// bytes and descriptors that arrived, and the frames not yet written.
// Nothing else: who is at the other end, and when a connection is dropped,
// is its owner's business. Internal to the platform library.
//
// Used two ways: a client waits in send(), receive() and call(); a server
// never waits, and uses sendNow(), queue(), flush(), fill() and reader().
// Every operation that can fail returns -1 with errno set.
#pragma once

#include "Frame.h"

#include <quellix/Status.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <sys/socket.h>
#include <sys/types.h>
#include <vector>

// Whether `error` says the process or the system ran out of descriptors,
// buffers or memory.
bool isExhaustion(int error);
// The platform status for a failure of the transport with `error`: the
// statuses are negated errno values, so most map to themselves; a reset is
// a dead object too, and exhaustion is kStatusNoResources.
status_t statusFromErrno(int error);

class Connection {
public:
    // Frames whose payload exceeds `maxPayload` are malformed.
    Connection(int fd, size_t maxPayload);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int fd() const { return fd_; }
    // Once a blocking send or receive has failed, the socket is closed and
    // every later operation fails too (EPIPE): a stream out of step cannot
    // be trusted.
    bool broken() const { return fd_ < 0; }
    void shutDown();
    // Gives the socket up unclosed, for the caller to close: -1 when it is
    // closed already.
    int release();

    // Sends the whole frame, waiting as long as it takes: 0, or -1.
    int send(int32_t word, uint32_t arg, uint32_t target, const uint8_t* payload, size_t size);
    // Waits for the next frame: 0, or -1 with errno EPIPE when the peer has
    // gone and EBADMSG when it sent something malformed.
    int receive(Frame* frame);
    // send(), then receive() of the answer into *reply.
    int call(int32_t word, uint32_t arg, uint32_t target, const uint8_t* payload, size_t size, Frame* reply);

    // Sends a frame with the descriptor `passFd` now, without waiting: 0
    // when it went (`passFd` is closed here, and any rest of the frame
    // queued); -1 with errno EAGAIN when earlier frames wait or the socket
    // is full, ETOOMANYREFS when the kernel takes no more descriptors in
    // flight from us, an exhaustion (isExhaustion), or the socket's error.
    // Unless 0, `passFd` stays the caller's.
    int sendNow(int32_t word, uint32_t arg, uint32_t target, const uint8_t* payload, size_t size, int passFd);
    // Queues a frame behind the ones not yet written.
    void queue(int32_t word, uint32_t arg, uint32_t target, std::vector<uint8_t> payload);
    // Writes queued frames as far as the socket takes them now: 0, or -1.
    int flush();
    bool hasOutput() const { return !output_.empty(); }
    size_t unsentFrames() const { return output_.size(); }
    size_t unsentBytes() const { return outputBytes_; }
    // How many bytes the socket has taken from us so far: when it grows,
    // the peer is reading.
    uint64_t written() const { return written_; }
    // What the socket holds that the peer has not read yet (SIOCOUTQ); 0
    // when the kernel does not say.
    size_t unreadBytes() const;
    // The memory that input and output take now.
    size_t bufferedBytes() const { return reader_.capacity() + outputBytes_; }
    // One read of what has arrived, without waiting: the byte count, 0 at
    // the end of the stream, or -1.
    ssize_t fill() { return reader_.receive(fd_, MSG_DONTWAIT); }
    FrameReader& reader() { return reader_; }

private:
    struct Pending {
        uint8_t header[kFrameHeaderSize];
        std::vector<uint8_t> payload;
        size_t sent = 0;
    };

    int fd_;
    FrameReader reader_;
    std::deque<Pending> output_;
    size_t outputBytes_ = 0;
    uint64_t written_ = 0;
};
