// How references reach hosts: one connection per client and host whatever
// the number of look-ups, names that move to a new host, listings in pages,
// and what a peer that announces large frames costs a host.
#include "Hostile.h"
#include "ProcessProbe.h"
#include "RawClient.h"
#include "Reliability.h"
#include "TestPlatform.h"

#include "SampleServices.h"

#include <quellix/IBinder.h>
#include <quellix/LocalService.h>
#include <quellix/Parcel.h>
#include <quellix/ServiceHost.h>
#include <quellix/ServiceManager.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <memory>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

String16 interfaceOf(const sp<IBinder>& binder, status_t* status)
{
    Parcel data, reply;
    *status = binder->sendTransaction(kInterfaceNameQuery, data, &reply, 0);
    return reply.readString16();
}

// Waits until `pid` has at most `most` descriptors open; their count then.
int settleDescriptors(pid_t pid, int most)
{
    int open = openDescriptors(pid);
    for (int i = 0; i < 200 && open > most; ++i) {
        std::this_thread::sleep_for(10ms);
        open = openDescriptors(pid);
    }
    return open;
}

// The descriptors a host holds while it serves no one: after a call has
// made sure that it serves, and its caller has gone.
int idleDescriptors(pid_t pid, const std::string& service)
{
    TestPlatform::quellix({"call", service, "1"});
    std::this_thread::sleep_for(100ms);
    return openDescriptors(pid);
}

TEST(TransportTest, OneConnectionServesEveryServiceOfAHost)
{
    TestPlatform platform;
    ASSERT_TRUE(platform.startManager()) << platform.manager().error();
    size_t host;
    ASSERT_TRUE(platform.startHost({"--service", "a", "--interface", "i.A", "--service", "b", "--interface",
                                    "i.B", "--service", "c", "--interface", "i.C"},
                                   &host));
    const pid_t pid = platform.host(host).pid();
    const int before = idleDescriptors(pid, "a");

    sp<ServiceManager> manager = defaultServiceManager();
    ASSERT_TRUE(manager != nullptr);
    for (int round = 0; round < 50; ++round) {
        for (auto [name, interface] : {std::pair{"a", "i.A"}, {"b", "i.B"}, {"c", "i.C"}}) {
            sp<IBinder> binder = manager->lookupService(String16(name));
            ASSERT_TRUE(binder != nullptr) << name;
            status_t status;
            EXPECT_EQ(interfaceOf(binder, &status), String16(interface));
            EXPECT_EQ(status, kStatusOk);
        }
    }
    EXPECT_EQ(openDescriptors(pid), before + 1);
}

