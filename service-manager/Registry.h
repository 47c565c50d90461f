// The registry of services by name: answers look-ups, listings and
// registrations from the connections of one event loop.
#pragma once

#include "EventLoop.h"
#include "String16.h"

#include <map>
#include <unordered_map>
#include <vector>

class Registry : public ConnectionHandler {
public:
    explicit Registry(EventLoop& loop) : loop_(loop) {}

    bool onFrame(Connection& connection, Frame& frame) override;
    void onClose(Connection& connection) override;

    // Whether the connection has registered services (and so may idle).
    bool isHost(const Connection& connection) const
    {
        return hostNames_.count(&connection) != 0;
    }

private:
    struct Entry {
        Connection* host;
        uint32_t handle;
    };

    void lookup(Connection& client, const String16& name);
    void list(Connection& client);
    void add(Connection& host, const String16& name, uint32_t handle);
    void reply(Connection& client, status_t status, int passFd = -1);

    EventLoop& loop_;
    std::map<String16, Entry> services_; // ordered by UTF-16 units
    std::unordered_map<const Connection*, std::vector<String16>> hostNames_;
};
