// The server side of a connection. A Peer owns one connection, its place
// in the event loop, who is at the other end and the owner's number for
// it; a PeerSet owns the peers of one loop. Between them they hold every
// rule by which a peer is dropped: reading too little of what it is sent,
// silence from the start, a frame not finished 10 s after its first byte,
// its uid holding too many peers or bytes, being the idlest when
// descriptors run out. A peer handles one frame at a time: nothing more is
// read while its replies wait, so a peer that never reads holds up only
// itself. Internal to the platform library.
//
// The limits per uid spare the privileged uids (root and our own): they
// are never closed to make room for another uid either.
#pragma once

#include "Connection.h"
#include "EventLog.h"
#include "EventLoop.h"

#include <quellix/Credentials.h>

#include <chrono>
#include <memory>
#include <unordered_map>

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
    // kAcceptFds: descriptors that arrive are kept (else the socket refuses
    // them, or they are closed away from the loop's thread); kAnchored: the
    // peer starts out anchored (below).
    enum Flags : unsigned { kAcceptFds = 1, kAnchored = 2 };

    Peer(PeerSet& set, std::unique_ptr<Connection> connection, uint64_t id, const Credentials& credentials,
         unsigned flags, PeerHandler* handler);

    // The owner's number for the peer, and who it is.
    const uint64_t id;
    const Credentials credentials;
    // Kept whatever the time rules say, and never closed to make room (a
    // host at the service manager, the service manager at a host).
    bool anchored;

    bool isOpen() const { return !closed_; }
    // In the middle of a request: part of a frame has arrived, or a reply
    // waits to be written.
    bool busy() const { return connection_->reader().holdsPartialFrame() || connection_->hasOutput(); }
    // When its last frame was handled (or it was adopted).
    Clock::time_point lastFrame() const { return lastFrame_; }
    // What its socket holds that it has not read yet.
    size_t unreadBytes() const { return connection_->unreadBytes(); }

    // Queues a frame; a peer that left too much unread is closed (-1).
    int send(int32_t word, uint32_t arg, uint32_t target, std::vector<uint8_t> payload);
    // Connection::sendNow; a socket that failed closes the peer.
    int sendNow(int32_t word, uint32_t arg, uint32_t target, const std::vector<uint8_t>& payload, int passFd);
    // Closes the socket now; the handler's onClose follows once the loop
    // is done with the events in hand. With a `reason`, the set's log says
    // who was dropped and why.
    void close(const char* reason = nullptr);

    // Watches the socket and handles the frames it holds already; false
    // when the peer is closed by then (PeerSet::adopt calls it).
    bool start();
    // Why the time rules condemn the peer at `now`; null when they do not.
    const char* expiry(Clock::time_point now) const;
    void ready(uint32_t events) override;
    void released() override;

private:
    void serveFrames();
    void watch();
    // Brings its uid's count of buffered bytes up to date; false when that
    // count is past the limit (the peer is closed then).
    bool account();

    PeerSet& set_;
    std::unique_ptr<Connection> connection_;
    PeerHandler* handler_;
    bool acceptFds_;
    bool closed_ = false;
    uint32_t interest_ = 0;
    Clock::time_point lastFrame_;
    // When the first byte of the frame in progress arrived, if one is.
    Clock::time_point frameStart_;
    uint64_t frames_ = 0;
    size_t accounted_ = 0; // buffered bytes counted for its uid
};

class PeerSet {
public:
    struct Limits {
        // Drop a peer that completes no frame within 10 s of coming.
        bool dropSilent = false;
        // Peers an unprivileged uid may hold: past it, its idlest goes.
        size_t peersPerUid = 256;
        // Bytes buffered for an unprivileged uid's peers, both ways.
        size_t bytesPerUid = 32u << 20;
    };

    PeerSet(EventLoop& loop, Limits limits);
    ~PeerSet();

    // Serves the connection (`flags`: Peer::Flags); null when the peer
    // could not be watched or closed at once.
    Peer* adopt(std::unique_ptr<Connection> connection, uint64_t id, const Credentials& credentials,
                unsigned flags, PeerHandler* handler);
    // Out of descriptors, or past the peers `uid` may hold: closes the peer
    // that has waited longest for a frame among those neither anchored nor
    // busy nor `keep`, of `uid` itself or, when `uid` is privileged, of any
    // unprivileged uid. False when there is none.
    bool makeRoom(uid_t uid, const Peer* keep = nullptr);
    // Closes the peers the time rules condemn; called about once a second.
    void expire();
    // A descriptor held back for the moment they run out: spent, it frees
    // a place for one that arrives (an accepted connection, or one that
    // comes with a frame on a kAcceptFds peer, which spends it before each
    // read). refillReserve() takes it back, false when there is no room:
    // then the newcomer must make room or go.
    void spendReserve();
    bool refillReserve();

    bool privileged(uid_t uid) const { return uid == 0 || uid == ownUid_; }
    EventLoop& loop() { return loop_; }
    EventLog& log() { return log_; }
    const Limits& limits() const { return limits_; }
    // What each uid holds; Peer keeps the counts.
    struct Holding {
        size_t peers = 0;
        size_t bytes = 0;
    };
    Holding& holding(uid_t uid) { return holdings_[uid]; }
    // Frees a released peer, whose bytes its uid no longer holds
    // (Peer::released calls it).
    void forget(Peer* peer);

private:
    EventLoop& loop_;
    Limits limits_;
    EventLog log_;
    uid_t ownUid_;
    int reserve_ = -1;
    std::unordered_map<Peer*, std::unique_ptr<Peer>> peers_;
    std::unordered_map<uid_t, Holding> holdings_;
};
