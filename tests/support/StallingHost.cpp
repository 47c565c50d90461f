// stalling-host: a service host for the fault tests whose services stop the
// whole process (SIGSTOP) in the middle of answering, so that a test can
// kill it while a client's request is in flight, at a known point.
//
//   stalling-host query|transaction NAME...
//
// "query": each service stops while it answers the interface-name query;
// "transaction": it answers the query (interface "test.IStall") and stops
// in every other transaction. Continued instead of killed, it answers with
// an empty reply. Says "ready" once every name is registered.
#include <quellix/LocalService.h>
#include <quellix/ServiceHost.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

class StallingService : public LocalService {
public:
    explicit StallingService(bool inQuery) : LocalService(String16("test.IStall")), inQuery_(inQuery) {}

protected:
    status_t interfaceQueryStatus() const override
    {
        if (inQuery_)
            raise(SIGSTOP);
        return kStatusOk;
    }
    status_t onTransact(uint32_t, const Parcel&, Parcel*, uint32_t) override
    {
        if (!inQuery_)
            raise(SIGSTOP);
        return kStatusOk;
    }

private:
    bool inQuery_;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || (std::strcmp(argv[1], "query") != 0 && std::strcmp(argv[1], "transaction") != 0)) {
        std::fprintf(stderr, "usage: stalling-host query|transaction NAME...\n");
        return 2;
    }
    bool inQuery = std::strcmp(argv[1], "query") == 0;
    std::signal(SIGPIPE, SIG_IGN);
    std::unique_ptr<ServiceHost> host = ServiceHost::connect();
    if (!host) {
        std::fprintf(stderr, "stalling-host: no service manager is running\n");
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        status_t status = host->addService(String16(argv[i]), sp<LocalService>(new StallingService(inQuery)));
        if (status != kStatusOk) {
            std::fprintf(stderr, "stalling-host: cannot register '%s' (status %d)\n", argv[i], status);
            return 1;
        }
    }
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    return host->serve() == kStatusOk ? 0 : 1;
}
