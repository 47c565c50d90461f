#include "ByteOrder.h"

#include <quellix/Parcel.h>
#include <quellix/TextOutput.h>

#include <cstdint>
#include <string>
#include <utility>

namespace {

// Bytes a String16 of `count` units takes after its count: the units, the
// 0 unit and padding to a multiple of 4. 64-bit so that no count read from
// a parcel can overflow it.
uint64_t string16Bytes(uint64_t count)
{
    return ((count + 1) * 2 + 3) & ~uint64_t{3};
}

} // namespace

void Parcel::writeInt32(int32_t value)
{
    const size_t start = bytes_.size();
    bytes_.resize(start + 4);
    putLittle32(bytes_.data() + start, uint32_t(value));
}

void Parcel::writeString16(const String16& text)
{
    writeString16(text.data(), text.size());
}

void Parcel::writeString16(const char16_t* units, size_t count)
{
    writeInt32(int32_t(count));
    const size_t start = bytes_.size();
    // Zero-filled, which provides the 0 unit and the padding.
    bytes_.resize(start + size_t(string16Bytes(count)), 0);
    uint8_t* out = bytes_.data() + start;
    for (size_t i = 0; i < count; ++i) {
        out[2 * i] = uint8_t(units[i]);
        out[2 * i + 1] = uint8_t(units[i] >> 8);
    }
}

void Parcel::writeInterfaceToken(const String16& interfaceName)
{
    writeString16(interfaceName);
}

void Parcel::writeStrongBinder(const sp<IBinder>&)
{
    writeInt32(0);
    writeInt32(0);
}

status_t Parcel::readInt32(int32_t* value) const
{
    const uint8_t* in = consume(4);
    *value = in ? int32_t(getLittle32(in)) : 0;
    return readStatus_;
}

status_t Parcel::readString16(String16* text) const
{
    *text = String16();
    int32_t count;
    if (readInt32(&count) != kStatusOk)
        return readStatus_;
    if (count == -1)
        return kStatusOk;
    // A count below -1, one that runs past the end, or no 0 unit after.
    const uint64_t size = count < -1 ? UINT64_MAX : string16Bytes(uint64_t(count));
    const uint8_t* in = size > bytes_.size() - readPos_ ? nullptr : consume(size_t(size));
    const auto units = size_t(count);
    if (!in || in[2 * units] != 0 || in[2 * units + 1] != 0) {
        fail(kStatusBadParcel);
        return readStatus_;
    }

    std::u16string decoded(units, u'\0');
    for (size_t i = 0; i < units; ++i)
        decoded[i] = char16_t(in[2 * i] | in[2 * i + 1] << 8);
    *text = String16(std::move(decoded));
    return kStatusOk;
}

String16 Parcel::readString16() const
{
    String16 text;
    readString16(&text);
    return text;
}

status_t Parcel::readStrongBinderKind(int32_t* kind, int32_t* handle) const
{
    const uint8_t* in = consume(8);
    *kind = in ? int32_t(getLittle32(in)) : 0;
    *handle = in ? int32_t(getLittle32(in + 4)) : 0;
    return readStatus_;
}

void Parcel::adoptData(std::vector<uint8_t> bytes)
{
    bytes_ = std::move(bytes);
    readPos_ = 0;
    readStatus_ = kStatusOk;
}

std::vector<uint8_t> Parcel::releaseData()
{
    readPos_ = 0;
    readStatus_ = kStatusOk;
    return std::exchange(bytes_, {});
}

void Parcel::setData(const uint8_t* bytes, size_t size)
{
    if (size == 0)
        bytes_.clear();
    else
        bytes_.assign(bytes, bytes + size);
    readPos_ = 0;
    readStatus_ = kStatusOk;
}

void Parcel::print(TextOutput& out, uint32_t /*flags*/) const
{
    static constexpr char kHex[] = "0123456789abcdef";
    const size_t size = bytes_.size();
    std::string line = "Parcel(" + std::to_string(size) + " bytes";
    if (size == 0) {
        line += ')';
        out.print(line.data(), line.size());
        return;
    }

    // The line's length is known up front, so it is written in place:
    // ":", " " and 8 digits per 4 bytes, " " and 2 digits per byte of a
    // shorter last group, " '", the text, "')".
    const size_t groups = size / 4;
    const size_t rest = size % 4;
    const size_t head = line.size();
    line.resize(head + 1 + groups * 9 + (rest ? 1 + 2 * rest : 0) + 2 + size + 2);
    char* p = line.data() + head;
    *p++ = ':';
    const uint8_t* in = bytes_.data();
    for (size_t g = 0; g < groups; ++g, in += 4) {
        // The little-endian value's digits: its last byte comes first.
        *p++ = ' ';
        for (int b = 3; b >= 0; --b) {
            *p++ = kHex[in[b] >> 4];
            *p++ = kHex[in[b] & 0xF];
        }
    }
    if (rest) {
        *p++ = ' ';
        for (size_t i = 0; i < rest; ++i) {
            *p++ = kHex[in[i] >> 4];
            *p++ = kHex[in[i] & 0xF];
        }
    }
    *p++ = ' ';
    *p++ = '\'';
    for (uint8_t byte : bytes_)
        *p++ = (byte >= 0x20 && byte <= 0x7E) ? char(byte) : '.';
    *p++ = '\'';
    *p++ = ')';
    out.print(line.data(), line.size());
}

const uint8_t* Parcel::consume(size_t n) const
{
    if (readStatus_ != kStatusOk)
        return nullptr;
    if (n > bytes_.size() - readPos_) {
        fail(kStatusBadParcel);
        return nullptr;
    }
    const uint8_t* in = bytes_.data() + readPos_;
    readPos_ += n;
    return in;
}

void Parcel::fail(status_t status) const
{
    if (readStatus_ == kStatusOk)
        readStatus_ = status;
}
