// How a program writes a line of its log: the priority of each line, the
// line as standard error carries it, and whether standard error is the
// journal, which reads the priority from a "<N>" prefix. Internal to the
// platform library, for the programs of this tree that link its layers.
#pragma once

#include <cstddef>
#include <string>

// The syslog numbers, which the journal reads.
enum class LogPriority : int {
    kError = 3,   // what stops a daemon
    kWarning = 4, // refusals, drops, evictions
    kInfo = 6,    // start, ready, reload
};

// "1 NOUN" or "N NOUNs": a count and its noun, plural right.
std::string counted(size_t count, const char* noun);

// `text` with every byte outside printable ASCII written as \xHH, so that
// no text can break a line in two or hide part of it.
std::string printableText(const std::string& text);

// "<N>PROGRAM: TEXT\n" when `journal`, else "PROGRAM: TEXT\n", the text
// as printableText() writes it.
std::string formatLogLine(LogPriority priority, const char* program, const std::string& text, bool journal);

// Whether `fd` is the journal's stream: `journalStream` (the value of
// JOURNAL_STREAM, which may be null) is "DEVICE:INODE" and names the file
// that `fd` is open on.
bool isJournalStream(int fd, const char* journalStream);
// The same for standard error and this process's JOURNAL_STREAM.
bool standardErrorIsJournal();
