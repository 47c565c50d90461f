// The server side of connections, and the one home of the rules they are
// held to. A Peer owns one connection, its place in the event loop, who is
// at the other end, its role and the owner's number for it; a PeerSet owns
// the peers of one loop and every rule by which one is let in or dropped:
// the per-uid counts and their limits (Limits.h), the time rules, the
// descriptor held in reserve for the moment they run out, making room by
// closing the idlest peer, and which uids are privileged. A peer handles
// one frame at a time: nothing more is read while its replies wait, so a
// peer that never reads holds up only itself. Internal to the platform
// library.
//
// The privileged uids are root and our own effective uid: no per-uid
// limit applies to them, and they are never closed to make room for
// another uid.
#pragma once

#include "Connection.h"
#include "EventLog.h"
#include "EventLoop.h"
#include "Limits.h"

#include <quellix/Credentials.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

class Peer;
class PeerSet;

// What the owner of peers does with their frames.
class PeerHandler {
public:
    // One complete frame; false closes the peer.
    virtual bool onFrame(Peer& peer, Frame& frame) = 0;
    // The peer was closed and no event in hand concerns it any more; it is
    // freed when this returns.
    virtual void onClose(Peer& peer) = 0;

protected:
    ~PeerHandler() = default;
};

class Peer final : public Watcher {
public:
    using Clock = std::chrono::steady_clock;
    // A client is held to every rule. A host (at the service manager: a
    // client that registered a name) and the service manager's link (at a
    // host) are anchored: kept whatever the time rules say and never
    // closed to make room. Only the link's descriptors are kept: any other
    // peer's are refused by its socket or closed away from the loop.
    enum class Role { kClient, kHost, kManagerLink };

    Peer(PeerSet& set, std::unique_ptr<Connection> connection, uint64_t id, const Credentials& credentials, Role role,
         PeerHandler* handler);

    // The owner's number for the peer, and who it is.
    const uint64_t id;
    const Credentials credentials;

    Role role() const { return role_; }
    bool anchored() const { return role_ != Role::kClient; }
    bool isOpen() const { return !closed_; }
    // Part of a frame has arrived, and not the rest. Output that waits
    // does not count, nor do whole frames that wait behind it: a peer that
    // leaves its replies unread is idle.
    bool midFrame() const
    {
        return connection_->reader().holdsPartialFrame() && !connection_->reader().holdsWholeFrame();
    }
    // When its last frame was handled (or it was admitted).
    Clock::time_point lastFrame() const { return lastFrame_; }
    // At the service manager: the hosts this client holds a connection to.
    std::unordered_set<uint64_t>& reached() { return reached_; }

    // Queues a frame; a peer that left too much unread is closed (-1).
    int send(int32_t word, uint32_t arg, uint32_t target, std::vector<uint8_t> payload);
    // Connection::sendNow; a socket that failed closes the peer.
    int sendNow(int32_t word, uint32_t arg, uint32_t target, const std::vector<uint8_t>& payload, int passFd);
    // Closes the socket now; the handler's onClose follows once the loop
    // is done with the events in hand. With a `reason`, the set's log says
    // who was dropped and why.
    void close(const char* reason = nullptr);

    void ready(uint32_t events) override;
    void released() override;

private:
    friend class PeerSet;

    // The hand-offs a host has not read yet, oldest first, and how many of
    // them each uid's are.
    struct HandOffs {
        std::deque<uid_t> uids;
        std::unordered_map<uid_t, size_t> perUid;
    };

    // Watches the socket and handles the frames it holds already; false
    // when the peer is closed by then.
    bool start();
    // Why the time rules condemn the peer at `now`; empty when they do not.
    std::string expiry(Clock::time_point now) const;
    void serveFrames();
    // Watches for what the peer may do next, and keeps the clock of its
    // unread output.
    void watch();
    // Brings its uid's count of buffered bytes up to date; false when that
    // count is past the limit (the peer is closed then).
    bool account();

    PeerSet& set_;
    std::unique_ptr<Connection> connection_;
    Role role_;
    PeerHandler* handler_;
    bool closed_ = false;
    uint32_t interest_ = 0;
    Clock::time_point lastFrame_;
    // When the first byte of the frame in progress arrived, if one is.
    Clock::time_point frameStart_;
    // Since when output has waited without the peer taking a byte of it,
    // if any waits; and how much it had taken by then.
    Clock::time_point outputSince_;
    uint64_t writtenSeen_ = 0;
    uint64_t frames_ = 0;
    size_t accounted_ = 0; // buffered bytes counted for its uid
    size_t names_ = 0;     // names registered over it, as a host
    HandOffs handOffs_;    // as a host
    std::unordered_set<uint64_t> reached_;
};

