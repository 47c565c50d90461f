#include "EventLog.h"

#include <quellix/String8.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

namespace {

constexpr auto kWindow = std::chrono::seconds(10);

} // namespace

std::string printable(const String16& name)
{
    const std::string utf8 = String8(name).bytes();
    std::string shown;
    for (unsigned char byte : utf8.substr(0, 100)) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
        shown += byte < 0x20 || byte == 0x7F || byte == '\\' ? escaped : std::string(1, char(byte));
    }
    return utf8.size() > 100 ? shown + "..." : shown;
}

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
