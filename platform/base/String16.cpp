#include <quellix/String16.h>

#include <cstring>

namespace {

// Decodes the well-formed UTF-8 sequence at the start of `in` (which has
// `left` bytes, at least one) into `*codePoint` and returns its length, or
// returns 0 when the bytes there do not form one.
size_t decodeSequence(const unsigned char* in, size_t left, char32_t* codePoint)
{
    const unsigned char lead = in[0];
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    }

    size_t length;
    char32_t value;
    char32_t smallest; // below this the sequence is an overlong form
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
        smallest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        smallest = 0x10000;
    } else {
        // A continuation byte, an always-overlong C0/C1, or F5..FF.
        return 0;
    }

    if (length > left)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((in[i] & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (in[i] & 0x3F);
    }
    if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;

    *codePoint = value;
    return length;
}

} // namespace

String16::String16(const char* utf8) : String16(utf8, utf8 ? std::strlen(utf8) : 0) {}

String16::String16(const char* utf8, size_t length)
{
    if (!utf8)
        return;
    const auto* in = reinterpret_cast<const unsigned char*>(utf8);
    units_.reserve(length);

    size_t pos = 0;
    while (pos < length) {
        char32_t codePoint;
        size_t used = decodeSequence(in + pos, length - pos, &codePoint);
        if (used == 0) {
            // Only the offending byte is replaced; the next one may start
            // a valid sequence.
            codePoint = 0xFFFD;
            used = 1;
        }
        pos += used;

        if (codePoint < 0x10000) {
            units_.push_back(char16_t(codePoint));
        } else {
            codePoint -= 0x10000;
            units_.push_back(char16_t(0xD800 + (codePoint >> 10)));
            units_.push_back(char16_t(0xDC00 + (codePoint & 0x3FF)));
        }
    }
}
