// The service manager's side of a client connection: the bytes a client
// sends, received by a FrameReader in chunks of any size, and every
// frame decoded as a request (and, since the same payloads come back in
// list replies, as a name list).
//
// Input: byte 0 picks the chunk sizes (see ChunkSizes); the rest is the
// byte stream.
#include "Frame.h"
#include "FuzzSupport.h"
#include "ManagerProtocol.h"

#include <quellix/Parcel.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace {

// Takes every complete frame; returns what next() said last.
FrameReader::Result drain(FrameReader& reader, std::vector<Frame>* frames)
{
    for (;;) {
        Frame frame;
        FrameReader::Result result = reader.next(&frame);
        if (result != FrameReader::Result::kFrame)
            return result;
        frames->push_back(std::move(frame));
    }
}

bool sameFrames(const std::vector<Frame>& a, const std::vector<Frame>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].word != b[i].word || a[i].arg != b[i].arg || a[i].target != b[i].target ||
            a[i].payload != b[i].payload)
            return false;
    }
    return true;
}

void checkRequest(const Frame& frame)
{
    // The decoder takes the payload over; it gets a copy.
    Frame copy;
    copy.word = frame.word;
    copy.arg = frame.arg;
    copy.target = frame.target;
    copy.payload = frame.payload;
    ManagerRequest request;
    int result = decodeManagerRequest(copy, &request);
    fuzzCheck(result == 0 || errno == EBADMSG || errno == EPROTONOSUPPORT,
              "a request decodes, is malformed or of another version");
    if (result != 0)
        return;
    fuzzCheck(request.operation == frame.word && request.arg == frame.arg,
              "a request keeps its operation and argument");
    fuzzCheck(request.operation == kManagerLookup || request.operation == kManagerRegister ||
                  request.operation == kManagerList,
              "only known operations decode");
    fuzzCheck(request.hasName || request.operation == kManagerList, "only a listing may start without a name");
    fuzzCheck(encodeName(request.name, request.hasName).size() == frame.payload.size(),
              "a decoded name takes the whole payload");
}

void checkNameList(const Frame& frame)
{
    Vector<String16> names;
    if (decodeNameList(frame.payload, &names) < 0)
        return;
    // What decodes is what the service manager would have sent (an absent
    // name reads as an empty one, so the sizes may differ): encoded again,
    // it decodes to the same names.
    Parcel again;
    again.writeInt32(int32_t(names.size()));
    for (const String16& name : names)
        again.writeString16(name);
    Vector<String16> decoded;
    fuzzCheck(decodeNameList(again.releaseData(), &decoded) == 0 &&
                  decoded.size() == names.size() && std::equal(names.begin(), names.end(), decoded.begin()),
              "an encoded name list decodes to its names");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize)
{
    if (inputSize == 0)
        return 0;
    ChunkSizes chunks(input[0]);
    const uint8_t* stream = input + 1;
    const size_t size = inputSize - 1;

    // The frames must not depend on how the stream arrives: all at once, or
    // through a socket in chunks.
    FrameReader whole(kMaxManagerRequest);
    whole.append(stream, size);
    std::vector<Frame> expected;
    FrameReader::Result expectedEnd = drain(whole, &expected);

    FrameReader reader(kMaxManagerRequest);
    std::vector<Frame> frames;
    FrameReader::Result end = drain(reader, &frames);
    for (size_t pos = 0; pos < size && end != FrameReader::Result::kMalformed;) {
        size_t chunk = chunks.next(size - pos);
        sendThrough(reader, stream + pos, chunk);
        pos += chunk;
        end = drain(reader, &frames);
    }
    fuzzCheck(end == expectedEnd && sameFrames(frames, expected), "frames do not depend on chunking");

    for (const Frame& frame : frames) {
        fuzzCheck(frame.payload.size() <= kMaxManagerRequest, "no frame exceeds the limit");
        checkRequest(frame);
        checkNameList(frame);
    }
    return 0;
}
