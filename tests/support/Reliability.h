// Sizes and results of the reliability tests. The tests run small by
// default (in `make test`); with QUELLIX_RELIABILITY_SCALE=full they run at
// the sizes `make reliability` reports. Each test records what it held or
// survived as a row; with QUELLIX_RELIABILITY_RESULTS set to a file name
// the rows are appended to that file, from which scripts/reliability.sh
// writes docs/reliability.md.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

// Whether QUELLIX_RELIABILITY_SCALE asks for the full sizes.
bool fullScale();
// `normal` by default, `full` at full scale.
size_t scaled(size_t normal, size_t full);
// Whether this build runs under AddressSanitizer, where every program a
// test starts costs many times more.
bool sanitized();

// One row of the report: what was done, how much of it, what was lost
// (as counted by the test), and how long it took. Printed as
// "RELIABILITY|category|what|amount|lost|seconds" and appended to the
// results file if there is one. No field may hold '|' or a newline.
struct ReportRow {
    std::string category; // "load held", "faults survived", "bad inputs tried"
    std::string what;
    std::string amount;
    std::string lost;
    double seconds = 0;
};
void record(const ReportRow& row);

// A decimal number with thousands separators: 100000 -> "100,000".
std::string grouped(size_t value);

class Stopwatch {
public:
    double seconds() const
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};
