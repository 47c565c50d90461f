#include <quellix/TextOutput.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <unistd.h>

namespace {

// Writes all of `bytes` to `fd`, resuming after signals and partial
// writes. Returns 0, or the errno of the write that failed; the rest of
// the bytes are then given up. (A reader that has gone away raises
// SIGPIPE, which ends the process as it ends any other writer.)
int writeAll(int fd, const char* bytes, size_t length)
{
    while (length > 0) {
        ssize_t written = ::write(fd, bytes, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (written == 0)
            return EIO;
        bytes += written;
        length -= size_t(written);
    }
    return 0;
}

// A stream over a file descriptor with a caller-provided buffer. The
// constructor is constexpr so that the process-wide streams are constant
// initialised and usable from any other static initialiser.
class FdOutput final : public TextOutput {
public:
    constexpr FdOutput(int fd, char* buffer, size_t capacity, bool lineBuffered,
                       TextOutput* flushFirst)
        : fd_(fd), buffer_(buffer), capacity_(capacity), lineBuffered_(lineBuffered),
          flushFirst_(flushFirst)
    {
    }

    void print(const char* bytes, size_t length) override
    {
        if (length == 0)
            return;
        if (length > capacity_ - used_)
            flush();
        if (length >= capacity_) {
            // Too big to be worth copying; the buffer is empty by now, so
            // order is kept.
            send(bytes, length);
            return;
        }
        std::memcpy(buffer_ + used_, bytes, length);
        used_ += length;
        if (lineBuffered_ && std::memchr(bytes, '\n', length))
            flush();
    }

    void flush() override
    {
        if (used_ == 0)
            return;
        // The buffer is emptied whether or not the write succeeded: bytes
        // a broken descriptor refused are dropped, not retried forever,
        // and the failure is kept in error().
        size_t length = used_;
        used_ = 0;
        send(buffer_, length);
    }

private:
    void send(const char* bytes, size_t length)
    {
        if (flushFirst_)
            flushFirst_->flush();
        if (int failure = writeAll(fd_, bytes, length))
            recordError(failure);
    }

    int fd_;
    char* buffer_;
    size_t capacity_;
    size_t used_ = 0;
    bool lineBuffered_;
    TextOutput* flushFirst_;
};

// Owns one stream without ever destroying it, so that printing from other
// objects' destructors during exit stays safe; whatever is still buffered
// goes out when the holder itself is destroyed at normal exit. Being
// constant initialised, the holder is destroyed after every dynamically
// initialised object and every atexit handler.
union StreamHolder {
    constexpr StreamHolder(int fd, char* buffer, size_t capacity, bool lineBuffered,
                           TextOutput* flushFirst)
        : stream(fd, buffer, capacity, lineBuffered, flushFirst)
    {
    }
    ~StreamHolder() { stream.flush(); }

    FdOutput stream;
};

char gOutBuffer[64 * 1024];
char gErrBuffer[4 * 1024];

constinit StreamHolder gOut(1, gOutBuffer, sizeof gOutBuffer, false, nullptr);
// Standard error flushes standard output before each write of its own.
constinit StreamHolder gErr(2, gErrBuffer, sizeof gErrBuffer, true, &gOut.stream);

} // namespace

void StringOutput::print(const char* bytes, size_t length) { text_.append(bytes, length); }

TextOutput& aout = gOut.stream;
TextOutput& aerr = gErr.stream;

TextOutput& operator<<(TextOutput& out, const char* text)
{
    if (text)
        out.print(text, std::strlen(text));
    return out;
}

template <typename Integer>
static TextOutput& printDecimal(TextOutput& out, Integer value)
{
    char digits[16];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.print(digits, size_t(result.ptr - digits));
    return out;
}

TextOutput& operator<<(TextOutput& out, unsigned int value) { return printDecimal(out, value); }

TextOutput& operator<<(TextOutput& out, int value) { return printDecimal(out, value); }

TextOutput& endl(TextOutput& out)
{
    out.print("\n", 1);
    return out;
}
