#pragma once

// Timing a piece of work many times and printing its median and 99th
// percentile.

#include "Dispatch.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace corvane::bench {

inline double percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    const auto at = static_cast<size_t>(fraction * double(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

template <class Work> std::vector<double> timesInMs(int count, Work work)
{
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        const double started = platform::monotonicSeconds();
        work();
        times.push_back((platform::monotonicSeconds() - started) * 1000.0);
    }
    return times;
}

inline void report(const char *what, const std::vector<double> &times)
{
    std::printf("%s: median %.2f ms, p99 %.2f ms (%zu runs)\n", what, percentile(times, 0.5), percentile(times, 0.99),
                times.size());
}

} // namespace corvane::bench
