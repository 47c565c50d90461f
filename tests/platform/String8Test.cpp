#include <quellix/String16.h>
#include <quellix/String8.h>

#include <gtest/gtest.h>

#include <string>

namespace {

struct EncodeCase {
    const char* name;
    std::u16string units;
    std::string utf8;
};

const EncodeCase kEncodeCases[] = {
    {"empty", u"", ""},
    {"ascii", u"hello", "hello"},
    {"twoByte", u"\u00E9", "\xC3\xA9"},
    {"threeByte", u"\uFFFF", "\xEF\xBF\xBF"},
    {"pair", {0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},
    {"highestPair", {0xDBFF, 0xDFFF}, "\xF4\x8F\xBF\xBF"},
    {"loneHighAtEnd", {u'a', 0xD800}, "a\xEF\xBF\xBD"},
    {"loneHighBeforeAscii", {0xD800, u'a'}, "\xEF\xBF\xBD" "a"},
    {"twoHighsThenLow", {0xD800, 0xD83D, 0xDE00}, "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
    {"loneLow", {0xDC00}, "\xEF\xBF\xBD"},
    {"reversedPair", {0xDE00, 0xD83D}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"zeroUnit", {u'a', 0, u'b'}, std::string("a\0b", 3)},
};

// Failure messages name the case rather than dump its bytes.
void PrintTo(const EncodeCase& c, std::ostream* out) { *out << c.name; }

class EncodeTest : public testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeTest, Encodes)
{
    const EncodeCase& c = GetParam();
    EXPECT_EQ(String8(String16(c.units)).bytes(), c.utf8);
}

INSTANTIATE_TEST_SUITE_P(String8, EncodeTest, testing::ValuesIn(kEncodeCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(String8Test, AppendCodePoint)
{
    const struct {
        char32_t codePoint;
        std::string utf8;
    } cases[] = {
        {0x41, "A"},
        {0x7FF, "\xDF\xBF"},
        {0x800, "\xE0\xA0\x80"},
        {0x10000, "\xF0\x90\x80\x80"},
        {0x10FFFF, "\xF4\x8F\xBF\xBF"},
        {0x110000, "\xEF\xBF\xBD"},
        {0xDFFF, "\xEF\xBF\xBD"},
        {0xFFFFFFFF, "\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        String8 text;
        text.appendCodePoint(c.codePoint);
        EXPECT_EQ(text.bytes(), c.utf8) << std::hex << uint32_t(c.codePoint);
    }
}

TEST(String8Test, AppendNullPointerAppendsNothing)
{
    String8 text("ab");
    text.append(nullptr);
    text.append("c\0d");
    EXPECT_EQ(text.bytes(), "abc");
    EXPECT_EQ(String8(static_cast<const char*>(nullptr)).size(), 0u);
}

TEST(String8Test, WellFormedUtf8SurvivesRoundTrip)
{
    const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBFz";
    EXPECT_EQ(String8(String16(utf8.data(), utf8.size())).bytes(), utf8);
}

} // namespace
