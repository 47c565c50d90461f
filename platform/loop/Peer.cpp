#include "Peer.h"

#include "Address.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/sockios.h>
#include <string>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// What a one-byte frame takes of a socket's send buffer until it is read.
size_t measureFrameCost()
{
    int ends[2], queued = 0;
    const uint8_t byte = 0;
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) < 0)
        return 0;
    if (send(ends[0], &byte, 1, MSG_NOSIGNAL) != 1 || ioctl(ends[0], SIOCOUTQ, &queued) < 0)
        queued = 0;
    close(ends[0]);
    close(ends[1]);
    return size_t(queued);
}

std::string seconds(std::chrono::milliseconds limit)
{
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count()) + " s";
}

} // namespace

Peer::Peer(PeerSet& set, std::unique_ptr<Connection> connection, uint64_t id_, const Credentials& credentials_,
           Role role, PeerHandler* handler)
    : id(id_), credentials(credentials_), set_(set), connection_(std::move(connection)), role_(role),
      handler_(handler), lastFrame_(set.now())
{
}

std::string Peer::expiry(Clock::time_point now) const
{
    const Limits& limits = set_.limits();
    if (closed_ || anchored())
        return {};
    if (set_.side_ == PeerSet::Side::kManager && frames_ == 0 && now - lastFrame_ > limits.silence)
        return "it completed no request within " + seconds(limits.silence) + " of connecting";
    if (frameStart_ != Clock::time_point() && now - frameStart_ > limits.partialFrame)
        return "it left a message unfinished " + seconds(limits.partialFrame) + " after its first byte";
    if (outputSince_ != Clock::time_point() && now - outputSince_ > limits.unreadReply)
        return "it read none of its replies for " + seconds(limits.unreadReply);
    return {};
}

bool Peer::account()
{
    PeerSet::Holding& holding = set_.holdings_[credentials.uid];
    const size_t buffered = connection_->bufferedBytes();
    holding.bytes = holding.bytes - accounted_ + buffered;
    accounted_ = buffered;
    if (set_.privileged(credentials.uid) || holding.bytes <= set_.limits().bytesPerUid)
        return true;
    close("its uid holds too many bytes of messages");
    return false;
}

int Peer::send(int32_t word, uint32_t arg, uint32_t target, std::vector<uint8_t> payload)
{
    if (closed_)
        return failWith(EPIPE);
    // The limit is on what the peer left unread before this frame, so that
    // one large reply still goes out whole.
    const Limits& limits = set_.limits();
    if (connection_->unsentBytes() > limits.unreadOutputBytes ||
        connection_->unsentFrames() >= limits.unreadOutputFrames) {
        close("it leaves what it is sent unread");
        return failWith(EPIPE);
    }
    connection_->queue(word, arg, target, std::move(payload));
    if (connection_->flush() < 0 || !account()) {
        close();
        return failWith(EPIPE);
    }
    watch();
    return 0;
}

int Peer::sendNow(int32_t word, uint32_t arg, uint32_t target, const std::vector<uint8_t>& payload, int passFd)
{
    if (closed_)
        return failWith(EPIPE);
    if (connection_->sendNow(word, arg, target, payload.data(), payload.size(), passFd) < 0) {
        if (errno != EAGAIN && errno != ETOOMANYREFS && !isExhaustion(errno))
            close(); // keeps errno
        return -1;
    }
    account();
    watch();
    return 0;
}

// The descriptor's own blocking mode does not matter: every receive and
// send of a peer passes MSG_DONTWAIT. Leaving it as it is saves a host two
// fcntl calls for each client a look-up hands it.
bool Peer::start()
{
    const int fd = connection_->fd();
    if (fd < 0 || set_.loop().add(fd, EPOLLIN, this) < 0) {
        close();
        return false;
    }
    if (role_ != Role::kManagerLink)
        refuseDescriptors(fd);
    interest_ = EPOLLIN;
    serveFrames();
    return isOpen();
}

void Peer::close(const char* reason)
{
    if (closed_)
        return;
    closed_ = true;
    // What failed is the caller's to read, whatever the log's sink does.
    const int error = errno;
    if (reason)
        set_.log().write(LogPriority::kWarning, credentials.uid, EventLog::key(id, EventLog::Event::kDropped),
                         "dropped the connection of pid %d, uid %u: %s", int(credentials.pid),
                         unsigned(credentials.uid), reason);
    // The descriptor is free at once; the peer lives on until released(),
    // since events already fetched may still point at it.
    set_.loop().remove(connection_->fd(), this);
    connection_->shutDown();
    set_.closed(*this);
    errno = error;
}

void Peer::released()
{
    handler_->onClose(*this);
    set_.forget(this);
}

