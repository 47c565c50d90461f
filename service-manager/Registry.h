// The registry of services by name: which host serves each name under
// which handle, and who may register. Pure bookkeeping, with no socket, no
// loop and no counts of connections: the server (Server.h) knows its
// connections by numbers, and so does the registry; how many names a
// connection or a uid may hold is the connection policy's (Peer.h).
#pragma once

#include <quellix/Status.h>
#include <quellix/String16.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

class Registry {
public:
    struct Entry {
        uint64_t host;   // the host's connection
        uint32_t handle; // the service's handle there
    };

    // `mayRegister` says which uid may register which name.
    explicit Registry(std::function<bool(uid_t, const String16&)> mayRegister) : mayRegister_(std::move(mayRegister)) {}

    // Connection `id` has gone, and with it every name it registered;
    // returns how many those were.
    size_t leave(uint64_t id);

    // Registers `name` for connection `host` of `uid`, which may hold
    // another name when `room` says so: kStatusOk, kStatusPermissionDenied,
    // kStatusBadValue (an invalid name), kStatusNoResources (no room) or
    // kStatusNameTaken.
    status_t add(uint64_t host, uid_t uid, const String16& name, uint32_t handle, bool room);
    // The service registered as `name`; null when there is none.
    const Entry* find(const String16& name) const;

    // One page of a listing, as a list reply's payload: the names after
    // `after` (from the first, when null) in order, as many as fit in
    // kMaxListPage bytes and at least one; *more says whether names follow.
    std::vector<uint8_t> page(const String16* after, bool* more) const;
    // Every registered name, in order.
    const std::map<String16, Entry>& services() const { return services_; }

private:
    using Services = std::map<String16, Entry>; // ordered by UTF-16 units

    std::function<bool(uid_t, const String16&)> mayRegister_;
    Services services_;
    std::unordered_map<uint64_t, std::vector<Services::iterator>> namesOf_; // by host
};