class PeerSet {
public:
    using Clock = Peer::Clock;
    using Now = std::function<Clock::time_point()>;
    // At the service manager, a newcomer must complete a frame within the
    // silence limit, and a uid past its connections is refused; at a
    // host, that uid's idlest connection makes room for the newcomer.
    enum class Side { kManager, kHost };

    // `log` (which stays the caller's) is told who is dropped and why;
    // `now` is the clock of the time rules (tests give their own).
    PeerSet(EventLoop& loop, Side side, const Limits& limits, EventLog& log, Now now = Clock::now);
    ~PeerSet();
    PeerSet(const PeerSet&) = delete;
    PeerSet& operator=(const PeerSet&) = delete;

    // Serves the connection in `role`; null when it was refused (its uid
    // holds all the connections it may or has sent more descriptors than
    // are closed yet, or out of descriptors no idle peer makes room for
    // it; never the manager link) or closed at once.
    Peer* admit(std::unique_ptr<Connection> connection, uint64_t id, const Credentials& credentials, Peer::Role role,
                PeerHandler* handler);
    // A client that registered a name becomes a host, anchored from now.
    void becomeHost(Peer& peer);
    // A connection of `uid` was lost for want of descriptors: room is made
    // for the next one.
    void lost(uid_t uid);
    // The peer with number `id` (the latest, if there were several), open
    // or closed but not yet released; null when there is none.
    Peer* find(uint64_t id) const;

    // Runs `take`, which brings descriptors in (an accept, a read that may
    // carry some), with the reserve spent so that one fits even when they
    // have run out; then takes the reserve back if there is room. errno is
    // take's.
    ssize_t withReserve(const std::function<ssize_t()>& take);
    // Runs `make` (which makes descriptors: 0 or -1) until it succeeds,
    // making room among the idle peers other than `keep` for as long as it
    // fails for want of descriptors: 0, or -1 with make's errno.
    int withRoom(const Peer& keep, const std::function<int()>& make);

    // Whether `host` may register one more name, and the count of one it
    // did; its names are its uid's until it is released.
    bool mayHoldName(const Peer& host) const;
    void heldName(Peer& host);
    // Whether a client of `uid` may hand `host` one more connection, and
    // the count of one handed off (until the host reads it).
    bool mayHandOff(Peer& host, uid_t uid);
    void handedOff(Peer& host, uid_t uid);

    // Closes the peers the time rules condemn at now(); the loop calls it
    // about once a second.
    void expire();
    Clock::time_point now() const { return now_(); }

    bool privileged(uid_t uid) const { return uid == 0 || uid == ownUid_; }
    EventLoop& loop() { return loop_; }
    EventLog& log() { return log_; }
    const Limits& limits() const { return limits_; }

private:
    friend class Peer;

    // What each uid holds.
    struct Holding {
        size_t peers = 0; // open ones
        size_t bytes = 0;
        size_t names = 0;
    };

    // Closes the peer that has waited longest for a frame among those
    // neither anchored nor in the middle of a frame nor `keep`, of `uid`
    // itself or, when `uid` is privileged, of any unprivileged uid. False
    // when there is none.
    bool makeRoom(uid_t uid, const Peer* keep);
    void spendReserve();
    bool refillReserve();
    // Drops the settled hand-offs: the host has read all but those its
    // socket still holds, a frame each.
    void settle(Peer& host);
    void closed(const Peer& peer);
    void forget(Peer* peer);
    // Refuses the connection of `credentials`, saying why unless `why` is
    // null: its socket is closed here when nothing waits in it, by the
    // closer otherwise. Null, for admit() to return.
    Peer* refuse(std::unique_ptr<Connection> connection, const Credentials& credentials, const char* why);

    EventLoop& loop_;
    Side side_;
    Limits limits_;
    Now now_;
    EventLog& log_;
    uid_t ownUid_;
    int reserve_ = -1;
    // What one small frame takes of a socket's buffer, as SIOCOUTQ counts.
    size_t frameCost_ = 0;
    std::unordered_map<Peer*, std::unique_ptr<Peer>> peers_;
    std::unordered_map<uint64_t, Peer*> byId_;
    std::unordered_map<uid_t, Holding> holdings_;
};
