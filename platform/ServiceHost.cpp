// The hosting side: registration with the service manager, and the loop
// that answers the transactions of every client a look-up hands us.
#include "EventLoop.h"
#include "LocalService.h"
#include "ManagerProtocol.h"
#include "ServiceManager.h"
#include "Socket.h"

#include <unistd.h>
#include <utility>
#include <vector>

struct ServiceHost::Impl {
    // Receives clients from the service manager.
    struct ManagerHandler : ConnectionHandler {
        Impl* host;
        bool onFrame(Connection& connection, Frame& frame) override
        {
            return frame.word == kManagerAttach && host->attach(connection.reader(), frame.arg);
        }
        void onClose(Connection&) override { host->loop->stop(kStatusDeadObject); }
    };

    // Answers one client's transactions for the service it looked up.
    struct ClientHandler : ConnectionHandler {
        Impl* host;
        bool onFrame(Connection& connection, Frame& frame) override
        {
            auto* service = static_cast<LocalService*>(connection.context);
            Parcel data;
            data.setData(frame.payload.data(), frame.payload.size());
            Parcel reply;
            status_t status = service->transact(uint32_t(frame.word), data, &reply, frame.arg);
            if (reply.dataSize() > kMaxParcelSize) {
                reply.setData(nullptr, 0);
                status = kStatusParcelTooLarge;
            }
            host->loop->send(&connection, status, 0, reply.data(), reply.dataSize());
            return true;
        }
        void onClose(Connection&) override {}
    };

    explicit Impl(int fd) : manager(fd, kMaxManagerRequest) {}
    ~Impl()
    {
        for (auto& [handle, fd] : early)
            close(fd);
    }

    // Takes the client connection that came with an attach frame. One that
    // did not arrive (this process was out of descriptors, and the kernel
    // dropped it) costs only that client, who finds its reference dead.
    bool attach(FrameReader& from, uint32_t handle)
    {
        int fd = from.takeFd();
        if (fd < 0)
            return true;
        if (loop)
            serveClient(handle, fd);
        else
            early.emplace_back(handle, fd);
        return true;
    }

    void serveClient(uint32_t handle, int fd)
    {
        if (handle >= services.size()) {
            close(fd);
            return;
        }
        if (Connection* client = loop->adopt(fd, FrameReader(kMaxParcelSize), false, &clients))
            client->context = services[handle].get();
    }

    Channel manager;
    std::vector<sp<LocalService>> services;
    // Clients attached while registration was still going on.
    std::vector<std::pair<uint32_t, int>> early;
    std::unique_ptr<EventLoop> loop;
    ManagerHandler managerHandler;
    ClientHandler clients;
};

std::unique_ptr<ServiceHost> ServiceHost::connect()
{
    int fd = connectServiceManager();
    if (fd < 0)
        return nullptr;
    return std::unique_ptr<ServiceHost>(new ServiceHost(std::make_unique<Impl>(fd)));
}

ServiceHost::ServiceHost(std::unique_ptr<Impl> impl) : impl_(std::move(impl))
{
    impl_->managerHandler.host = impl_.get();
    impl_->clients.host = impl_.get();
}

ServiceHost::~ServiceHost() = default;

status_t ServiceHost::addService(const String16& name, const sp<LocalService>& service)
{
    if (name.isEmpty() || name.size() > kMaxServiceNameUnits || !service)
        return kStatusBadValue;
    if (impl_->loop)
        return kStatusBadValue; // registration ends when serving starts
    uint32_t handle = uint32_t(impl_->services.size());
    std::vector<uint8_t> payload = encodeName(name);
    status_t status = impl_->manager.send(kManagerRegister, handle, payload.data(), payload.size());
    if (status != kStatusOk)
        return status;
    // Add it now: a client may be attached to it before the reply comes.
    impl_->services.push_back(service);
    for (;;) {
        Frame frame;
        status = impl_->manager.receive(&frame);
        if (status != kStatusOk)
            break;
        if (frame.word == kManagerReply) {
            status = int32_t(frame.arg);
            break;
        }
        if (frame.word != kManagerAttach || !impl_->attach(impl_->manager.reader(), frame.arg)) {
            status = kStatusBadParcel;
            break;
        }
    }
    if (status != kStatusOk)
        impl_->services.pop_back();
    return status;
}

status_t ServiceHost::serve()
{
    status_t status;
    impl_->loop = EventLoop::create(&status);
    if (!impl_->loop)
        return status;
    Impl& host = *impl_;
    FrameReader reader = std::move(host.manager.reader());
    int fd = host.manager.releaseFd();
    for (auto& [handle, clientFd] : std::exchange(host.early, {}))
        host.serveClient(handle, clientFd);
    if (!host.loop->adopt(fd, std::move(reader), true, &host.managerHandler))
        return kStatusDeadObject;
    return host.loop->run();
}
