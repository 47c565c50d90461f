// service-manager: the registry daemon. Listens at the platform's abstract
// socket, says "ready" once it accepts connections, and serves until
// SIGTERM or SIGINT.
#include "EventLoop.h"
#include "ManagerProtocol.h"
#include "Registry.h"
#include "Socket.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char kUsage[] = "usage: service-manager [--allow-register UID]... [--max-connections-per-uid N] "
                      "[--max-names-per-connection N]\n";

// A connection that has registered nothing and never completed a request
// for this long is dropped, so that silent or half-finished clients do not
// hold descriptors.
constexpr auto kIdleLimit = std::chrono::seconds(10);
constexpr int kAcceptsPerWake = 64;

bool parseNumber(const char* text, unsigned long max, unsigned long* out)
{
    errno = 0;
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || value > max)
        return false;
    *out = value;
    return true;
}

bool parseArguments(int argc, char** argv, Policy* policy)
{
    for (int i = 1; i < argc; i += 2) {
        std::string option = argv[i];
        unsigned long value;
        if (i + 1 >= argc) {
            std::fprintf(stderr, "service-manager: option %s needs a value\n", option.c_str());
            return false;
        }
        if (!parseNumber(argv[i + 1], UINT_MAX - 1, &value)) {
            std::fprintf(stderr, "service-manager: bad number '%s' for %s\n", argv[i + 1], option.c_str());
            return false;
        }
        if (option == "--allow-register")
            policy->allowRegister.push_back(uid_t(value));
        else if (option == "--max-connections-per-uid")
            policy->maxConnectionsPerUid = value;
        else if (option == "--max-names-per-connection")
            policy->maxNamesPerConnection = value;
        else {
            std::fprintf(stderr, "service-manager: unknown option '%s'\n", option.c_str());
            return false;
        }
    }
    return true;
}

void acceptClients(int listener, EventLoop& loop, Registry& registry)
{
    for (int i = 0; i < kAcceptsPerWake; ++i) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            auto connection = std::make_unique<Connection>(fd, kMaxManagerRequest);
            if (peerCredentials(fd, &connection->peer) && registry.admit(*connection))
                loop.adopt(std::move(connection), false, &registry);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        // Out of descriptors: the longest idle client that is not a host
        // makes room for the newcomer. With none, stop watching the
        // listener until a connection closes or the next tick, instead of
        // waking for it again and again.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            if (!registry.makeRoom()) {
                loop.pauseListener(true);
                return;
            }
            continue;
        }
        return;
    }
}

// Quiet clients are dropped only when they never completed a request.
void dropIdleClients(EventLoop& loop, const Registry& registry)
{
    auto now = Connection::Clock::now();
    loop.forEachConnection([&](Connection& c) {
        if (!registry.isHost(c) && c.frames == 0 && now - c.lastFrame > kIdleLimit)
            loop.close(&c);
    });
}

// Says who holds the address, when another service manager does.
void reportHolder()
{
    Credentials holder;
    int fd = connectServiceManager(&holder);
    if (fd >= 0) {
        peerCredentials(fd, &holder);
        close(fd);
    }
    if (holder.pid != 0)
        std::fprintf(stderr, "service-manager: another service manager is already running (pid %d, uid %u)\n",
                     int(holder.pid), unsigned(holder.uid));
    else
        std::fprintf(stderr, "service-manager: another service manager is already running\n");
}

} // namespace

int main(int argc, char** argv)
{
    Policy policy;
    if (!parseArguments(argc, argv, &policy)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Termination requests wait for the event loop, which takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    raiseDescriptorLimit();

    int listener = listenServiceManager();
    if (listener < 0) {
        if (errno == EADDRINUSE)
            reportHolder();
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
    Registry registry(*loop, std::move(policy));
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
