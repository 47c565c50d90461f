// Who is at the other end of a connection: the process, user and group
// that the kernel recorded when the connection was made (SO_PEERCRED). In a
// service, LocalService::caller() gives the caller's.
#pragma once

#include <sys/types.h>

struct Credentials {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};
