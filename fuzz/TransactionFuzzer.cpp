// The service host's side of a client connection: the bytes a client
// sends, received by a FrameReader in chunks of any size and cut into
// frames (code, flags, data), and every frame's data handed as a parcel
// to an echo service and to each sample service.
//
// Input: byte 0 picks the chunk sizes (see ChunkSizes); the rest is the
// byte stream.
#include "Frame.h"
#include "FuzzSupport.h"
#include "SampleServices.h"

#include <quellix/IBinder.h>
#include <quellix/LocalService.h>
#include <quellix/Parcel.h>

#include <algorithm>
#include <vector>

namespace {

// A service under test and what it must answer.
struct Target {
    sp<LocalService> service;
    bool echoes;           // replies with a copy of the data
    status_t status;       // an echo service's status
    status_t queryStatus;  // the interface-name query's status
};

std::vector<Target> makeTargets()
{
    std::vector<Target> targets;
    for (NamedService& s : sampleServices()) {
        bool echoes = s.name == String16("demo.echo");
        targets.push_back({s.service, echoes, kStatusOk, kStatusOk});
    }
    // An echo service with statuses of its own, as `--status` and
    // `--query-status` configure them.
    const status_t status = 7, queryStatus = kStatusUnknownTransaction;
    targets.push_back({sp<LocalService>(new EchoService(String16("fuzz.IEcho"), queryStatus, status)), true,
                       status, queryStatus});
    return targets;
}

void transact(const Target& target, const Frame& frame)
{
    Parcel data;
    data.setData(frame.payload.data(), frame.payload.size());
    Parcel reply;
    const auto code = uint32_t(frame.word);
    status_t status = target.service->transact(code, data, &reply, frame.arg, Credentials{1, 1000, 1000});

    if (code == kInterfaceNameQuery) {
        fuzzCheck(reply.readString16() == target.service->interfaceName() && reply.dataAvail() == 0,
                  "the interface-name query answers the interface name alone");
        fuzzCheck(status == target.queryStatus, "the query's status is the service's");
        return;
    }
    if (target.echoes) {
        fuzzCheck(status == target.status, "an echo service returns its status");
        fuzzCheck(reply.dataSize() == frame.payload.size() &&
                      std::equal(frame.payload.begin(), frame.payload.end(), reply.data()),
                  "an echo service replies with a copy of the data");
        return;
    }
    fuzzCheck(status == kStatusOk || status == kStatusBadParcel || status == kStatusUnknownTransaction,
              "a sample service returns ok, bad parcel or unknown transaction");
    fuzzCheck(status == kStatusOk || reply.dataSize() == 0, "a failed transaction has an empty reply");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize)
{
    static const std::vector<Target> targets = makeTargets();
    if (inputSize == 0)
        return 0;
    ChunkSizes chunks(input[0]);
    const uint8_t* stream = input + 1;
    const size_t size = inputSize - 1;

    FrameReader reader(kMaxParcelSize);
    for (size_t pos = 0; pos < size;) {
        size_t chunk = chunks.next(size - pos);
        sendThrough(reader, stream + pos, chunk);
        pos += chunk;
        Frame frame;
        FrameReader::Result result;
        while ((result = reader.next(&frame)) == FrameReader::Result::kFrame) {
            for (const Target& target : targets)
                transact(target, frame);
        }
        if (result == FrameReader::Result::kMalformed)
            break;
    }
    return 0;
}
