// service-manager: the registry daemon. Listens at the platform's abstract
// socket (or serves the one the init system passes it), says "ready" once
// it accepts connections, and serves until SIGTERM or SIGINT; SIGHUP
// reads the policy files again.
#include "Address.h"
#include "EventLog.h"
#include "EventLoop.h"
#include "LogLine.h"
#include "PolicyFiles.h"
#include "Server.h"

#include <quellix/Names.h>

#include <systemd/sd-daemon.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char kUsage[] = "usage: service-manager [--allow-register UID]... [--policy-dir DIR]... "
                      "[--max-connections-per-uid N] [--max-names-per-connection N] [--max-names-per-uid N]\n";

// Options not given keep the defaults of Limits.h.
bool parseArguments(int argc, char** argv, Server::Options* options, std::vector<std::string>* policyDirs,
                    EventLog& log)
{
    for (int i = 1; i < argc; i += 2) {
        std::string option = argv[i];
        if (i + 1 >= argc) {
            log.writeOwn(LogPriority::kError, "option %s needs a value", option.c_str());
            return false;
        }
        const char* text = argv[i + 1];
        if (option == "--policy-dir") {
            policyDirs->push_back(text);
            continue;
        }
        unsigned value;
        auto [end, error] = std::from_chars(text, text + std::strlen(text), value);
        if (error != std::errc() || *end != '\0' || value == UINT_MAX) {
            log.writeOwn(LogPriority::kError, "bad number '%s' for %s", text, option.c_str());
            return false;
        }
        if (option == "--allow-register")
            options->allowRegister.push_back(uid_t(value));
        else if (option == "--max-connections-per-uid")
            options->limits.peersPerUid = value;
        else if (option == "--max-names-per-connection")
            options->limits.namesPerConnection = value;
        else if (option == "--max-names-per-uid")
            options->limits.namesPerUid = value;
        else {
            log.writeOwn(LogPriority::kError, "unknown option '%s'", option.c_str());
            return false;
        }
    }
    return true;
}

// Reads the policy files and says what is wrong with them; false when
// any is bad.
bool readPolicy(const std::vector<std::string>& directories, PolicyRead* read, EventLog& log)
{
    const bool good = readPolicyFiles(directories, read);
    for (const std::string& line : read->warnings)
        log.writeOwn(LogPriority::kWarning, "%s", line.c_str());
    for (const std::string& line : read->errors)
        log.writeOwn(LogPriority::kWarning, "%s", line.c_str());
    return good;
}

// On SIGHUP: the new policy entirely, or the one in force when any file
// is bad.
void reloadPolicy(const std::vector<std::string>& directories, Server& server, EventLog& log)
{
    PolicyRead read;
    if (!readPolicy(directories, &read, log)) {
        log.writeOwn(LogPriority::kWarning, "policy not reloaded; the policy in force stays");
        return;
    }
    log.writeOwn(LogPriority::kInfo, "policy reloaded: %s from %s", counted(read.grants.size(), "grant").c_str(),
                 counted(read.files, "file").c_str());
    server.setGrants(std::move(read.grants));
}

// Says who holds the address, when another service manager does.
void reportHolder(EventLog& log)
{
    Credentials holder;
    if (int fd = connectServiceManager(&holder); fd >= 0) {
        peerCredentials(fd, &holder);
        close(fd);
    }
    if (holder.pid != 0)
        log.writeOwn(LogPriority::kError, "another service manager is already running (pid %d, uid %u)",
                     int(holder.pid), unsigned(holder.uid));
    else
        log.writeOwn(LogPriority::kError, "another service manager is already running");
}

