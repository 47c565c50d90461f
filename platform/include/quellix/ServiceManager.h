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
// A service manager that goes away (a restart, a crash) or drops our
// connection costs one request at most: a request that finds the
// connection broken before it is sent, or whose sending fails, connects
// again (to a service manager of root or our effective uid only, as
// defaultServiceManager does) and is asked once more there. A request that
// went out but got no answer is not sent again, since the service manager
// may have acted on it: it fails with kStatusDeadObject, and the next
// request connects again. References handed out before keep working for
// as long as their hosts serve them; what this object knew of hosts goes
// with the old connection.
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

#include <cstdint>

class ServiceManager : public RefBase {
public:
    // A fresh reference to the service registered under `name`, with
    // *status saying how the look-up went; null unless kStatusOk:
    //   kStatusOk                a reference to the service
    //   kStatusNameNotFound      no service has that name, or the name is
    //                            not valid (isValidServiceName)
    //   kStatusNoResources       the service manager could not make a
    //                            connection to the host, or the host takes
    //                            no more now; or we are out of descriptors
    //                            (the connection did not arrive)
    //   kStatusDeadObject        the service manager cannot be reached, or
    //                            went away before it answered
    //   kStatusBadParcel         the service manager answered out of turn
    //   kStatusProtocolMismatch  it speaks another version of the protocol
    //                            (see managerProtocolVersion())
    // or another failure of the service manager or the transport. Prints
    // nothing. Open to every uid.
    virtual sp<IBinder> lookupService(const String16& name, status_t* status) = 0;
    // As above, with every failure as null.
    sp<IBinder> lookupService(const String16& name)
    {
        status_t status;
        return lookupService(name, &status);
    }
    // The names of all registered services, sorted by their UTF-16 units,
    // into *names: kStatusOk, or kStatusDeadObject when the service
    // manager cannot be reached or goes away part-way, kStatusBadParcel
    // when it answers out of turn and kStatusProtocolMismatch as above;
    // *names is empty then. The names come in pages, so a listing has no
    // size ceiling; one that loses its service manager after the first
    // page fails rather than go on at another. Open to every uid.
    virtual status_t listServiceNames(Vector<String16>* names) = 0;
    // As above, with a failed listing as an empty one.
    Vector<String16> listServiceNames()
    {
        Vector<String16> names;
        listServiceNames(&names);
        return names;
    }
    // The protocol version that the service manager said it speaks the
    // last time it answered a request of ours with kStatusProtocolMismatch
    // (describeProtocolMismatch in ProtocolVersion.h words it); 0 while it
    // never has.
    virtual uint32_t managerProtocolVersion() const = 0;
};

// A new connection to this namespace's service manager, or null when
// nothing (or nobody acceptable) listens at the address. Each call makes
// a connection of its own: keep the one you get.
sp<ServiceManager> defaultServiceManager();
