// The host: this process's registration with the service manager, and the
// loop that answers the transactions of its services' clients.
//
// A program that offers services:
//
//   1. blocks SIGTERM and SIGINT (stopSignals(), with sigprocmask or
//      pthread_sigmask), so that serve() sees them and returns instead of
//      the process dying at once; the library never changes the signal
//      mask itself;
//   2. calls ServiceHost::connect(), with a log handler of its own or the
//      default one, which writes the host's lines on standard error;
//   3. calls addService() once per service;
//   4. calls serve(), which returns when the program is asked to stop;
//      a service manager that goes meanwhile is followed by the next.
//
// Threading: a ServiceHost belongs to the thread that made it. serve()
// runs every transaction of every service, one at a time, on that thread,
// so a service needs no locks of its own for state that only its
// onTransact touches. A service that blocks in onTransact holds up every
// client of this host.
#pragma once

#include <quellix/Credentials.h>
#include <quellix/LocalService.h>
#include <quellix/RefBase.h>
#include <quellix/Status.h>
#include <quellix/String16.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <signal.h>

class ServiceHost {
public:
    // Where the host's log lines go: a client dropped and why, a service
    // that threw, the signal that stopped serve(). `priority` is the syslog
    // number (3 error, 4 warning, 6 info); `line` is printable ASCII, with
    // no program name and no newline. The library never prints: it hands
    // each line to the handler. Lines are bounded per uid and a client's
    // repeated event is written once with a count, as at the service
    // manager.
    using LogHandler = std::function<void(int priority, const char* line)>;
    // The handler that connect() takes unless given another: "PROGRAM:
    // LINE" on standard error. Being inline, it is the program's own code.
    static void logToStandardError(int, const char* line)
    {
        std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, line);
    }

    // Connects to the service manager of this network namespace; null when
    // nothing listens there, or when the process that holds the address is
    // neither root nor of our own effective uid: then *holder (if given)
    // says who it is (its pid is not 0). The names registered over this
    // connection are dropped when the host goes. Its log lines go to `log`
    // (an empty handler: nowhere).
    static std::unique_ptr<ServiceHost> connect(Credentials* holder = nullptr, LogHandler log = logToStandardError);
    // Closes the connection to the service manager, which drops every name
    // registered through it, and releases the host's references to its
    // services.
    ~ServiceHost();
    ServiceHost(const ServiceHost&) = delete;
    ServiceHost& operator=(const ServiceHost&) = delete;

    // SIGTERM and SIGINT: the signals that end serve() once the program
    // has blocked them.
    static sigset_t stopSignals();
    // Raises this process's soft limit on open descriptors to its hard
    // limit, so that a host with many clients is not short of them long
    // before it has to be; false when it cannot.
    static bool raiseDescriptorLimit();

    // Registers `service` under `name` and keeps a reference to it for as
    // long as the host lives. A service may be registered under several
    // names. Waits for the service manager's answer:
    //   kStatusOk                the name is ours until this host goes
    //   kStatusBadValue          an invalid name (see isValidServiceName),
    //                            a null service, or serve() has been called
    //   kStatusNameTaken         a live host holds the name; *holder (if
    //                            given) says who: its pid and uid
    //   kStatusPermissionDenied  our uid may not register names (only root,
    //                            the service manager's uid and the uids it
    //                            was started with --allow-register may)
    //   kStatusNoResources       our uid may hold no more names
    //   kStatusDeadObject        the service manager is gone
    //   kStatusProtocolMismatch  it speaks another version of the protocol
    //                            (managerProtocolVersion() says which)
    status_t addService(const String16& name, const sp<LocalService>& service, Credentials* holder = nullptr);
    // The version the service manager said it speaks when it last refused
    // a registration with kStatusProtocolMismatch (see ProtocolVersion.h);
    // 0 while it never has.
    uint32_t managerProtocolVersion() const;

    // Serves transactions on the calling thread until SIGTERM or SIGINT
    // arrives (kStatusOk); the names are gone with the host. The signals
    // end serve() only when the program has blocked both before calling
    // it; unblocked, they end the process as usual. Called once: a second
    // call returns kStatusBadValue. When the loop cannot be set up or
    // fails, it returns a failure status: kStatusNoResources when out of
    // descriptors or memory, otherwise the negated errno.
    //
    // When the service manager goes away (a restart, a crash, a stop by
    // hand), serve() goes on (it never returns kStatusDeadObject): the
    // clients the host has keep their connections and are served on, and
    // the host tries the address again, 50 ms after and then twice as long
    // each time up to 250 ms, without holding up its clients. The next
    // service manager of uid 0 or ours that listens there gets every name
    // registered again, each with the handle it had, so that references
    // held by clients stay valid; a manager of another uid is refused. A
    // name that another host took meanwhile stays that host's, and the
    // others come back. Each step is logged on standard error:
    //   PROGRAM: the service manager has gone away; waiting for the next one
    //   PROGRAM: refusing the service manager address held by pid P, uid U
    //            (neither root nor this user)
    //   PROGRAM: cannot register 'NAME' again: the name is taken by a
    //            running host (pid P, uid U) (status -17)
    //   PROGRAM: registered N names again with the service manager (pid P)
    //            ("registered K of N names" when some were refused)
    //
    // An exception that escapes a service's onTransact fails that one
    // transaction with kStatusServiceFailed and an empty reply, and is
    // logged (at warning); the host serves on. So is a client that the
    // host drops, and why.
    //
    // A client that sends a malformed message loses its connection, and so
    // does one whose message is not whole 10 seconds after its first byte,
    // and one that takes none of its replies for 10 seconds; no client
    // holds up another. A uid other than root and ours holds at
    // most 256 connections and 32 MiB of messages here; past them, or out
    // of descriptors, a newcomer takes the place of the idlest connection
    // of its own uid (root's may take any other uid's; replies left unread
    // do not make a connection busy) or is turned away.
    // The signal that stops it is logged (at info) with its sender, as
    // "stopping on SIGTERM from pid P, uid U".
    status_t serve();

    struct Impl;

private:
    explicit ServiceHost(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};
