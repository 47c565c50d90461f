// An 8-bit string, NUL-terminated for printing; String8(String16) makes the
// UTF-8 form of a name or a reply for display. A value, like String16.
#pragma once

#include <cstddef>
#include <string>

class String16;

class String8 {
public:
    // What a 0 unit becomes: a NUL byte, or nothing (as names are shown).
    enum class ZeroUnits { kKeep, kDrop };

    String8() = default;
    explicit String8(const char* text) { append(text); }
    // UTF-8 of the units: a surrogate pair becomes its code point, a lone
    // surrogate U+FFFD; a 0 unit becomes a NUL byte, or is dropped.
    explicit String8(const String16& text, ZeroUnits zeroUnits = ZeroUnits::kKeep);

    // Appends the bytes up to the NUL; a null pointer appends nothing.
    void append(const char* text);
    void append(const char* bytes, size_t length) { bytes_.append(bytes, length); }
    // Appends the UTF-8 form of one code point (U+FFFD for a value that is
    // not a Unicode scalar value).
    void appendCodePoint(char32_t codePoint);

    size_t size() const { return bytes_.size(); }
    // NUL-terminated; valid until the string changes.
    const char* c_str() const { return bytes_.c_str(); }
    const std::string& bytes() const { return bytes_; }

private:
    std::string bytes_;
};
