#include "Registry.h"
#include "ManagerProtocol.h"

#include <quellix/Parcel.h>
#include <quellix/ServiceManager.h>

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

Registry::Registry(EventLoop& loop, Policy policy)
    : loop_(loop), policy_(std::move(policy)), ownUid_(geteuid())
{
}

bool Registry::admit(Connection& connection)
{
    const uid_t uid = connection.peer.uid;
    if (!privileged(uid)) {
        size_t& count = connectionsPerUid_[uid];
        if (count >= policy_.maxConnectionsPerUid)
            return false;
        ++count;
    }
    connection.id = ++lastId_;
    return true;
}

bool Registry::makeRoom(const Connection* keep)
{
    Connection* idle = loop_.longestIdle([&](Connection& c) { return &c != keep && !isHost(c); });
    if (idle)
        loop_.close(idle);
    return idle != nullptr;
}

bool Registry::onFrame(Connection& connection, Frame& frame)
{
    ManagerRequest request;
    if (decodeManagerRequest(frame, &request) != kStatusOk)
        return false;
    switch (request.operation) {
    case kManagerLookup:
        lookup(connection, request.name, request.arg == kLookupFresh);
        break;
    case kManagerList:
        list(connection, request.hasName ? &request.name : nullptr);
        break;
    case kManagerRegister:
        add(connection, request.name, request.arg);
        break;
    }
    return true;
}

void Registry::onClose(Connection& connection)
{
    // A descriptor is free again: accept again if we had stopped.
    loop_.pauseListener(false);
    auto perUid = connectionsPerUid_.find(connection.peer.uid);
    if (perUid != connectionsPerUid_.end() && --perUid->second == 0)
        connectionsPerUid_.erase(perUid);
    auto peer = peers_.find(&connection);
    if (peer == peers_.end())
        return;
    for (const String16& name : peer->second.names)
        services_.erase(name);
    peers_.erase(peer);
}

// A client holds at most one connection to each host: the first look-up
// that reaches a host makes a socket pair and hands one end to each side;
// later ones only name the host (by its connection's number, which is
// never reused) and the service's handle there.
void Registry::lookup(Connection& client, const String16& name, bool fresh)
{
    auto found = services_.find(name);
    if (found == services_.end())
        return reply(client, kStatusNameNotFound);
    Connection& host = *found->second.host;
    const uint32_t handle = found->second.handle;
    std::unordered_set<uint64_t>& reached = peers_[&client].reached;
    if (!fresh && reached.count(host.id))
        return reply(client, kStatusOk, handle, encodeHostId(host.id));

    int ends[2];
    int made;
    while ((made = socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends)) < 0 &&
           (errno == EMFILE || errno == ENFILE) && makeRoom(&client)) {
    }
    if (made < 0)
        return reply(client, kStatusNoResources);
    // The host must take its end now. If it cannot (its socket is full, or
    // the kernel takes no more descriptors in flight), this one look-up is
    // refused and the host keeps its names.
    switch (loop_.sendNow(&host, kManagerAttach, 0, 0, encodeAttach(client.id, client.peer), ends[0])) {
    case Connection::SendResult::kSent:
        break;
    case Connection::SendResult::kBusy:
        close(ends[0]);
        close(ends[1]);
        return reply(client, kStatusNoResources);
    case Connection::SendResult::kFailed: // the host is gone, and its names with it
        close(ends[0]);
        close(ends[1]);
        return reply(client, kStatusNameNotFound);
    }
    // Nothing else waits for the client: it sends one request at a time.
    // Without its end, the host's end goes too, and the host drops it.
    std::vector<uint8_t> hostId = encodeHostId(host.id);
    switch (loop_.sendNow(&client, kManagerReply, uint32_t(kStatusOk), handle, hostId, ends[1])) {
    case Connection::SendResult::kSent:
        reached.insert(host.id);
        return;
    case Connection::SendResult::kBusy:
        close(ends[1]);
        return reply(client, kStatusNoResources);
    case Connection::SendResult::kFailed:
        close(ends[1]);
        return;
    }
}

// One page: the names after `after` (from the first, when null), as many as
// fit in kMaxListPage bytes.
void Registry::list(Connection& client, const String16* after)
{
    const auto first = after ? services_.upper_bound(*after) : services_.begin();
    // The count goes first: find where the page ends, then write it.
    auto last = first;
    int32_t count = 0;
    for (size_t bytes = 0; last != services_.end(); ++last, ++count) {
        size_t size = 8 + 2 * last->first.size(); // at least what the name takes
        if (count > 0 && bytes + size > kMaxListPage)
            break;
        bytes += size;
    }
    Parcel page;
    page.writeInt32(count);
    for (auto it = first; it != last; ++it)
        page.writeString16(it->first);
    reply(client, kStatusOk, last != services_.end() ? 1 : 0, page.releaseData());
}

void Registry::add(Connection& host, const String16& name, uint32_t handle)
{
    const uid_t uid = host.peer.uid;
    if (!privileged(uid) && std::find(policy_.allowRegister.begin(), policy_.allowRegister.end(), uid) ==
                                policy_.allowRegister.end())
        return reply(host, kStatusPermissionDenied);
    if (!isValidServiceName(name))
        return reply(host, kStatusBadValue);
    if (!privileged(uid) && peers_[&host].names.size() >= policy_.maxNamesPerConnection)
        return reply(host, kStatusNoResources);
    if (!services_.try_emplace(name, Entry{&host, handle}).second)
        return reply(host, kStatusNameTaken);
    peers_[&host].names.push_back(name);
    reply(host, kStatusOk);
}

void Registry::reply(Connection& client, status_t status, uint32_t target, std::vector<uint8_t> payload)
{
    loop_.send(&client, kManagerReply, uint32_t(status), target, std::move(payload));
}
