// The service manager's address and the credentials of a peer: where the
// manager listens, how to reach it, and who is at the other end.
// Internal to the platform library.
#pragma once

#include <quellix/Credentials.h>

// A stream socket connected to the service manager, or -1 (errno set).
// Only a service manager run by root or by our own effective uid counts:
// anyone may take an abstract address first. When another user's process
// holds it, errno is EPERM and *holder (if given) says who that is. A
// listener that takes no one (its backlog full) is given up after about
// two seconds (EAGAIN). The socket is blocking.
int connectServiceManager(Credentials* holder = nullptr);
// The same in one try that does not wait: a full backlog fails at once
// (EAGAIN), and nothing listening with ECONNREFUSED. *peer says who holds
// the address, accepted or not (its pid is not 0 then).
int connectServiceManagerNow(Credentials* peer);
// Who is at the other end of a connected Unix socket; false (errno set)
// when the kernel does not say.
bool peerCredentials(int fd, Credentials* peer);
// Makes the socket refuse descriptors sent to it (SO_PASSRIGHTS off): the
// sender's sendmsg fails instead, and none reach us. Set on a listening
// socket, it holds for every connection that arrives after it. 0 also
// where the kernel has no such option (before Linux 6.16): then what
// arrives is its reader's to close. -1 when the socket failed.
int refuseDescriptors(int fd);
// Whether the socket has refused descriptors all along (it was made so, or
// came from a listener made so): false where the kernel cannot say.
bool refusedDescriptors(int fd);
// A connected pair of stream sockets (close-on-exec) of which both ends
// refuse descriptors from the first byte on: 0, or -1 (errno set).
int refusingSocketPair(int ends[2]);
// A listening socket at the service manager's address that refuses
// descriptors on every connection, or -1 (errno set; EADDRINUSE when
// another service manager holds it).
int listenServiceManager();
