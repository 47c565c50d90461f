// The service manager's server in-process, over a listening socket the
// test made and a clock the test moves: each time rule, making room when
// descriptors run out, and the caps per uid, once each. A connection of
// nobody is made with nobody as the effective uid, which its socket's
// credentials keep.
#include "Address.h"
#include "Hostile.h"
#include "Reliability.h"
#include "RawClient.h"
#include "Server.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string kLookup = lookupRequest("x");
const std::string kList = listRequest();
// Requests enough that their replies fill the socket and wait in the
// server, unread.
std::string unreadReplies()
{
    std::string lists = kLookup;
    for (int i = 0; i < 3000; ++i)
        lists += kList;
    return lists;
}

class ServerTest : public testing::Test {
protected:
    // Serves the platform's listener, or `given`.
    void start(Server::Options options = {}, int given = -1)
    {
        sigset_t none;
        sigemptyset(&none);
        ASSERT_EQ(loop.open(none), 0);
        listener = given >= 0 ? given : listenServiceManager();
        ASSERT_GE(listener, 0);
        options.now = [this] { return now; };
        server = std::make_unique<Server>(loop, listener, log, std::move(options));
        ASSERT_EQ(server->start(), 0);
    }
    void TearDown() override
    {
        server.reset();
        for (int fd : fds)
            close(fd);
        if (listener >= 0)
            close(listener);
    }

    // Lets the server handle all that has arrived.
    void serve()
    {
        for (int i = 0; i < 20; ++i)
            loop.step(0ms);
    }
    // A client of `uid` that has sent `bytes`.
    int client(const std::string& bytes, uid_t uid = 0)
    {
        EXPECT_EQ(seteuid(uid), 0);
        int fd = connectRaw();
        EXPECT_EQ(seteuid(0), 0);
        EXPECT_GE(fd, 0);
        fds.push_back(fd);
        EXPECT_TRUE(sendRaw(fd, bytes));
        serve();
        return fd;
    }
    void pass(std::chrono::milliseconds time)
    {
        now += time;
        server->tick();
        serve();
    }
    // The status of the next reply that waits, its payload skipped;
    // INT32_MIN when none does.
    static int32_t status(int fd)
    {
        uint8_t header[16];
        if (recv(fd, header, sizeof header, MSG_WAITALL | MSG_DONTWAIT) != ssize_t(sizeof header))
            return INT32_MIN;
        uint32_t size = header[0] | header[1] << 8 | header[2] << 16 | uint32_t(header[3]) << 24;
        std::vector<uint8_t> payload(size);
        if (size && recv(fd, payload.data(), size, MSG_DONTWAIT) != ssize_t(size))
            return INT32_MIN;
        return int32_t(header[8] | header[9] << 8 | header[10] << 16 | uint32_t(header[11]) << 24);
    }

    EventLoop loop;
    EventLog log;
    PeerSet::Clock::time_point now = PeerSet::Clock::now();
    int listener = -1;
    std::unique_ptr<Server> server;
    std::vector<int> fds;
};

TEST_F(ServerTest, TimeRules)
{
    struct Case {
        const char* what;
        std::string sent;
        bool dropped; // once the limit of 10 s has passed
    };
    const Case cases[] = {
        {"silent from the start", "", true},
        {"a request done, then quiet (waiting on a host, say)", kLookup, false},
        {"half a frame after a request", kLookup + kList.substr(0, 6), true},
        {"its replies left unread", unreadReplies(), true},
    };
    start();
    std::vector<int> clients;
    for (const Case& c : cases)
        clients.push_back(client(c.sent));
    pass(9900ms);
    for (size_t i = 0; i < clients.size(); ++i)
        EXPECT_TRUE(peerHolds(clients[i])) << cases[i].what;
    pass(200ms);
    for (size_t i = 0; i < clients.size(); ++i)
        EXPECT_EQ(peerHolds(clients[i]), !cases[i].dropped) << cases[i].what;
    pass(60s);
    EXPECT_TRUE(peerHolds(clients[1]));
}

