// The host runtime in-process, over one end of a socket pair that stands
// in for the service manager's link, with a clock the test moves: the link
// and clients that read what they are sent outlast every time rule (a
// host stopped for a while serves on), and a client that leaves its reply
// unread is dropped 10 s after it last took a byte.
#include "HostRuntime.h"
#include "Hostile.h"
#include "ManagerProtocol.h"
#include "RawClient.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t kReplySize = 1 << 20;

// Replies with more than any socket holds.
class Large : public LocalService {
public:
    Large() : LocalService(String16("test.ILarge")) {}

protected:
    status_t onTransact(uint32_t, const Parcel&, Parcel* reply, uint32_t) override
    {
        const std::vector<uint8_t> bytes(kReplySize);
        reply->setData(bytes.data(), bytes.size());
        return kStatusOk;
    }
};

class HostRuntimeTest : public testing::Test {
protected:
    void SetUp() override
    {
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        link = std::make_unique<Connection>(ends[1], kMaxParcelSize);
        // The registration's answer waits in the socket before it is asked.
        ASSERT_EQ(link->send(kManagerReply, uint32_t(kStatusOk), 0, nullptr, 0), 0);
        host = std::make_unique<ServiceHost::Impl>(ends[0], Limits{}, [this] { return now; });
        ASSERT_EQ(host->addService(String16("large"), sp<LocalService>(new Large), nullptr), kStatusOk);
        sigset_t none;
        sigemptyset(&none);
        ASSERT_EQ(host->open(none), kStatusOk);
    }
    void TearDown() override
    {
        for (int fd : clients)
            close(fd);
    }
    void serve()
    {
        for (int i = 0; i < 20; ++i)
            host->eventLoop().step(0ms);
    }
    // A client of nobody's, handed over as the service manager does.
    int attach(uint64_t id)
    {
        int ends[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        const std::vector<uint8_t> who = encodeAttach(id, Credentials{1, kNobody, kNobody});
        EXPECT_EQ(link->sendNow(kManagerAttach, 0, 0, who.data(), who.size(), ends[0]), 0);
        clients.push_back(ends[1]);
        serve();
        return ends[1];
    }
    // Asks for a reply, and reads all of it when `read` says so.
    bool transact(int client, bool read)
    {
        if (!sendRaw(client, frameBytes(0, 1, 0, "")))
            return false;
        size_t got = 0;
        std::vector<char> buffer(65536);
        for (int i = 0; read && got < 16 + kReplySize && i < 10000; ++i) {
            serve();
            ssize_t count = recv(client, buffer.data(), buffer.size(), MSG_DONTWAIT);
            got += count > 0 ? size_t(count) : 0;
        }
        serve();
        return !read || got == 16 + kReplySize;
    }
    void pass(std::chrono::milliseconds time)
    {
        now += time;
        host->tick();
        serve();
    }

    PeerSet::Clock::time_point now = PeerSet::Clock::now();
    std::unique_ptr<Connection> link;
    std::unique_ptr<ServiceHost::Impl> host;
    std::vector<int> clients;
};

TEST_F(HostRuntimeTest, TimeRules)
{
    const int reader = attach(1), leaver = attach(2), silent = attach(3);
    ASSERT_TRUE(transact(reader, true));
    ASSERT_TRUE(transact(leaver, false));
    pass(9900ms);
    EXPECT_TRUE(peerHolds(leaver));
    pass(200ms);
    EXPECT_FALSE(peerHolds(leaver));
    pass(60s);
    // Nothing else went: the link, the reader and a client that sent
    // nothing, and the reader is served as before.
    EXPECT_FALSE(host->eventLoop().stopped());
    EXPECT_TRUE(peerHolds(reader));
    EXPECT_TRUE(peerHolds(silent));
    EXPECT_TRUE(transact(reader, true));
}

// Out of descriptors, with no client to close to make room, a host still
// keeps the link to a new service manager: nothing else would connect
// again.
TEST(HostPeersTest, KeepTheManagerLinkOutOfDescriptors)
{
    struct Handler : PeerHandler {
        bool onFrame(Peer&, Frame&) override { return true; }
        void onClose(Peer&) override {}
    } handler;
    EventLoop loop;
    sigset_t none;
    sigemptyset(&none);
    ASSERT_EQ(loop.open(none), 0);
    EventLog log;
    PeerSet peers(loop, PeerSet::Side::kHost, Limits{}, log);
    // A client in the middle of a frame, which no one may close to make room.
    int client[2], ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, client), 0);
    ASSERT_NE(peers.admit(std::make_unique<Connection>(client[0], kMaxParcelSize), 1, Credentials{},
                          Peer::Role::kClient, &handler),
              nullptr);
    ASSERT_TRUE(sendRaw(client[1], std::string(6, '\0')));
    loop.step(0ms);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    // Every number below the lowest free one is taken, and the limit
    // leaves no other: the link's descriptor takes the reserve's place.
    const int lowest = dup(0);
    ASSERT_GE(lowest, 0);
    close(lowest);
    rlimit saved, lowered;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    lowered = saved;
    lowered.rlim_cur = rlim_t(lowest);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    const int fd = int(peers.withReserve([&] { return ssize_t(fcntl(ends[0], F_DUPFD_CLOEXEC, 0)); }));
    Peer* link = fd < 0 ? nullptr
                        : peers.admit(std::make_unique<Connection>(fd, kMaxParcelSize), 0, Credentials{},
                                      Peer::Role::kManagerLink, &handler);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_GE(fd, 0);
    EXPECT_NE(link, nullptr);
    for (int end : {ends[0], ends[1], client[1]})
        close(end);
}

} // namespace
