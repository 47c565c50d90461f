// service-host: hosts services in one process. Without arguments it runs
// the sample services; with --service options, configurable echo services.
// Says "ready" once every service is registered, then serves until SIGTERM
// or SIGINT, through restarts of the service manager.
#include "Arguments.h"
#include "LogLine.h"
#include "SampleServices.h"

#include <quellix/ProtocolVersion.h>
#include <quellix/ServiceHost.h>
#include <quellix/String8.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* describe(status_t status)
{
    switch (status) {
    case kStatusNameTaken:
        return "the name is taken by a running host";
    case kStatusBadValue:
        return "the name is empty or longer than 1024 UTF-16 units";
    case kStatusDeadObject:
        return "the service manager has gone away";
    case kStatusPermissionDenied:
        return "permission denied: the service manager does not let this uid register names";
    case kStatusNoResources:
        return "this uid may register no more names";
    case kStatusProtocolMismatch:
        return "the service manager speaks another version of the protocol";
    default:
        return "the service manager refused it";
    }
}

// A line of the host's log, with its priority for the journal when
// standard error is the journal.
void say(bool journal, LogPriority priority, const std::string& text)
{
    std::fputs(formatLogLine(priority, "service-host", text, journal).c_str(), stderr);
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<ServiceSpec> specs;
    std::string error;
    if (!parseArguments(argc - 1, argv + 1, &specs, &error)) {
        std::fprintf(stderr,
                     "service-host: %s\nusage: service-host [--service NAME [--interface TEXT] "
                     "[--query-status N] [--status N] [--allow-uid UID]...] ...\n",
                     error.c_str());
        return 2;
    }
    std::vector<NamedService> services;
    if (specs.empty())
        services = sampleServices();
    for (ServiceSpec& spec : specs)
        services.push_back({spec.name, sp<LocalService>(new EchoService(spec.interfaceName, spec.queryStatus,
                                                                        spec.status, spec.allowedUids))});

    // Termination requests wait for the serving loop from here on, so that
    // one arriving right after "ready" still ends the host cleanly.
    const sigset_t stop = ServiceHost::stopSignals();
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // A closed terminal or a reload does not end the services.
    std::signal(SIGHUP, SIG_IGN);
    ServiceHost::raiseDescriptorLimit();

    const bool journal = standardErrorIsJournal();
    Credentials holder;
    std::unique_ptr<ServiceHost> host = ServiceHost::connect(
        &holder, [journal](int priority, const char* line) { say(journal, LogPriority(priority), line); });
    if (!host && holder.pid != 0) {
        say(journal, LogPriority::kError,
            "refusing the service manager address held by pid " + std::to_string(holder.pid) + ", uid " +
                std::to_string(holder.uid) + " (neither root nor this user)");
        return 1;
    }
    if (!host) {
        say(journal, LogPriority::kError, "no service manager is running");
        return 1;
    }
    for (const NamedService& s : services) {
        Credentials nameHolder;
        status_t status = host->addService(s.name, s.service, &nameHolder);
        if (status != kStatusOk) {
            std::string heldBy;
            if (status == kStatusProtocolMismatch)
                std::fprintf(stderr, "%s%s\n", journal ? "<3>" : "",
                             describeProtocolMismatch(host->managerProtocolVersion()).c_str());
            if (status == kStatusNameTaken && nameHolder.pid != 0)
                heldBy = " (pid " + std::to_string(nameHolder.pid) + ", uid " + std::to_string(nameHolder.uid) + ")";
            say(journal, LogPriority::kError,
                "cannot register '" + String8(s.name).bytes() + "': " + describe(status) + heldBy + " (status " +
                    std::to_string(status) + ")");
            return 1;
        }
    }
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    // A service manager that goes meanwhile is followed by the next one,
    // as the host's log says.
    status_t status = host->serve();
    if (status != kStatusOk)
        say(journal, LogPriority::kError,
            std::string("cannot serve: ") + std::strerror(-status) + " (status " + std::to_string(status) + ")");
    return status == kStatusOk ? 0 : 1;
}
