#include "Peer.h"

#include <cerrno>
#include <sys/epoll.h>

namespace {

// A peer that leaves this much of our output unread is stalled.
constexpr size_t kMaxUnreadOutput = 64u << 20;
constexpr size_t kMaxUnreadFrames = 16384;
// How long the time rules wait: for a newcomer's first frame, and for the
// rest of a frame begun.
constexpr auto kQuietLimit = std::chrono::seconds(10);

} // namespace

Peer::Peer(PeerSet& set, std::unique_ptr<Connection> connection, uint64_t id_, const Credentials& credentials_,
           unsigned flags, PeerHandler* handler)
    : id(id_), credentials(credentials_), anchored(flags & kAnchored), set_(set),
      connection_(std::move(connection)), handler_(handler), acceptFds_(flags & kAcceptFds),
      lastFrame_(Clock::now()), lastRead_(lastFrame_)
{
}

bool Peer::expired(Clock::time_point now) const
{
    if (closed_ || anchored)
        return false;
    const PeerSet::Rules& rules = set_.rules();
    return (rules.dropSilent && frames_ == 0 && now - lastFrame_ > kQuietLimit) ||
           (rules.dropHalfSent && connection_->reader().holdsPartialFrame() && now - lastRead_ > kQuietLimit);
}

int Peer::send(int32_t word, uint32_t arg, uint32_t target, std::vector<uint8_t> payload)
{
    if (closed_)
        return failWith(EPIPE);
    // The limit is on what the peer left unread before this frame, so that
    // one large reply still goes out whole.
    bool stalled = connection_->unsentBytes() > kMaxUnreadOutput || connection_->unsentFrames() >= kMaxUnreadFrames;
    connection_->queue(word, arg, target, std::move(payload));
    if (stalled || connection_->flush() < 0) {
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
        if (errno != EAGAIN)
            close(); // keeps errno
        return -1;
    }
    watch();
    return 0;
}

// The descriptor's own blocking mode does not matter: every receive and
// send of a peer passes MSG_DONTWAIT. Leaving it as it is saves a host two
// fcntl calls for each client a look-up hands it.
bool Peer::start()
{
    if (connection_->fd() < 0 || set_.loop().add(connection_->fd(), EPOLLIN, this) < 0) {
        close();
        return false;
    }
    interest_ = EPOLLIN;
    serveFrames();
    return isOpen();
}

void Peer::close()
{
    if (closed_)
        return;
    closed_ = true;
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
    set_.forget(this);
}

void Peer::ready(uint32_t events)
{
    if (events & EPOLLOUT) {
        if (connection_->flush() < 0)
            return close();
    } else {
        ssize_t count = connection_->fill();
        if (!acceptFds_)
            connection_->reader().closeFds();
        if (count == 0 || (count < 0 && errno != EAGAIN))
            return close();
        if (count > 0)
            lastRead_ = Clock::now();
    }
    serveFrames();
}

void Peer::serveFrames()
{
    Frame frame;
    while (!closed_ && !connection_->hasOutput()) {
        FrameReader::Result result = connection_->reader().next(&frame);
        if (result == FrameReader::Result::kNeedMore)
            break;
        if (result == FrameReader::Result::kMalformed || !handler_->onFrame(*this, frame))
            return close();
        lastFrame_ = Clock::now();
        ++frames_;
    }
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

Peer* PeerSet::adopt(std::unique_ptr<Connection> connection, uint64_t id, const Credentials& credentials,
                     unsigned flags, PeerHandler* handler)
{
    auto owned = std::make_unique<Peer>(*this, std::move(connection), id, credentials, flags, handler);
    Peer* peer = owned.get();
    peers_.emplace(peer, std::move(owned));
    return peer->start() ? peer : nullptr;
}

bool PeerSet::makeRoom(const Peer* keep)
{
    Peer* idlest = nullptr;
    for (auto& [peer, owned] : peers_)
        if (peer != keep && peer->isOpen() && !peer->anchored && !peer->busy() &&
            (!idlest || peer->lastFrame() < idlest->lastFrame()))
            idlest = peer;
    if (idlest)
        idlest->close();
    return idlest != nullptr;
}

void PeerSet::expire()
{
    const auto now = Peer::Clock::now();
    for (auto& [peer, owned] : peers_)
        if (peer->expired(now))
            peer->close();
}
