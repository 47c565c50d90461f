#include <quellix/IBinder.h>
#include <quellix/Parcel.h>
#include <quellix/TextOutput.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const Parcel& parcel)
{
    return Bytes(parcel.data(), parcel.data() + parcel.dataSize());
}

Parcel parcelOf(const Bytes& bytes)
{
    Parcel parcel;
    parcel.setData(bytes.data(), bytes.size());
    return parcel;
}

// Collects printed text and counts print calls.
class CountingOutput : public StringOutput {
public:
    void print(const char* bytes, size_t length) override
    {
        StringOutput::print(bytes, length);
        ++prints;
    }

    int prints = 0;
};

std::string printed(const Parcel& parcel)
{
    StringOutput out;
    parcel.print(out);
    return out.text();
}

class NullService : public IBinder {
public:
    status_t sendTransaction(uint32_t, const Parcel&, Parcel*, uint32_t) override
    {
        return kStatusOk;
    }
};

TEST(ParcelTest, Int32IsLittleEndian)
{
    const struct {
        int32_t value;
        Bytes bytes;
    } cases[] = {
        {0, {0, 0, 0, 0}},
        {1, {1, 0, 0, 0}},
        {-1, {0xFF, 0xFF, 0xFF, 0xFF}},
        {0x12345678, {0x78, 0x56, 0x34, 0x12}},
        {INT32_MIN, {0, 0, 0, 0x80}},
    };
    for (const auto& c : cases) {
        Parcel parcel;
        parcel.writeInt32(c.value);
        EXPECT_EQ(bytesOf(parcel), c.bytes) << c.value;
    }
}

