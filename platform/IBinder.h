// A reference to one service: a live connection to the process that hosts
// it. References come from the service manager (ServiceManager.h).
#pragma once

#include "RefBase.h"
#include "Status.h"

#include <cstdint>

class Parcel;

// Every service answers this code with status 0 and a reply whose first
// value is its interface name as a String16. The four bytes are the ASCII
// codes of "_NTF", the first in the most significant byte.
inline constexpr uint32_t kInterfaceNameQuery = 0x5F4E5446;

class IBinder : public RefBase {
public:
    // Sends one transaction and waits for its reply. Returns the status the
    // service's handler returned, or a platform status when the transaction
    // could not be made: kStatusParcelTooLarge for a data parcel above
    // kMaxParcelSize (nothing is sent), kStatusDeadObject when the hosting
    // process is gone (at once, without a signal), kStatusBadParcel when the
    // reply is malformed. On any failure of the transport `reply` is left
    // empty.
    virtual status_t sendTransaction(uint32_t code, const Parcel& data, Parcel* reply,
                                     uint32_t flags) = 0;
};
