#include "Server.h"

#include "Address.h"
#include "LogEscape.h"
#include "ManagerProtocol.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kAcceptsPerWake = 64;

} // namespace

Server::Server(EventLoop& loop, int listener, EventLog& log, Options options)
    : loop_(loop), peers_(loop, PeerSet::Side::kManager, options.limits, log, std::move(options.now)),
      allowRegister_(std::move(options.allowRegister)),
      registry_([this](uid_t uid, const String16& name) { return mayRegister(uid, name); }),
      listener_(listener)
{
}

int Server::start()
{
    loop_.setTick(std::chrono::seconds(1), [this] { tick(); });
    return loop_.add(listener_, EPOLLIN, this);
}

void Server::tick()
{
    peers_.expire();
    pauseListener(false);
}

void Server::ready(uint32_t)
{
    for (int i = 0; i < kAcceptsPerWake; ++i) {
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        // Out of descriptors (which accept says before it looks whether
        // anyone waits): the reserve makes room to take the newcomer and
        // see who it is. Without one, the listener is not watched until a
        // connection closes or the next tick, instead of waking us again
        // and again.
        if (fd < 0 && isExhaustion(errno))
            fd = int(peers_.withReserve([this] { return accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK); }));
        if (fd >= 0) {
            admit(fd);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (isExhaustion(errno))
            pauseListener(true);
        return;
    }
}

void Server::pauseListener(bool paused)
{
    if (paused != listenerPaused_ && loop_.modify(listener_, paused ? 0u : uint32_t(EPOLLIN), this) == 0)
        listenerPaused_ = paused;
}

// The peer set decides whether the newcomer stays.
void Server::admit(int fd)
{
    auto connection = std::make_unique<Connection>(fd, kMaxManagerRequest);
    Credentials credentials;
    if (peerCredentials(fd, &credentials))
        peers_.admit(std::move(connection), ++lastId_, credentials, Peer::Role::kClient, this);
}

bool Server::onFrame(Peer& peer, Frame& frame)
{
    ManagerRequest request;
    if (decodeManagerRequest(frame, &request) < 0) {
        if (errno != EPROTONOSUPPORT)
            return false;
        peers_.log().write(LogPriority::kWarning, peer.credentials.uid,
                           EventLog::key(peer.id, EventLog::Event::kProtocolVersion),
                           "pid %d, uid %u speaks protocol version %u; this manager speaks %u",
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
    if (size_t names = registry_.leave(peer.id))
        peers_.log().write(LogPriority::kInfo, peer.credentials.uid, EventLog::kNoKey,
                           "host pid %d, uid %u gone: %s dropped", int(peer.credentials.pid),
                           unsigned(peer.credentials.uid), counted(names, "name").c_str());
}

// Hosts that are gone are forgotten whenever the set reaches a power of
// two (from 64): a long-lived client's set stays about as large as the
// hosts it reached that live, at a cost of O(1) for each host reached.
void Server::remember(Peer& client, uint64_t host)
{
    std::unordered_set<uint64_t>& reached = client.reached();
    const size_t size = reached.size();
    if (size >= 64 && (size & (size - 1)) == 0)
        std::erase_if(reached, [this](uint64_t id) { return peers_.find(id) == nullptr; });
    reached.insert(host);
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
    if (!fresh && client.reached().count(found.host))
        return reply(client, kStatusOk, found.handle, encodeHostId(found.host));

    // A host's names go before it is released, so it is there.
    Peer& host = *peers_.find(found.host);
    const uid_t uid = client.credentials.uid;
    if (!peers_.mayHandOff(host, uid))
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
    peers_.handedOff(host, uid);
    // Nothing else waits for the client: it sends one request at a time.
    // Without its end, the host's end goes too, and the host drops it.
    if (client.sendNow(kManagerReply, uint32_t(kStatusOk), found.handle, encodeHostId(found.host), ends[1]) == 0) {
        remember(client, found.host);
        return;
    }
    close(ends[1]);
    if (client.isOpen())
        reply(client, kStatusNoResources);
}

// Out of descriptors, idle clients other than `client` make room.
bool Server::makePair(const Peer& client, int ends[2])
{
    return peers_.withRoom(client, [ends] { return refusingSocketPair(ends); }) == 0;
}

void Server::add(Peer& host, const String16& name, uint32_t handle)
{
    status_t status = registry_.add(host.id, host.credentials.uid, name, handle, peers_.mayHoldName(host));
    if (status == kStatusOk) {
        // A host may idle, and is never closed to make room.
        peers_.becomeHost(host);
        peers_.heldName(host);
        return reply(host, status);
    }
    // A taken name: who holds it, for the log and the refused host.
    Credentials holder;
    std::string heldBy;
    if (const Registry::Entry* entry = registry_.find(name); entry && status == kStatusNameTaken) {
        holder = peers_.find(entry->host)->credentials;
        heldBy = " (held by pid " + std::to_string(holder.pid) + ", uid " + std::to_string(holder.uid) + ")";
    }
    peers_.log().write(LogPriority::kWarning, host.credentials.uid,
                       EventLog::key(host.id, EventLog::Event::kRefusedName),
                       "refused to register '%s' for pid %d, uid %u: status %d%s", escapeForLog(name).c_str(),
                       int(host.credentials.pid), unsigned(host.credentials.uid), int(status), heldBy.c_str());
    reply(host, status, 0, status == kStatusNameTaken ? encodeHolder(holder) : std::vector<uint8_t>());
}

// The privileged uids, those of --allow-register, and the policy files'
// grants.
bool Server::mayRegister(uid_t uid, const String16& name) const
{
    return peers_.privileged(uid) ||
           std::find(allowRegister_.begin(), allowRegister_.end(), uid) != allowRegister_.end() ||
           grants_.allows(uid, name);
}

// Every line is written, not counted: an operator's reload makes them,
// and they are as many as the names at most.
void Server::setGrants(Grants grants)
{
    grants_ = std::move(grants);
    for (const auto& [name, entry] : registry_.services()) {
        const Peer* host = peers_.find(entry.host);
        if (host && !mayRegister(host->credentials.uid, name))
            peers_.log().writeOwn(LogPriority::kWarning,
                                  "'%s' of pid %d, uid %u stays registered until its host goes; the policy no "
                                  "longer grants it",
                                  escapeForLog(name).c_str(), int(host->credentials.pid),
                                  unsigned(host->credentials.uid));
    }
}

void Server::reply(Peer& client, status_t status, uint32_t target, std::vector<uint8_t> payload)
{
    client.send(kManagerReply, uint32_t(status), target, std::move(payload));
}
