// One transaction and one look-up over the real transport, from this
// process to a service-host through the service-manager's reference.
#include "TransportBench.h"
#include "BenchPlatform.h"
#include "Parcel.h"
#include "ServiceManager.h"
#include "Spawn.h"

#include <benchmark/benchmark.h>

namespace {

BenchPlatform gPlatform;

// Look-ups hand the host a client each, faster than a host on a busy
// machine takes them; the service manager drops a host that falls too far
// behind. Every so often an untimed query on the new reference waits until
// the host has taken every client before it.
constexpr int64_t kLookupsPerSync = 64;

void BM_LookUp(benchmark::State& state)
{
    sp<ServiceManager> manager = defaultServiceManager();
    String16 name(BenchPlatform::serviceName(0).c_str());
    Parcel query;
    int64_t count = 0;
    for (auto _ : state) {
        sp<IBinder> binder = manager == nullptr ? nullptr : manager->lookupService(name);
        if (binder == nullptr) {
            state.SkipWithError("lookupService failed");
            break;
        }
        if (++count % kLookupsPerSync == 0) {
            state.PauseTiming();
            Parcel reply;
            bool answered = binder->sendTransaction(kInterfaceNameQuery, query, &reply, 0) == kStatusOk;
            state.ResumeTiming();
            if (!answered) {
                state.SkipWithError("the host did not answer");
                break;
            }
        }
    }
}
BENCHMARK(BM_LookUp);

// The call `quellix call NAME 1 i32 7 s16 hello` makes, to an echo
// service that sends the data back.
void BM_Transaction(benchmark::State& state)
{
    sp<ServiceManager> manager = defaultServiceManager();
    sp<IBinder> binder =
        manager == nullptr ? nullptr : manager->lookupService(String16(BenchPlatform::serviceName(0).c_str()));
    Parcel data;
    data.writeInterfaceToken(String16("test.IEcho"));
    data.writeInt32(7);
    data.writeString16(String16("hello"));
    for (auto _ : state) {
        Parcel reply;
        if (binder == nullptr || binder->sendTransaction(1, data, &reply, 0) != kStatusOk) {
            state.SkipWithError("the transaction failed");
            break;
        }
        benchmark::DoNotOptimize(reply.data());
    }
}
BENCHMARK(BM_Transaction);

} // namespace

bool startTransport(std::string* error) { return gPlatform.start(ownDirectory(), 1, error); }

void stopTransport() { gPlatform.stop(); }
