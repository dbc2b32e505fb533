#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

// Timing for the benchmarks: a steady clock, durations in microseconds, and
// percentiles of sorted samples.
using Clock = std::chrono::steady_clock;

inline double microseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::micro>(duration).count();
}

// The value below which `share` of the sorted samples lie (nearest rank).
inline double percentile(const std::vector<double> &sorted, double share)
{
    const auto rank = size_t(std::ceil(share * double(sorted.size())));
    return sorted.at(std::clamp<size_t>(rank, 1, sorted.size()) - 1);
}
