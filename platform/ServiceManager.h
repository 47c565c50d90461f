// The client side of the service manager: look-up and listing of the
// services registered by name.
//
// The service manager listens on the abstract Unix socket kServiceManagerSocket
// of the caller's network namespace; a process in another namespace has a
// service manager of its own, or none.
#pragma once

#include "IBinder.h"
#include "RefBase.h"
#include "String16.h"
#include "Vector.h"

// The abstract socket name, without its leading NUL byte.
inline constexpr char kServiceManagerSocket[] = "quellix.service-manager";

// The longest name, in UTF-16 units, that the service manager registers.
inline constexpr size_t kMaxServiceNameUnits = 1024;

class ServiceManager : public RefBase {
public:
    // A fresh reference to the service registered under `name`, or null
    // when there is none (or the service manager cannot be reached).
    // Prints nothing.
    virtual sp<IBinder> lookupService(const String16& name) = 0;
    // The names of all registered services, sorted by their UTF-16 units.
    // Empty when the service manager cannot be reached.
    virtual Vector<String16> listServiceNames() = 0;
};

// A connection to this namespace's service manager, or null when nothing
// listens at the address.
sp<ServiceManager> defaultServiceManager();
