// The host runtime behind ServiceHost: registration over the service
// manager's link, then the loop that serves the link (ManagerLink, which
// follows the manager through its restarts) and every client it hands
// over. Made over any connected socket (a test gives one end of a
// socket pair for the link), with the limits and the clock of the time
// rules its maker chooses, and a loop that its maker may drive one step
// at a time. Internal to the platform library.
#pragma once

#include "EventLog.h"
#include "EventLoop.h"
#include "Limits.h"
#include "ManagerLink.h"
#include "Peer.h"

#include <quellix/LocalService.h>
#include <quellix/ServiceHost.h>

#include <memory>
#include <vector>

struct ServiceHost::Impl final : PeerHandler, ManagerLink::Host {
    // Takes `fd`, the link to the service manager.
    Impl(int fd, const Limits& limits, PeerSet::Now now = PeerSet::Clock::now);

    // Where the log's lines go (ServiceHost::connect); until set, nowhere.
    void setLogHandler(ServiceHost::LogHandler handler);

    // ServiceHost::addService.
    status_t addService(const String16& name, const sp<LocalService>& service, Credentials* holder);
    // Sets the loop up and starts serving the link (`signals` end it):
    // kStatusOk, or what ServiceHost::serve() returns when it cannot.
    status_t open(const sigset_t& signals);
    // open(), then runs the loop: ServiceHost::serve().
    status_t serve();
    // The time rules at the clock's now; the loop runs it each second.
    void tick() { peers->expire(); }
    EventLoop& eventLoop() { return loop; }
    // ServiceHost::managerProtocolVersion.
    uint32_t managerProtocolVersion() const { return managerVersion; }

private:
    bool onFrame(Peer& peer, Frame& frame) override;
    void onClose(Peer& peer) override;
    bool attach(Frame& frame) override;
    void newManager() override { ++managerEpoch; }
    bool answer(Peer& client, Frame& frame);
    status_t serviceFailed(const LocalService& service, const Frame& frame, const Peer& client, const char* what);

    Limits limits;
    PeerSet::Now now;
    // Until open(): the connection registrations go over, and the clients
    // attached meanwhile.
    std::unique_ptr<Connection> manager;
    std::vector<Frame> early;
    // The services by handle, and the names registered for them.
    std::vector<sp<LocalService>> services;
    std::vector<ManagerLink::Name> names;
    EventLoop loop;
    EventLog log;
    // Once serving: every peer, the link and the clients, each client by
    // the service manager's number for it and the count of managers
    // before that one (see attach).
    std::unique_ptr<PeerSet> peers;
    std::unique_ptr<ManagerLink> managerLink;
    uint64_t managerEpoch = 0;
    uint32_t managerVersion = 0;
};
