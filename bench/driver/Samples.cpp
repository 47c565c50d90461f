#include "Samples.h"

#include <algorithm>

double Samples::median() const
{
    if (values_.empty())
        return 0;
    std::vector<double> sorted = values_;
    std::sort(sorted.begin(), sorted.end());
    size_t middle = sorted.size() / 2;
    return sorted.size() % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

double Samples::min() const
{
    return values_.empty() ? 0 : *std::min_element(values_.begin(), values_.end());
}
