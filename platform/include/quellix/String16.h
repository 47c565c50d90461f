// A string of UTF-16 code units, any unit value allowed (0 and lone
// surrogates included). A value: copies are independent, and one string
// may be read from several threads as long as none changes it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class String16 {
public:
    String16() = default;
    // Decodes UTF-8. Every byte that is not part of a well-formed sequence
    // (stray continuation bytes, overlong forms, encoded surrogates, values
    // above U+10FFFF, truncated sequences) becomes one U+FFFD. A null
    // pointer gives the empty string.
    explicit String16(const char* utf8);
    String16(const char* utf8, size_t length);
    String16(const char16_t* units, size_t count) : units_(units, count) {}
    explicit String16(std::u16string units) : units_(std::move(units)) {}

    // Number of UTF-16 code units, without a terminator.
    size_t size() const { return units_.size(); }
    bool isEmpty() const { return units_.empty(); }
    // The units; [size()] holds a 0 unit. Valid until the string changes.
    const char16_t* data() const { return units_.data(); }
    char16_t operator[](size_t index) const { return units_[index]; }
    std::u16string_view view() const { return units_; }

    // Ordered by code unit values, ascending.
    friend auto operator<=>(const String16&, const String16&) = default;
    friend bool operator==(const String16&, const String16&) = default;

private:
    std::u16string units_;
};
