// The hosting side: registration with the service manager, and the loop
// that answers the transactions of every client the service manager
// connects to us.
#include "Address.h"
#include "EventLoop.h"
#include "ManagerLink.h"
#include "ManagerProtocol.h"
#include "Peer.h"

#include <quellix/LocalService.h>
#include <quellix/Names.h>
#include <quellix/ServiceHost.h>
#include <quellix/String8.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

// Serves the clients that the service manager's link hands over.
struct ServiceHost::Impl final : PeerHandler, ManagerLink::Host {
    explicit Impl(int fd) : manager(std::make_unique<Connection>(fd, kMaxManagerRequest)) {}

    bool onFrame(Peer& peer, Frame& frame) override { return answer(peer, frame); }

    void onClose(Peer& peer) override
    {
        auto found = clients.find(peer.id);
        if (found != clients.end() && found->second == &peer)
            clients.erase(found);
    }

    // Serves the client connection that came with an attach frame (kept
    // for later while registration goes on). A client holds one connection
    // to us; a new one from the same client replaces the old. One that did
    // not arrive (this process was out of descriptors, and the kernel
    // dropped it) costs only that client, who finds its reference dead and
    // asks again; the idlest client of the same uid (or, for a privileged
    // one, of any unprivileged uid) makes room for the next one.
    bool attach(Frame& frame) override
    {
        if (!peers) {
            early.push_back(std::move(frame));
            return true;
        }
        uint64_t clientId;
        Credentials caller;
        if (decodeAttach(frame.payload, &clientId, &caller) < 0)
            return false;
        int fd = frame.takeFd();
        if (fd < 0) {
            peers->makeRoom(caller.uid);
            return true;
        }
        // The reserve let it in; if it cannot be had back, this client
        // takes the place of an idle one of its own uid (of any
        // unprivileged uid, for a privileged one), or goes.
        if (!peers->refillReserve() && !peers->makeRoom(caller.uid)) {
            close(fd);
            return true;
        }
        peers->refillReserve();
        auto old = clients.find(clientId);
        if (old != clients.end())
            old->second->close();
        if (Peer* client = peers->adopt(std::make_unique<Connection>(fd, kMaxParcelSize), clientId, caller, 0, this))
            clients[clientId] = client;
        return true;
    }

    // The clients of the last manager keep their connections; only a
    // newcomer with the same number would wrongly replace one.
    void newManager() override { clients.clear(); }

    status_t serviceFailed(const LocalService& service, const Frame& frame, const Peer& client, const char* what)
    {
        peers->log().write("service %s threw %s for code %u from pid %d, uid %u; that transaction failed",
                           String8(service.interfaceName()).c_str(), what, unsigned(frame.word),
                           int(client.credentials.pid), unsigned(client.credentials.uid));
        return kStatusServiceFailed;
    }

    bool answer(Peer& client, Frame& frame)
    {
        // Handles come from the service manager: an unknown one is a client
        // that does not follow the protocol.
        if (frame.target >= services.size())
            return false;
        Parcel data;
        data.adoptData(std::move(frame.payload));
        Parcel reply;
        status_t status;
        LocalService& service = *services[frame.target];
        try {
            status = service.transact(uint32_t(frame.word), data, &reply, frame.arg, client.credentials);
        } catch (const std::exception& error) {
            status = serviceFailed(service, frame, client, error.what());
            reply.setData(nullptr, 0);
        } catch (...) {
            status = serviceFailed(service, frame, client, "an exception of unknown type");
            reply.setData(nullptr, 0);
        }
        if (reply.dataSize() > kMaxParcelSize) {
            reply.setData(nullptr, 0);
            status = kStatusParcelTooLarge;
        }
        client.send(status, 0, frame.target, reply.releaseData());
        return true;
    }

    // Until serve(): the connection registrations go over, and the clients
    // attached meanwhile.
    std::unique_ptr<Connection> manager;
    std::vector<Frame> early;
    // The services by handle, and the names registered for them.
    std::vector<sp<LocalService>> services;
    std::vector<ManagerLink::Name> names;
    EventLoop loop;
    // Once serving: every peer, the clients by the service manager's
    // number for them, and the link to the manager.
    std::unique_ptr<PeerSet> peers;
    std::unordered_map<uint64_t, Peer*> clients;
    std::unique_ptr<ManagerLink> link;
};

std::unique_ptr<ServiceHost> ServiceHost::connect(Credentials* holder)
{
    int fd = connectServiceManager(holder);
    if (fd < 0)
        return nullptr;
    return std::unique_ptr<ServiceHost>(new ServiceHost(std::make_unique<Impl>(fd)));
}

ServiceHost::ServiceHost(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ServiceHost::~ServiceHost() = default;

sigset_t ServiceHost::stopSignals() { return ::stopSignals(); }

bool ServiceHost::raiseDescriptorLimit() { return ::raiseDescriptorLimit() == 0; }

status_t ServiceHost::addService(const String16& name, const sp<LocalService>& service, Credentials* holder)
{
    if (!isValidServiceName(name) || !service || !impl_->manager)
        return kStatusBadValue; // registration ends when serving starts
    Connection& manager = *impl_->manager;
    // Added now, so that its handle is the one the service manager hands
    // out; taken back if the registration fails.
    uint32_t handle = uint32_t(impl_->services.size());
    impl_->services.push_back(service);
    std::vector<uint8_t> payload = encodeName(name);
    Frame frame;
    status_t status = kStatusOk;
    if (manager.call(kManagerRegister, handle, kManagerProtocolVersion, payload.data(), payload.size(), &frame) < 0)
        status = statusFromErrno(errno);
    // Clients may be attached to services registered before this one.
    while (status == kStatusOk && frame.word == kManagerAttach) {
        if (!impl_->attach(frame))
            status = kStatusBadParcel;
        else if (manager.receive(&frame) < 0)
            status = statusFromErrno(errno);
    }
    if (status == kStatusOk)
        status = frame.word == kManagerReply ? status_t(frame.arg) : kStatusBadParcel;
    if (status == kStatusNameTaken && holder)
        decodeHolder(frame.payload, holder);
    if (status == kStatusProtocolMismatch)
        reportProtocolMismatch(frame.target);
    if (status != kStatusOk)
        impl_->services.pop_back();
    else
        impl_->names.push_back({name, handle});
    return status;
}

status_t ServiceHost::serve()
{
    Impl& host = *impl_;
    if (!host.manager)
        return kStatusBadValue; // serves once: the manager connection is the loop's now
    if (host.loop.open(::stopSignals()) < 0)
        return statusFromErrno(errno);
    host.peers = std::make_unique<PeerSet>(host.loop, PeerSet::Limits{});
    for (Frame& frame : std::exchange(host.early, {}))
        host.attach(frame);
    host.link = std::make_unique<ManagerLink>(*host.peers, host);
    if (host.link->start(std::move(host.manager), std::move(host.names)) < 0)
        return statusFromErrno(errno);
    host.loop.setTick(std::chrono::seconds(1), [&host] { host.peers->expire(); });
    // Who stopped a host is the first thing its operator asks.
    host.loop.onSignal([](const Signal& signal) {
        fprintf(stderr, "%s: stopping on %s\n", program_invocation_short_name, describe(signal).c_str());
        return true;
    });
    if (host.loop.run() < 0)
        return statusFromErrno(errno);
    return kStatusOk;
}
