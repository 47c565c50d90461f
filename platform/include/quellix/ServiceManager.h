// The client side of the service manager: look-up and listing of the
// services registered by name (the address and the name rule are in
// Names.h).
//
// The service manager listens on the abstract Unix socket
// kServiceManagerSocket of the caller's network namespace; a process in
// another namespace has a service manager of its own, or none. Only a
// service manager run by root or by this process's effective uid counts;
// anyone else's at that address is treated as no service manager.
//
// Lifetime: references (sp<IBinder>) from lookupService stay valid after
// the ServiceManager that handed them out is released; each one keeps the
// connection to its host alive.
//
// Threading: a ServiceManager and the references it hands out may be used
// from several threads. Requests to the service manager go one at a time
// over its connection, and so do transactions to one host: a thread waits
// while another's transaction to the same host is in progress.
#pragma once

#include <quellix/IBinder.h>
#include <quellix/Names.h>
#include <quellix/RefBase.h>
#include <quellix/Status.h>
#include <quellix/String16.h>
#include <quellix/Vector.h>

class ServiceManager : public RefBase {
public:
    // A fresh reference to the service registered under `name`, or null
    // when there is none, the name is not valid, or the service manager
    // cannot be reached. Prints nothing. Open to every uid.
    virtual sp<IBinder> lookupService(const String16& name) = 0;
    // The names of all registered services, sorted by their UTF-16 units,
    // into *names: kStatusOk, or kStatusDeadObject when the service
    // manager cannot be reached or goes away part-way, and kStatusBadParcel
    // when it answers out of turn; *names is empty then. The names come in
    // pages, so a listing has no size ceiling. Open to every uid.
    virtual status_t listServiceNames(Vector<String16>* names) = 0;
    // As above, with a failed listing as an empty one.
    Vector<String16> listServiceNames()
    {
        Vector<String16> names;
        listServiceNames(&names);
        return names;
    }
};

// A new connection to this namespace's service manager, or null when
// nothing (or nobody acceptable) listens at the address. Each call makes
// a connection of its own: keep the one you get.
sp<ServiceManager> defaultServiceManager();
