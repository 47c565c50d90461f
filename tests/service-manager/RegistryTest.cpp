// The registry in-process: who may register, a connection with no room
// for another name, names freed with their host, and listings in pages,
// in order.
#include "ManagerProtocol.h"
#include "Registry.h"

#include <gtest/gtest.h>

namespace {

constexpr uid_t kOwn = 500, kAllowed = 1000, kOther = 2000;

bool mayRegister(uid_t uid, const String16&) { return uid == 0 || uid == kOwn || uid == kAllowed; }

TEST(RegistryTest, WhoMayRegisterWhat)
{
    struct Case {
        const char* name;
        uid_t uid;
        String16 service;
        status_t status;
        bool room = true;
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
        {"no room for another", kAllowed, String16("f"), kStatusNoResources, false},
    };
    Registry registry(mayRegister);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Each uid registers over a connection of its own, numbered by it.
        EXPECT_EQ(registry.add(c.uid, c.uid, c.service, 7, c.room), c.status);
    }
    ASSERT_NE(registry.find(String16("c")), nullptr);
    EXPECT_EQ(registry.find(String16("c"))->host, kAllowed);
    EXPECT_EQ(registry.find(String16("c"))->handle, 7u);
    EXPECT_EQ(registry.find(String16("d")), nullptr);
}

TEST(RegistryTest, NamesGoWithTheirHost)
{
    Registry registry(mayRegister);
    ASSERT_EQ(registry.add(1, kAllowed, String16("x"), 0, true), kStatusOk);
    ASSERT_EQ(registry.add(1, kAllowed, String16("y"), 1, true), kStatusOk);
    EXPECT_EQ(registry.add(2, kAllowed, String16("x"), 0, true), kStatusNameTaken);
    EXPECT_EQ(registry.leave(1), 2u);
    EXPECT_EQ(registry.find(String16("x")), nullptr);
    EXPECT_EQ(registry.add(2, kAllowed, String16("x"), 0, true), kStatusOk);
}

// 400 names of 1024 units take 800 KiB: several pages, each within the page
// size, that together hold every name once, in UTF-16 order.
TEST(RegistryTest, ListingsComeInBoundedPagesInOrder)
{
    Registry registry(mayRegister);
    std::vector<String16> names;
    for (char16_t i = 0; i < 400; ++i)
        names.push_back(String16(std::u16string(1023, u'n') + char16_t(0xFFFF - i)));
    for (const String16& name : names)
        ASSERT_EQ(registry.add(1, 0, name, 0, true), kStatusOk);
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
