// The hosting side: registration with the service manager, and the loop
// that answers the transactions of every client the service manager
// connects to us.
#include "EventLoop.h"
#include "ManagerProtocol.h"
#include "Socket.h"

#include <quellix/LocalService.h>
#include <quellix/ServiceHost.h>
#include <quellix/ServiceManager.h>

#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

constexpr auto kHalfFrameLimit = std::chrono::seconds(10);

} // namespace

struct ServiceHost::Impl {
    // Receives clients from the service manager.
    struct ManagerHandler : ConnectionHandler {
        Impl* host;
        bool onFrame(Connection&, Frame& frame) override
        {
            return frame.word == kManagerAttach && host->attach(frame);
        }
        void onClose(Connection&) override { host->loop->stop(kStatusDeadObject); }
    };

    // Answers one client's transactions, for any of our services.
    struct ClientHandler : ConnectionHandler {
        Impl* host;
        bool onFrame(Connection& connection, Frame& frame) override
        {
            // Handles come from the service manager: an unknown one is a
            // client that does not follow the protocol.
            if (frame.target >= host->services.size())
                return false;
            Parcel data;
            data.adoptData(std::move(frame.payload));
            Parcel reply;
            status_t status = host->services[frame.target]->transact(uint32_t(frame.word), data, &reply,
                                                                     frame.arg, connection.peer);
            if (reply.dataSize() > kMaxParcelSize) {
                reply.setData(nullptr, 0);
                status = kStatusParcelTooLarge;
            }
            host->loop->send(&connection, status, 0, frame.target, reply.releaseData());
            return true;
        }
        void onClose(Connection& connection) override
        {
            auto found = host->clients.find(connection.id);
            if (found != host->clients.end() && found->second == &connection)
                host->clients.erase(found);
        }
    };

    // A client's connection, as the service manager hands it over.
    struct Attached {
        uint64_t clientId;
        Credentials caller;
        int fd;
    };

    explicit Impl(int fd) : manager(std::make_unique<Connection>(fd, kMaxManagerRequest)) {}
    ~Impl()
    {
        for (Attached& a : early)
            close(a.fd);
    }

    // Takes the client connection that came with an attach frame. One that
    // did not arrive (this process was out of descriptors, and the kernel
    // dropped it) costs only that client, who finds its reference dead and
    // asks again; the longest idle client makes room for it.
    bool attach(Frame& frame)
    {
        Attached a;
        if (decodeAttach(frame.payload, &a.clientId, &a.caller) != kStatusOk)
            return false;
        a.fd = frame.takeFd();
        if (a.fd < 0) {
            if (loop) {
                if (Connection* idle = loop->longestIdle([](Connection& c) { return c.id != 0; }))
                    loop->close(idle);
            }
            return true;
        }
        if (loop)
            serveClient(a);
        else
            early.push_back(a);
        return true;
    }

    // A client holds one connection to us; a new one from the same client
    // replaces the old.
    void serveClient(const Attached& a)
    {
        auto connection = std::make_unique<Connection>(a.fd, kMaxParcelSize);
        connection->id = a.clientId;
        connection->peer = a.caller;
        auto old = clients.find(a.clientId);
        if (old != clients.end())
            loop->close(old->second);
        if (Connection* client = loop->adopt(std::move(connection), false, &clientHandler))
            clients[a.clientId] = client;
    }

    std::unique_ptr<Connection> manager;
    std::vector<sp<LocalService>> services;
    // Clients attached while registration was still going on.
    std::vector<Attached> early;
    std::unique_ptr<EventLoop> loop;
    std::unordered_map<uint64_t, Connection*> clients;
    ManagerHandler managerHandler;
    ClientHandler clientHandler;
};

std::unique_ptr<ServiceHost> ServiceHost::connect(Credentials* holder)
{
    int fd = connectServiceManager(holder);
    if (fd < 0)
        return nullptr;
    return std::unique_ptr<ServiceHost>(new ServiceHost(std::make_unique<Impl>(fd)));
}

ServiceHost::ServiceHost(std::unique_ptr<Impl> impl) : impl_(std::move(impl))
{
    impl_->managerHandler.host = impl_.get();
    impl_->clientHandler.host = impl_.get();
}

ServiceHost::~ServiceHost() = default;

status_t ServiceHost::addService(const String16& name, const sp<LocalService>& service)
{
    if (!isValidServiceName(name) || !service)
        return kStatusBadValue;
    if (impl_->loop)
        return kStatusBadValue; // registration ends when serving starts
    Connection& manager = *impl_->manager;
    uint32_t handle = uint32_t(impl_->services.size());
    std::vector<uint8_t> payload = encodeName(name);
    status_t status = manager.send(kManagerRegister, handle, 0, payload.data(), payload.size());
    if (status != kStatusOk)
        return status;
    // Add it now: a client may be attached to it before the reply comes.
    impl_->services.push_back(service);
    for (;;) {
        Frame frame;
        status = manager.receive(&frame);
        if (status != kStatusOk)
            break;
        if (frame.word == kManagerReply) {
            status = int32_t(frame.arg);
            break;
        }
        if (frame.word != kManagerAttach || !impl_->attach(frame)) {
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
    if (impl_->loop)
        return kStatusBadValue; // serves once: the manager connection is the loop's now
    status_t status;
    impl_->loop = EventLoop::create(&status);
    if (!impl_->loop)
        return status;
    Impl& host = *impl_;
    for (Impl::Attached& a : std::exchange(host.early, {}))
        host.serveClient(a);
    if (!host.loop->adopt(std::move(host.manager), true, &host.managerHandler))
        return kStatusDeadObject;
    // A client that stops halfway through a frame holds its buffer: it is
    // dropped after a while.
    host.loop->setTick(std::chrono::seconds(1), [&host] {
        auto now = Connection::Clock::now();
        host.loop->forEachConnection([&](Connection& c) {
            if (c.id != 0 && c.reader().holdsPartialFrame() && now - c.lastRead > kHalfFrameLimit)
                host.loop->close(&c);
        });
    });
    return host.loop->run();
}
