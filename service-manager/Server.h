// The service manager's server: accepts connections, answers their
// requests from the registry, and hands each client a connection of its
// own to a host on its first look-up there.
#pragma once

#include "EventLoop.h"
#include "Peer.h"
#include "Registry.h"

#include <cstdint>
#include <deque>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class Server final : PeerHandler, Watcher {
public:
    // Serves the listening socket `listener` (which stays the caller's).
    Server(EventLoop& loop, int listener, Policy policy);
    int start();
    // Replaces the grants of the policy files, and logs each registered
    // name they no longer grant (it stays until its host goes).
    void setGrants(Grants grants);

private:
    bool onFrame(Peer& peer, Frame& frame) override;
    void onClose(Peer& peer) override;
    // The listener has connections waiting.
    void ready(uint32_t events) override;

    // The hand-offs a host has not read yet, oldest first, and how many of
    // them each uid's are.
    struct Unread {
        std::deque<uid_t> uids;
        std::unordered_map<uid_t, size_t> perUid;
    };
    Unread& unreadAt(const Peer& host);

    void admit(int fd, bool outOfDescriptors);
    void lookup(Peer& client, const String16& name, bool fresh);
    void add(Peer& host, const String16& name, uint32_t handle);
    void reply(Peer& client, status_t status, uint32_t target = 0, std::vector<uint8_t> payload = {});
    bool makePair(const Peer& client, int ends[2]);
    void pauseListener(bool paused);

    EventLoop& loop_;
    PeerSet peers_;
    Registry registry_;
    int listener_;
    bool listenerPaused_ = false;
    // What one small frame takes of a socket's buffer, as SIOCOUTQ counts.
    size_t frameCost_;
    std::unordered_map<uint64_t, Unread> unread_;
    uint64_t lastId_ = 0;
    // The peers that have registered names, by number.
    std::unordered_map<uint64_t, Peer*> hosts_;
    // The hosts each client holds a connection to.
    std::unordered_map<uint64_t, std::unordered_set<uint64_t>> reached_;
};
