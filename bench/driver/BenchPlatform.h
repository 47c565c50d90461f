// A private platform for the benchmarks: the real service-manager and as
// many service-host processes as `count` echo services need.
#pragma once

#include "Spawn.h"

#include <cstddef>
#include <string>
#include <vector>

class BenchPlatform {
public:
    // A host takes this many services, which keeps its command line far
    // below ARG_MAX.
    static constexpr size_t kServicesPerHost = 10000;

    // The name of service `index`: zero-padded, so that the service
    // manager's order is the order of the indices.
    static std::string serviceName(size_t index);

    // Starts a service manager and hosts serving services 0 to count - 1
    // from `binDir`, and waits until all of them are ready. Refuses to
    // start when a service manager already runs in this namespace.
    bool start(const std::string& binDir, size_t count, std::string* error);
    void stop();
    // The service manager's peak resident memory so far (VmHWM), in KiB;
    // 0 when it cannot be read.
    long managerPeakKiB() const;

private:
    Daemon manager_;
    std::vector<Daemon> hosts_;
};

// VmHWM of a running process, in KiB; 0 when it cannot be read.
long peakResidentKiB(pid_t pid);
