// Every test binary runs in a network namespace of its own, so that the
// service manager it starts is private to it and no test ever reaches one
// outside (abstract Unix sockets belong to the network namespace).
#include <gtest/gtest.h>

#include <cstdio>
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

// As root a network namespace alone; otherwise inside a user namespace
// that maps us to root.
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

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    // Listing the tests needs no namespace (and CTest lists them often).
    if (!testing::GTEST_FLAG(list_tests) && !enterPrivateNetwork()) {
        std::perror("cannot enter a private network namespace (unshare)");
        return 1;
    }
    return RUN_ALL_TESTS();
}
