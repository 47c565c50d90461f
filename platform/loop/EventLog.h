// The log of a daemon: one line on standard error (which the journal
// keeps under systemd) for each event an operator should know of, such as
// a client dropped and why, and none for normal traffic. Bounded: past
// kLinesPerWindow lines in a window of ten seconds, lines are counted
// instead, and the count is written when the next window opens. Internal
// to the platform library.
#pragma once

#include <quellix/String16.h>

#include <chrono>
#include <cstddef>
#include <string>

// A name as a log line may show it: UTF-8, with control characters and
// backslashes escaped (no name can forge a line), cut after 100 bytes.
std::string printable(const String16& name);

class EventLog {
public:
    static constexpr size_t kLinesPerWindow = 20;

    // Writes "PROGRAM: " and the formatted line, or counts it.
    void write(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Writes the count of lines held back, once their window has passed;
    // called about once a second.
    void tick();

private:
    bool admit();

    std::chrono::steady_clock::time_point windowStart_{};
    size_t written_ = 0;
    size_t suppressed_ = 0;
};
