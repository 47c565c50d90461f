// Framing of the platform's socket messages. Every message is a frame: a
// 12-byte header (payload size, a 32-bit word, a 32-bit argument, each
// little-endian) followed by the payload. A frame may carry file
// descriptors, which travel with its first byte.
//
// Internal to the platform library.
#pragma once

#include "Status.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <sys/types.h>
#include <vector>

inline constexpr size_t kFrameHeaderSize = 12;

struct Frame {
    int32_t word = 0;
    uint32_t arg = 0;
    std::vector<uint8_t> payload;
};

// Writes the header for a payload of `size` bytes into `header`.
void encodeFrameHeader(uint8_t header[kFrameHeaderSize], uint32_t size, int32_t word, uint32_t arg);

// Collects bytes and descriptors from a stream socket and cuts them into
// frames. Descriptors received and not taken are closed with the reader.
class FrameReader {
public:
    enum class Result { kFrame, kNeedMore, kMalformed };

    // Frames whose payload exceeds `maxPayload` are malformed.
    explicit FrameReader(size_t maxPayload) : maxPayload_(maxPayload) {}
    ~FrameReader();
    FrameReader(FrameReader&& other) noexcept;
    FrameReader& operator=(FrameReader&&) = delete;
    FrameReader(const FrameReader&) = delete;

    // One recvmsg on `fd` with `flags`: the byte count, 0 at end of stream,
    // -1 with errno set. Descriptors that arrive are queued.
    ssize_t receive(int fd, int flags);
    // Adds bytes as if received (used where bytes come from elsewhere).
    void append(const uint8_t* bytes, size_t size);

    // The next complete frame, if the buffer holds one. Once malformed,
    // always malformed.
    Result next(Frame* frame);
    bool hasBufferedBytes() const { return end_ > start_; }

    // The oldest received descriptor not yet taken, or -1.
    int takeFd();
    // Closes every received descriptor not yet taken.
    void closeFds();

private:
    void reserve(size_t room);

    size_t maxPayload_;
    std::vector<uint8_t> buffer_;
    size_t start_ = 0;
    size_t end_ = 0;
    size_t wanted_ = 0; // size of the frame being assembled, once known
    bool malformed_ = false;
    std::deque<int> fds_;
};
