// The services a host runs: the configurable echo service, and the sample
// services of the demo.
#pragma once

#include <quellix/LocalService.h>

#include <utility>
#include <vector>

// Answers every transaction with a byte-for-byte copy of its data and a
// fixed status; answers the interface-name query with another.
class EchoService : public LocalService {
public:
    // `allowedUids`: only these callers are served (the others get status
    // kStatusPermissionDenied and an empty reply); empty: every caller.
    EchoService(String16 interfaceName, status_t queryStatus, status_t status,
                std::vector<uid_t> allowedUids = {})
        : LocalService(std::move(interfaceName)), queryStatus_(queryStatus), status_(status),
          allowedUids_(std::move(allowedUids))
    {
    }

protected:
    status_t interfaceQueryStatus() const override { return queryStatus_; }
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override;

private:
    status_t queryStatus_;
    status_t status_;
    std::vector<uid_t> allowedUids_;
};

struct NamedService {
    String16 name;
    sp<LocalService> service;
};

// demo.adder, demo.echo and demo.greeter.
std::vector<NamedService> sampleServices();