void Peer::ready(uint32_t events)
{
    if (events & EPOLLOUT) {
        if (connection_->flush() < 0)
            close();
    } else if (role_ == Role::kManagerLink) {
        // It brings clients' connections: the reserve makes room for one.
        ssize_t count = set_.withReserve([this] { return connection_->fill(); });
        if (count == 0 || (count < 0 && errno != EAGAIN))
            close();
    } else {
        ssize_t count = connection_->fill();
        // Descriptors where none belong (sent before the socket refused
        // them, or where the kernel cannot refuse them) go to the closer.
        if (!set_.loop().closer().take(credentials.uid, connection_->reader().takeFds()))
            close("its uid sent more descriptors than are closed yet");
        if (count == 0 || (count < 0 && errno != EAGAIN))
            close();
    }
    if (!closed_ && account())
        serveFrames();
}

void Peer::serveFrames()
{
    Frame frame;
    while (!closed_ && !connection_->hasOutput()) {
        FrameReader::Result result = connection_->reader().next(&frame);
        if (result == FrameReader::Result::kNeedMore)
            break;
        if (result == FrameReader::Result::kMalformed)
            return close("it sent a frame above the size limit");
        if (!handler_->onFrame(*this, frame))
            return close("it sent a malformed message");
        lastFrame_ = set_.now();
        frameStart_ = Clock::time_point();
        ++frames_;
    }
    // The frame begun runs against the clock from now (its first byte came
    // at the latest now); more bytes do not set it back. Whole frames that
    // wait behind unread output run against the clock of that output.
    if (!midFrame())
        frameStart_ = Clock::time_point();
    else if (frameStart_ == Clock::time_point())
        frameStart_ = set_.now();
    watch();
}

// Reads while the peer may send frames, writes while it has output. The
// clock of unread output starts when output begins to wait, and again
// whenever the socket takes a byte of it.
void Peer::watch()
{
    if (closed_)
        return;
    if (!connection_->hasOutput())
        outputSince_ = Clock::time_point();
    else if (outputSince_ == Clock::time_point() || connection_->written() != writtenSeen_)
        outputSince_ = set_.now();
    writtenSeen_ = connection_->written();
    uint32_t interest = connection_->hasOutput() ? uint32_t(EPOLLOUT) : uint32_t(EPOLLIN);
    if (interest != interest_ && set_.loop().modify(connection_->fd(), interest, this) < 0)
        return close();
    interest_ = interest;
}

PeerSet::PeerSet(EventLoop& loop, Side side, const Limits& limits, EventLog& log, Now now)
    : loop_(loop), side_(side), limits_(limits), now_(std::move(now)), log_(log), ownUid_(geteuid())
{
    if (side_ == Side::kManager)
        frameCost_ = measureFrameCost();
    refillReserve();
}

PeerSet::~PeerSet() { spendReserve(); }

void PeerSet::spendReserve()
{
    if (reserve_ >= 0)
        ::close(reserve_);
    reserve_ = -1;
}

bool PeerSet::refillReserve()
{
    if (reserve_ < 0)
        reserve_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    return reserve_ >= 0;
}

ssize_t PeerSet::withReserve(const std::function<ssize_t()>& take)
{
    spendReserve();
    const ssize_t result = take();
    const int error = errno;
    refillReserve();
    errno = error;
    return result;
}

int PeerSet::withRoom(const Peer& keep, const std::function<int()>& make)
{
    for (;;) {
        if (make() == 0)
            return 0;
        if (!isExhaustion(errno) || !makeRoom(keep.credentials.uid, &keep))
            return -1;
    }
}

Peer* PeerSet::admit(std::unique_ptr<Connection> connection, uint64_t id, const Credentials& credentials,
                     Peer::Role role, PeerHandler* handler)
{
    const uid_t uid = credentials.uid;
    // A closer that has not caught up with the uid's descriptors takes no
    // more of them.
    if (!privileged(uid) && loop_.closer().full(uid))
        return refuse(std::move(connection), credentials, "its uid sent more descriptors than are closed yet");
    auto holding = holdings_.find(uid);
    const bool full = !privileged(uid) && holding != holdings_.end() && holding->second.peers >= limits_.peersPerUid;
    if (full && side_ == Side::kManager)
        return refuse(std::move(connection), credentials, nullptr);
    if (full && !makeRoom(uid, nullptr))
        return refuse(std::move(connection), credentials, "its uid holds all the connections it may, none of them idle");
    // The newcomer may have taken the reserve's place, or the last free
    // one: it stays only when an idle peer makes room. The manager link
    // always stays: nothing would notice its loss and connect again.
    if (!refillReserve() && !makeRoom(uid, nullptr) && role != Peer::Role::kManagerLink)
        return refuse(std::move(connection), credentials, nullptr);
    refillReserve();
    auto owned = std::make_unique<Peer>(*this, std::move(connection), id, credentials, role, handler);
    Peer* peer = owned.get();
    peers_.emplace(peer, std::move(owned));
    byId_[id] = peer;
    ++holdings_[uid].peers;
    return peer->start() ? peer : nullptr;
}

