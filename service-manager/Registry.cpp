#include "Registry.h"
#include "ManagerProtocol.h"
#include "Parcel.h"
#include "ServiceManager.h"

#include <sys/socket.h>
#include <unistd.h>

namespace {

// Well below the event loop's limit for a stalled peer.
constexpr size_t kMaxPendingHandOffs = 1024;

} // namespace

bool Registry::onFrame(Connection& connection, Frame& frame)
{
    ManagerRequest request;
    if (decodeManagerRequest(frame, &request) != kStatusOk)
        return false;
    switch (request.operation) {
    case kManagerLookup:
        lookup(connection, request.name);
        break;
    case kManagerList:
        list(connection);
        break;
    case kManagerRegister:
        add(connection, request.name, request.handle);
        break;
    }
    return true;
}

void Registry::onClose(Connection& connection)
{
    // A descriptor is free again: accept again if we had stopped.
    loop_.pauseListener(false);
    auto host = hostNames_.find(&connection);
    if (host == hostNames_.end())
        return;
    for (const String16& name : host->second)
        services_.erase(name);
    hostNames_.erase(host);
}

// A fresh connection pair: one end goes to the host, the other to the
// client, without waiting for the host.
void Registry::lookup(Connection& client, const String16& name)
{
    auto found = services_.find(name);
    if (found == services_.end())
        return reply(client, kStatusNameNotFound);
    Entry entry = found->second; // a failing send below drops the entry
    // A host that has not yet taken many hand-offs is busy, not dead: the
    // client is refused, rather than the host dropped for a queue that a
    // client could fill on purpose.
    if (entry.host->unsentFrames() >= kMaxPendingHandOffs)
        return reply(client, kStatusNoResources);
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) < 0)
        return reply(client, kStatusNoResources);
    if (!loop_.send(entry.host, kManagerAttach, entry.handle, nullptr, 0, ends[0])) {
        close(ends[1]);
        return reply(client, kStatusDeadObject);
    }
    reply(client, kStatusOk, ends[1]);
}

void Registry::list(Connection& client)
{
    Parcel names;
    names.writeInt32(int32_t(services_.size()));
    for (const auto& [name, entry] : services_)
        names.writeString16(name);
    loop_.send(&client, kManagerReply, uint32_t(kStatusOk), names.data(), names.dataSize());
}

void Registry::add(Connection& host, const String16& name, uint32_t handle)
{
    if (name.isEmpty() || name.size() > kMaxServiceNameUnits)
        return reply(host, kStatusBadValue);
    if (!services_.try_emplace(name, Entry{&host, handle}).second)
        return reply(host, kStatusNameTaken);
    hostNames_[&host].push_back(name);
    reply(host, kStatusOk);
}

void Registry::reply(Connection& client, status_t status, int passFd)
{
    loop_.send(&client, kManagerReply, uint32_t(status), nullptr, 0, passFd);
}
