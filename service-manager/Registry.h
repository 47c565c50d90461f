// The registry of services by name: answers look-ups, listings and
// registrations from the connections of one event loop.
#pragma once

#include "EventLoop.h"
#include "String16.h"

#include <map>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class Registry : public ConnectionHandler {
public:
    explicit Registry(EventLoop& loop) : loop_(loop) {}

    // Numbers a new connection; call before handing it to the loop.
    void admit(Connection& connection) { connection.id = ++lastId_; }
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

    EventLoop& loop_;
    uint64_t lastId_ = 0;
    std::map<String16, Entry> services_; // ordered by UTF-16 units
    std::unordered_map<const Connection*, Peer> peers_;
};
