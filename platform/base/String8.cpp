#include <quellix/String8.h>

#include <quellix/String16.h>

#include <cstring>

String8::String8(const String16& text, ZeroUnits zeroUnits)
{
    const size_t count = text.size();
    for (size_t i = 0; i < count; ++i) {
        const char32_t unit = text[i];
        if (unit == 0 && zeroUnits == ZeroUnits::kDrop)
            continue;
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        if (high && i + 1 < count && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            const char32_t low = text[i + 1];
            appendCodePoint(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
            ++i;
        } else {
            // A lone surrogate is not a scalar value, so appendCodePoint
            // turns it into U+FFFD.
            appendCodePoint(unit);
        }
    }
}

void String8::append(const char* text)
{
    if (text)
        bytes_.append(text, std::strlen(text));
}

void String8::appendCodePoint(char32_t codePoint)
{
    if (codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        codePoint = 0xFFFD;

    if (codePoint < 0x80) {
        bytes_.push_back(char(codePoint));
    } else if (codePoint < 0x800) {
        bytes_.push_back(char(0xC0 | (codePoint >> 6)));
        bytes_.push_back(char(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        bytes_.push_back(char(0xE0 | (codePoint >> 12)));
        bytes_.push_back(char(0x80 | ((codePoint >> 6) & 0x3F)));
        bytes_.push_back(char(0x80 | (codePoint & 0x3F)));
    } else {
        bytes_.push_back(char(0xF0 | (codePoint >> 18)));
        bytes_.push_back(char(0x80 | ((codePoint >> 12) & 0x3F)));
        bytes_.push_back(char(0x80 | ((codePoint >> 6) & 0x3F)));
        bytes_.push_back(char(0x80 | (codePoint & 0x3F)));
    }
}
