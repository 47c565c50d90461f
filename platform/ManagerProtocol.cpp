#include "ManagerProtocol.h"
#include "Parcel.h"

status_t decodeManagerRequest(const Frame& frame, ManagerRequest* request)
{
    request->operation = frame.word;
    request->handle = frame.arg;
    request->name = String16();
    switch (frame.word) {
    case kManagerList:
        return frame.payload.empty() && frame.arg == 0 ? kStatusOk : kStatusBadParcel;
    case kManagerLookup:
        if (frame.arg != 0)
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
    // An absent string is no name at all.
    if (parcel.readInt32(&count) != kStatusOk || count < 0)
        return kStatusBadParcel;
    parcel.setData(frame.payload.data(), frame.payload.size());
    if (parcel.readString16(&request->name) != kStatusOk || parcel.dataAvail() != 0)
        return kStatusBadParcel;
    return kStatusOk;
}

std::vector<uint8_t> encodeName(const String16& name)
{
    Parcel parcel;
    parcel.writeString16(name);
    return std::vector<uint8_t>(parcel.data(), parcel.data() + parcel.dataSize());
}

status_t decodeNameList(const std::vector<uint8_t>& payload, Vector<String16>* names)
{
    names->clear();
    Parcel parcel;
    parcel.setData(payload.data(), payload.size());
    int32_t count;
    if (parcel.readInt32(&count) != kStatusOk || count < 0)
        return kStatusBadParcel;
    // Every name takes at least 8 bytes, which bounds what a count can ask
    // us to reserve.
    if (size_t(count) > parcel.dataAvail() / 8)
        return kStatusBadParcel;
    names->reserve(size_t(count));
    for (int32_t i = 0; i < count; ++i) {
        String16 name;
        if (parcel.readString16(&name) != kStatusOk)
            return kStatusBadParcel;
        names->add(std::move(name));
    }
    return parcel.dataAvail() == 0 ? kStatusOk : kStatusBadParcel;
}
