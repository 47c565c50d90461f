#include "EventLog.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <unistd.h>

namespace {

// The longest text of one event, its terminator included.
constexpr size_t kMaxText = 512;

__attribute__((format(printf, 1, 0))) std::string formatText(const char* format, va_list arguments)
{
    char text[kMaxText];
    if (std::vsnprintf(text, sizeof text, format, arguments) < 0)
        return format;
    return text;
}

bool moreSevere(LogPriority a, LogPriority b)
{
    return int(a) < int(b);
}

} // namespace

EventLog::EventLog() : EventLog(geteuid(), Clock::now) {}

EventLog::EventLog(uid_t ownUid, Now now) : ownUid_(ownUid), now_(std::move(now)) {}

void EventLog::write(LogPriority priority, uid_t uid, uint64_t key, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const std::string text = formatText(format, arguments);
    va_end(arguments);
    record(priority, uid, key, text);
}

void EventLog::writeOwn(LogPriority priority, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const std::string text = formatText(format, arguments);
    va_end(arguments);
    emit(priority, text);
}

void EventLog::flush()
{
    const auto now = now_();
    while (!repeats_.empty())
        endRepeat(repeats_.begin(), now);
    while (!windows_.empty())
        endWindow(windows_.begin());
}

void EventLog::tick()
{
    const auto now = now_();
    for (auto repeat = repeats_.begin(); repeat != repeats_.end();) {
        auto next = std::next(repeat);
        if (now - repeat->second.start >= kWindow)
            endRepeat(repeat, now);
        repeat = next;
    }
    for (auto window = windows_.begin(); window != windows_.end();) {
        auto next = std::next(window);
        if (now - window->second.start >= kWindow)
            endWindow(window);
        window = next;
    }
}

void EventLog::record(LogPriority priority, uid_t uid, uint64_t key, const std::string& text)
{
    const auto now = now_();
    if (key != kNoKey) {
        auto repeat = repeats_.find({uid, key});
        if (repeat != repeats_.end() && now - repeat->second.start < kWindow) {
            ++repeat->second.count;
            repeat->second.priority = priority;
            repeat->second.text = text;
            return;
        }
        if (repeat != repeats_.end())
            endRepeat(repeat, now);
        if (repeats_.size() >= kMaxRepeats)
            endRepeat(std::min_element(repeats_.begin(), repeats_.end(),
                                       [](const auto& a, const auto& b) { return a.second.start < b.second.start; }),
                      now);
        repeats_.emplace(std::pair(uid, key), Repeat{now, 0, priority, {}});
    }
    admit(priority, uid, text, now);
}

void EventLog::admit(LogPriority priority, uid_t uid, const std::string& text, Clock::time_point now)
{
    if (privileged(uid)) {
        emit(priority, text);
        return;
    }
    auto window = windows_.find(uid);
    if (window != windows_.end() && now - window->second.start >= kWindow) {
        endWindow(window);
        window = windows_.end();
    }
    if (window == windows_.end()) {
        if (windows_.size() >= kMaxUids)
            endWindow(std::min_element(windows_.begin(), windows_.end(),
                                       [](const auto& a, const auto& b) { return a.second.start < b.second.start; }));
        window = windows_.emplace(uid, Window{now}).first;
    }
    Window& open = window->second;
    if (open.written < kLinesPerWindow) {
        ++open.written;
        emit(priority, text);
        return;
    }
    ++open.heldBack;
    if (moreSevere(priority, open.worst))
        open.worst = priority;
}

void EventLog::endWindow(Windows::iterator window)
{
    const Window ended = window->second;
    const uid_t uid = window->first;
    windows_.erase(window);
    if (ended.heldBack > 0)
        emit(ended.worst,
             counted(ended.heldBack, "more log line") + " held back for uid " + std::to_string(uid));
}

void EventLog::endRepeat(Repeats::iterator repeat, Clock::time_point now)
{
    const Repeat ended = std::move(repeat->second);
    const uid_t uid = repeat->first.first;
    repeats_.erase(repeat);
    if (ended.count > 0)
        admit(ended.priority, uid,
              ended.text + " (repeated " + counted(ended.count, "more time") + ")", now);
}

void EventLog::emit(LogPriority priority, const std::string& text)
{
    if (sink_)
        sink_(priority, text);
}
