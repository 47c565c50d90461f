#include "SampleServices.h"

#include <algorithm>

namespace {

constexpr uint32_t kCallCode = 1;

String16 text16(const char* utf8) { return String16(utf8); }

// Code 1: the sum of the int32 values behind the interface token, as one
// int32 (wrapping on overflow).
class AdderService : public LocalService {
public:
    AdderService() : LocalService(text16("quellix.demo.IAdder")) {}

protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t) override
    {
        if (code != kCallCode)
            return kStatusUnknownTransaction;
        String16 token;
        if (data.readString16(&token) != kStatusOk || token != interfaceName())
            return kStatusBadParcel;
        uint32_t sum = 0;
        int32_t value;
        while (data.dataAvail() > 0) {
            if (data.readInt32(&value) != kStatusOk)
                return kStatusBadParcel;
            sum += uint32_t(value);
        }
        reply->writeInt32(int32_t(sum));
        return kStatusOk;
    }
};

// Code 1: "Hello, NAME!" for the String16 NAME behind the interface token.
class GreeterService : public LocalService {
public:
    GreeterService() : LocalService(text16("quellix.demo.IGreeter")) {}

protected:
    status_t onTransact(uint32_t code, const Parcel& data, Parcel* reply, uint32_t) override
    {
        if (code != kCallCode)
            return kStatusUnknownTransaction;
        String16 token, name;
        if (data.readString16(&token) != kStatusOk || token != interfaceName() ||
            data.readString16(&name) != kStatusOk)
            return kStatusBadParcel;
        std::u16string greeting = u"Hello, ";
        greeting.append(name.view());
        greeting.push_back(u'!');
        reply->writeString16(String16(std::move(greeting)));
        return kStatusOk;
    }
};

} // namespace

status_t EchoService::onTransact(uint32_t, const Parcel& data, Parcel* reply, uint32_t)
{
    if (!allowedUids_.empty() &&
        std::find(allowedUids_.begin(), allowedUids_.end(), caller().uid) == allowedUids_.end())
        return kStatusPermissionDenied;
    reply->setData(data.data(), data.dataSize());
    return status_;
}

std::vector<NamedService> sampleServices()
{
    std::vector<NamedService> services;
    services.push_back({text16("demo.adder"), sp<LocalService>(new AdderService)});
    services.push_back({text16("demo.echo"), sp<LocalService>(new EchoService(
                                                 text16("quellix.demo.IEcho"), kStatusOk, kStatusOk))});
    services.push_back({text16("demo.greeter"), sp<LocalService>(new GreeterService)});
    return services;
}