// Out of descriptors, a newcomer takes the place of the idlest client of
// its own uid (root's, of any other uid) that is not in the middle of a
// frame; a client whose replies wait unread is idle.
TEST_F(ServerTest, RoomIsMadeForANewcomer)
{
    struct Case {
        const char* what;
        uid_t holders;
        std::string held; // what each holder sent
        uid_t newcomer;
        bool served; // and the first holder closed
    };
    const std::string halfFrame = kLookup + kList.substr(0, 6);
    const Case cases[] = {
        {"replies unread, the same uid", kNobody, unreadReplies(), kNobody, true},
        {"in the middle of frames", kNobody, halfFrame, kNobody, false},
        {"root's, for another uid", 0, unreadReplies(), kNobody, false},
        {"another uid's, for root", kNobody, unreadReplies(), 0, true},
    };
    start();
    const int holders = 3;
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Free numbers for the holders' two ends each and the newcomer's
        // own end, not for the server's end of it.
        std::set<int> used;
        DIR* dir = opendir("/proc/self/fd");
        ASSERT_NE(dir, nullptr);
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                used.insert(std::atoi(entry->d_name));
        used.erase(dirfd(dir));
        closedir(dir);
        int limit = 0;
        for (int free = 0; free < 2 * holders + 1; ++limit)
            free += !used.count(limit);
        rlimit lowered = saved;
        lowered.rlim_cur = rlim_t(limit);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
        std::vector<int> held;
        for (int i = 0; i < holders; ++i) {
            held.push_back(client(c.held, c.holders));
            pass(1s);
        }
        const int newcomer = client(kLookup, c.newcomer);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
        EXPECT_EQ(status(newcomer), c.served ? kStatusNameNotFound : INT32_MIN);
        EXPECT_EQ(peerHolds(held[0]), !c.served);
        for (int i = 1; i < holders; ++i)
            EXPECT_TRUE(peerHolds(held[i]));
        for (int fd : fds)
            close(fd);
        fds.clear();
        pass(0ms);
    }
}

TEST_F(ServerTest, CapsPerUid)
{
    Limits limits;
    limits.peersPerUid = 2;
    limits.namesPerConnection = 2;
    limits.namesPerUid = 3;
    start({{kNobody}, limits});
    // A third connection of nobody's is refused; root's are not capped.
    for (uid_t uid : {kNobody, uid_t(0)})
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(peerHolds(client(kLookup, uid)), uid == 0 || i < 2) << uid << " " << i;
    for (int fd : fds)
        close(fd);
    fds.clear();
    serve();
    struct Case {
        const char* name;
        int connection; // of nobody's two
        status_t status;
    };
    const Case cases[] = {
        {"a", 0, kStatusOk},
        {"b", 0, kStatusOk},
        {"c", 0, kStatusNoResources}, // past the names of one connection
        {"d", 1, kStatusOk},
        {"e", 1, kStatusNoResources}, // past the names of the uid
    };
    const int connections[] = {client("", kNobody), client("", kNobody)};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(sendRaw(connections[c.connection], registerRequest(c.name, 0)));
        serve();
        EXPECT_EQ(status(connections[c.connection]), c.status);
    }
    // Hosts are anchored: no time rule drops them.
    pass(60s);
    EXPECT_TRUE(peerHolds(connections[0]));
    EXPECT_TRUE(peerHolds(connections[1]));
}

// A connection refused unread may hold descriptors it sent before its
// socket refused them (at a listener that let them through), here a socket
// whose close blocks: the loop leaves that close to the closer.
TEST_F(ServerTest, RefusedConnectionsAreClosedAwayFromTheLoop)
{
    ASSERT_TRUE(bringUpLoopback());
    const int letsThrough = listenRaw(16);
    ASSERT_GE(letsThrough, 0);
    ASSERT_EQ(fcntl(letsThrough, F_SETFL, O_NONBLOCK), 0);
    Limits limits;
    limits.peersPerUid = 1;
    start({{}, limits}, letsThrough);
    EXPECT_TRUE(peerHolds(client(kLookup, kNobody)));
    ASSERT_EQ(seteuid(kNobody), 0);
    const int refused = connectRaw();
    ASSERT_EQ(seteuid(0), 0);
    ASSERT_GE(refused, 0);
    fds.push_back(refused);
    const int blocking = socketWhoseCloseBlocks();
    ASSERT_GE(blocking, 0);
    ASSERT_TRUE(sendDescriptors(refused, std::string(1, '\0'), {blocking}));
    close(blocking);
    Stopwatch watch;
    serve();
    EXPECT_LT(watch.seconds(), 1.0);
    EXPECT_FALSE(peerHolds(refused));
}

} // namespace
