// counter: a service that keeps one counter per user. Code 1 adds its i32
// argument (behind the interface token) to the calling user's counter and
// replies with the new value as an i32. Registered as "example.counter"; runs until SIGTERM or SIGINT.
#include <quellix/LocalService.h>
#include <quellix/Parcel.h>
#include <quellix/ServiceHost.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>

class Counter : public LocalService {
public:
    Counter() : LocalService(String16("example.ICounter")) {}

protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t /*flags*/) override
    {
        if (code != 1)
            return kStatusUnknownTransaction;
        // A call starts with the interface token (quellix writes it first).
        String16 token;
        int32_t amount;
        if (data.readString16(&token) != kStatusOk || token != interfaceName() ||
            data.readInt32(&amount) != kStatusOk)
            return kStatusBadParcel;
        // Runs on the host's one thread: the map needs no lock.
        int32_t& count = counts_[caller().uid];
        int64_t sum = int64_t(count) + amount;
        if (sum < INT32_MIN || sum > INT32_MAX)
            return kStatusBadValue;
        count = int32_t(sum);
        reply->writeInt32(count);
        return kStatusOk;
    }

private:
    std::map<uid_t, int32_t> counts_;
};

int main()
{
    // Blocked, SIGTERM and SIGINT make serve() return instead of ending us.
    sigset_t stop = ServiceHost::stopSignals();
    if (sigprocmask(SIG_BLOCK, &stop, nullptr) != 0) {
        std::perror("counter: sigprocmask");
        return 1;
    }
    std::unique_ptr<ServiceHost> host = ServiceHost::connect();
    if (!host) {
        std::fprintf(stderr, "counter: no service manager is running\n");
        return 1;
    }
    if (status_t status = host->addService(String16("example.counter"), make<Counter>()); status != kStatusOk) {
        std::fprintf(stderr, "counter: cannot register example.counter: status %d\n", int(status));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return host->serve() == kStatusOk ? 0 : 1;
}
