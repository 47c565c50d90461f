#include "ProcessProbe.h"

#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

// The fields of /proc/PID/stat after the command name (which may hold
// blanks and parentheses, so it is skipped up to the last ')'): the first
// is the state (field 3 of the file).
bool statFields(pid_t pid, std::string* afterName)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 > text.size())
        return false;
    *afterName = text.substr(close + 2);
    return true;
}

} // namespace

char processState(pid_t pid)
{
    std::string fields;
    if (!statFields(pid, &fields) || fields.empty())
        return 0;
    return fields[0];
}

bool waitForState(pid_t pid, char state, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (processState(pid) != state) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

double cpuSeconds(pid_t pid)
{
    std::string fields;
    if (!statFields(pid, &fields))
        return -1;
    // utime and stime are fields 14 and 15 of the file: the 12th and 13th
    // counted from the state.
    std::istringstream in(fields);
    std::string skip;
    for (int i = 0; i < 11; ++i)
        in >> skip;
    unsigned long long user = 0, system = 0;
    if (!(in >> user >> system))
        return -1;
    return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

bool limitDescriptors(pid_t pid, rlim_t limit)
{
    rlimit both{limit, limit};
    return prlimit(pid, RLIMIT_NOFILE, &both, nullptr) == 0;
}

long residentKiB(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

int openDescriptors(pid_t pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count;
}

DescriptorLimit::DescriptorLimit(rlim_t soft)
{
    if (getrlimit(RLIMIT_NOFILE, &saved_) != 0)
        return;
    rlimit wanted = saved_;
    wanted.rlim_cur = soft <= saved_.rlim_max ? soft : saved_.rlim_max;
    ok_ = setrlimit(RLIMIT_NOFILE, &wanted) == 0;
}

DescriptorLimit::~DescriptorLimit()
{
    if (ok_)
        setrlimit(RLIMIT_NOFILE, &saved_);
}

rlim_t DescriptorLimit::current() const
{
    rlimit now{};
    getrlimit(RLIMIT_NOFILE, &now);
    return now.rlim_cur;
}
