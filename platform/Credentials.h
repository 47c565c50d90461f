// Who is at the other end of a connection: the process, user and group
// that the kernel recorded when the connection was made.
#pragma once

#include <sys/types.h>

struct Credentials {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};
