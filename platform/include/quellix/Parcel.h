// A parcel: the data of one transaction or its reply, an ordered sequence
// of typed values that is read back in the order it was written.
//
// Encoding (little-endian, every value on a 4-byte boundary, padding 0):
//   int32           4 bytes
//   String16        int32 unit count, the units (2 bytes each), one 0 unit,
//                   padding to a multiple of 4; an absent string is -1 alone
//   interface token the interface name as a String16
//   binder          int32 kind, int32 handle; null is kind 0, handle 0
//
// Writes cannot fail. Reads start at the beginning and move a read
// position; each read returns a status, and after the first failed read
// every later read fails too (readStatus() tells why): kStatusBadParcel
// for a read past the end, a String16 whose count is below -1 or runs past
// the end, or one without its 0 unit. Reads never touch memory outside the
// parcel. A service that returns the failed read's status tells its caller
// that the data was malformed.
//
// Limits: a transaction carries at most kMaxParcelSize bytes each way;
// IBinder::sendTransaction refuses a larger data parcel with
// kStatusParcelTooLarge.
//
// Threading: a parcel is a value, used by one thread at a time (reads move
// the read position, even through a const parcel).
#pragma once

#include <quellix/RefBase.h>
#include <quellix/Status.h>
#include <quellix/String16.h>

#include <cstddef>
#include <cstdint>
#include <vector>

class IBinder;
class TextOutput;

// The largest parcel a transaction carries, each way.
inline constexpr size_t kMaxParcelSize = size_t{1} << 20;

class Parcel {
public:
    Parcel() = default;

    void writeInt32(int32_t value);
    void writeString16(const String16& text);
    // Writes a String16 of `count` units from `units`, which may be null
    // when count is 0.
    void writeString16(const char16_t* units, size_t count);
    void writeInterfaceToken(const String16& interfaceName);
    // Only null references travel in parcels; a non-null one is written as
    // null too, since a reference is a connection and cannot be copied
    // into bytes.
    void writeStrongBinder(const sp<IBinder>& binder);

    status_t readInt32(int32_t* value) const;
    // An absent string (-1) reads as the empty string.
    status_t readString16(String16* text) const;
    // As above, returning the empty string when the read fails.
    String16 readString16() const;
    status_t readStrongBinderKind(int32_t* kind, int32_t* handle) const;
    status_t readStatus() const { return readStatus_; }
    // Bytes not yet read.
    size_t dataAvail() const { return bytes_.size() - readPos_; }

    // Replaces the contents with a copy of `size` bytes at `bytes` (which may
    // be null when size is 0) and rewinds reading. Nothing is borrowed.
    void setData(const uint8_t* bytes, size_t size);
    // Takes `bytes` over as the contents, without a copy, and rewinds
    // reading.
    void adoptData(std::vector<uint8_t> bytes);
    // Hands the contents over, without a copy; the parcel is empty after.
    std::vector<uint8_t> releaseData();
    // The encoded bytes; valid until the next write or setData.
    const uint8_t* data() const { return bytes_.data(); }
    size_t dataSize() const { return bytes_.size(); }

    // One line, no newline: "Parcel(0 bytes)" or
    // "Parcel(N bytes: W W ... 'TEXT')" with each 4-byte group as the 8 hex
    // digits of its little-endian value, a shorter last group as 2 digits
    // per byte in memory order, and TEXT showing printable ASCII as itself
    // and every other byte as '.'. The flags are reserved; pass 0.
    void print(TextOutput& out, uint32_t flags = 0) const;

private:
    // Reserves `n` bytes at the read position; fails (and stays failed)
    // when fewer remain.
    const uint8_t* consume(size_t n) const;
    void fail(status_t status) const;

    std::vector<uint8_t> bytes_;
    mutable size_t readPos_ = 0;
    mutable status_t readStatus_ = kStatusOk;
};