void PeerSet::becomeHost(Peer& peer)
{
    if (peer.role_ == Peer::Role::kClient)
        peer.role_ = Peer::Role::kHost;
}

void PeerSet::lost(uid_t uid) { makeRoom(uid, nullptr); }

Peer* PeerSet::find(uint64_t id) const
{
    auto found = byId_.find(id);
    return found == byId_.end() ? nullptr : found->second;
}

bool PeerSet::makeRoom(uid_t uid, const Peer* keep)
{
    Peer* idlest = nullptr;
    for (auto& [peer, owned] : peers_) {
        const uid_t owner = peer->credentials.uid;
        if (peer != keep && peer->isOpen() && !peer->anchored() && !peer->midFrame() &&
            (owner == uid || (privileged(uid) && !privileged(owner))) &&
            (!idlest || peer->lastFrame() < idlest->lastFrame()))
            idlest = peer;
    }
    if (idlest) {
        const std::string reason = "it was the idlest, and a newcomer of uid " + std::to_string(uid) + " needed room";
        idlest->close(reason.c_str());
    }
    return idlest != nullptr;
}

bool PeerSet::mayHoldName(const Peer& host) const
{
    const uid_t uid = host.credentials.uid;
    if (privileged(uid))
        return true;
    auto holding = holdings_.find(uid);
    const size_t ofUid = holding == holdings_.end() ? 0 : holding->second.names;
    return host.names_ < limits_.namesPerConnection && ofUid < limits_.namesPerUid;
}

void PeerSet::heldName(Peer& host)
{
    ++host.names_;
    ++holdings_[host.credentials.uid].names;
}

void PeerSet::settle(Peer& host)
{
    Peer::HandOffs& handOffs = host.handOffs_;
    const size_t held = frameCost_ ? host.connection_->unreadBytes() / frameCost_ : 0;
    while (handOffs.uids.size() > held) {
        auto perUid = handOffs.perUid.find(handOffs.uids.front());
        if (--perUid->second == 0)
            handOffs.perUid.erase(perUid);
        handOffs.uids.pop_front();
    }
}

bool PeerSet::mayHandOff(Peer& host, uid_t uid)
{
    settle(host);
    auto perUid = host.handOffs_.perUid.find(uid);
    return privileged(uid) || perUid == host.handOffs_.perUid.end() || perUid->second < limits_.handOffsPerUid;
}

void PeerSet::handedOff(Peer& host, uid_t uid)
{
    host.handOffs_.uids.push_back(uid);
    ++host.handOffs_.perUid[uid];
}

void PeerSet::expire()
{
    const auto at = now();
    for (auto& [peer, owned] : peers_)
        if (const std::string reason = peer->expiry(at); !reason.empty())
            peer->close(reason.c_str());
    refillReserve();
    log_.tick();
}

// A closed peer's descriptor is free at once, and so is its place among
// its uid's connections.
Peer* PeerSet::refuse(std::unique_ptr<Connection> connection, const Credentials& credentials, const char* why)
{
    // Each newcomer is a connection of its own: the uid's are folded.
    if (why)
        log_.write(LogPriority::kWarning, credentials.uid, EventLog::key(0, EventLog::Event::kTurnedAway),
                   "dropped the connection of pid %d, uid %u: %s", int(credentials.pid), unsigned(credentials.uid), why);
    // Nothing of it was read: unless its socket refused descriptors from
    // the start, what it sent may carry some, whose release by a close here
    // could block. Shut down, it learns of the refusal at once all the same.
    const int fd = connection->release();
    int waiting = 0;
    if (refusedDescriptors(fd) || (ioctl(fd, SIOCINQ, &waiting) == 0 && waiting == 0)) {
        ::close(fd);
    } else {
        ::shutdown(fd, SHUT_RDWR);
        loop_.closer().take(credentials.uid, {fd});
    }
    return nullptr;
}

void PeerSet::closed(const Peer& peer) { --holdings_[peer.credentials.uid].peers; }

void PeerSet::forget(Peer* peer)
{
    const uid_t uid = peer->credentials.uid;
    Holding& holding = holdings_[uid];
    holding.bytes -= peer->accounted_;
    holding.names -= peer->names_;
    if (holding.peers == 0 && holding.bytes == 0 && holding.names == 0)
        holdings_.erase(uid);
    auto byId = byId_.find(peer->id);
    if (byId != byId_.end() && byId->second == peer)
        byId_.erase(byId);
    peers_.erase(peer);
}
