// The client side of the service manager, and the references it hands out.
#include "ServiceManager.h"
#include "ManagerProtocol.h"
#include "Parcel.h"
#include "Socket.h"

namespace {

// A reference to a service: one end of a connection whose other end the
// service manager has handed to the hosting process.
class RemoteBinder : public IBinder {
public:
    explicit RemoteBinder(int fd) : channel_(fd, kMaxParcelSize) {}

    status_t sendTransaction(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override
    {
        reply->setData(nullptr, 0);
        if (data.dataSize() > kMaxParcelSize)
            return kStatusParcelTooLarge;
        status_t status = channel_.send(int32_t(code), flags, data.data(), data.dataSize());
        if (status != kStatusOk)
            return status;
        Frame frame;
        status = channel_.receive(&frame);
        if (status != kStatusOk)
            return status;
        reply->setData(frame.payload.data(), frame.payload.size());
        return frame.word;
    }

private:
    Channel channel_;
};

class RemoteServiceManager : public ServiceManager {
public:
    explicit RemoteServiceManager(int fd) : channel_(fd, kMaxManagerReply) {}

    sp<IBinder> lookupService(const String16& name) override
    {
        // The service manager registers no such name; do not ask.
        if (name.isEmpty() || name.size() > kMaxServiceNameUnits)
            return nullptr;
        std::vector<uint8_t> payload = encodeName(name);
        Frame reply;
        if (!ask(kManagerLookup, payload, &reply) || int32_t(reply.arg) != kStatusOk)
            return nullptr;
        int fd = channel_.reader().takeFd();
        if (fd < 0)
            return nullptr;
        return sp<IBinder>(new RemoteBinder(fd));
    }

    Vector<String16> listServiceNames() override
    {
        Vector<String16> names;
        Frame reply;
        if (ask(kManagerList, {}, &reply) && int32_t(reply.arg) == kStatusOk)
            decodeNameList(reply.payload, &names);
        return names;
    }

private:
    // One request and its reply; false when the service manager is gone or
    // answered out of turn.
    bool ask(int32_t operation, const std::vector<uint8_t>& payload, Frame* reply)
    {
        return channel_.send(operation, 0, payload.data(), payload.size()) == kStatusOk &&
               channel_.receive(reply) == kStatusOk && reply->word == kManagerReply;
    }

    Channel channel_;
};

} // namespace

sp<ServiceManager> defaultServiceManager()
{
    int fd = connectServiceManager();
    if (fd < 0)
        return nullptr;
    return sp<ServiceManager>(new RemoteServiceManager(fd));
}
