// The client side of the service manager, and the references it hands out.
#include "Address.h"
#include "Connection.h"
#include "ManagerProtocol.h"

#include <quellix/Parcel.h>
#include <quellix/ServiceManager.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
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
    explicit RemoteServiceManager(int fd) : connection_(std::make_unique<Connection>(fd, kMaxManagerReply)) {}

    sp<IBinder> lookupService(const String16& name, status_t* status) override
    {
        // The service manager registers no such name; do not ask.
        if (!isValidServiceName(name)) {
            *status = kStatusNameNotFound;
            return nullptr;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<uint8_t> payload = encodeName(name);
        // Once more, for a fresh connection, when the one the service
        // manager takes us to hold has failed or never arrived.
        for (uint32_t arg : {0u, uint32_t(kLookupFresh)}) {
            Frame reply;
            uint64_t hostId = 0;
            *status = ask(kManagerLookup, arg, payload, &reply, arg == 0);
            if (*status == kStatusOk && decodeHostId(reply.payload, &hostId) < 0)
                *status = kStatusBadParcel;
            if (*status != kStatusOk)
                return nullptr;
            int fd = reply.takeFd();
            if (fd >= 0)
                hosts_[hostId] = sp<HostLink>(new HostLink(fd));
            auto host = hosts_.find(hostId);
            if (host != hosts_.end() && !host->second->broken())
                return sp<IBinder>(new RemoteBinder(host->second, reply.target));
        }
        // A fresh answer always carries a connection: this one was lost on
        // the way, as the kernel does when we are out of descriptors.
        *status = kStatusNoResources;
        return nullptr;
    }

    status_t listServiceNames(Vector<String16>* names) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        names->clear();
        for (bool more = true; more;) {
            // Each page goes on after the last name of the one before; only
            // the first may go to a new service manager.
            bool first = names->isEmpty();
            std::vector<uint8_t> after = encodeName(first ? String16() : (*names)[names->size() - 1], !first);
            Frame reply;
            size_t before = names->size();
            status_t status = ask(kManagerList, 0, after, &reply, first);
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

    uint32_t managerProtocolVersion() const override { return managerVersion_; }

private:
    // One request and its reply: the reply's status, or the transport's;
    // kStatusBadParcel for an answer out of turn. With `mayReconnect`, a
    // request that cannot be sent on the connection we hold (the service
    // manager closed it or went away, now or before) goes to a new one
    // instead. One that was sent is never sent again: the service manager
    // may have acted on it.
    status_t ask(int32_t operation, uint32_t arg, const std::vector<uint8_t>& payload, Frame* reply,
                 bool mayReconnect)
    {
        int sent = connection_->send(operation, arg, kManagerProtocolVersion, payload.data(), payload.size());
        if (sent < 0 && mayReconnect) {
            if (status_t status = reconnect(); status != kStatusOk)
                return status;
            sent = connection_->send(operation, arg, kManagerProtocolVersion, payload.data(), payload.size());
        }
        if (sent < 0 || connection_->receive(reply) < 0)
            return statusFromErrno(errno);
        if (reply->word != kManagerReply)
            return kStatusBadParcel;
        if (status_t(reply->arg) == kStatusProtocolMismatch)
            managerVersion_ = reply->target;
        return status_t(reply->arg);
    }

    // A connection to the service manager that listens now, in place of
    // the broken one; kStatusDeadObject when none (or none acceptable)
    // does.
    status_t reconnect()
    {
        int fd = connectServiceManager();
        if (fd < 0)
            return isExhaustion(errno) ? kStatusNoResources : kStatusDeadObject;
        connection_ = std::make_unique<Connection>(fd, kMaxManagerReply);
        // The links stay with the references that hold them; a new
        // service manager numbers its hosts afresh.
        hosts_.clear();
        return kStatusOk;
    }

    std::mutex mutex_;
    std::unique_ptr<Connection> connection_;
    // The connection to each host reached so far over this connection, by
    // the service manager's number for the host.
    std::map<uint64_t, sp<HostLink>> hosts_;
    std::atomic<uint32_t> managerVersion_ = 0;
};

} // namespace

sp<ServiceManager> defaultServiceManager()
{
    int fd = connectServiceManager();
    if (fd < 0)
        return nullptr;
    return sp<ServiceManager>(new RemoteServiceManager(fd));
}
