#include "PrivateNetwork.h"

#include <fcntl.h>
#include <sched.h>
#include <string>
#include <unistd.h>

namespace {

bool writeFile(const char* path, const std::string& text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    close(fd);
    return ok;
}

} // namespace

bool enterPrivateNetwork()
{
    if (unshare(CLONE_NEWNET) == 0)
        return true;
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
        return false;
    writeFile("/proc/self/setgroups", "deny");
    return writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
           writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}
