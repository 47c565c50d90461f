// A Google Benchmark reporter for quellix-bench: once every benchmark has
// run, one line per benchmark, "NAME<TAB>MEDIAN_NS<TAB>MIN_NS", over its
// repetitions (real time per iteration).
#pragma once

#include <benchmark/benchmark.h>

#include <string>
#include <utility>
#include <vector>

class TableReporter : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& runs) override;
    void Finalize() override;
    // False when a benchmark reported an error.
    bool ok() const { return ok_; }

private:
    std::vector<std::pair<std::string, std::vector<double>>> times_;
    bool ok_ = true;
};
