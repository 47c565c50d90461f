// A long-lived client in a child process: it looks its services up once
// and then calls them in turn, over the references it got, until it is
// stopped, as a user of the platform does while the service manager
// restarts. The services must echo the data they are sent.
#pragma once

#include "Process.h"

#include <cstddef>
#include <string>
#include <vector>

// Killed, if it still runs, when the object goes.
class CallingClient {
public:
    // Forks the client; returns once it holds a reference to each of
    // `names`, false when it could not get one.
    bool start(const std::vector<std::string>& names);
    // Stops it and says how many calls it made and how many of them failed
    // (a status other than kStatusOk, or a reply other than the data);
    // false when it did not say.
    bool stop(size_t* calls, size_t* failed);

private:
    ForkedChild child_; // a byte sent stops it; it answers with its counts
};
