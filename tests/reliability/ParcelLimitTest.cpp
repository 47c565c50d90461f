// The largest parcel goes through an echo service both ways; one of four
// bytes more is refused before it is sent. The kernel passes no single
// argument of a program above 128 KiB, so the parcel is made of several s16
// arguments.
#include "ParcelText.h"
#include "Reliability.h"
#include "TestPlatform.h"

#include <gtest/gtest.h>

namespace {

constexpr size_t kLimit = size_t{1} << 20;
constexpr size_t kArguments = 9;

// The encoded size of a String16 of `units` units: count, units, the 0
// unit, padding to 4 bytes.
constexpr size_t encodedString16(size_t units) { return 4 + (2 * (units + 1) + 3) / 4 * 4; }

// ASCII lengths of kArguments strings whose encoding, after the interface
// token of "x", fills exactly `total` bytes. An odd length needs no padding
// (2 * (n + 1) is a multiple of 4), so each string takes 2n + 6 bytes.
std::vector<size_t> stringLengths(size_t total)
{
    size_t units = (total - encodedString16(1) - 6 * kArguments) / 2;
    size_t each = units / kArguments | 1;
    std::vector<size_t> lengths(kArguments - 1, each);
    lengths.push_back(units - each * (kArguments - 1));
    return lengths;
}

struct Built {
    std::vector<std::string> args;
    Parcel parcel;
};

Built build(const std::vector<size_t>& lengths)
{
    Built b;
    b.args = {"call", "big", "1"};
    b.parcel.writeInterfaceToken(String16("x"));
    for (size_t i = 0; i < lengths.size(); ++i) {
        std::string text(lengths[i], char('a' + i));
        b.args.insert(b.args.end(), {"s16", text});
        b.parcel.writeString16(String16(text.c_str()));
    }
    return b;
}

class ParcelLimitTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(platform.startManager()) << platform.manager().error();
        ASSERT_TRUE(platform.startHost({"--service", "big", "--interface", "x"}));
    }

    TestPlatform platform;
};

TEST_F(ParcelLimitTest, ExactlyOneMebibyteGoesThroughBothWays)
{
    std::vector<size_t> lengths = stringLengths(kLimit);
    size_t total = encodedString16(1);
    for (size_t n : lengths) {
        ASSERT_EQ(n % 2, 1u);
        ASSERT_LT(n, 128u * 1024);
        total += encodedString16(n);
    }
    ASSERT_EQ(total, kLimit);
    Built b = build(lengths);
    ASSERT_EQ(b.parcel.dataSize(), kLimit);

    Stopwatch watch;
    RunResult result = TestPlatform::quellix(b.args);
    double seconds = watch.seconds();
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitStatus, 0);
    bool echoed = result.out == echoedCall(b.parcel);
    EXPECT_TRUE(echoed) << "the reply is not the 1 MiB sent; it begins " << result.out.substr(0, 200);
    record({"load held", "largest parcel through an echo service",
            grouped(kLimit) + " bytes each way (9 s16 arguments and the interface token)",
            echoed ? "0 bytes differ" : "the reply differs", seconds});
}

TEST_F(ParcelLimitTest, FourBytesMoreAreRefused)
{
    std::vector<size_t> lengths = stringLengths(kLimit);
    ++lengths.back(); // even now: 2 more bytes and 2 of padding
    Built b = build(lengths);
    ASSERT_EQ(b.parcel.dataSize(), kLimit + 4);

    Stopwatch watch;
    RunResult result = TestPlatform::quellix(b.args);
    double seconds = watch.seconds();
    EXPECT_EQ(result.out, "Result: Parcel(0 bytes)\n");
    EXPECT_EQ(result.err, "quellix: Transaction failed with status -90\n");
    EXPECT_EQ(result.exitStatus, 10);
    // Refused on the client's side: the service is still fine.
    EXPECT_EQ(TestPlatform::quellix({"call", "big", "1", "i32", "5"}).out,
              "Result: Parcel(12 bytes: 00000001 00000078 00000005 '....x.......')\n");
    bool refused = result.exitStatus == 10 && result.err == "quellix: Transaction failed with status -90\n";
    record({"bad inputs tried", "parcel just above the limit", grouped(kLimit + 4) + " bytes: refused with status -90",
            refused ? "nothing (the service still answers)" : "not refused as it should be", seconds});
}

} // namespace
