// The registry of services by name: which host serves each name under
// which handle, who may register, and how much a uid may hold. Pure
// bookkeeping, with no socket and no loop: the server (Server.h) knows
// its connections by numbers, and so does the registry.
#pragma once

#include "Grants.h"

#include <quellix/Status.h>
#include <quellix/String16.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

// Who may do what. Root and the uid the service manager runs as are
// privileged: they may always register, and no cap applies to them.
// The policy files' grants (Registry::setGrants) add to allowRegister.
struct Policy {
    std::vector<uid_t> allowRegister; // may register too
    size_t maxConnectionsPerUid = 256;
    size_t maxNamesPerConnection = 1000;
    size_t maxNamesPerUid = 1000; // over all its connections
};

class Registry {
public:
    struct Entry {
        uint64_t host;   // the host's connection
        uint32_t handle; // the service's handle there
    };

    Registry(Policy policy, uid_t ownUid) : policy_(std::move(policy)), ownUid_(ownUid) {}

    // Counts a new connection of `uid`; false when that uid holds as many
    // as it may (the connection is then refused).
    bool admit(uid_t uid);
    // Connection `id` of `uid` has gone, and with it every name it
    // registered; returns how many those were.
    size_t leave(uint64_t id, uid_t uid);

    // Registers `name` for connection `host` of `uid`: kStatusOk,
    // kStatusPermissionDenied, kStatusBadValue (an invalid name),
    // kStatusNoResources (past a cap) or kStatusNameTaken.
    status_t add(uint64_t host, uid_t uid, const String16& name, uint32_t handle);
    // The service registered as `name`; null when there is none.
    const Entry* find(const String16& name) const;

    // Replaces the grants of the policy files. Names registered already
    // stay, granted or not.
    void setGrants(Grants grants) { grants_ = std::move(grants); }
    // Whether `uid` may register `name` now.
    bool mayRegister(uid_t uid, const String16& name) const;
    // Every registered name, in order.
    const std::map<String16, Entry>& services() const { return services_; }

    // One page of a listing, as a list reply's payload: the names after
    // `after` (from the first, when null) in order, as many as fit in
    // kMaxListPage bytes and at least one; *more says whether names follow.
    std::vector<uint8_t> page(const String16* after, bool* more) const;

private:
    using Services = std::map<String16, Entry>; // ordered by UTF-16 units

    bool privileged(uid_t uid) const { return uid == 0 || uid == ownUid_; }

    Policy policy_;
    Grants grants_;
    uid_t ownUid_;
    Services services_;
    std::unordered_map<uint64_t, std::vector<Services::iterator>> namesOf_; // by host
    std::unordered_map<uid_t, size_t> connectionsOf_;
    std::unordered_map<uid_t, size_t> namesOfUid_;
};
