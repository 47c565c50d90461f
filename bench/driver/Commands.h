// The whole commands against a real platform with N services, and the
// platform's own look-up and transaction measured in-process beside them.
#pragma once

#include "Samples.h"

#include <cstddef>
#include <string>

class Spawner;

struct BenchOptions {
    std::string binDir;
    size_t reps = 30;     // runs of check and call (and at most of list)
    size_t ops = 20000;   // operations of each op-by-op measurement
};

struct SizeResult {
    size_t services = 0;
    // The floor, measured beside the runs at this size (Floor.h; exec: the
    // static C program, one run before each run of check and call).
    Samples floorExec, floorRoundTrip, floorLookup;
    Samples check, call, list; // whole runs of quellix, fork to wait
    Samples lookup;            // lookupService, in-process
    Samples transaction;       // one interface-name query, in-process
    long checkRssKiB = 0, callRssKiB = 0, listRssKiB = 0; // peaks of quellix
    long managerKiB = 0;       // the service manager's VmHWM at the end
};

// Runs of `list` at `services` names: enough for a stable median, fewer
// as each run gets longer, never below 3.
size_t listRuns(size_t reps, size_t services);

// Starts a platform with `services` services, checks that each command
// prints exactly what it should, then measures the floor and the commands
// side by side, so that both see the same load on the machine.
bool measureSize(const BenchOptions& options, Spawner& spawner, size_t services,
                 SizeResult* out, std::string* error);
