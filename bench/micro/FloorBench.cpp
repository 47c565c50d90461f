// The floor the whole commands are compared with: one round trip over the
// platform's socket type between two processes, and the platform's own
// steps (connect, look-up, transaction) against the service-manager and
// service-host that bench/run.sh started in this network namespace.
#include <quellix/IBinder.h>
#include <quellix/Parcel.h>
#include <quellix/ServiceManager.h>

#include <benchmark/benchmark.h>

#include <csignal>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The first name bench/run.sh registers, an echo service.
const String16 kName("bench.s000000");

// About the size of a small transaction and its reply.
constexpr size_t kMessageSize = 40;

// A socketpair between this process and a forked child that echoes.
void BM_RoundTrip(benchmark::State& state)
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) < 0) {
        state.SkipWithError("socketpair failed");
        return;
    }
    pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(ends[0]);
        char buffer[kMessageSize];
        while (recv(ends[1], buffer, kMessageSize, MSG_WAITALL) == ssize_t(kMessageSize) &&
               send(ends[1], buffer, kMessageSize, MSG_NOSIGNAL) == ssize_t(kMessageSize)) {
        }
        _exit(0);
    }
    close(ends[1]);
    char buffer[kMessageSize] = {};
    for (auto _ : state) {
        if (child < 0 || send(ends[0], buffer, kMessageSize, MSG_NOSIGNAL) != ssize_t(kMessageSize) ||
            recv(ends[0], buffer, kMessageSize, MSG_WAITALL) != ssize_t(kMessageSize)) {
            state.SkipWithError("the echoing child went away");
            break;
        }
    }
    close(ends[0]);
    if (child > 0)
        waitpid(child, nullptr, 0);
}
BENCHMARK(BM_RoundTrip);

void BM_Connect(benchmark::State& state)
{
    for (auto _ : state) {
        if (defaultServiceManager() == nullptr) {
            state.SkipWithError("no service manager");
            break;
        }
    }
}
BENCHMARK(BM_Connect);

// Every so often an untimed query on the new reference lets the host catch
// up with the connections the look-ups handed it, so that it never has too
// many waiting.
constexpr int64_t kLookupsPerSync = 64;

void BM_LookUp(benchmark::State& state)
{
    sp<ServiceManager> manager = defaultServiceManager();
    Parcel query;
    int64_t count = 0;
    for (auto _ : state) {
        sp<IBinder> binder = manager == nullptr ? nullptr : manager->lookupService(kName);
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

// The transaction of `quellix call NAME 1 i32 7 s16 hello`.
void BM_Transaction(benchmark::State& state)
{
    sp<ServiceManager> manager = defaultServiceManager();
    sp<IBinder> binder = manager == nullptr ? nullptr : manager->lookupService(kName);
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
