// Unix domain sockets of the platform: the service manager's address and
// the sending of frames. Internal to the platform library.
#pragma once

#include "FrameReader.h"
#include "Status.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// A stream socket connected to the service manager, or -1 (errno set).
int connectServiceManager();
// A listening socket at the service manager's address, or -1 (errno set;
// EADDRINUSE when another service manager holds it).
int listenServiceManager();

// Sends `bytes`, passing `passFd` (unless -1) with the first byte. With
// `wait` it sends all of them; without, as many as the socket takes now
// (possibly 0). Never raises SIGPIPE. Returns the byte count sent, or -1
// with errno set when the socket failed.
ssize_t sendBytes(int fd, const uint8_t* bytes, size_t size, int passFd, bool wait);

// A blocking frame channel over a connected stream socket, owning it. The
// first failure breaks it for good: a stream out of step cannot be trusted.
class Channel {
public:
    Channel(int fd, size_t maxPayload) : fd_(fd), reader_(maxPayload) {}
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // kStatusDeadObject when the peer is gone.
    status_t send(int32_t word, uint32_t arg, const uint8_t* payload, size_t size, int passFd = -1);
    // Waits for the next frame: kStatusDeadObject when the peer is gone,
    // kStatusBadParcel when it sent something malformed.
    status_t receive(Frame* frame);

    FrameReader& reader() { return reader_; }
    // Hands the socket to the caller; the channel is broken afterwards.
    int releaseFd();

private:
    int fd_;
    bool broken_ = false;
    FrameReader reader_;
};
