// The floor: what the platform's own primitives cost on this machine,
// measured with the least code that does the same work. Each is measured
// op by op, `ops` times, against a server in a forked child process.
#pragma once

#include "Samples.h"

#include <cstddef>
#include <string>

// One request and reply of a small message over an AF_UNIX stream socket
// pair between two processes.
bool measureRoundTrip(size_t ops, Samples* out, std::string* error);
// socket() and connect() to a listening abstract Unix socket.
bool measureConnect(size_t ops, Samples* out, std::string* error);
// What a look-up takes: a request carrying a name, answered with a fresh
// socketpair's end passed by SCM_RIGHTS.
bool measureLookup(size_t ops, Samples* out, std::string* error);
