// The registry of services by name: answers look-ups, listings and
// registrations from the connections of one event loop.
#pragma once

#include "EventLoop.h"

#include <quellix/String16.h>

#include <map>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// Who may do what. Root and the uid the service manager runs as are
// privileged: they may always register, and no cap applies to them.
struct Policy {
    std::vector<uid_t> allowRegister; // may register too
    size_t maxConnectionsPerUid = 256;
    size_t maxNamesPerConnection = 1000;
};

class Registry : public ConnectionHandler {
public:
    Registry(EventLoop& loop, Policy policy);

    // Numbers a new connection, whose peer credentials are set; false when
    // its uid holds as many connections as it may (the caller closes it).
    bool admit(Connection& connection);
    // Out of descriptors: closes the connection that has waited longest
    // for a frame among those that are neither hosts, nor in the middle of
    // a request, nor `keep`. False when there is none.
    bool makeRoom(const Connection* keep = nullptr);
    bool onFrame(Connection& connection, Frame& frame) override;
    void onClose(Connection& connection) override;

    // Whether the connection has registered services (and so may idle).
    bool isHost(const Connection& connection) const
    {
        auto peer = peers_.find(&connection);
        return peer != peers_.end() && !peer->second.names.empty();
    }

private:
    struct Entry {
        Connection* host;
        uint32_t handle;
    };
    // What the registry knows of a connection beyond the loop's own.
    struct Peer {
        std::vector<String16> names;         // as a host
        std::unordered_set<uint64_t> reached; // hosts it holds a connection to
    };

    void lookup(Connection& client, const String16& name, bool fresh);
    void list(Connection& client, const String16* after);
    void add(Connection& host, const String16& name, uint32_t handle);
    void reply(Connection& client, status_t status, uint32_t target = 0, std::vector<uint8_t> payload = {});

    bool privileged(uid_t uid) const { return uid == 0 || uid == ownUid_; }

    EventLoop& loop_;
    Policy policy_;
    uid_t ownUid_;
    uint64_t lastId_ = 0;
    std::unordered_map<uid_t, size_t> connectionsPerUid_;
    std::map<String16, Entry> services_; // ordered by UTF-16 units
    std::unordered_map<const Connection*, Peer> peers_;
};
