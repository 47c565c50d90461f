// A private platform for one test: a service manager, service hosts and
// runs of quellix against them.
#pragma once

#include "Process.h"

#include <string>
#include <vector>

class TestPlatform {
public:
    // Starts the service manager; false if it did not get ready.
    bool startManager();
    // Starts a service host with `args` (none: the sample services); false
    // if it did not get ready. Returns the index of the host.
    bool startHost(const std::vector<std::string>& args, size_t* index = nullptr);
    Daemon& manager() { return manager_; }
    Daemon& host(size_t index) { return hosts_[index]; }

    static RunResult quellix(const std::vector<std::string>& args,
                             const std::vector<std::string>& environment = {});

private:
    Daemon manager_;
    std::vector<Daemon> hosts_;
};

// The seven lines quellix prints as its usage text.
extern const char kUsageText[];
