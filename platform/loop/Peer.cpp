#include "Peer.h"

#include "Address.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/epoll.h>
#include <unistd.h>

namespace {

// A peer that leaves this much of our output unread is stalled.
constexpr size_t kMaxUnreadOutput = 64u << 20;
constexpr size_t kMaxUnreadFrames = 16384;
// How long the time rules wait: for a newcomer's first frame, and for the
// rest of a frame from its first byte.
constexpr auto kQuietLimit = std::chrono::seconds(10);

} // namespace

Peer::Peer(PeerSet& set, std::unique_ptr<Connection> connection, uint64_t id_, const Credentials& credentials_,
           unsigned flags, PeerHandler* handler)
    : id(id_), credentials(credentials_), anchored(flags & kAnchored), set_(set),
      connection_(std::move(connection)), handler_(handler), acceptFds_(flags & kAcceptFds),
      lastFrame_(Clock::now())
{
}

const char* Peer::expiry(Clock::time_point now) const
{
    if (closed_ || anchored)
        return nullptr;
    if (set_.limits().dropSilent && frames_ == 0 && now - lastFrame_ > kQuietLimit)
        return "it completed no request within 10 s of connecting";
    if (frameStart_ != Clock::time_point() && now - frameStart_ > kQuietLimit)
        return "it left a message unfinished 10 s after its first byte";
    return nullptr;
}

bool Peer::account()
{
    PeerSet::Holding& holding = set_.holding(credentials.uid);
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
    if (connection_->unsentBytes() > kMaxUnreadOutput || connection_->unsentFrames() >= kMaxUnreadFrames) {
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
    if (!acceptFds_)
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
    if (reason)
        set_.log().write("dropped the connection of pid %d, uid %u: %s", int(credentials.pid),
                         unsigned(credentials.uid), reason);
    // The descriptor is free at once; the peer lives on until released(),
    // since events already fetched may still point at it.
    int error = errno;
    set_.loop().remove(connection_->fd(), this);
    connection_->shutDown();
    errno = error;
}

void Peer::released()
{
    handler_->onClose(*this);
    set_.holding(credentials.uid).bytes -= accounted_;
    set_.forget(this);
}

void Peer::ready(uint32_t events)
{
    if (events & EPOLLOUT) {
        if (connection_->flush() < 0)
            close();
    } else {
        if (acceptFds_)
            set_.spendReserve();
        ssize_t count = connection_->fill();
        // Descriptors where none belong (sent before the socket refused
        // them, or where the kernel cannot refuse them) go to the closer.
        if (!acceptFds_ && !set_.loop().closer().take(credentials.uid, connection_->reader().takeFds()))
            close("its uid sent more descriptors than are closed yet");
        if (count == 0 || (count < 0 && errno != EAGAIN))
            close();
    }
    if (!closed_ && account())
        serveFrames();
    set_.refillReserve();
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
        lastFrame_ = Clock::now();
        frameStart_ = Clock::time_point();
        ++frames_;
    }
    // The frame begun runs against the clock from now (its first byte came
    // at the latest now); more bytes do not set it back.
    if (!connection_->reader().holdsPartialFrame())
        frameStart_ = Clock::time_point();
    else if (frameStart_ == Clock::time_point())
        frameStart_ = Clock::now();
    watch();
}

// Reads while the peer may send frames, writes while it has output.
void Peer::watch()
{
    if (closed_)
        return;
    uint32_t interest = connection_->hasOutput() ? uint32_t(EPOLLOUT) : uint32_t(EPOLLIN);
    if (interest != interest_ && set_.loop().modify(connection_->fd(), interest, this) < 0)
        return close();
    interest_ = interest;
}

PeerSet::PeerSet(EventLoop& loop, Limits limits) : loop_(loop), limits_(limits), ownUid_(geteuid())
{
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

Peer* PeerSet::adopt(std::unique_ptr<Connection> connection, uint64_t id, const Credentials& credentials,
                     unsigned flags, PeerHandler* handler)
{
    auto owned = std::make_unique<Peer>(*this, std::move(connection), id, credentials, flags, handler);
    Peer* peer = owned.get();
    peers_.emplace(peer, std::move(owned));
    // A uid past the peers it may hold makes room among its own, or does
    // without this one.
    const uid_t uid = credentials.uid;
    if (++holdings_[uid].peers > limits_.peersPerUid && !privileged(uid) && !makeRoom(uid, peer)) {
        peer->close("its uid holds all the connections it may, none of them idle");
        return nullptr;
    }
    return peer->start() ? peer : nullptr;
}

bool PeerSet::makeRoom(uid_t uid, const Peer* keep)
{
    Peer* idlest = nullptr;
    for (auto& [peer, owned] : peers_) {
        const uid_t owner = peer->credentials.uid;
        if (peer != keep && peer->isOpen() && !peer->anchored && !peer->busy() &&
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

void PeerSet::expire()
{
    const auto now = Peer::Clock::now();
    for (auto& [peer, owned] : peers_)
        if (const char* reason = peer->expiry(now))
            peer->close(reason);
    log_.tick();
}

void PeerSet::forget(Peer* peer)
{
    if (--holdings_[peer->credentials.uid].peers == 0)
        holdings_.erase(peer->credentials.uid);
    peers_.erase(peer);
}
