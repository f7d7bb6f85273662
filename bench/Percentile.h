// The p-th percentile (0..1) of benchmark samples, the nearest rank; 0 for
// none. Header-only, shared by the benchmarks that report percentiles.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace tarnell::bench {

inline double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
    return v[i];
}

}  // namespace tarnell::bench
