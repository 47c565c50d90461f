// The server side of a connection. A Peer owns one connection, its place
// in the event loop, who is at the other end and the owner's number for
// it; a PeerSet owns the peers of one loop. Between them they hold every
// rule by which a peer is dropped: reading too little of what it is sent,
// silence from the start, a frame left half sent, being the idlest when
// descriptors run out. A peer handles one frame at a time: nothing more is
// read while its replies wait, so a peer that never reads holds up only
// itself. Internal to the platform library.
#pragma once

#include "Connection.h"
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
    // kAcceptFds: descriptors that arrive are kept (else closed at once);
    // kAnchored: the peer starts out anchored (below).
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
    // Queues a frame; a peer that left too much unread is closed (-1).
    int send(int32_t word, uint32_t arg, uint32_t target, std::vector<uint8_t> payload);
    // Connection::sendNow; a socket that failed closes the peer.
    int sendNow(int32_t word, uint32_t arg, uint32_t target, const std::vector<uint8_t>& payload, int passFd);
    // Closes the socket now; the handler's onClose follows once the loop
    // is done with the events in hand.
    void close();

    // Watches the socket and handles the frames it holds already; false
    // when the peer is closed by then (PeerSet::adopt calls it).
    bool start();
    // Whether the set's time rules condemn the peer at `now`.
    bool expired(Clock::time_point now) const;
    void ready(uint32_t events) override;
    void released() override;

private:
    void serveFrames();
    void watch();

    PeerSet& set_;
    std::unique_ptr<Connection> connection_;
    PeerHandler* handler_;
    bool acceptFds_;
    bool closed_ = false;
    uint32_t interest_ = 0;
    Clock::time_point lastFrame_;
    Clock::time_point lastRead_;
    uint64_t frames_ = 0;
};

class PeerSet {
public:
    // The time rules besides the output limit, which always applies.
    struct Rules {
        bool dropSilent = false;   // no frame completed 10 s after it came
        bool dropHalfSent = false; // part of a frame, and nothing for 10 s
    };

    PeerSet(EventLoop& loop, Rules rules) : loop_(loop), rules_(rules) {}

    // Serves the connection (`flags`: Peer::Flags); null when the peer
    // could not be watched or closed at once.
    Peer* adopt(std::unique_ptr<Connection> connection, uint64_t id, const Credentials& credentials,
                unsigned flags, PeerHandler* handler);
    // Out of descriptors: closes the peer that has waited longest for a
    // frame, among those neither anchored, nor busy, nor `keep`. False when
    // there is none.
    bool makeRoom(const Peer* keep = nullptr);
    // Closes the peers the time rules condemn; called about once a second.
    void expire();

    EventLoop& loop() { return loop_; }
    const Rules& rules() const { return rules_; }
    // Frees a released peer (Peer::released calls it).
    void forget(Peer* peer) { peers_.erase(peer); }

private:
    EventLoop& loop_;
    Rules rules_;
    std::unordered_map<Peer*, std::unique_ptr<Peer>> peers_;
};
