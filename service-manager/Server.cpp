#include "Server.h"

#include "Address.h"
#include "ManagerProtocol.h"

#include <cerrno>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

constexpr int kAcceptsPerWake = 64;

Server::Server(EventLoop& loop, int listener, Policy policy)
    : loop_(loop), peers_(loop, PeerSet::Rules{.dropSilent = true}), registry_(std::move(policy), geteuid()),
      listener_(listener)
{
}

// Each second, clients that never completed a request and were silent for
// too long are dropped, and a listener paused for want of descriptors
// tries again.
int Server::start()
{
    loop_.setTick(std::chrono::seconds(1), [this] {
        peers_.expire();
        pauseListener(false);
    });
    return loop_.add(listener_, EPOLLIN, this);
}

void Server::ready(uint32_t)
{
    for (int i = 0; i < kAcceptsPerWake; ++i) {
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            admit(fd);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        // Out of descriptors: the idlest client that is not a host makes
        // room for the newcomer. With none, the listener is not watched
        // until a connection closes or the next tick, instead of waking us
        // for it again and again.
        if (!isExhaustion(errno))
            return;
        if (!peers_.makeRoom())
            return pauseListener(true);
    }
}

void Server::pauseListener(bool paused)
{
    if (paused != listenerPaused_ && loop_.modify(listener_, paused ? 0u : uint32_t(EPOLLIN), this) == 0)
        listenerPaused_ = paused;
}

void Server::admit(int fd)
{
    auto connection = std::make_unique<Connection>(fd, kMaxManagerRequest);
    Credentials credentials;
    if (peerCredentials(fd, &credentials) && registry_.admit(credentials.uid))
        peers_.adopt(std::move(connection), ++lastId_, credentials, 0, this);
}

bool Server::onFrame(Peer& peer, Frame& frame)
{
    ManagerRequest request;
    if (decodeManagerRequest(frame, &request) < 0)
        return false;
    switch (request.operation) {
    case kManagerLookup:
        lookup(peer, request.name, request.arg == kLookupFresh);
        break;
    case kManagerList: {
        bool more;
        std::vector<uint8_t> page = registry_.page(request.hasName ? &request.name : nullptr, &more);
        reply(peer, kStatusOk, more ? 1 : 0, std::move(page));
        break;
    }
    case kManagerRegister:
        add(peer, request.name, request.arg);
        break;
    }
    return true;
}

void Server::onClose(Peer& peer)
{
    // A descriptor is free again: accept again if we had stopped.
    pauseListener(false);
    registry_.leave(peer.id, peer.credentials.uid);
    hosts_.erase(peer.id);
    reached_.erase(peer.id);
}

// A client holds at most one connection to each host: the first look-up
// that reaches a host makes a socket pair and hands one end to each side;
// later ones only name the host (by its connection's number, which is
// never reused) and the service's handle there. Closing a peer here never
// runs onClose before this returns, so nothing looked up goes stale.
void Server::lookup(Peer& client, const String16& name, bool fresh)
{
    const Registry::Entry* entry = registry_.find(name);
    if (!entry)
        return reply(client, kStatusNameNotFound);
    const Registry::Entry found = *entry;
    std::unordered_set<uint64_t>& reached = reached_[client.id];
    if (!fresh && reached.count(found.host))
        return reply(client, kStatusOk, found.handle, encodeHostId(found.host));

    int ends[2];
    if (!makePair(client, ends))
        return reply(client, kStatusNoResources);
    // The host must take its end now. If it cannot (its socket is full, or
    // the kernel takes no more descriptors in flight), this one look-up is
    // refused and the host keeps its names; if its socket failed, it is
    // gone, and its names with it.
    Peer& host = *hosts_.at(found.host);
    if (host.sendNow(kManagerAttach, 0, 0, encodeAttach(client.id, client.credentials), ends[0]) < 0) {
        int error = errno;
        close(ends[0]);
        close(ends[1]);
        return reply(client, error == EAGAIN ? kStatusNoResources : kStatusNameNotFound);
    }
    // Nothing else waits for the client: it sends one request at a time.
    // Without its end, the host's end goes too, and the host drops it.
    if (client.sendNow(kManagerReply, uint32_t(kStatusOk), found.handle, encodeHostId(found.host), ends[1]) == 0) {
        reached.insert(found.host);
        return;
    }
    int error = errno;
    close(ends[1]);
    if (error == EAGAIN)
        reply(client, kStatusNoResources);
}

// Out of descriptors, idle clients other than `client` make room.
bool Server::makePair(const Peer& client, int ends[2])
{
    for (;;) {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0)
            return true;
        if (!isExhaustion(errno) || !peers_.makeRoom(&client))
            return false;
    }
}

void Server::add(Peer& host, const String16& name, uint32_t handle)
{
    status_t status = registry_.add(host.id, host.credentials.uid, name, handle);
    if (status == kStatusOk) {
        // A host may idle, and is never closed to make room.
        host.anchored = true;
        hosts_[host.id] = &host;
    }
    reply(host, status);
}

void Server::reply(Peer& client, status_t status, uint32_t target, std::vector<uint8_t> payload)
{
    client.send(kManagerReply, uint32_t(status), target, std::move(payload));
}
