// A reference to one service: a live connection to the process that hosts
// it, plus the service's handle there. References come from the service
// manager (ServiceManager.h); a process holds one connection per host,
// shared by all its references to services there.
//
// Lifetime: the connection closes when the last reference to any service
// on that host goes. When the host dies, every reference to it fails at
// once with kStatusDeadObject; look the name up again after the host has
// been restarted.
//
// Threading: a reference may be used from several threads; transactions
// to one host go one at a time, in turn.
#pragma once

#include <quellix/RefBase.h>
#include <quellix/Status.h>

#include <cstdint>

class Parcel;

// Every service answers this code with a reply whose first value is its
// interface name as a String16. The status is the service's own: 0 unless
// the service says otherwise (service-host's --query-status), and the
// reply holds the name either way. The four bytes are the ASCII codes of
// "_NTF", the first in the most significant byte.
inline constexpr uint32_t kInterfaceNameQuery = 0x5F4E5446;

class IBinder : public RefBase {
public:
    // Sends one transaction and waits for its reply, for as long as the
    // service takes. Returns the status the service's handler returned, or
    // a platform status when the transaction could not be made:
    // kStatusParcelTooLarge for a data parcel above kMaxParcelSize (nothing
    // is sent) or a reply above it, kStatusDeadObject when the hosting
    // process is gone (at once, without a signal), kStatusBadParcel when
    // the reply is malformed. On any failure of the transport `reply` is
    // left empty. `flags` reach the service as they are; the platform
    // defines none (pass 0).
    virtual status_t sendTransaction(uint32_t code, const Parcel& data, Parcel* reply,
                                     uint32_t flags) = 0;
};
