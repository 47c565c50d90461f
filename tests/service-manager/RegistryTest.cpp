// The registry in-process: who may register, the caps of an unprivileged
// uid, names freed with their host, and listings in pages, in order.
#include "ManagerProtocol.h"
#include "Registry.h"

#include <gtest/gtest.h>

namespace {

constexpr uid_t kOwn = 500, kAllowed = 1000, kOther = 2000;

TEST(RegistryTest, WhoMayRegisterWhat)
{
    struct Case {
        const char* name;
        uid_t uid;
        String16 service;
        status_t status;
    };
    const Case cases[] = {
        {"root", 0, String16("a"), kStatusOk},
        {"the manager's own uid", kOwn, String16("b"), kStatusOk},
        {"an allowed uid", kAllowed, String16("c"), kStatusOk},
        {"another uid", kOther, String16("d"), kStatusPermissionDenied},
        {"a taken name", kAllowed, String16("a"), kStatusNameTaken},
        {"an empty name", 0, String16(), kStatusBadValue},
        {"1024 units", 0, String16(std::u16string(1024, u'x')), kStatusOk},
        {"1025 units", 0, String16(std::u16string(1025, u'x')), kStatusBadValue},
        {"the allowed uid's second", kAllowed, String16("e"), kStatusOk},
        {"past its cap of two", kAllowed, String16("f"), kStatusNoResources},
    };
    Registry registry({{kAllowed}, 256, 2}, kOwn);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Each uid registers over a connection of its own, numbered by it.
        EXPECT_EQ(registry.add(c.uid, c.uid, c.service, 7), c.status);
    }
    ASSERT_NE(registry.find(String16("c")), nullptr);
    EXPECT_EQ(registry.find(String16("c"))->host, kAllowed);
    EXPECT_EQ(registry.find(String16("c"))->handle, 7u);
    EXPECT_EQ(registry.find(String16("d")), nullptr);
}

TEST(RegistryTest, ConnectionsPerUidAndNamesGoWithTheirHost)
{
    Registry registry({{kOther}, 2, 1000}, kOwn);
    EXPECT_TRUE(registry.admit(kOther));
    EXPECT_TRUE(registry.admit(kOther));
    EXPECT_FALSE(registry.admit(kOther));
    for (int i = 0; i < 1000; ++i)
        EXPECT_TRUE(registry.admit(0));

    ASSERT_EQ(registry.add(1, kOther, String16("x"), 0), kStatusOk);
    ASSERT_EQ(registry.add(1, kOther, String16("y"), 1), kStatusOk);
    EXPECT_EQ(registry.add(2, kOther, String16("x"), 0), kStatusNameTaken);
    EXPECT_EQ(registry.leave(1, kOther), 2u);
    EXPECT_EQ(registry.find(String16("x")), nullptr);
    EXPECT_TRUE(registry.admit(kOther));
    EXPECT_EQ(registry.add(2, kOther, String16("x"), 0), kStatusOk);
}

// 400 names of 1024 units take 800 KiB: several pages, each within the page
// size, that together hold every name once, in UTF-16 order.
TEST(RegistryTest, ListingsComeInBoundedPagesInOrder)
{
    Registry registry({}, kOwn);
    std::vector<String16> names;
    for (char16_t i = 0; i < 400; ++i)
        names.push_back(String16(std::u16string(1023, u'n') + char16_t(0xFFFF - i)));
    for (const String16& name : names)
        ASSERT_EQ(registry.add(1, 0, name, 0), kStatusOk);
    std::sort(names.begin(), names.end());

    Vector<String16> listed;
    size_t pages = 0;
    for (bool more = true; more; ++pages) {
        String16 last = listed.isEmpty() ? String16() : listed[listed.size() - 1];
        std::vector<uint8_t> page = registry.page(listed.isEmpty() ? nullptr : &last, &more);
        EXPECT_LE(page.size(), 4 + kMaxListPage);
        ASSERT_EQ(decodeNameList(page, &listed), 0);
        ASSERT_LT(pages, names.size());
    }
    EXPECT_GT(pages, 2u);
    EXPECT_EQ(std::vector<String16>(listed.begin(), listed.end()), names);

    bool more = true;
    EXPECT_EQ(registry.page(&names.back(), &more), std::vector<uint8_t>({0, 0, 0, 0}));
    EXPECT_FALSE(more);
}

} // namespace
