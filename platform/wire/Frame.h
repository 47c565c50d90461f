// Framing of the platform's socket messages. Every message is a frame: a
// 16-byte header (payload size, a 32-bit word, a 32-bit argument and a
// 32-bit target, each little-endian) followed by the payload. A frame may
// carry file descriptors, sent with its first byte. Internal to the
// platform library, for both ends of a socket.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <sys/types.h>
#include <utility>
#include <vector>

inline constexpr size_t kFrameHeaderSize = 16;

// The wire's way to fail: -1, with errno set to `error`.
inline int failWith(int error)
{
    errno = error;
    return -1;
}

// One received frame. It owns the descriptors that came with it and closes
// those not taken.
struct Frame {
    int32_t word = 0;
    uint32_t arg = 0;
    uint32_t target = 0;
    std::vector<uint8_t> payload;
    std::vector<int> fds;

    Frame() = default;
    Frame(Frame&& other) noexcept { *this = std::move(other); }
    Frame& operator=(Frame&& other) noexcept;
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    ~Frame() { closeFds(); }

    // The first descriptor, now the caller's; -1 when there is none.
    int takeFd();
    void closeFds();
};

void encodeFrameHeader(uint8_t header[kFrameHeaderSize], uint32_t size, int32_t word, uint32_t arg,
                       uint32_t target);

// Collects bytes and descriptors from a stream socket and cuts them into
// frames. Its buffer grows with the bytes that arrive, never with the size
// a header announces, so a peer that announces a large frame and sends
// little costs little.
class FrameReader {
public:
    enum class Result { kFrame, kNeedMore, kMalformed };

    // Frames whose payload exceeds `maxPayload` are malformed.
    explicit FrameReader(size_t maxPayload) : maxPayload_(maxPayload) {}
    ~FrameReader() { closeFds(); }
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // One recvmsg on `fd` with `flags`: the byte count, 0 at end of stream,
    // -1 with errno set. Descriptors that arrive go to the frame that holds
    // the last byte of this read: the kernel ends a read right after the
    // bytes that carried descriptors, and a frame sends its descriptors
    // with its first byte.
    ssize_t receive(int fd, int flags);
    // Adds bytes as if received (used where bytes come from elsewhere).
    void append(const uint8_t* bytes, size_t size);

    // The next complete frame, if the buffer holds one. Once malformed,
    // always malformed.
    Result next(Frame* frame);
    // Whether part of a frame has arrived and waits for the rest.
    bool holdsPartialFrame() const { return end_ > start_; }
    // Whether a whole frame has arrived that next() has not handed out.
    bool holdsWholeFrame() const;
    // Closes every received descriptor not yet handed out with a frame.
    void closeFds();
    // Hands them out instead.
    std::vector<int> takeFds();
    size_t capacity() const { return capacity_; }

private:
    void reserve(size_t room);

    size_t maxPayload_;
    std::unique_ptr<uint8_t[]> buffer_;
    size_t capacity_ = 0;
    size_t start_ = 0;
    size_t end_ = 0;
    uint64_t offset_ = 0; // stream offset of buffer_[start_]
    bool malformed_ = false;
    // Received descriptors and the stream offset of the read's last byte.
    std::deque<std::pair<uint64_t, int>> fds_;
};
