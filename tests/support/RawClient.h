// Connections to the service manager that speak no protocol, or a broken
// one: to see what the service manager does with clients it cannot trust.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

using namespace std::chrono_literals;

// A stream socket connected to the abstract address "\0quellix.service-manager"
// of this network namespace, or -1 (errno set; EAGAIN for a non-blocking
// one when the listen backlog is full).
int connectRaw(bool nonBlocking = false);
// A socket listening at that address with `backlog`, as an impostor would
// hold it; -1 (errno set) when the address is taken.
int listenRaw(int backlog);
// Writes all of `bytes`; false on failure.
bool sendRaw(int fd, const std::string& bytes);
// Waits until the service manager closes the connection, that is until a
// read returns 0; false when it is still open after `timeout` or a read
// fails (a reset, say). Whatever the service manager sends meanwhile is
// discarded.
bool waitForClose(int fd, std::chrono::milliseconds timeout);
// Whether the other end still holds the connection, now, whatever waits
// in it unread.
bool peerHolds(int fd);

// Sends one look-up request and reads its reply (header and payload): the
// reply's status, INT32_MIN when the connection failed. A descriptor that
// comes with it goes to *passedFd when that is given, and is closed
// otherwise.
int32_t rawLookup(int fd, const std::string& request, int* passedFd = nullptr);
// The look-up request for `name` (ASCII), plain or asking for a fresh
// connection.
std::string lookupRequest(const std::string& name, bool fresh = false);
// The request for the first page of the listing.
std::string listRequest();
// The registration of `name` (ASCII) with the host's `handle`, as a host
// sends it; each client that looks the name up then comes as a frame with
// the host's end of its connection (read it with rawLookup(fd, "", &end)).
std::string registerRequest(const std::string& name, uint32_t handle);

// The version of the service manager's protocol, which every request
// carries as its target (the guide documents it).
inline constexpr uint32_t kManagerProtocol = 1;

// A frame of the platform's protocols: a 16-byte header (payload size,
// word, argument, target, little-endian) and the payload. The target is a
// handle for a host, kManagerProtocol for the service manager.
std::string frameBytes(uint32_t payloadSize, int32_t word, uint32_t arg, const std::string& payload,
                       uint32_t target = 0);
