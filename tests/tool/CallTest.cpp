// The call command: its operands, the send parcel built from the typed
// arguments (seen in the echo service's byte-for-byte reply), argument
// errors and failed transactions.
#include "ToolCase.h"

namespace {

const std::string kUsage = kUsageText;
// The reply of an echo service named "x" to a call without arguments.
const std::string kTokenOnly = "Result: Parcel(8 bytes: 00000001 00000078 '....x...')\n";

class CallTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(platform.startManager()) << platform.manager().error();
        ASSERT_TRUE(platform.startHost({"--service", "s", "--interface", "x", "--service", "e", "--service",
                                        "fails5", "--interface", "x", "--status", "5", "--service",
                                        "failsDead", "--interface", "x", "--status", "-32", "--service",
                                        "unnamed", "--interface", "", "--status", "5", "--service",
                                        "unasked", "--interface", "x", "--query-status", "7", "--status",
                                        "5"}));
    }

    TestPlatform platform;
};

TEST_F(CallTest, MissingOperandsAndUnknownServices)
{
    expectRuns({
        {"call alone", {"call"}, kUsage, "quellix: No service specified for call\n", 10},
        {"no code", {"call", "s"}, kUsage, "quellix: No code specified for call\n", 10},
        {"unregistered service", {"call", "nobody", "1"}, "", "quellix: Service nobody does not exist\n", 10},
        {"unregistered service, its arguments unread", {"call", "nobody", "1", "bogus", "i32"}, "",
         "quellix: Service nobody does not exist\n", 10},
        // Both services would fail a transaction with status 5: no
        // "Result:" line shows that none was sent.
        {"empty interface name", {"call", "unnamed", "1", "i32", "3"}, "",
         "quellix: Service unnamed does not exist\n", 10},
        {"failing interface-name query", {"call", "unasked", "1"}, "",
         "quellix: Service unasked does not exist\n", 10},
    });
}

TEST_F(CallTest, SendParcels)
{
    expectRuns({
        {"the contract example", {"call", "s", "3", "i32", "7"},
         "Result: Parcel(12 bytes: 00000001 00000078 00000007 '....x.......')\n", "", 0},
        {"interface token only", {"call", "s", "1"}, kTokenOnly, "", 0},
        {"non-numeric code", {"call", "s", "abc"}, kTokenOnly, "", 0},
        {"default interface name", {"call", "e", "1"},
         "Result: Parcel(28 bytes: 0000000a 00650074 00740073 0049002e 00630045 006f0068 00000000 "
         "'....t.e.s.t...I.E.c.h.o.....')\n",
         "", 0},
        {"negative i32", {"call", "s", "3", "i32", "-7"},
         "Result: Parcel(12 bytes: 00000001 00000078 fffffff9 '....x.......')\n", "", 0},
        {"i32 limits and partial numbers", {"call", "s", "3", "i32", "2147483647", "i32", "-2147483648", "i32", "12abc", "i32", "x"},
         "Result: Parcel(24 bytes: 00000001 00000078 7fffffff 80000000 0000000c 00000000 "
         "'....x...................')\n",
         "", 0},
        {"s16 ASCII", {"call", "s", "3", "s16", "hi"},
         "Result: Parcel(20 bytes: 00000001 00000078 00000002 00690068 00000000 '....x.......h.i.....')\n", "",
         0},
        {"s16 empty", {"call", "s", "3", "s16", ""},
         "Result: Parcel(16 bytes: 00000001 00000078 00000000 00000000 '....x...........')\n", "", 0},
        {"s16 e-acute is one unit", {"call", "s", "3", "s16", "\xC3\xA9"},
         "Result: Parcel(16 bytes: 00000001 00000078 00000001 000000e9 '....x...........')\n", "", 0},
        {"s16 emoji is a surrogate pair", {"call", "s", "3", "s16", "\xF0\x9F\x98\x80"},
         "Result: Parcel(20 bytes: 00000001 00000078 00000002 de00d83d 00000000 '....x.......=.......')\n", "",
         0},
        {"s16 invalid UTF-8 byte", {"call", "s", "3", "s16", "\xFF"},
         "Result: Parcel(16 bytes: 00000001 00000078 00000001 0000fffd '....x...........')\n", "", 0},
        {"null", {"call", "s", "3", "null"},
         "Result: Parcel(16 bytes: 00000001 00000078 00000000 00000000 '....x...........')\n", "", 0},
        {"several arguments in order", {"call", "s", "3", "i32", "-7", "s16", "hi", "null"},
         "Result: Parcel(32 bytes: 00000001 00000078 fffffff9 00000002 00690068 00000000 00000000 00000000 "
         "'....x...........h.i.............')\n",
         "", 0},
    });
}

