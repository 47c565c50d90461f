// Status values returned by the platform's operations and carried back
// from services. A service's handler may return any status_t: the
// platform passes it to the caller unchanged, so a service may define
// statuses of its own (pick values apart from the ones below).
#pragma once

#include <cstdint>

using status_t = int32_t;

// 0 is success; every failure is a negative errno-style value, so that a
// status printed in decimal is recognisable and never collides with 0.
enum : status_t {
    kStatusOk = 0,
    kStatusPermissionDenied = -1,    // the caller's uid may not do this
    kStatusNameNotFound = -2,        // no service of that name
    kStatusNameTaken = -17,          // the name is registered by a live host
    kStatusBadValue = -22,           // an argument the operation refuses
    kStatusDeadObject = -32,         // the peer process is gone
    kStatusUnknownTransaction = -38, // the service does not know the code
    kStatusNoResources = -24,        // out of file descriptors or similar
    kStatusBadParcel = -74,          // truncated or malformed parcel data
    kStatusParcelTooLarge = -90,     // a parcel above kMaxParcelSize
    kStatusProtocolMismatch = -93,   // the service manager speaks another version
    kStatusServiceFailed = -121,     // the service's handler threw an exception
};
