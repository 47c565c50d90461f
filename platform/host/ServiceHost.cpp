// The hosting side: registration with the service manager, and the loop
// that answers the transactions of every client the service manager
// connects to us.
#include "Address.h"
#include "EventLoop.h"
#include "ManagerProtocol.h"
#include "HostRuntime.h"
#include "LogEscape.h"
#include "ManagerLink.h"
#include "Peer.h"

#include <quellix/LocalService.h>
#include <quellix/Names.h>
#include <quellix/ServiceHost.h>

#include <cerrno>
#include <exception>
#include <unistd.h>
#include <utility>
#include <vector>

ServiceHost::Impl::Impl(int fd, const Limits& limits_, PeerSet::Now now_)
    : limits(limits_), now(std::move(now_)), manager(std::make_unique<Connection>(fd, kMaxManagerRequest)),
      log(geteuid(), now)
{
}

void ServiceHost::Impl::setLogHandler(ServiceHost::LogHandler handler)
{
    if (!handler)
        return log.setSink(nullptr);
    log.setSink([handler = std::move(handler)](LogPriority priority, const std::string& text) {
        handler(int(priority), printableText(text).c_str());
    });
}

// The clients send transactions; the link is the ManagerLink's.
bool ServiceHost::Impl::onFrame(Peer& peer, Frame& frame) { return answer(peer, frame); }

void ServiceHost::Impl::onClose(Peer&) {}

// Serves the client connection that came with an attach frame (kept for
// later while registration goes on). A client holds one connection to us;
// a new one from the same client replaces the old. One that did not
// arrive (this process was out of descriptors, and the kernel dropped it)
// costs only that client, who finds its reference dead and asks again;
// room is made for the next one. Each service manager numbers its clients
// from 1, so a client's number here carries the count of managers before
// its own in the bits above 48, which no manager's count reaches: a
// newcomer never replaces a client of the last manager.
bool ServiceHost::Impl::attach(Frame& frame)
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
        peers->lost(caller.uid);
        return true;
    }
    const uint64_t id = managerEpoch << 48 | clientId;
    if (Peer* old = peers->find(id); old && old->role() == Peer::Role::kClient)
        old->close();
    peers->admit(std::make_unique<Connection>(fd, kMaxParcelSize), id, caller, Peer::Role::kClient, this);
    return true;
}

status_t ServiceHost::Impl::serviceFailed(const LocalService& service, const Frame& frame, const Peer& client,
                                          const char* what)
{
    // Each is a fault of its own, not folded; the caller's budget bounds them.
    log.write(LogPriority::kWarning, client.credentials.uid, EventLog::kNoKey,
              "service %s threw %s for code %u from pid %d, uid %u; that transaction failed",
              escapeForLog(service.interfaceName()).c_str(), what, unsigned(frame.word), int(client.credentials.pid),
              unsigned(client.credentials.uid));
    return kStatusServiceFailed;
}

bool ServiceHost::Impl::answer(Peer& client, Frame& frame)
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

std::unique_ptr<ServiceHost> ServiceHost::connect(Credentials* holder, LogHandler log)
{
    int fd = connectServiceManager(holder);
    if (fd < 0)
        return nullptr;
    auto impl = std::make_unique<Impl>(fd, Limits{});
    impl->setLogHandler(std::move(log));
    return std::unique_ptr<ServiceHost>(new ServiceHost(std::move(impl)));
}

ServiceHost::ServiceHost(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ServiceHost::~ServiceHost() = default;

sigset_t ServiceHost::stopSignals() { return ::stopSignals(); }

bool ServiceHost::raiseDescriptorLimit() { return ::raiseDescriptorLimit() == 0; }

status_t ServiceHost::addService(const String16& name, const sp<LocalService>& service, Credentials* holder)
{
    return impl_->addService(name, service, holder);
}

uint32_t ServiceHost::managerProtocolVersion() const { return impl_->managerProtocolVersion(); }

status_t ServiceHost::serve() { return impl_->serve(); }

status_t ServiceHost::Impl::addService(const String16& name, const sp<LocalService>& service, Credentials* holder)
{
    if (!isValidServiceName(name) || !service || !manager)
        return kStatusBadValue; // registration ends when serving starts
    Connection& link = *manager;
    // Added now, so that its handle is the one the service manager hands
    // out; taken back if the registration fails.
    uint32_t handle = uint32_t(services.size());
    services.push_back(service);
    std::vector<uint8_t> payload = encodeName(name);
    Frame frame;
    status_t status = kStatusOk;
    if (link.call(kManagerRegister, handle, kManagerProtocolVersion, payload.data(), payload.size(), &frame) < 0)
        status = statusFromErrno(errno);
    // Clients may be attached to services registered before this one.
    while (status == kStatusOk && frame.word == kManagerAttach) {
        if (!attach(frame))
            status = kStatusBadParcel;
        else if (link.receive(&frame) < 0)
            status = statusFromErrno(errno);
    }
    if (status == kStatusOk)
        status = frame.word == kManagerReply ? status_t(frame.arg) : kStatusBadParcel;
    if (status == kStatusNameTaken && holder)
        decodeHolder(frame.payload, holder);
    if (status == kStatusProtocolMismatch)
        managerVersion = frame.target;
    if (status != kStatusOk)
        services.pop_back();
    else
        names.push_back({name, handle});
    return status;
}

status_t ServiceHost::Impl::open(const sigset_t& signals)
{
    if (!manager)
        return kStatusBadValue; // serves once: the manager connection is the loop's now
    if (loop.open(signals) < 0)
        return statusFromErrno(errno);
    peers = std::make_unique<PeerSet>(loop, PeerSet::Side::kHost, limits, log, now);
    for (Frame& frame : std::exchange(early, {}))
        attach(frame);
    managerLink = std::make_unique<ManagerLink>(*peers, *this);
    if (managerLink->start(std::move(manager), std::move(names)) < 0)
        return statusFromErrno(errno);
    loop.setTick(std::chrono::seconds(1), [this] { tick(); });
    return kStatusOk;
}

status_t ServiceHost::Impl::serve()
{
    if (status_t status = open(::stopSignals()); status != kStatusOk)
        return status;
    // Who stopped a host is the first thing its operator asks.
    loop.onSignal([this](const Signal& signal) {
        log.writeOwn(LogPriority::kInfo, "stopping on %s", describe(signal).c_str());
        return true;
    });
    const int ran = loop.run();
    const int error = errno;
    // The counts still held back are written before serving ends.
    log.flush();
    if (ran < 0)
        return statusFromErrno(error);
    return kStatusOk;
}
