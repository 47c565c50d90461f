// The intent argument: its KEY=VALUE pairs and the seven-value record
// behind the interface token (action, data, type, launch flags, component,
// 0, -1), seen in the echo service's reply.
#include "ToolCase.h"

namespace {

const std::string kUsage = kUsageText;

// "Result: " and a parcel of `size` bytes: the token "x", then `words`,
// then the text of the bytes after the token.
std::string result(const std::string& size, const std::string& words, const std::string& text)
{
    return "Result: Parcel(" + size + " bytes: 00000001 00000078 " + words + " '....x..." + text + "')\n";
}

// The record with its start values, and that record with launch flags 16.
const std::string kEmptyRecord =
    result("36", "ffffffff ffffffff ffffffff 00000000 ffffffff 00000000 ffffffff", std::string(28, '.'));
const std::string kFlags16 =
    result("36", "ffffffff ffffffff ffffffff 00000010 ffffffff 00000000 ffffffff", std::string(28, '.'));
// Action "x", nothing else.
const std::string kActionX = result(
    "40", "00000001 00000078 ffffffff ffffffff 00000000 ffffffff 00000000 ffffffff", "....x..." + std::string(24, '.'));

std::vector<std::string> call(std::vector<std::string> args)
{
    args.insert(args.begin(), {"call", "s", "3"});
    return args;
}

class IntentTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(platform.startManager()) << platform.manager().error();
        ASSERT_TRUE(platform.startHost({"--service", "s", "--interface", "x"}));
    }

    TestPlatform platform;
};

TEST_F(IntentTest, Records)
{
    std::string categories = "categories=a";
    for (char c = 'b'; c <= 't'; ++c)
        categories += std::string(",") + c;
    expectRuns({
        {"no pairs", call({"intent"}), kEmptyRecord, "", 0},
        {"unknown key ignored", call({"intent", "foo=bar"}), kEmptyRecord, "", 0},
        {"categories ignored", call({"intent", categories}), kEmptyRecord, "", 0},
        {"launch flags", call({"intent", "launchFlags=16"}), kFlags16, "", 0},
        {"launch flags are decimal only", call({"intent", "launchFlags=0x10"}), kEmptyRecord, "", 0},
        {"launch flags without '='", call({"intent", "launchFlags"}), kEmptyRecord, "", 0},
        {"launch flags with '=' and no value", call({"intent", "launchFlags="}), kEmptyRecord, "", 0},
        {"launch flags reset by a later pair without value", call({"intent", "launchFlags=16", "launchFlags"}),
         kEmptyRecord, "", 0},
        {"negative launch flags", call({"intent", "launchFlags=-1"}),
         result("36", "ffffffff ffffffff ffffffff ffffffff ffffffff 00000000 ffffffff", std::string(28, '.')), "",
         0},
        {"action, and data without value is absent", call({"intent", "action=VIEW", "data="}),
         result("48",
                "00000004 00490056 00570045 00000000 ffffffff ffffffff 00000000 ffffffff 00000000 ffffffff",
                "....V.I.E.W....." + std::string(24, '.')),
         "", 0},
        {"a repeated key keeps the last value", call({"intent", "action=a", "action=b"}),
         result("40", "00000001 00000062 ffffffff ffffffff 00000000 ffffffff 00000000 ffffffff",
                "....b..." + std::string(24, '.')),
         "", 0},
        {"the value ends at the next '='", call({"intent", "action=a=b"}),
         result("40", "00000001 00000061 ffffffff ffffffff 00000000 ffffffff 00000000 ffffffff",
                "....a..." + std::string(24, '.')),
         "", 0},
        {"leading '=' skipped", call({"intent", "=action=a"}),
         result("40", "00000001 00000061 ffffffff ffffffff 00000000 ffffffff 00000000 ffffffff",
                "....a..." + std::string(24, '.')),
         "", 0},
        {"data, type and component in their places", call({"intent", "component=c", "type=t", "data=d"}),
         result("48",
                "ffffffff 00000001 00000064 00000001 00000074 00000000 00000001 00000063 00000000 ffffffff",
                "........d.......t...........c..........."),
         "", 0},
        {"non-ASCII value", call({"intent", "action=\xC3\xA9"}),
         result("40", "00000001 000000e9 ffffffff ffffffff 00000000 ffffffff 00000000 ffffffff",
                std::string(32, '.')),
         "", 0},
        {"the record takes all that follows", call({"intent", "action=x", "i32", "7"}), kActionX, "", 0},
        {"values before the record", call({"i32", "5", "intent"}),
         result("40", "00000005 ffffffff ffffffff ffffffff 00000000 ffffffff 00000000 ffffffff",
                std::string(32, '.')),
         "", 0},
    });
}

// An argument without a KEY ends the record and is refused; the call is
// still made.
TEST_F(IntentTest, ArgumentWithoutKey)
{
    expectRuns({
        {"empty final argument", call({"intent", "action=x", ""}), kActionX + kUsage,
         "quellix: unknown option \n", 10},
        {"only '=' characters", call({"intent", "==="}), kEmptyRecord + kUsage, "quellix: unknown option ===\n",
         10},
        {"pairs after it are not read", call({"intent", "", "launchFlags=16"}), kEmptyRecord + kUsage,
         "quellix: unknown option \n", 10},
    });
}

} // namespace