TEST(ParcelTest, String16EncodingIsPaddedWithZeros)
{
    const struct {
        std::u16string units;
        Bytes bytes;
    } cases[] = {
        {u"", {0, 0, 0, 0, 0, 0, 0, 0}},
        {u"x", {1, 0, 0, 0, 'x', 0, 0, 0}},
        {u"ab", {2, 0, 0, 0, 'a', 0, 'b', 0, 0, 0, 0, 0}},
        {u"abc", {3, 0, 0, 0, 'a', 0, 'b', 0, 'c', 0, 0, 0}},
        {{0xD83D, 0}, {2, 0, 0, 0, 0x3D, 0xD8, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        Parcel parcel;
        parcel.writeString16(String16(c.units));
        EXPECT_EQ(bytesOf(parcel), c.bytes) << c.units.size();
    }
}

TEST(ParcelTest, TokenAndBinderEncoding)
{
    Parcel parcel;
    parcel.writeInterfaceToken(String16("x"));
    parcel.writeStrongBinder(nullptr);
    parcel.writeStrongBinder(make<NullService>());
    parcel.writeString16(nullptr, 0);
    const Bytes expected = {1, 0, 0, 0, 'x', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                            0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(bytesOf(parcel), expected);
}

// Writes one of everything and returns the parcel.
Parcel mixedParcel()
{
    Parcel parcel;
    parcel.writeInterfaceToken(String16("quellix.ITest"));
    parcel.writeInt32(-7);
    parcel.writeString16(String16(std::u16string{u'a', 0, 0xDC00, u'z'}));
    parcel.writeStrongBinder(nullptr);
    parcel.writeString16(String16());
    parcel.writeInt32(INT32_MAX);
    return parcel;
}

// Reads mixedParcel()'s values back; returns the status of the last read.
status_t readMixed(const Parcel& parcel, bool checkValues)
{
    String16 token, text, empty;
    int32_t first = 0, last = 0, kind = 1, handle = 1;
    parcel.readString16(&token);
    parcel.readInt32(&first);
    parcel.readString16(&text);
    parcel.readStrongBinderKind(&kind, &handle);
    parcel.readString16(&empty);
    status_t status = parcel.readInt32(&last);
    if (checkValues) {
        EXPECT_EQ(token, String16("quellix.ITest"));
        EXPECT_EQ(first, -7);
        EXPECT_EQ(text, String16(std::u16string{u'a', 0, 0xDC00, u'z'}));
        EXPECT_EQ(kind, 0);
        EXPECT_EQ(handle, 0);
        EXPECT_TRUE(empty.isEmpty());
        EXPECT_EQ(last, INT32_MAX);
    }
    return status;
}

TEST(ParcelTest, RoundTrip)
{
    Parcel parcel = mixedParcel();
    EXPECT_EQ(readMixed(parcel, true), kStatusOk);
    EXPECT_EQ(parcel.dataAvail(), 0u);
    EXPECT_EQ(parcel.readStatus(), kStatusOk);
}

TEST(ParcelTest, EveryTruncationFailsCleanly)
{
    const Bytes full = bytesOf(mixedParcel());
    for (size_t cut = 0; cut < full.size(); ++cut) {
        // An exact-size copy, so the address sanitizer sees any overread.
        Parcel parcel = parcelOf(Bytes(full.begin(), full.begin() + cut));
        EXPECT_EQ(readMixed(parcel, false), kStatusBadParcel) << cut;
        EXPECT_EQ(parcel.readStatus(), kStatusBadParcel) << cut;
    }
}

TEST(ParcelTest, AbsentStringReadsAsEmpty)
{
    Parcel parcel = parcelOf({0xFF, 0xFF, 0xFF, 0xFF, 5, 0, 0, 0});
    String16 text(u"old", 3);
    EXPECT_EQ(parcel.readString16(&text), kStatusOk);
    EXPECT_TRUE(text.isEmpty());
    int32_t value = 0;
    EXPECT_EQ(parcel.readInt32(&value), kStatusOk);
    EXPECT_EQ(value, 5);
}

TEST(ParcelTest, HostileStringCountsFail)
{
    const int32_t counts[] = {-2, INT32_MIN, INT32_MAX, INT32_MAX - 1, 0x40000000, 0x7FFFFFFC, 4};
    for (int32_t count : counts) {
        Parcel source;
        source.writeInt32(count);
        for (int i = 0; i < 2; ++i)
            source.writeInt32(0x00610061);
        Parcel parcel = parcelOf(bytesOf(source));
        String16 text(u"old", 3);
        EXPECT_EQ(parcel.readString16(&text), kStatusBadParcel) << count;
        EXPECT_TRUE(text.isEmpty()) << count;
    }
}

TEST(ParcelTest, MissingTerminatorFails)
{
    Parcel parcel = parcelOf({1, 0, 0, 0, 'a', 0, 'b', 0});
    String16 text(u"old", 3);
    EXPECT_EQ(parcel.readString16(&text), kStatusBadParcel);
    EXPECT_TRUE(text.isEmpty());
    EXPECT_EQ(parcel.readStatus(), kStatusBadParcel);
}

TEST(ParcelTest, FailureIsSticky)
{
    Parcel source;
    source.writeInt32(-2);
    source.writeInt32(9);
    source.writeString16(String16("ok"));
    source.writeStrongBinder(nullptr);
    Parcel parcel = parcelOf(bytesOf(source));

    EXPECT_TRUE(parcel.readString16().isEmpty());
    EXPECT_EQ(parcel.readStatus(), kStatusBadParcel);
    int32_t value = 1, kind = 1, handle = 1;
    EXPECT_EQ(parcel.readInt32(&value), kStatusBadParcel);
    EXPECT_EQ(value, 0);
    EXPECT_TRUE(parcel.readString16().isEmpty());
    EXPECT_EQ(parcel.readStrongBinderKind(&kind, &handle), kStatusBadParcel);

    // New contents start reading afresh.
    parcel.setData(source.data() + 4, source.dataSize() - 4);
    EXPECT_EQ(parcel.readInt32(&value), kStatusOk);
    EXPECT_EQ(value, 9);
    EXPECT_EQ(parcel.readString16(), String16("ok"));
}

TEST(ParcelTest, SetDataCopies)
{
    Bytes bytes = {4, 0, 0, 0};
    Parcel parcel = parcelOf(bytes);
    bytes[0] = 5;
    int32_t value = 0;
    EXPECT_EQ(parcel.readInt32(&value), kStatusOk);
    EXPECT_EQ(value, 4);
    parcel.setData(nullptr, 0);
    EXPECT_EQ(parcel.dataSize(), 0u);
}

TEST(ParcelTest, Print)
{
    Parcel token;
    token.writeInterfaceToken(String16("x"));
    token.writeInt32(7);
    const struct {
        Parcel parcel;
        std::string text;
    } cases[] = {
        {Parcel(), "Parcel(0 bytes)"},
        {token, "Parcel(12 bytes: 00000001 00000078 00000007 '....x.......')"},
        {parcelOf({0x01, 0x02, 0x03, 0x04, 0xFF}), "Parcel(5 bytes: 04030201 ff '.....')"},
        {parcelOf({'A', 0x00, 0x7F}), "Parcel(3 bytes: 41007f 'A..')"},
        {parcelOf({' ', '~', 0x1F, 0x80, 0xAB, 0xCD, 0xEF, 0x10}),
         "Parcel(8 bytes: 801f7e20 10efcdab ' ~......')"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(printed(c.parcel), c.text);
}

TEST(ParcelTest, PrintsLargeParcelInOneCall)
{
    Parcel parcel = parcelOf(Bytes(kMaxParcelSize, 'q'));
    CountingOutput out;
    parcel.print(out);
    EXPECT_EQ(out.prints, 1);
    const size_t groups = kMaxParcelSize / 4;
    EXPECT_EQ(out.text().size(), std::string("Parcel(1048576 bytes:").size() + groups * 9 + 2 +
                                     kMaxParcelSize + 2);
    EXPECT_EQ(out.text().substr(0, 31), "Parcel(1048576 bytes: 71717171 ");
}

} // namespace
