// The log of a daemon: one line for each event an operator should know of,
// such as a client dropped and why, and none for normal traffic. The log
// never prints: it hands each line and its priority to the sink that its
// program sets (with none, lines go nowhere), and the program writes it,
// with formatLogLine() for instance. Internal to the platform library.
//
// Bounded per uid, so that no user can spend the log for another: each
// event names the uid that caused it, and an unprivileged uid gets at most
// kLinesPerWindow lines in a window of kWindow; past that its lines are
// counted, and the count is written when the window has passed ("N more
// log lines held back for uid U"). Events of the privileged uids (root and
// our own) always get their line (or, repeated, their count). At most kMaxUids windows are kept: a new
// uid then ends the oldest window early, count and all.
//
// A repeated event is written once: events of one uid with the same key
// (the caller's, for one kind of event on one connection, say) within
// kWindow of the first are counted, and when the window has passed, the
// last of them is written once more with the count ("TEXT (repeated N more
// times)"), as a line of its uid's budget. At most kMaxRepeats keys are
// kept, the oldest ending early when a new one comes.
#pragma once

#include "LogLine.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <sys/types.h>
#include <utility>

class EventLog {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;
    using Sink = std::function<void(LogPriority priority, const std::string& text)>;

    static constexpr size_t kLinesPerWindow = 20;
    static constexpr Clock::duration kWindow = std::chrono::seconds(10);
    static constexpr size_t kMaxUids = 1024;
    static constexpr size_t kMaxRepeats = 1024;
    // The key of an event that is never folded into a count.
    static constexpr uint64_t kNoKey = 0;
    // The kinds of event that are folded by connection.
    enum class Event : uint8_t { kDropped = 1, kTurnedAway, kProtocolVersion, kRefusedName };
    // The key of one kind of event on the connection numbered `id`.
    static constexpr uint64_t key(uint64_t id, Event event) { return id << 8 | uint64_t(event); }

    // Our own uid is the effective one; time is the steady clock's.
    EventLog();
    // `now` tells the time, for tests that move it on without waiting.
    EventLog(uid_t ownUid, Now now);

    // Where the lines go. The sink must not write to this log.
    void setSink(Sink sink) { sink_ = std::move(sink); }

    // An event that `uid` caused, with the key it is folded by (kNoKey:
    // never), written as the formatted text (cut at 511 bytes) or counted.
    void write(LogPriority priority, uid_t uid, uint64_t key, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
    // Writes the counts whose windows have passed; called about once a
    // second.
    void tick();

    // An event of the daemon's own (its start, a reload, what stops it):
    // always written, never folded.
    void writeOwn(LogPriority priority, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Writes every count now, whether or not its window has passed; a
    // daemon calls it before it exits, so that no count is lost.
    void flush();

private:
    struct Window {
        Clock::time_point start;
        size_t written = 0;
        size_t heldBack = 0;
        LogPriority worst = LogPriority::kInfo;
    };
    struct Repeat {
        Clock::time_point start;
        size_t count = 0;
        LogPriority priority = LogPriority::kInfo;
        std::string text;
    };
    using Windows = std::map<uid_t, Window>;
    using Repeats = std::map<std::pair<uid_t, uint64_t>, Repeat>;

    bool privileged(uid_t uid) const { return uid == 0 || uid == ownUid_; }
    void record(LogPriority priority, uid_t uid, uint64_t key, const std::string& text);
    void admit(LogPriority priority, uid_t uid, const std::string& text, Clock::time_point now);
    void endWindow(Windows::iterator window);
    void endRepeat(Repeats::iterator repeat, Clock::time_point now);
    void emit(LogPriority priority, const std::string& text);

    uid_t ownUid_;
    Now now_;
    Sink sink_;
    Windows windows_;
    Repeats repeats_;
};
