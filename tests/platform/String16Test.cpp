#include <quellix/String16.h>

#include <gtest/gtest.h>

#include <string>

namespace {

struct DecodeCase {
    const char* name;
    std::string utf8;
    std::u16string units;
};

constexpr char16_t R = 0xFFFD;

const DecodeCase kDecodeCases[] = {
    {"empty", "", u""},
    {"ascii", "hello", u"hello"},
    {"twoByte", "caf\xC3\xA9", u"caf\u00E9"},
    {"threeByte", "\xE2\x82\xAC", u"\u20AC"},
    {"fourByteBecomesPair", "\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},
    {"highestCodePoint", "\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},
    {"lastBeforeSurrogates", "\xED\x9F\xBF", {0xD7FF}},
    {"strayContinuation", "a\x80\xBF" "b", {u'a', R, R, u'b'}},
    {"overlongTwoByte", "\xC0\xAF", {R, R}},
    {"overlongC1", "\xC1\xBF", {R, R}},
    {"overlongThreeByte", "\xE0\x9F\xBF", {R, R, R}},
    {"overlongFourByte", "\xF0\x8F\xBF\xBF", {R, R, R, R}},
    {"encodedHighSurrogate", "\xED\xA0\x80", {R, R, R}},
    {"encodedLowSurrogate", "\xED\xBF\xBF", {R, R, R}},
    {"aboveMaximum", "\xF4\x90\x80\x80", {R, R, R, R}},
    {"leadF5", "\xF5\x80\x80\x80", {R, R, R, R}},
    {"byteFF", "\xFF", {R}},
    {"truncatedTwoByteAtEnd", "a\xC3", {u'a', R}},
    {"truncatedThreeByteAtEnd", "\xE2\x82", {R, R}},
    {"truncatedFourByteAtEnd", "\xF0\x9F\x98", {R, R, R}},
    {"truncatedThenAscii", "\xE2\x82z", {R, R, u'z'}},
    {"leadThenValidSequence", "\xC3\xC3\xA9", {R, 0x00E9}},
};

// Failure messages name the case rather than dump its bytes.
void PrintTo(const DecodeCase& c, std::ostream* out) { *out << c.name; }

class DecodeTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, Decodes)
{
    const DecodeCase& c = GetParam();
    String16 text(c.utf8.data(), c.utf8.size());
    EXPECT_EQ(std::u16string(text.view()), c.units);
    EXPECT_EQ(text.data()[text.size()], 0);
}

INSTANTIATE_TEST_SUITE_P(String16, DecodeTest, testing::ValuesIn(kDecodeCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(String16Test, NullPointerGivesEmpty)
{
    EXPECT_TRUE(String16(static_cast<const char*>(nullptr)).isEmpty());
    EXPECT_TRUE(String16(static_cast<const char*>(nullptr), 0).isEmpty());
}

TEST(String16Test, EmbeddedNulWithLengthIsKept)
{
    String16 text("a\0b", 3);
    EXPECT_EQ(std::u16string(text.view()), (std::u16string{u'a', 0, u'b'}));
}

TEST(String16Test, NulTerminatedFormStopsAtNul)
{
    EXPECT_EQ(String16("a\0b"), String16(u"a", 1));
}

} // namespace
