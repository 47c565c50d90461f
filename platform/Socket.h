// The service manager's address: where it listens and how to reach it.
// Internal to the platform library.
#pragma once

// A stream socket connected to the service manager, or -1 (errno set).
int connectServiceManager();
// A listening socket at the service manager's address, or -1 (errno set;
// EADDRINUSE when another service manager holds it).
int listenServiceManager();
