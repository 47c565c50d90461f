// The client side of the service manager, and the references it hands out.
#include "Address.h"
#include "Connection.h"
#include "ManagerProtocol.h"

#include <quellix/Parcel.h>
#include <quellix/ServiceManager.h>

#include <cerrno>
#include <map>
#include <mutex>

namespace {

// This process's one connection to a hosting process, shared by every
// reference to a service there. One transaction at a time goes over it.
class HostLink : public RefBase {
public:
    // Hosts send replies, never descriptors.
    explicit HostLink(int fd) : connection_(fd, kMaxParcelSize) { refuseDescriptors(fd); }

    bool broken()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return connection_.broken();
    }

    status_t transact(uint32_t handle, uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Frame frame;
        if (connection_.call(int32_t(code), flags, handle, data.data(), data.dataSize(), &frame) < 0)
            return statusFromErrno(errno);
        if (frame.target != handle) {
            connection_.shutDown();
            return kStatusBadParcel;
        }
        reply->adoptData(std::move(frame.payload));
        return frame.word;
    }

private:
    std::mutex mutex_;
    Connection connection_;
};

// A reference to a service: the link to its host and its handle there.
class RemoteBinder : public IBinder {
public:
    RemoteBinder(sp<HostLink> link, uint32_t handle) : link_(std::move(link)), handle_(handle) {}

    status_t sendTransaction(uint32_t code, const Parcel& data, Parcel* reply, uint32_t flags) override
    {
        reply->setData(nullptr, 0);
        if (data.dataSize() > kMaxParcelSize)
            return kStatusParcelTooLarge;
        return link_->transact(handle_, code, data, reply, flags);
    }

private:
    sp<HostLink> link_;
    uint32_t handle_;
};

class RemoteServiceManager : public ServiceManager {
public:
    explicit RemoteServiceManager(int fd) : connection_(fd, kMaxManagerReply) {}

    sp<IBinder> lookupService(const String16& name) override
    {
        // The service manager registers no such name; do not ask.
        if (!isValidServiceName(name))
            return nullptr;
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<uint8_t> payload = encodeName(name);
        // Once more, for a fresh connection, when the one the service
        // manager takes us to hold has failed or never arrived.
        for (uint32_t arg : {0u, uint32_t(kLookupFresh)}) {
            Frame reply;
            uint64_t hostId;
            if (ask(kManagerLookup, arg, payload, &reply) != kStatusOk || decodeHostId(reply.payload, &hostId) < 0)
                return nullptr;
            int fd = reply.takeFd();
            if (fd >= 0)
                hosts_[hostId] = sp<HostLink>(new HostLink(fd));
            auto host = hosts_.find(hostId);
            if (host != hosts_.end() && !host->second->broken())
                return sp<IBinder>(new RemoteBinder(host->second, reply.target));
        }
        return nullptr;
    }

    status_t listServiceNames(Vector<String16>* names) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        names->clear();
        for (bool more = true; more;) {
            // Each page goes on after the last name of the one before.
            bool first = names->isEmpty();
            std::vector<uint8_t> after = encodeName(first ? String16() : (*names)[names->size() - 1], !first);
            Frame reply;
            size_t before = names->size();
            status_t status = ask(kManagerList, 0, after, &reply);
            if (status == kStatusOk && decodeNameList(std::move(reply.payload), names) < 0)
                status = kStatusBadParcel;
            more = reply.target == 1;
            // A page that does not go on from where we are would never end.
            if (status == kStatusOk && more && names->size() == before)
                status = kStatusBadParcel;
            if (status != kStatusOk) {
                names->clear();
                return status;
            }
        }
        return kStatusOk;
    }

private:
    // One request and its reply: the reply's status, or the transport's;
    // kStatusBadParcel for an answer out of turn.
    status_t ask(int32_t operation, uint32_t arg, const std::vector<uint8_t>& payload, Frame* reply)
    {
        if (connection_.call(operation, arg, kManagerProtocolVersion, payload.data(), payload.size(), reply) < 0)
            return statusFromErrno(errno);
        if (reply->word != kManagerReply)
            return kStatusBadParcel;
        if (status_t(reply->arg) == kStatusProtocolMismatch)
            reportProtocolMismatch(reply->target);
        return status_t(reply->arg);
    }

    std::mutex mutex_;
    Connection connection_;
    // The connection to each host reached so far, by the service manager's
    // number for the host.
    std::map<uint64_t, sp<HostLink>> hosts_;
};

} // namespace

sp<ServiceManager> defaultServiceManager()
{
    int fd = connectServiceManager();
    if (fd < 0)
        return nullptr;
    return sp<ServiceManager>(new RemoteServiceManager(fd));
}