TEST(TransportTest, ANameRegisteredAgainReachesTheNewHost)
{
    TestPlatform platform;
    ASSERT_TRUE(platform.startManager()) << platform.manager().error();
    size_t first;
    ASSERT_TRUE(platform.startHost({"--service", "s", "--interface", "old.I"}, &first));
    sp<ServiceManager> manager = defaultServiceManager();
    ASSERT_TRUE(manager != nullptr);
    sp<IBinder> old = manager->lookupService(String16("s"));
    ASSERT_TRUE(old != nullptr);

    EXPECT_EQ(platform.host(first).stop(SIGKILL), 128 + SIGKILL);
    for (int i = 0; i < 200 && manager->lookupService(String16("s")) != nullptr; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(platform.startHost({"--service", "s", "--interface", "new.I"}));

    status_t status;
    interfaceOf(old, &status);
    EXPECT_EQ(status, kStatusDeadObject);
    sp<IBinder> renewed = manager->lookupService(String16("s"));
    ASSERT_TRUE(renewed != nullptr);
    EXPECT_EQ(interfaceOf(renewed, &status), String16("new.I"));
    EXPECT_EQ(status, kStatusOk);
}

// Look-ups sent and never read, and fresh connections asked for again and
// again while the host is stopped: the host's descriptors stay flat, some
// fresh look-ups are refused (no resources) and the host keeps its name.
TEST(TransportTest, LookUpFloodsLeaveTheHostsDescriptorsFlat)
{
    TestPlatform platform;
    ASSERT_TRUE(platform.startManager()) << platform.manager().error();
    size_t host;
    ASSERT_TRUE(platform.startHost({"--service", "s"}, &host));
    const pid_t pid = platform.host(host).pid();
    const int before = idleDescriptors(pid, "s");

    const int clients = 20;
    std::vector<int> fds;
    std::string requests;
    for (int i = 0; i < 500; ++i)
        requests += lookupRequest("s");
    for (int i = 0; i < clients; ++i) {
        fds.push_back(connectRaw());
        ASSERT_GE(fds.back(), 0);
        ASSERT_TRUE(sendRaw(fds.back(), requests));
    }
    Stopwatch watch;
    std::this_thread::sleep_for(200ms);
    const int flooded = openDescriptors(pid);
    EXPECT_LE(flooded, before + clients);
    for (int fd : fds)
        close(fd);
    EXPECT_EQ(settleDescriptors(pid, before), before);

    ASSERT_EQ(kill(pid, SIGSTOP), 0);
    int fd = connectRaw();
    ASSERT_GE(fd, 0);
    size_t found = 0, refused = 0, other = 0;
    for (int i = 0; i < 5000; ++i) {
        int32_t status = rawLookup(fd, lookupRequest("s", true));
        status == 0 ? ++found : status == -24 ? ++refused : ++other;
    }
    ASSERT_EQ(kill(pid, SIGCONT), 0);
    EXPECT_EQ(other, 0u);
    EXPECT_GT(found, 0u);
    EXPECT_GT(refused, 0u);
    // Found again once the host has taken the hand-offs waiting for it.
    RunResult check;
    for (int i = 0; i < 500 && check.out != "Service s: found\n"; ++i) {
        check = TestPlatform::quellix({"check", "s"});
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(check.out, "Service s: found\n");
    EXPECT_LE(settleDescriptors(pid, before + 1), before + 1);
    close(fd);
    record({"threat", "look-up floods against a host's descriptors",
            "one connection per client and host; a fresh one replaces the old",
            "20 clients x 500 unread look-ups: host at " + std::to_string(flooded) + " descriptors (idle: " +
                std::to_string(before) + ")",
            watch.seconds()});
    record({"threat", "a host dropped when a hand-off fails (ETOOMANYREFS, full socket)",
            "that look-up is refused with -24; the host keeps its names",
            grouped(found) + " fresh look-ups at a stopped host served, " + grouped(refused) +
                " refused, name kept",
            watch.seconds()});
}

TEST(TransportTest, ListingsCrossPagesWithoutLosingAName)
{
    TestPlatform platform;
    ASSERT_TRUE(platform.startManager()) << platform.manager().error();
    // 1,000-unit names fill a page with about 128; short ones sit between.
    std::vector<std::string> names;
    for (int i = 0; i < 400; ++i) {
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "n%03d", i);
        names.push_back(i % 2 ? prefix : prefix + std::string(996, 'x'));
    }
    for (int part = 0; part < 2; ++part) {
        std::vector<std::string> args;
        for (size_t i = size_t(part); i < names.size(); i += 2)
            args.insert(args.end(), {"--service", names[i]});
        ASSERT_TRUE(platform.startHost(args));
    }
    std::sort(names.begin(), names.end());
    Vector<String16> listed = defaultServiceManager()->listServiceNames();
    ASSERT_EQ(listed.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(listed[i], String16(names[i].c_str())) << i;
}

// A registry far larger than one page lists completely. One child process
// registers every name through the platform library, since no command line
// holds two million.
TEST(TransportTest, ALargeRegistryListsCompletely)
{
    const size_t count = scaled(20000, 2000000);
    TestPlatform platform;
    ASSERT_TRUE(platform.startManager()) << platform.manager().error();
    auto nameOf = [](size_t i) {
        std::string digits = std::to_string(i);
        return "n" + std::string(7 - std::min<size_t>(7, digits.size()), '0') + digits;
    };
    Stopwatch watch;
    Attacker host;
    EXPECT_TRUE(host.run(0, [&] {
        std::unique_ptr<ServiceHost> registering = ServiceHost::connect();
        sp<LocalService> service = new EchoService(String16("large.I"), kStatusOk, kStatusOk);
        for (size_t i = 0; registering && i < count; ++i)
            if (registering->addService(String16(nameOf(i).c_str()), service) != kStatusOk)
                _exit(1);
        // Held until the host is killed, names and all.
        (void)registering.release();
    }));
    Vector<String16> listed = defaultServiceManager()->listServiceNames();
    size_t wrong = listed.size() != count;
    for (size_t i = 0; i < std::min(count, listed.size()); ++i)
        wrong += listed[i] != String16(nameOf(i).c_str());
    EXPECT_EQ(listed.size(), count);
    EXPECT_EQ(wrong, 0u);
    record({"load held", "names listed in pages", grouped(count) + " names registered and listed in order",
            grouped(wrong) + " missing, doubled or out of order", watch.seconds()});
}

// A peer that announces a 1 MiB frame and sends one byte costs a host what
// arrived, not what was announced.
TEST(TransportTest, AnnouncedFramesCostAHostOnlyWhatArrives)
{
    TestPlatform platform;
    ASSERT_TRUE(platform.startManager()) << platform.manager().error();
    size_t host;
    ASSERT_TRUE(platform.startHost({"--service", "s"}, &host));
    const pid_t pid = platform.host(host).pid();
    const long before = residentKiB(pid);

    std::vector<int> fds;
    for (int i = 0; i < 300; ++i) {
        int manager = connectRaw();
        ASSERT_GE(manager, 0);
        int link = -1;
        ASSERT_EQ(rawLookup(manager, lookupRequest("s"), &link), 0);
        ASSERT_GE(link, 0);
        ASSERT_TRUE(sendRaw(link, frameBytes(1 << 20, 1, 0, "x")));
        fds.insert(fds.end(), {manager, link});
    }
    std::this_thread::sleep_for(300ms);
    const long grown = residentKiB(pid) - before;
    EXPECT_LT(grown, 10 * 1024);
    record({"threat", "memory per announced frame", "buffers grow with the bytes that arrive",
            "300 clients announcing 1 MiB and sending 1 byte: host grew by " + std::to_string(grown / 1024) + " MiB",
            0});
    for (int fd : fds)
        close(fd);
}

} // namespace
