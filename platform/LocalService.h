// The service side: a service implemented in this process, and the host
// that registers services with the service manager and serves them.
#pragma once

#include "Credentials.h"
#include "IBinder.h"
#include "Parcel.h"
#include "RefBase.h"
#include "Status.h"
#include "String16.h"

#include <memory>

class LocalService : public RefBase {
public:
    explicit LocalService(String16 interfaceName) : interfaceName_(std::move(interfaceName)) {}

    const String16& interfaceName() const { return interfaceName_; }

    // Handles one transaction from `caller`. The interface-name query is
    // answered here for every service: the name goes into the reply and
    // the status is interfaceQueryStatus(). Every other code goes to
    // onTransact.
    status_t transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags,
                      const Credentials& caller);

    // The process that sent the transaction in progress, as the kernel
    // recorded it when that process connected to the service manager. Valid
    // during onTransact.
    const Credentials& caller() const { return caller_; }

protected:
    // The status returned for the interface-name query; 0 by default.
    virtual status_t interfaceQueryStatus() const { return kStatusOk; }
    // Handles every code but the interface-name query. `reply` is empty on
    // entry. The returned status travels back to the caller unchanged.
    virtual status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply,
                                uint32_t flags) = 0;

private:
    String16 interfaceName_;
    Credentials caller_;
};

// One process's registration with the service manager. Services are
// registered one by one, then serve() runs the event loop that answers
// their transactions.
class ServiceHost {
public:
    // Connects to the service manager; null when nothing listens, or when
    // the process that holds the address is neither root nor of our own
    // effective uid: then *holder (if given) says who it is (its pid is
    // not 0).
    static std::unique_ptr<ServiceHost> connect(Credentials* holder = nullptr);
    ~ServiceHost();

    // Registers `service` under `name`. kStatusBadValue for an empty name or
    // one above kMaxServiceNameUnits, kStatusNameTaken when a live host holds
    // the name, kStatusPermissionDenied when our uid may not register,
    // kStatusNoResources past the number of names our uid may hold,
    // kStatusDeadObject when the service manager is gone.
    status_t addService(const String16& name, const sp<LocalService>& service);

    // Serves transactions until SIGTERM or SIGINT arrives (returns
    // kStatusOk; the program must have blocked both signals, so that they
    // wait for the loop) or the service manager goes away
    // (kStatusDeadObject). Everything runs on the calling thread.
    // A client that sends a malformed message loses its connection, and so
    // does one that leaves half a frame unfinished for 10 seconds; no
    // client holds up another. Out of descriptors, the client that has
    // waited longest for a reply of ours is disconnected to make room.
    status_t serve();

    struct Impl;

private:
    explicit ServiceHost(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};
