// The benchmark's report: one Markdown table of every figure with its
// floor model and ratio, then the targets, met or missed.
#pragma once

#include "Commands.h"
#include "Samples.h"

#include <string>
#include <vector>

struct MicroResult {
    std::string name;
    double medianNs = 0;
    double minNs = 0;
};

struct BenchResults {
    std::string machine;         // one line about this machine
    // Measured at the start; the floor of each size is in its SizeResult.
    Samples exec;                // the static C program, beside `startup`
    Samples connect;
    Samples startup;             // quellix with no service manager
    std::vector<SizeResult> sizes;
    std::vector<MicroResult> micro;
};

std::string renderReport(const BenchResults& results);
