#include "EventLog.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace {

constexpr auto kWindow = std::chrono::seconds(10);

} // namespace

bool EventLog::admit()
{
    const auto now = std::chrono::steady_clock::now();
    if (now - windowStart_ >= kWindow) {
        if (suppressed_ > 0)
            std::fprintf(stderr, "%s: %zu more log lines held back\n", program_invocation_short_name, suppressed_);
        windowStart_ = now;
        written_ = suppressed_ = 0;
    }
    if (written_ < kLinesPerWindow) {
        ++written_;
        return true;
    }
    ++suppressed_;
    return false;
}

void EventLog::write(const char* format, ...)
{
    if (!admit())
        return;
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, line);
}

void EventLog::tick()
{
    if (suppressed_ > 0 && std::chrono::steady_clock::now() - windowStart_ >= kWindow)
        admit();
}
