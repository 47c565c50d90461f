#include "TableReporter.h"

#include <algorithm>
#include <cstdio>

void TableReporter::ReportRuns(const std::vector<Run>& runs)
{
    for (const Run& run : runs) {
        if (run.error_occurred) {
            std::fprintf(stderr, "%s: %s\n", run.benchmark_name().c_str(), run.error_message.c_str());
            ok_ = false;
            continue;
        }
        if (run.run_type != Run::RT_Iteration)
            continue;
        const double ns = run.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
        const std::string name = run.benchmark_name();
        auto entry = std::find_if(times_.begin(), times_.end(),
                                  [&](const auto& t) { return t.first == name; });
        if (entry == times_.end())
            entry = times_.insert(times_.end(), {name, {}});
        entry->second.push_back(ns);
    }
}

void TableReporter::Finalize()
{
    for (auto& [name, values] : times_) {
        std::sort(values.begin(), values.end());
        size_t middle = values.size() / 2;
        double median = values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
        std::printf("%s\t%.3f\t%.3f\n", name.c_str(), median, values.front());
    }
    std::fflush(stdout);
}
