#include "BenchPlatform.h"
#include "Samples.h"
#include "Socket.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

// Readiness of a host grows with its services (one registration each).
constexpr int64_t kReadyBaseNs = 30'000'000'000;
constexpr int64_t kReadyPerServiceNs = 1'000'000;

} // namespace

std::string BenchPlatform::serviceName(size_t index)
{
    char name[48];
    std::snprintf(name, sizeof name, "bench.service.%06zu", index);
    return name;
}

bool BenchPlatform::start(const std::string& binDir, size_t count, std::string* error)
{
    int probe = connectServiceManager();
    if (probe >= 0) {
        close(probe);
        *error = "a service manager already runs in this network namespace";
        return false;
    }
    if (!manager_.spawn({binDir + "/service-manager"}) ||
        !manager_.waitReady(nowNs() + kReadyBaseNs)) {
        *error = "service-manager did not get ready";
        return false;
    }
    for (size_t first = 0; first < count; first += kServicesPerHost) {
        std::vector<std::string> argv{binDir + "/service-host"};
        for (size_t i = first; i < count && i < first + kServicesPerHost; ++i) {
            argv.push_back("--service");
            argv.push_back(serviceName(i));
        }
        hosts_.emplace_back();
        if (!hosts_.back().spawn(argv)) {
            *error = "cannot start service-host";
            return false;
        }
    }
    // The hosts register in parallel; one deadline for all of them.
    int64_t deadline = nowNs() + kReadyBaseNs + int64_t(kServicesPerHost) * kReadyPerServiceNs;
    for (Daemon& host : hosts_) {
        if (!host.waitReady(deadline)) {
            *error = "service-host did not get ready";
            return false;
        }
    }
    return true;
}

void BenchPlatform::stop()
{
    for (Daemon& host : hosts_)
        host.stop();
    hosts_.clear();
    manager_.stop();
}

long BenchPlatform::managerPeakKiB() const { return peakResidentKiB(manager_.pid()); }

long peakResidentKiB(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", int(pid));
    FILE* file = std::fopen(path, "re");
    if (!file)
        return 0;
    long kib = 0;
    char line[256];
    while (std::fgets(line, sizeof line, file))
        if (std::strncmp(line, "VmHWM:", 6) == 0)
            kib = std::strtol(line + 6, nullptr, 10);
    std::fclose(file);
    return kib;
}
