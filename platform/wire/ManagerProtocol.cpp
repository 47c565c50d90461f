#include "ManagerProtocol.h"

#include "ByteOrder.h"

#include <quellix/Parcel.h>
#include <quellix/ProtocolVersion.h>

#include <string>

namespace {

// Whether the payload holds the absent string alone.
bool isAbsentName(const std::vector<uint8_t>& payload)
{
    return payload.size() == 4 && getLittle32(payload.data()) == 0xFFFFFFFFu;
}

// Fixed-size values (host numbers, attach frames): little-endian 32-bit
// words, a 64-bit number as its low word first.
void putUint64(uint8_t* out, uint64_t value)
{
    putLittle32(out, uint32_t(value));
    putLittle32(out + 4, uint32_t(value >> 32));
}

uint64_t getUint64(const uint8_t* in) { return getLittle32(in) | uint64_t(getLittle32(in + 4)) << 32; }

// 0 when every read of `parcel` succeeded and took it all.
int wholly(const Parcel& parcel)
{
    return parcel.readStatus() == kStatusOk && parcel.dataAvail() == 0 ? 0 : failWith(EBADMSG);
}

} // namespace

String8 describeProtocolMismatch(uint32_t managerVersion)
{
    const std::string line = "quellix platform: the service manager speaks protocol version " +
                             std::to_string(managerVersion) + ", this program " +
                             std::to_string(kManagerProtocolVersion);
    return String8(line.c_str());
}

int decodeManagerRequest(Frame& frame, ManagerRequest* request)
{
    request->operation = frame.word;
    request->arg = frame.arg;
    request->name = String16();
    request->hasName = false;
    if (frame.target != kManagerProtocolVersion)
        return failWith(EPROTONOSUPPORT);
    switch (frame.word) {
    case kManagerList:
        if (frame.arg != 0)
            return failWith(EBADMSG);
        // The absent string: where a listing starts.
        if (isAbsentName(frame.payload))
            return 0;
        break;
    case kManagerLookup:
        if (frame.arg != 0 && frame.arg != kLookupFresh)
            return failWith(EBADMSG);
        break;
    case kManagerRegister:
        break;
    default:
        return failWith(EBADMSG);
    }
    if (isAbsentName(frame.payload))
        return failWith(EBADMSG);
    Parcel parcel;
    parcel.adoptData(std::move(frame.payload));
    parcel.readString16(&request->name);
    request->hasName = true;
    return wholly(parcel);
}

std::vector<uint8_t> encodeName(const String16& name, bool present)
{
    Parcel parcel;
    if (present)
        parcel.writeString16(name);
    else
        parcel.writeInt32(-1);
    return parcel.releaseData();
}

std::vector<uint8_t> encodeHostId(uint64_t id)
{
    std::vector<uint8_t> payload(8);
    putUint64(payload.data(), id);
    return payload;
}

int decodeHostId(const std::vector<uint8_t>& payload, uint64_t* id)
{
    if (payload.size() != 8)
        return failWith(EBADMSG);
    *id = getUint64(payload.data());
    return 0;
}

std::vector<uint8_t> encodeAttach(uint64_t clientId, const Credentials& client)
{
    std::vector<uint8_t> payload(20);
    putUint64(payload.data(), clientId);
    putLittle32(payload.data() + 8, uint32_t(client.pid));
    putLittle32(payload.data() + 12, client.uid);
    putLittle32(payload.data() + 16, client.gid);
    return payload;
}

int decodeAttach(const std::vector<uint8_t>& payload, uint64_t* clientId, Credentials* client)
{
    if (payload.size() != 20)
        return failWith(EBADMSG);
    const uint8_t* in = payload.data();
    *clientId = getUint64(in);
    *client = Credentials{pid_t(getLittle32(in + 8)), getLittle32(in + 12), getLittle32(in + 16)};
    return 0;
}

std::vector<uint8_t> encodeHolder(const Credentials& holder)
{
    std::vector<uint8_t> payload(8);
    putLittle32(payload.data(), uint32_t(holder.pid));
    putLittle32(payload.data() + 4, holder.uid);
    return payload;
}

int decodeHolder(const std::vector<uint8_t>& payload, Credentials* holder)
{
    if (payload.size() != 8)
        return failWith(EBADMSG);
    holder->pid = pid_t(getLittle32(payload.data()));
    holder->uid = getLittle32(payload.data() + 4);
    return 0;
}

int decodeNameList(std::vector<uint8_t> payload, Vector<String16>* names)
{
    Parcel parcel;
    parcel.adoptData(std::move(payload));
    int32_t count;
    if (parcel.readInt32(&count) != kStatusOk || count < 0)
        return failWith(EBADMSG);
    // Every name takes at least 8 bytes, which bounds what a count can ask
    // us to reserve.
    if (size_t(count) > parcel.dataAvail() / 8)
        return failWith(EBADMSG);
    names->reserve(names->size() + size_t(count));
    for (int32_t i = 0; i < count; ++i) {
        String16 name;
        if (parcel.readString16(&name) != kStatusOk)
            return failWith(EBADMSG);
        names->add(std::move(name));
    }
    return wholly(parcel);
}
