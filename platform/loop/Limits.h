// The limits a daemon of the platform (the service manager, a host) holds
// its peers to, each default written here once: the programs take their
// option defaults from here, and their manuals say the same values in
// words. "Per uid" limits spare the privileged uids (root and the daemon's
// own); the limits on unread output and the time rules spare only anchored
// peers (a host at the service manager, the service manager at a host).
// Internal to the platform library.
#pragma once

#include <chrono>
#include <cstddef>

struct Limits {
    // Connections one uid holds at once. Past it the service manager
    // refuses a newcomer; a host closes that uid's idlest connection.
    size_t peersPerUid = 256;
    // Bytes buffered for one uid's connections, both ways.
    size_t bytesPerUid = 32u << 20;
    // Names one connection, and one uid over all its connections, may
    // register at the service manager.
    size_t namesPerConnection = 1000;
    size_t namesPerUid = 1000;
    // Look-ups of one uid that a host has not read yet, so that no uid
    // fills a host's socket and shuts the others out.
    size_t handOffsPerUid = 16;
    // Output one peer may leave unread, of any uid: past it, it is closed.
    size_t unreadOutputBytes = 64u << 20;
    size_t unreadOutputFrames = 16384;

    // The time rules: a newcomer must complete its first frame within
    // `silence` (at the service manager only: a host's clients come from
    // it), a frame must be whole `partialFrame` after its first byte, and
    // a peer must take some of its replies within `unreadReply` of the
    // last time it took any.
    std::chrono::milliseconds silence{10000};
    std::chrono::milliseconds partialFrame{10000};
    std::chrono::milliseconds unreadReply{10000};
};
