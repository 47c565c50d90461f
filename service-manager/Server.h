// The service manager's server: accepts connections, answers their
// requests from the registry, and hands each client a connection of its
// own to a host on its first look-up there. Who is let in or dropped, and
// when, is its peer set's (Peer.h).
#pragma once

#include "EventLoop.h"
#include "Grants.h"
#include "Limits.h"
#include "Peer.h"
#include "Registry.h"

#include <cstdint>
#include <vector>

class Server final : PeerHandler, Watcher {
public:
    struct Options {
        std::vector<uid_t> allowRegister; // may register, besides the privileged uids
        Limits limits;
        PeerSet::Now now = PeerSet::Clock::now; // the clock of the time rules
    };

    // Serves the listening socket `listener` (which stays the caller's);
    // its events go to `log`, which stays the caller's too.
    Server(EventLoop& loop, int listener, EventLog& log, Options options);
    int start();
    // What the loop does each second: the time rules at the clock's now,
    // and a listener paused for want of descriptors tries again.
    void tick();
    // Replaces the grants of the policy files, and logs each registered
    // name they no longer grant (it stays until its host goes).
    void setGrants(Grants grants);

private:
    bool onFrame(Peer& peer, Frame& frame) override;
    void onClose(Peer& peer) override;
    // The listener has connections waiting.
    void ready(uint32_t events) override;

    void admit(int fd);
    void lookup(Peer& client, const String16& name, bool fresh);
    // Notes that `client` holds a connection to `host`.
    void remember(Peer& client, uint64_t host);
    void add(Peer& host, const String16& name, uint32_t handle);
    void reply(Peer& client, status_t status, uint32_t target = 0, std::vector<uint8_t> payload = {});
    bool makePair(const Peer& client, int ends[2]);
    bool mayRegister(uid_t uid, const String16& name) const;
    void pauseListener(bool paused);

    EventLoop& loop_;
    PeerSet peers_;
    std::vector<uid_t> allowRegister_;
    Grants grants_;
    Registry registry_;
    int listener_;
    bool listenerPaused_ = false;
    uint64_t lastId_ = 0;
};
