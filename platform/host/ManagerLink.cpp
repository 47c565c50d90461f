#include "ManagerLink.h"

#include "Address.h"
#include "LogEscape.h"
#include "LogLine.h"
#include "ManagerProtocol.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

constexpr std::chrono::milliseconds kFirstDelay{50};
constexpr std::chrono::milliseconds kLongestDelay{250};
// Registrations sent ahead of their answers, so that a host with many
// names queues no more than this.
constexpr size_t kInFlight = 64;


// Why the manager refused a name, as the log says it.
std::string refusal(status_t status, const Frame& reply)
{
    switch (status) {
    case kStatusNameTaken: {
        Credentials holder;
        if (decodeHolder(reply.payload, &holder) < 0 || holder.pid == 0)
            return "the name is taken by a running host";
        return "the name is taken by a running host (pid " + std::to_string(holder.pid) + ", uid " +
               std::to_string(holder.uid) + ")";
    }
    case kStatusPermissionDenied:
        return "permission denied: the service manager does not let this uid register names";
    case kStatusNoResources:
        return "this uid may register no more names";
    case kStatusProtocolMismatch:
        return "the service manager speaks protocol version " + std::to_string(reply.target) + ", this host " +
               std::to_string(kManagerProtocolVersion);
    default:
        return "the service manager refused it";
    }
}

} // namespace

ManagerLink::ManagerLink(PeerSet& peers, Host& host) : peers_(peers), host_(host), delay_(kFirstDelay) {}

// Closing the timer takes it out of the loop.
ManagerLink::~ManagerLink()
{
    if (timer_ >= 0)
        close(timer_);
}

int ManagerLink::start(std::unique_ptr<Connection> manager, std::vector<Name> names)
{
    timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timer_ < 0 || peers_.loop().add(timer_, EPOLLIN, this) < 0)
        return -1;
    names_ = std::move(names);
    sent_ = answered_ = registered_ = names_.size();
    // A manager gone already is noticed as the loop starts (onClose).
    manager_ = peers_.admit(std::move(manager), 0, Credentials{}, Peer::Role::kManagerLink, this);
    return 0;
}

bool ManagerLink::onFrame(Peer&, Frame& frame)
{
    if (frame.word == kManagerAttach)
        return host_.attach(frame);
    if (frame.word != kManagerReply || answered_ == sent_)
        return false;
    answered(frame);
    sendRegistrations();
    return true;
}

void ManagerLink::answered(const Frame& reply)
{
    const Name& name = names_[answered_++];
    const status_t status = status_t(reply.arg);
    if (status == kStatusOk)
        ++registered_;
    else
        peers_.log().writeOwn(LogPriority::kWarning, "cannot register '%s' again: %s (status %d)",
                              escapeForLog(name.name).c_str(), refusal(status, reply).c_str(), int(status));
    if (answered_ < names_.size())
        return;
    const int pid = int(managerCredentials_.pid);
    if (registered_ == names_.size())
        peers_.log().writeOwn(LogPriority::kInfo, "registered %s again with the service manager (pid %d)",
                              counted(registered_, "name").c_str(), pid);
    else
        peers_.log().writeOwn(LogPriority::kWarning, "registered %zu of %s again with the service manager (pid %d)",
                              registered_, counted(names_.size(), "name").c_str(), pid);
    delay_ = kFirstDelay;
}

// A manager that goes before every name is answered is not announced
// again, and the next try waits longer.
void ManagerLink::onClose(Peer&)
{
    manager_ = nullptr;
    // With no names there is nothing to bring back.
    if (names_.empty())
        return;
    if (answered_ == names_.size())
        peers_.log().writeOwn(LogPriority::kWarning, "the service manager has gone away; waiting for the next one");
    tryAgainLater();
}

void ManagerLink::tryAgainLater()
{
    itimerspec when{};
    when.it_value.tv_sec = time_t(delay_.count() / 1000);
    when.it_value.tv_nsec = long(delay_.count() % 1000) * 1000000;
    if (timerfd_settime(timer_, 0, &when, nullptr) < 0)
        peers_.log().writeOwn(LogPriority::kError, "cannot wait for the next service manager: %s",
                              std::strerror(errno));
    delay_ = std::min(delay_ * 2, kLongestDelay);
}

void ManagerLink::ready(uint32_t)
{
    uint64_t expirations;
    if (read(timer_, &expirations, sizeof expirations) < 0 || manager_)
        return;
    Credentials holder;
    int fd = connectServiceManagerNow(&holder);
    if (fd < 0) {
        if (errno == EPERM && holder.pid != refused_) {
            refused_ = holder.pid;
            peers_.log().writeOwn(LogPriority::kWarning,
                                  "refusing the service manager address held by pid %d, uid %u "
                                  "(neither root nor this user)",
                                  int(holder.pid), unsigned(holder.uid));
        }
        return tryAgainLater();
    }
    refused_ = 0;
    host_.newManager();
    managerCredentials_ = holder;
    sent_ = answered_ = registered_ = 0;
    manager_ = peers_.admit(std::make_unique<Connection>(fd, kMaxManagerRequest), 0, holder,
                            Peer::Role::kManagerLink, this);
    sendRegistrations();
}

void ManagerLink::sendRegistrations()
{
    while (manager_ && sent_ < names_.size() && sent_ - answered_ < kInFlight) {
        const Name& name = names_[sent_];
        if (manager_->send(kManagerRegister, name.handle, kManagerProtocolVersion, encodeName(name.name)) < 0)
            return; // it is closed, and onClose follows
        ++sent_;
    }
}
