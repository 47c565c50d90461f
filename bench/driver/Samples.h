// Repeated measurements of one figure, in nanoseconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <time.h>
#include <vector>

class Samples {
public:
    void add(double ns) { values_.push_back(ns); }
    void add(const Samples& other) { values_.insert(values_.end(), other.values_.begin(), other.values_.end()); }
    size_t count() const { return values_.size(); }
    // 0 when there are no samples.
    double median() const;
    double min() const;

private:
    std::vector<double> values_;
};

// CLOCK_MONOTONIC in nanoseconds.
inline int64_t nowNs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}
