#include "Commands.h"
#include "BenchPlatform.h"
#include "Floor.h"
#include "Parcel.h"
#include "ServiceManager.h"
#include "Spawn.h"
#include "TextOutput.h"

#include <algorithm>
#include <vector>

namespace {

// Look-ups spread over this many names, so that they do not all hit one
// entry.
constexpr size_t kLookupNames = 64;
// Look-ups hand the host a client each, faster than a host on a busy
// machine takes them; the service manager drops a host that falls too far
// behind. Every so often an untimed query on the new reference waits until
// the host has taken every client before it.
constexpr size_t kLookupsPerSync = 64;

class StringOutput final : public TextOutput {
public:
    void print(const char* bytes, size_t length) override { text.append(bytes, length); }
    void flush() override {}
    std::string text;
};

// What `quellix call NAME 1 i32 7 s16 hello` prints for an echo service.
std::string expectedCall()
{
    Parcel data;
    data.writeInterfaceToken(String16("test.IEcho"));
    data.writeInt32(7);
    data.writeString16(String16("hello"));
    StringOutput out;
    data.print(out);
    return "Result: " + out.text + "\n";
}

std::string expectedList(size_t services)
{
    std::string text = "Found " + std::to_string(services) + " services:\n";
    for (size_t i = 0; i < services; ++i)
        text += std::to_string(i) + "\t" + BenchPlatform::serviceName(i) + ": [test.IEcho]\n";
    return text;
}

bool verify(const std::vector<std::string>& argv, const std::string& expected, std::string* error)
{
    std::string out;
    RunResult result;
    if (!runCaptured(argv, &out, &result) || result.exitStatus != 0 || out != expected) {
        *error = "quellix " + argv[1] + " did not print what it should (exit status " +
                 std::to_string(result.exitStatus) + ", " + std::to_string(out.size()) +
                 " bytes of output)";
        return false;
    }
    return true;
}

bool timedRun(Spawner& spawner, const std::vector<std::string>& argv, Samples* samples,
              long* peakKiB, std::string* error)
{
    RunResult result;
    if (!spawner.run(argv, &result) || result.exitStatus != 0) {
        *error = argv[0] + " " + (argv.size() > 1 ? argv[1] : "") + " failed (exit status " +
                 std::to_string(result.exitStatus) + ")";
        return false;
    }
    samples->add(double(result.ns));
    *peakKiB = std::max(*peakKiB, result.maxRssKiB);
    return true;
}

bool measureInProcess(const BenchOptions& options, size_t services, SizeResult* out,
                      std::string* error)
{
    sp<ServiceManager> manager = defaultServiceManager();
    if (manager == nullptr) {
        *error = "no service manager for the in-process measurements";
        return false;
    }
    // All of them in the first host, so that what varies with N is the
    // number of names the service manager holds, not the hosts woken.
    const size_t spread = std::min(services, BenchPlatform::kServicesPerHost);
    std::vector<String16> names;
    for (size_t i = 0; i < kLookupNames; ++i)
        names.emplace_back(BenchPlatform::serviceName(i * spread / kLookupNames).c_str());
    // The query first: the host is still busy with the look-ups' clients
    // for a while after them.
    sp<IBinder> binder = manager->lookupService(names[0]);
    if (binder == nullptr) {
        *error = "lookupService failed";
        return false;
    }
    Parcel query;
    for (size_t i = 0; i < options.ops; ++i) {
        Parcel reply;
        int64_t start = nowNs();
        status_t status = binder->sendTransaction(kInterfaceNameQuery, query, &reply, 0);
        int64_t end = nowNs();
        if (status != kStatusOk) {
            *error = "the interface-name query failed with status " + std::to_string(status);
            return false;
        }
        out->transaction.add(double(end - start));
    }
    binder.clear();
    for (size_t i = 0; i < options.ops; ++i) {
        int64_t start = nowNs();
        sp<IBinder> found = manager->lookupService(names[i % names.size()]);
        int64_t end = nowNs();
        if (found == nullptr) {
            *error = "lookupService failed";
            return false;
        }
        out->lookup.add(double(end - start));
        Parcel reply;
        if (i % kLookupsPerSync == 0 &&
            found->sendTransaction(kInterfaceNameQuery, query, &reply, 0) != kStatusOk) {
            *error = "the host of the looked-up service did not answer";
            return false;
        }
    }
    return true;
}

} // namespace

size_t listRuns(size_t reps, size_t services)
{
    return std::max<size_t>(3, std::min(reps, 100000 / std::max<size_t>(services, 1)));
}

bool measureSize(const BenchOptions& options, Spawner& spawner, size_t services,
                 SizeResult* out, std::string* error)
{
    out->services = services;
    BenchPlatform platform;
    if (!platform.start(options.binDir, services, error))
        return false;

    const std::string quellix = options.binDir + "/quellix";
    const std::string name = BenchPlatform::serviceName(services / 2);
    const std::vector<std::string> check{quellix, "check", name};
    const std::vector<std::string> call{quellix, "call", name, "1", "i32", "7", "s16", "hello"};
    const std::vector<std::string> list{quellix, "list"};
    const std::vector<std::string> floor{options.binDir + "/bench-true"};

    if (!verify(check, "Service " + name + ": found\n", error) ||
        !verify(call, expectedCall(), error) || !verify(list, expectedList(services), error))
        return false;
    // Half of the floor's operations now, the rest in slices between the
    // runs of list, which take long enough to see the load change.
    const size_t runs = listRuns(options.reps, services);
    const size_t slice = std::max<size_t>(1, options.ops / 2 / runs);
    auto measureFloor = [&](size_t ops) {
        return measureRoundTrip(ops, &out->floorRoundTrip, error) &&
               measureLookup(ops, &out->floorLookup, error);
    };
    const size_t first = options.ops > slice * runs ? options.ops - slice * runs : 1;
    if (!measureFloor(first) || !measureInProcess(options, services, out, error))
        return false;

    long floorKiB = 0;
    for (size_t r = 0; r < options.reps; ++r) {
        if (!timedRun(spawner, floor, &out->floorExec, &floorKiB, error) ||
            !timedRun(spawner, check, &out->check, &out->checkRssKiB, error) ||
            !timedRun(spawner, call, &out->call, &out->callRssKiB, error))
            return false;
    }
    for (size_t r = 0; r < runs; ++r)
        if (!measureFloor(slice) || !timedRun(spawner, list, &out->list, &out->listRssKiB, error))
            return false;

    out->managerKiB = platform.managerPeakKiB();
    platform.stop();
    return true;
}