// Code conversion seen through the adder sample service, which knows only
// code 1.
TEST_F(CallTest, CodeIsConvertedLikeAtoi)
{
    ASSERT_TRUE(platform.startHost({}));
    expectRuns({
        {"code 1", {"call", "demo.adder", "1", "i32", "2", "i32", "40"}, "Result: Parcel(4 bytes: 0000002a '*...')\n",
         "", 0},
        {"digits then other characters", {"call", "demo.adder", "1x", "i32", "5"},
         "Result: Parcel(4 bytes: 00000005 '....')\n", "", 0},
        {"leading blanks and sign", {"call", "demo.adder", " +1", "i32", "5"},
         "Result: Parcel(4 bytes: 00000005 '....')\n", "", 0},
        {"non-numeric code is 0", {"call", "demo.adder", "x", "i32", "5"}, "Result: Parcel(0 bytes)\n",
         "quellix: Transaction failed with status -38\n", 10},
        {"greeter", {"call", "demo.greeter", "1", "s16", "World"},
         "Result: Parcel(32 bytes: 0000000d 00650048 006c006c 002c006f 00570020 0072006f 0064006c 00000021 "
         "'....H.e.l.l.o.,. .W.o.r.l.d.!...')\n",
         "", 0},
    });
}

// What was written before a faulty argument is still sent; the usage text
// comes after the "Result:" line.
TEST_F(CallTest, ArgumentErrors)
{
    expectRuns({
        {"i32 without INT", {"call", "s", "3", "i32"}, kTokenOnly + kUsage,
         "quellix: no integer supplied for 'i32'\n", 10},
        {"s16 without STR after a value", {"call", "s", "3", "i32", "5", "s16"},
         "Result: Parcel(12 bytes: 00000001 00000078 00000005 '....x.......')\n" + kUsage,
         "quellix: no string supplied for 's16'\n", 10},
        {"unknown argument, later values not written", {"call", "s", "3", "bogus", "i32", "5"},
         kTokenOnly + kUsage, "quellix: unknown option bogus\n", 10},
        {"unknown argument after a value", {"call", "s", "3", "i32", "1", "I32", "2"},
         "Result: Parcel(12 bytes: 00000001 00000078 00000001 '....x.......')\n" + kUsage,
         "quellix: unknown option I32\n", 10},
        {"an option after the command word is an argument", {"call", "s", "3", "-h"}, kTokenOnly + kUsage,
         "quellix: unknown option -h\n", 10},
        {"empty argument", {"call", "s", "3", ""}, kTokenOnly + kUsage, "quellix: unknown option \n", 10},
    });
}

// A non-zero transaction status is reported after the reply; the echo
// service still replies with the data it got.
TEST_F(CallTest, FailedTransactions)
{
    expectRuns({
        {"status 5", {"call", "fails5", "1"}, kTokenOnly, "quellix: Transaction failed with status 5\n", 10},
        {"negative status", {"call", "failsDead", "1", "i32", "9"},
         "Result: Parcel(12 bytes: 00000001 00000078 00000009 '....x.......')\n",
         "quellix: Transaction failed with status -32\n", 10},
        {"failed transaction after an argument error", {"call", "fails5", "1", "i32"}, kTokenOnly + kUsage,
         "quellix: no integer supplied for 'i32'\nquellix: Transaction failed with status 5\n", 10},
    });
}

// 100,000 units: 99,999 'a' and a final 'Z'.
TEST_F(CallTest, LongStringRoundTrip)
{
    std::string text(99999, 'a');
    text += 'Z';
    // Token (8 bytes), count 100000 = 0x186a0, 200,000 bytes of units, the
    // 0 unit and 2 bytes of padding: 200,016 bytes.
    std::string expected = "Result: Parcel(200016 bytes: 00000001 00000078 000186a0";
    for (int i = 0; i < 49999; ++i)
        expected += " 00610061";
    expected += " 005a0061 00000000 '....x.......";
    for (int i = 0; i < 99999; ++i)
        expected += "a.";
    expected += "Z.....')\n";

    RunResult result = TestPlatform::quellix({"call", "s", "1", "s16", text});
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out.substr(0, 100), expected.substr(0, 100));
    // "Result: " + "Parcel(200016 bytes:" + 50,004 words of 9 + " '" + 200,016 + "')" + newline.
    EXPECT_EQ(result.out.size(), 8u + 20u + 50004u * 9u + 2u + 200016u + 2u + 1u);
    EXPECT_EQ(result.out.size(), expected.size());
    EXPECT_TRUE(result.out == expected);
}

// Four strings of 131,000 units (262,008 bytes each), the token and 134
// integers make exactly 1 MiB; one integer more is refused without being
// sent.
TEST_F(CallTest, ParcelSizeLimit)
{
    std::vector<std::string> args = {"call", "s", "1"};
    for (int i = 0; i < 4; ++i)
        args.insert(args.end(), {"s16", std::string(131000, 'b')});
    for (int i = 0; i < 134; ++i)
        args.insert(args.end(), {"i32", "-1"});

    RunResult largest = TestPlatform::quellix(args);
    EXPECT_FALSE(largest.timedOut);
    EXPECT_EQ(largest.err, "");
    EXPECT_EQ(largest.exitStatus, 0);
    const std::string head = "Result: Parcel(1048576 bytes: 00000001 00000078 0001ffb8 00620062";
    EXPECT_EQ(largest.out.substr(0, head.size()), head);
    const std::string tail = " ffffffff '";
    EXPECT_EQ(largest.out.substr(8 + 21 + 262143 * 9, tail.size()), tail);
    EXPECT_EQ(largest.out.size(), 8u + 21u + 262144u * 9u + 2u + 1048576u + 2u + 1u);

    args.insert(args.end(), {"i32", "1"});
    expectRun(args, "Result: Parcel(0 bytes)\n", "quellix: Transaction failed with status -90\n", 10);
}

} // namespace