// The listening socket: the one the init system passed (LISTEN_FDS), which
// must be a listening Unix stream socket at the platform's address, or
// else one of our own; -1 after saying why there is none.
int listeningSocket(bool* fromInitSystem, EventLog& log)
{
    int passed = sd_listen_fds(1);
    *fromInitSystem = passed > 0;
    if (passed < 0) {
        log.writeOwn(LogPriority::kError, "cannot take the passed sockets: %s", std::strerror(-passed));
        return -1;
    }
    if (passed == 0) {
        int fd = listenServiceManager();
        if (fd < 0 && errno == EADDRINUSE)
            reportHolder(log);
        else if (fd < 0)
            log.writeOwn(LogPriority::kError, "cannot listen: %s", std::strerror(errno));
        return fd;
    }
    const std::string address = std::string(1, '\0') + kServiceManagerSocket;
    const int fd = SD_LISTEN_FDS_START;
    if (passed != 1) {
        log.writeOwn(LogPriority::kError, "the init system passed %d sockets, not one", passed);
        return -1;
    }
    if (sd_is_socket_unix(fd, SOCK_STREAM, 1, address.data(), address.size()) <= 0) {
        log.writeOwn(LogPriority::kError, "the socket passed by the init system is not a listening Unix "
                     "stream socket at @%s", kServiceManagerSocket);
        return -1;
    }
    // Connections that arrive from now on refuse descriptors from their
    // first byte; any that came with those queued before we started go to
    // the event loop's closer.
    if (refuseDescriptors(fd) < 0) {
        log.writeOwn(LogPriority::kError, "cannot make the passed socket refuse descriptors: %s",
                     std::strerror(errno));
        return -1;
    }
    // Accepting goes on until there is no one left to accept.
    return fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == 0 ? fd : -1;
}

} // namespace

int main(int argc, char** argv)
{
    // The daemon's one log: its own lines and its server's, each with its
    // priority for the journal when standard error is the journal.
    EventLog log;
    const bool journal = standardErrorIsJournal();
    log.setSink([journal](LogPriority priority, const std::string& text) {
        std::fputs(formatLogLine(priority, "service-manager", text, journal).c_str(), stderr);
    });
    Server::Options options;
    std::vector<std::string> policyDirs;
    if (!parseArguments(argc, argv, &options, &policyDirs, log)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (policyDirs.empty())
        policyDirs = {QUELLIX_SYSCONF_POLICY_DIR, QUELLIX_DATA_POLICY_DIR};
    std::signal(SIGPIPE, SIG_IGN);
    // Termination requests wait for the event loop, which takes them; so
    // does SIGHUP (a reload, or a closed terminal), which reads the policy
    // files again.
    sigset_t signals = stopSignals();
    sigaddset(&signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    raiseDescriptorLimit();

    bool passed;
    int listener = listeningSocket(&passed, log);
    if (listener < 0)
        return 1;
    // A bad file at start does not keep the manager down (under socket
    // activation, every client would wait on it): it serves with the
    // command line's policy alone, as after a failed reload.
    PolicyRead read;
    const bool policyGood = readPolicy(policyDirs, &read, log);
    if (!policyGood)
        log.writeOwn(LogPriority::kWarning, "policy files not applied; until a reload reads them without "
                     "error, only root, the manager's own uid and the uids of --allow-register may "
                     "register");
    else if (read.files > 0)
        log.writeOwn(LogPriority::kInfo, "policy read: %s from %s", counted(read.grants.size(), "grant").c_str(),
                     counted(read.files, "file").c_str());
    EventLoop loop;
    Server server(loop, listener, log, std::move(options));
    if (policyGood)
        server.setGrants(std::move(read.grants));
    loop.onSignal([&](const Signal& signal) {
        if (signal.number != SIGHUP) {
            log.writeOwn(LogPriority::kInfo, "stopping on %s", describe(signal).c_str());
            return true;
        }
        reloadPolicy(policyDirs, server, log);
        return false;
    });
    if (loop.open(signals) < 0 || server.start() < 0) {
        log.writeOwn(LogPriority::kError, "cannot start the event loop: %s", std::strerror(errno));
        return 1;
    }
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    log.writeOwn(LogPriority::kInfo, "ready, serving @%s%s", kServiceManagerSocket,
                 passed ? " (the init system's socket)" : "");
    sd_notify(0, (std::string("READY=1\nSTATUS=Serving at @") + kServiceManagerSocket).c_str());
    const int ran = loop.run();
    if (ran < 0)
        log.writeOwn(LogPriority::kError, "the event loop failed: %s", std::strerror(errno));
    // The counts still held back are written before we go.
    log.flush();
    return ran < 0 ? 1 : 0;
}
