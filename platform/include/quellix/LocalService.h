// A service implemented in this process: derive from LocalService, give it
// an interface name, and answer transactions in onTransact. A ServiceHost
// (ServiceHost.h) registers it by name and serves it.
//
// Lifetime: a service is reference counted (RefBase.h); make it with
// make<T>(...) and hand the sp to ServiceHost::addService, which keeps a
// reference for as long as the host lives.
//
// Threading: the host calls transact(), and so onTransact, on the thread
// that runs ServiceHost::serve(), one transaction at a time.
#pragma once

#include <quellix/Credentials.h>
#include <quellix/IBinder.h>
#include <quellix/Parcel.h>
#include <quellix/RefBase.h>
#include <quellix/Status.h>
#include <quellix/String16.h>

#include <cstdint>
#include <utility>

class LocalService : public RefBase {
public:
    // `interfaceName` is what the service reports to the interface-name
    // query (kInterfaceNameQuery, IBinder.h): `quellix list` shows it beside
    // the registered name. It may be empty.
    explicit LocalService(String16 interfaceName) : interfaceName_(std::move(interfaceName)) {}

    const String16& interfaceName() const { return interfaceName_; }

    // Handles one transaction from `caller`. The interface-name query is
    // answered here for every service: the name goes into the reply and
    // the status is interfaceQueryStatus(). Every other code goes to
    // onTransact. The host calls this; a test may too.
    status_t transact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags,
                      const Credentials& caller);

    // Who sent the transaction in progress: pid, uid and gid as the kernel
    // recorded them when that process connected to the service manager
    // (SO_PEERCRED), passed on by the service manager; a client cannot
    // choose them. Valid during onTransact. Look-ups and calls are open to
    // every uid, so a service that serves only some users checks the uid
    // here and returns kStatusPermissionDenied to the others.
    const Credentials& caller() const { return caller_; }

protected:
    // The status returned for the interface-name query; 0 by default.
    virtual status_t interfaceQueryStatus() const { return kStatusOk; }
    // Handles every code but the interface-name query. `data` is read from
    // its start (Parcel.h); `reply` is empty on entry, and what is written
    // to it goes back to the caller, up to kMaxParcelSize (a larger reply
    // reaches the caller as kStatusParcelTooLarge with an empty reply).
    // The returned status travels back to the caller unchanged, whatever
    // its value: kStatusOk for success, kStatusUnknownTransaction for a
    // code the service does not know, kStatusBadParcel for data it cannot
    // read (the status of the failed read), or a status of the service's
    // own. Runs on the host's thread; while it runs, every other client of
    // the host waits.
    virtual status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply,
                                uint32_t flags) = 0;

private:
    String16 interfaceName_;
    Credentials caller_;
};
