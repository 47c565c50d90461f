// systemd's checks of the units as they are installed: systemd-analyze
// verify below a root that holds the package's files.
#pragma once

#include "Process.h"

#include <string>

// systemd-analyze verify of the service manager's socket and service in
// `root`/`unitDir` (lib/systemd/system, say), as they are,
// with `root` as the system they run on (--root). Before that, `root` gets
// what a system has beside the package: this machine's systemd targets and
// kill (the package's dependency procps). Man pages are looked up below
// `root` too.
RunResult verifyUnits(const std::string& root, const std::string& unitDir);
