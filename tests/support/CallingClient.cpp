#include "CallingClient.h"

#include <quellix/Parcel.h>
#include <quellix/ServiceManager.h>

#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace {

struct Counts {
    size_t calls = 0;
    size_t failed = 0;
};

// The child. Another client's children may hold copies of this one's
// channel, so it is stopped by a byte, not by an end of file.
int callUntilStopped(const std::vector<std::string>& names, int channel)
{
    std::vector<sp<IBinder>> services;
    if (sp<ServiceManager> manager = defaultServiceManager())
        for (const std::string& name : names)
            if (sp<IBinder> service = manager->lookupService(String16(name.c_str())))
                services.push_back(service);
    if (services.size() != names.size() || write(channel, "r", 1) != 1)
        return 1;
    Counts counts;
    for (int32_t round = 0;; ++round) {
        for (const sp<IBinder>& service : services) {
            Parcel data, reply;
            data.writeInt32(round);
            status_t status = service->sendTransaction(1, data, &reply, 0);
            ++counts.calls;
            counts.failed += status != kStatusOk || reply.dataSize() != data.dataSize() ||
                             std::memcmp(reply.data(), data.data(), data.dataSize()) != 0;
        }
        pollfd stop{channel, POLLIN, 0};
        if (poll(&stop, 1, 0) != 0)
            break;
    }
    return write(channel, &counts, sizeof counts) == ssize_t(sizeof counts) ? 0 : 1;
}

} // namespace

bool CallingClient::start(const std::vector<std::string>& names)
{
    return child_.start(geteuid(), [&names](int channel) { return callUntilStopped(names, channel); });
}

bool CallingClient::stop(size_t* calls, size_t* failed)
{
    Counts counts;
    const bool said = write(child_.channel(), "s", 1) == 1 && child_.receive(&counts, sizeof counts);
    child_.wait(said ? 10s : 0s);
    *calls = counts.calls;
    *failed = counts.failed;
    return said;
}
