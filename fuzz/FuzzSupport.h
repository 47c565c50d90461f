// Shared by the fuzz targets: a failed property ends the run as a crash,
// and a byte stream reaches a FrameReader through a socket in chunks of
// input-chosen sizes, as a peer's messages do.
#pragma once

#include "Frame.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/socket.h>

// Aborts with `what` when a property does not hold, so that libFuzzer
// records the input as a crash.
inline void fuzzCheck(bool holds, const char* what)
{
    if (holds)
        return;
    std::fprintf(stderr, "property failed: %s\n", what);
    std::abort();
}

// Chunk sizes from 1 to 64 bytes, a fixed sequence for each seed; seed 0
// hands over everything at once.
class ChunkSizes {
public:
    explicit ChunkSizes(uint8_t seed) : state_(seed) {}

    size_t next(size_t left)
    {
        if (state_ == 0)
            return left;
        state_ = state_ * 1103515245u + 12345u;
        size_t size = 1 + (state_ >> 16) % 64;
        return size < left ? size : left;
    }

private:
    uint32_t state_;
};

// Sends `size` bytes into a socket and has `reader` receive them from the
// other end, as the daemons' event loops do.
inline void sendThrough(FrameReader& reader, const uint8_t* bytes, size_t size)
{
    static int ends[2] = {-1, -1};
    if (ends[0] < 0)
        fuzzCheck(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "a socket pair opens");
    size_t sent = 0, received = 0;
    while (received < size) {
        if (sent < size) {
            ssize_t n = send(ends[1], bytes + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            fuzzCheck(n > 0 || errno == EAGAIN, "the bytes can be sent");
            if (n > 0)
                sent += size_t(n);
        }
        ssize_t n = reader.receive(ends[0], MSG_DONTWAIT);
        fuzzCheck(n > 0 || (n < 0 && errno == EAGAIN), "what was sent is received");
        if (n > 0)
            received += size_t(n);
    }
}
