// What a hostile local user's process does in the security tests: it runs
// as another uid in a child, and it has lingering sockets and descriptors
// to send where none belong.
#pragma once

#include "Process.h"

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

inline constexpr uid_t kNobody = 65534;

// A built program run, or started, as root or (through setpriv) as nobody;
// nobody runs copies that it may read, wherever the build tree lies.
RunResult run(bool nobody, const std::string& program, const std::vector<std::string>& args);
bool startAs(Daemon& daemon, bool nobody, const std::string& program, const std::vector<std::string>& args);
// The same as any `uid`, with the group of the same number.
RunResult runAsUid(uid_t uid, const std::string& program, const std::vector<std::string>& args);
bool startAsUid(Daemon& daemon, uid_t uid, const std::string& program, const std::vector<std::string>& args);

// Root's `quellix call s 1 i32 7` and `quellix list` beside an attack:
// the call echoes seven and the listing is `listing`, whole. How many
// seconds both took.
double expectRootServed(const std::string& listing);

// Stops `daemon` with SIGTERM, expecting exit 0 within 1 s whatever users
// have sent it; how many milliseconds that took.
int expectStopsAtOnce(Daemon& daemon);
// The same for a host and then its manager, as a figure for the report.
std::string expectBothStopAtOnce(Daemon& host, Daemon& manager);

// One row of the security report: a threat, its defence and what the run
// saw of it.
void threat(const std::string& what, const std::string& defence, const std::string& figure, double seconds);

// A child that becomes `uid`, runs `attack`, says it is done and then
// holds whatever it opened until the object goes (it is killed then).
class Attacker {
public:
    // Returns once `attack` has run; false when the child failed first or
    // took over a minute.
    bool run(uid_t uid, const std::function<void()>& attack);

private:
    ForkedChild child_;
};

// Brings the network namespace's loopback up (a new one has it down).
bool bringUpLoopback();
// A TCP socket over loopback whose close blocks: it holds unsent data that
// its peer never reads, and lingers for `seconds`. -1 when it cannot be
// made.
int lingeringSocket(int seconds);
// A Unix socket whose close blocks whatever its own options: its queue
// holds a lingering socket in flight, whose last copy that close releases.
// -1 when it cannot be made.
int socketWhoseCloseBlocks();
// Sends one byte with `fd` attached over the connected socket `via`.
bool sendDescriptor(int via, int fd);
// Sends `bytes` with `fds` attached to their first byte, in one sendmsg:
// false (errno set) when none went, as when `via` refuses descriptors.
bool sendDescriptors(int via, const std::string& bytes, const std::vector<int>& fds);

// Nine descriptors to send where none belong: eight of /dev/null and, the
// ninth, a lingering socket (lingeringSocket(30)). Once the lingering one
// has gone, renew() replaces it, so that the receiver's copy is the last.
class NineDescriptors {
public:
    NineDescriptors();
    ~NineDescriptors();
    NineDescriptors(const NineDescriptors&) = delete;
    NineDescriptors& operator=(const NineDescriptors&) = delete;

    bool ok() const;
    const std::vector<int>& fds() const { return fds_; }
    // Sends them (sendDescriptors); when they went, our lingering copy is
    // closed and a new one made. Whether they went.
    bool sendWith(int via, const std::string& bytes);

private:
    std::vector<int> fds_;
};
