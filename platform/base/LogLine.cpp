#include "LogLine.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

std::string counted(size_t count, const char* noun)
{
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string printableText(const std::string& text)
{
    std::string shown;
    for (unsigned char byte : text) {
        if (byte >= 0x20 && byte < 0x7F) {
            shown += char(byte);
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
        shown += escaped;
    }
    return shown;
}

std::string formatLogLine(LogPriority priority, const char* program, const std::string& text, bool journal)
{
    std::string line;
    if (journal)
        line = "<" + std::to_string(int(priority)) + ">";
    return line + program + ": " + printableText(text) + "\n";
}

bool isJournalStream(int fd, const char* journalStream)
{
    unsigned long long device, inode;
    char rest;
    if (!journalStream || std::sscanf(journalStream, "%llu:%llu%c", &device, &inode, &rest) != 2)
        return false;
    struct stat status;
    if (fstat(fd, &status) < 0)
        return false;
    return status.st_dev == device && status.st_ino == inode;
}

bool standardErrorIsJournal()
{
    return isJournalStream(STDERR_FILENO, std::getenv("JOURNAL_STREAM"));
}
