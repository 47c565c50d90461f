// A serving host's link to the service manager. The manager hands clients
// over on it. When it goes (a restart, a crash), the host serves on and
// the link looks for the next manager: 50 ms after, then twice as long
// each time up to a quarter of a second, it tries the address, accepts
// only a manager of uid 0 or our own, and registers every name again with
// the handle it had. None of it holds up the loop: a try does not wait,
// and the registrations and their answers are the loop's traffic like any
// other. Internal to the platform library.
#pragma once

#include "EventLoop.h"
#include "Peer.h"

#include <quellix/Credentials.h>
#include <quellix/String16.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class ManagerLink final : PeerHandler, Watcher {
public:
    // What the link needs of the host it serves.
    class Host {
    public:
        // A kManagerAttach frame: a client handed over; false when it is
        // malformed.
        virtual bool attach(Frame& frame) = 0;
        // Another service manager: its numbers for clients are not the
        // last one's.
        virtual void newManager() = 0;

    protected:
        ~Host() = default;
    };
    // A name and the handle of its service, which a client sends with
    // each transaction.
    struct Name {
        String16 name;
        uint32_t handle;
    };

    ManagerLink(PeerSet& peers, Host& host);
    ~ManagerLink();
    ManagerLink(const ManagerLink&) = delete;
    ManagerLink& operator=(const ManagerLink&) = delete;

    // Serves `manager`, the connection over which `names` were registered,
    // and looks for the next manager whenever the one in hand goes: 0, or
    // -1 (errno set) when the link cannot be set up.
    int start(std::unique_ptr<Connection> manager, std::vector<Name> names);

private:
    bool onFrame(Peer& peer, Frame& frame) override;
    void onClose(Peer& peer) override;
    // The retry timer fired.
    void ready(uint32_t events) override;

    void tryAgainLater();
    void sendRegistrations();
    void answered(const Frame& reply);

    PeerSet& peers_;
    Host& host_;
    std::vector<Name> names_;
    int timer_ = -1;
    std::chrono::milliseconds delay_;
    Peer* manager_ = nullptr;
    Credentials managerCredentials_;
    // The registrations with the manager in hand: sent, answered, and
    // accepted.
    size_t sent_ = 0;
    size_t answered_ = 0;
    size_t registered_ = 0;
    // The last holder of the address we refused, so that the log says so
    // once.
    pid_t refused_ = 0;
};
