// service-manager: the registry daemon. Listens at the platform's abstract
// socket, says "ready" once it accepts connections, and serves until
// SIGTERM or SIGINT.
#include "EventLoop.h"
#include "ManagerProtocol.h"
#include "Registry.h"
#include "Socket.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A connection that has registered nothing and sent no complete request
// for this long is dropped, so that silent or half-finished clients do not
// hold descriptors.
constexpr auto kIdleLimit = std::chrono::seconds(10);
constexpr int kAcceptsPerWake = 64;

void acceptClients(int listener, EventLoop& loop, Registry& registry)
{
    for (int i = 0; i < kAcceptsPerWake; ++i) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            auto connection = std::make_unique<Connection>(fd, kMaxManagerRequest);
            ucred credentials{};
            socklen_t length = sizeof credentials;
            if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) < 0)
                continue;
            connection->peer = Credentials{credentials.pid, credentials.uid, credentials.gid};
            registry.admit(*connection);
            loop.adopt(std::move(connection), false, &registry);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        // Out of descriptors: stop watching the listener until a
        // connection closes or the next tick, instead of waking for it
        // again and again.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            loop.pauseListener(true);
        return;
    }
}

void dropIdleClients(EventLoop& loop, const Registry& registry)
{
    auto now = Connection::Clock::now();
    loop.forEachConnection([&](Connection& c) {
        if (!registry.isHost(c) && now - c.lastFrame > kIdleLimit)
            loop.close(&c);
    });
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1) {
        std::fprintf(stderr, "service-manager: unexpected argument '%s'\nusage: service-manager\n", argv[1]);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Termination requests wait for the event loop, which takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

    int listener = listenServiceManager();
    if (listener < 0) {
        if (errno == EADDRINUSE)
            std::fprintf(stderr, "service-manager: another service manager is already running\n");
        else
            std::fprintf(stderr, "service-manager: cannot listen: %s\n", std::strerror(errno));
        return 1;
    }
    status_t status;
    std::unique_ptr<EventLoop> loop = EventLoop::create(&status);
    if (!loop) {
        std::fprintf(stderr, "service-manager: cannot start the event loop (status %d)\n", status);
        return 1;
    }
    Registry registry(*loop);
    loop->setListener(listener, [&] { acceptClients(listener, *loop, registry); });
    loop->setTick(std::chrono::seconds(1), [&] {
        dropIdleClients(*loop, registry);
        loop->pauseListener(false);
    });

    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    status = loop->run();
    return status == kStatusOk ? 0 : 1;
}
