#include "Server.h"

#include "Address.h"
#include "ManagerProtocol.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <linux/sockios.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kAcceptsPerWake = 64;

// At most this many of an unprivileged uid's hand-offs wait unread at one
// host, so that no uid fills a host's socket and shuts the others out.
constexpr size_t kUnreadHandOffsPerUid = 16;

// What a one-byte frame takes of a socket's send buffer until it is read.
size_t measureFrameCost()
{
    int ends[2], queued = 0;
    const uint8_t byte = 0;
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) < 0)
        return 0;
    if (send(ends[0], &byte, 1, MSG_NOSIGNAL) != 1 || ioctl(ends[0], SIOCOUTQ, &queued) < 0)
        queued = 0;
    close(ends[0]);
    close(ends[1]);
    return size_t(queued);
}

} // namespace

// The connection limit per uid is the registry's (a refusal, not an
// eviction); the peer set keeps the others.
Server::Server(EventLoop& loop, int listener, Policy policy)
    : loop_(loop), peers_(loop, PeerSet::Limits{.dropSilent = true, .peersPerUid = SIZE_MAX}),
      registry_(std::move(policy), geteuid()), listener_(listener), frameCost_(measureFrameCost())
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
            admit(fd, false);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (!isExhaustion(errno))
            return;
        // Out of descriptors (which accept says before it looks whether
        // anyone waits): the reserve makes room to take the newcomer and
        // see who it is. Without one, the listener is not watched until a
        // connection closes or the next tick, instead of waking us again
        // and again.
        if (!peers_.refillReserve())
            return pauseListener(true);
        peers_.spendReserve();
        fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0)
            admit(fd, true);
        peers_.refillReserve();
        if (fd < 0)
            return;
    }
}

void Server::pauseListener(bool paused)
{
    if (paused != listenerPaused_ && loop_.modify(listener_, paused ? 0u : uint32_t(EPOLLIN), this) == 0)
        listenerPaused_ = paused;
}

// Out of descriptors, a newcomer stays only when an idle connection of
// its own uid (or, for a privileged one, of any unprivileged uid) makes
// room for it.
void Server::admit(int fd, bool outOfDescriptors)
{
    auto connection = std::make_unique<Connection>(fd, kMaxManagerRequest);
    Credentials credentials;
    if (peerCredentials(fd, &credentials) && (!outOfDescriptors || peers_.makeRoom(credentials.uid)) &&
        registry_.admit(credentials.uid))
        peers_.adopt(std::move(connection), ++lastId_, credentials, 0, this);
}

bool Server::onFrame(Peer& peer, Frame& frame)
{
    ManagerRequest request;
    if (decodeManagerRequest(frame, &request) < 0) {
        if (errno != EPROTONOSUPPORT)
            return false;
        peers_.log().write("pid %d, uid %u speaks protocol version %u; this manager speaks %u",
                           int(peer.credentials.pid), unsigned(peer.credentials.uid), frame.target,
                           kManagerProtocolVersion);
        reply(peer, kStatusProtocolMismatch, kManagerProtocolVersion);
        return true;
    }
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
    if (size_t names = registry_.leave(peer.id, peer.credentials.uid))
        peers_.log().write("host pid %d, uid %u gone: %zu names dropped", int(peer.credentials.pid),
                           unsigned(peer.credentials.uid), names);
    hosts_.erase(peer.id);
    reached_.erase(peer.id);
    unread_.erase(peer.id);
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

    Peer& host = *hosts_.at(found.host);
    const uid_t uid = client.credentials.uid;
    Unread& unread = unreadAt(host);
    if (!peers_.privileged(uid) && unread.perUid[uid] >= kUnreadHandOffsPerUid)
        return reply(client, kStatusNoResources);
    int ends[2];
    if (!makePair(client, ends))
        return reply(client, kStatusNoResources);
    // The host must take its end now. If it cannot (its socket is full, or
    // the kernel takes no more descriptors in flight), this one look-up is
    // refused and the host keeps its names; if its socket failed, it is
    // gone, and its names with it.
    if (host.sendNow(kManagerAttach, 0, 0, encodeAttach(client.id, client.credentials), ends[0]) < 0) {
        const bool gone = !host.isOpen();
        close(ends[0]);
        close(ends[1]);
        return reply(client, gone ? kStatusNameNotFound : kStatusNoResources);
    }
    unread.uids.push_back(uid);
    ++unread.perUid[uid];
    // Nothing else waits for the client: it sends one request at a time.
    // Without its end, the host's end goes too, and the host drops it.
    if (client.sendNow(kManagerReply, uint32_t(kStatusOk), found.handle, encodeHostId(found.host), ends[1]) == 0) {
        reached.insert(found.host);
        return;
    }
    close(ends[1]);
    if (client.isOpen())
        reply(client, kStatusNoResources);
}

// The host has read every hand-off but the last ones its socket still
// holds, a frame each.
Server::Unread& Server::unreadAt(const Peer& host)
{
    Unread& unread = unread_[host.id];
    const size_t held = frameCost_ ? host.unreadBytes() / frameCost_ : 0;
    while (unread.uids.size() > held) {
        auto perUid = unread.perUid.find(unread.uids.front());
        if (--perUid->second == 0)
            unread.perUid.erase(perUid);
        unread.uids.pop_front();
    }
    return unread;
}

// Out of descriptors, idle clients other than `client` make room.
bool Server::makePair(const Peer& client, int ends[2])
{
    for (;;) {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0)
            return true;
        if (!isExhaustion(errno) || !peers_.makeRoom(client.credentials.uid, &client))
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
        return reply(host, status);
    }
    // A taken name: who holds it, for the log and the refused host.
    Credentials holder;
    std::string heldBy;
    if (const Registry::Entry* entry = registry_.find(name); entry && status == kStatusNameTaken) {
        holder = hosts_.at(entry->host)->credentials;
        heldBy = " (held by pid " + std::to_string(holder.pid) + ", uid " + std::to_string(holder.uid) + ")";
    }
    peers_.log().write("refused to register '%s' for pid %d, uid %u: status %d%s", printable(name).c_str(),
                       int(host.credentials.pid), unsigned(host.credentials.uid), int(status), heldBy.c_str());
    reply(host, status, 0, status == kStatusNameTaken ? encodeHolder(holder) : std::vector<uint8_t>());
}

void Server::reply(Peer& client, status_t status, uint32_t target, std::vector<uint8_t> payload)
{
    client.send(kManagerReply, uint32_t(status), target, std::move(payload));
}
