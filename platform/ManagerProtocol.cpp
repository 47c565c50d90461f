#include "ManagerProtocol.h"

#include <quellix/Parcel.h>

namespace {

std::vector<uint8_t> bytesOf(const Parcel& parcel)
{
    return std::vector<uint8_t>(parcel.data(), parcel.data() + parcel.dataSize());
}

void writeUint64(Parcel& parcel, uint64_t value)
{
    parcel.writeInt32(int32_t(uint32_t(value)));
    parcel.writeInt32(int32_t(uint32_t(value >> 32)));
}

status_t readUint64(const Parcel& parcel, uint64_t* value)
{
    int32_t low = 0, high = 0;
    parcel.readInt32(&low);
    parcel.readInt32(&high);
    *value = uint64_t(uint32_t(low)) | uint64_t(uint32_t(high)) << 32;
    return parcel.readStatus();
}

} // namespace

status_t decodeManagerRequest(const Frame& frame, ManagerRequest* request)
{
    request->operation = frame.word;
    request->arg = frame.arg;
    request->name = String16();
    request->hasName = false;
    if (frame.target != 0)
        return kStatusBadParcel;
    switch (frame.word) {
    case kManagerList:
        if (frame.arg != 0)
            return kStatusBadParcel;
        break;
    case kManagerLookup:
        if (frame.arg != 0 && frame.arg != kLookupFresh)
            return kStatusBadParcel;
        break;
    case kManagerRegister:
        break;
    default:
        return kStatusBadParcel;
    }
    Parcel parcel;
    parcel.setData(frame.payload.data(), frame.payload.size());
    int32_t count;
    if (parcel.readInt32(&count) != kStatusOk || count < -1)
        return kStatusBadParcel;
    if (count == -1) {
        // The absent string: only where a listing starts.
        return frame.word == kManagerList && parcel.dataAvail() == 0 ? kStatusOk : kStatusBadParcel;
    }
    parcel.setData(frame.payload.data(), frame.payload.size());
    if (parcel.readString16(&request->name) != kStatusOk || parcel.dataAvail() != 0)
        return kStatusBadParcel;
    request->hasName = true;
    return kStatusOk;
}

std::vector<uint8_t> encodeName(const String16& name, bool present)
{
    Parcel parcel;
    if (present)
        parcel.writeString16(name);
    else
        parcel.writeInt32(-1);
    return bytesOf(parcel);
}

std::vector<uint8_t> encodeHostId(uint64_t id)
{
    Parcel parcel;
    writeUint64(parcel, id);
    return bytesOf(parcel);
}

status_t decodeHostId(const std::vector<uint8_t>& payload, uint64_t* id)
{
    Parcel parcel;
    parcel.setData(payload.data(), payload.size());
    if (readUint64(parcel, id) != kStatusOk || parcel.dataAvail() != 0)
        return kStatusBadParcel;
    return kStatusOk;
}

std::vector<uint8_t> encodeAttach(uint64_t clientId, const Credentials& client)
{
    Parcel parcel;
    writeUint64(parcel, clientId);
    parcel.writeInt32(int32_t(client.pid));
    parcel.writeInt32(int32_t(client.uid));
    parcel.writeInt32(int32_t(client.gid));
    return bytesOf(parcel);
}

status_t decodeAttach(const std::vector<uint8_t>& payload, uint64_t* clientId, Credentials* client)
{
    Parcel parcel;
    parcel.setData(payload.data(), payload.size());
    int32_t pid = 0, uid = 0, gid = 0;
    readUint64(parcel, clientId);
    parcel.readInt32(&pid);
    parcel.readInt32(&uid);
    parcel.readInt32(&gid);
    if (parcel.readStatus() != kStatusOk || parcel.dataAvail() != 0)
        return kStatusBadParcel;
    *client = Credentials{pid_t(pid), uid_t(uid), gid_t(gid)};
    return kStatusOk;
}

status_t decodeNameList(const std::vector<uint8_t>& payload, Vector<String16>* names)
{
    Parcel parcel;
    parcel.setData(payload.data(), payload.size());
    int32_t count;
    if (parcel.readInt32(&count) != kStatusOk || count < 0)
        return kStatusBadParcel;
    // Every name takes at least 8 bytes, which bounds what a count can ask
    // us to reserve.
    if (size_t(count) > parcel.dataAvail() / 8)
        return kStatusBadParcel;
    names->reserve(names->size() + size_t(count));
    for (int32_t i = 0; i < count; ++i) {
        String16 name;
        if (parcel.readString16(&name) != kStatusOk)
            return kStatusBadParcel;
        names->add(std::move(name));
    }
    return parcel.dataAvail() == 0 ? kStatusOk : kStatusBadParcel;
}
