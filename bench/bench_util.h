// Small helpers for the benchmarks: percentiles and a steady clock in milliseconds.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace bench {

inline double nowMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto k = static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(k, v.size() - 1)];
}

inline void printLatency(const char* what, const std::vector<double>& ms) {
    std::printf("%-46s p50 %8.3f ms   p99 %8.3f ms   max %8.3f ms   (n=%zu)\n", what,
                percentile(ms, 50), percentile(ms, 99), percentile(ms, 100), ms.size());
}

} // namespace bench
