// Text streams: aout (standard output) and aerr (standard error).
// Neither locks: a program prints from one thread at a time.
#pragma once

#include <cstddef>
#include <string>

class TextOutput {
public:
    virtual ~TextOutput() = default;
    // The bytes appear on the stream unchanged, in call order.
    virtual void print(const char* bytes, size_t length) = 0;
    // Hands everything printed so far to the operating system.
    virtual void flush() = 0;

    // The errno of the first write that failed, 0 while every write has
    // succeeded. It stays set: output lost once is never made good, so a
    // program checks it after its final flush and fails then.
    int error() const { return error_; }

protected:
    void recordError(int error)
    {
        if (error_ == 0)
            error_ = error;
    }

private:
    int error_ = 0;
};

// A stream into memory: everything printed, kept in text().
class StringOutput : public TextOutput {
public:
    void print(const char* bytes, size_t length) override;
    void flush() override {}
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

// Normal output. Buffered; flushed when the buffer fills, before anything
// is written to aerr (so that a terminal shows both in order) and when the
// process exits normally.
extern TextOutput& aout;
// Error output. Each line goes out when endl ends it.
extern TextOutput& aerr;

TextOutput& operator<<(TextOutput& out, const char* text);
TextOutput& operator<<(TextOutput& out, unsigned int value);
TextOutput& operator<<(TextOutput& out, int value);
// Writes "\n".
TextOutput& endl(TextOutput& out);
inline TextOutput& operator<<(TextOutput& out, TextOutput& (*manipulator)(TextOutput&))
{
    return manipulator(out);
}
