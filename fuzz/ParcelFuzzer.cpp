// Every read of a parcel on arbitrary bytes, in an order the input picks,
// and the parcel's text form.
//
// Input: byte 0 is the number N of reads, the next N bytes pick them (the
// value modulo 4), and the remaining bytes are the parcel's data.
#include "FuzzSupport.h"

#include <quellix/Parcel.h>
#include <quellix/TextOutput.h>

#include <algorithm>
#include <string>

namespace {

std::string printed(const Parcel& parcel)
{
    StringOutput out;
    parcel.print(out);
    return out.text();
}

// The bytes a String16 of `units` units takes after its count.
size_t string16Bytes(size_t units) { return ((units + 1) * 2 + 3) & ~size_t{3}; }

// The length of the text form of `size` bytes.
size_t printedLength(size_t size)
{
    std::string head = "Parcel(" + std::to_string(size) + " bytes";
    if (size == 0)
        return head.size() + 1;
    size_t groups = size / 4 * 9 + (size % 4 ? 1 + size % 4 * 2 : 0);
    return head.size() + 1 + groups + 2 + size + 2;
}

void checkPrinted(const std::string& text, const uint8_t* bytes, size_t size)
{
    fuzzCheck(text.size() == printedLength(size), "the text form has the expected length");
    fuzzCheck(text.rfind("Parcel(" + std::to_string(size) + " bytes", 0) == 0,
              "the text form starts with the byte count");
    fuzzCheck(text.find('\n') == std::string::npos, "the text form is one line");
    if (size == 0)
        return;
    // TEXT: the last size + 2 characters before the closing "')".
    const char* shown = text.data() + text.size() - 2 - size;
    for (size_t i = 0; i < size; ++i) {
        char expected = bytes[i] >= 0x20 && bytes[i] <= 0x7E ? char(bytes[i]) : '.';
        fuzzCheck(shown[i] == expected, "the text shows each byte");
    }
}

// One read; returns its status and checks what it reported.
status_t readOne(const Parcel& parcel, uint8_t pick)
{
    const size_t before = parcel.dataAvail();
    status_t status = kStatusOk;
    size_t taken = 0;
    switch (pick % 4) {
    case 0: {
        int32_t value = -1;
        status = parcel.readInt32(&value);
        fuzzCheck(status == kStatusOk || value == 0, "a failed int32 read gives 0");
        taken = 4;
        break;
    }
    case 1: {
        String16 text(u"x", 1);
        status = parcel.readString16(&text);
        fuzzCheck(status == kStatusOk || text.isEmpty(), "a failed string read gives \"\"");
        taken = before - parcel.dataAvail();
        fuzzCheck(status != kStatusOk || taken == 4 || taken == 4 + string16Bytes(text.size()),
                  "a string read takes its count, units, 0 unit and padding");
        fuzzCheck(taken != 4 || text.isEmpty(), "an absent string reads as \"\"");
        break;
    }
    case 2: {
        String16 text = parcel.readString16();
        status = parcel.readStatus();
        fuzzCheck(status == kStatusOk || text.isEmpty(), "a failed string read gives \"\"");
        taken = before - parcel.dataAvail();
        fuzzCheck(status != kStatusOk || taken == 4 || taken == 4 + string16Bytes(text.size()),
                  "a string read takes its count, units, 0 unit and padding");
        break;
    }
    default: {
        int32_t kind = -1, handle = -1;
        status = parcel.readStrongBinderKind(&kind, &handle);
        fuzzCheck(status == kStatusOk || (kind == 0 && handle == 0), "a failed binder read gives 0, 0");
        taken = 8;
        break;
    }
    }
    fuzzCheck(parcel.dataAvail() <= before, "reading never moves back");
    if (status == kStatusOk)
        fuzzCheck(before - parcel.dataAvail() == taken, "a read takes exactly its value's bytes");
    return status;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize)
{
    if (inputSize == 0)
        return 0;
    const size_t reads = std::min<size_t>(input[0], inputSize - 1);
    const uint8_t* picks = input + 1;
    const uint8_t* bytes = picks + reads;
    const size_t size = inputSize - 1 - reads;

    Parcel parcel;
    parcel.setData(bytes, size);
    fuzzCheck(parcel.dataSize() == size && parcel.dataAvail() == size, "setData copies every byte");
    const std::string before = printed(parcel);
    checkPrinted(before, bytes, size);

    status_t failure = kStatusOk;
    for (size_t i = 0; i < reads; ++i) {
        status_t status = readOne(parcel, picks[i]);
        fuzzCheck(status == kStatusOk || status == kStatusBadParcel, "a read fails as a bad parcel");
        fuzzCheck(failure == kStatusOk || status == failure, "after a failed read every read fails");
        if (failure == kStatusOk)
            failure = status;
        fuzzCheck(parcel.readStatus() == failure, "readStatus tells the first failure");
    }
    fuzzCheck(printed(parcel) == before, "reading does not change the text form");
    return 0;
}
