// SPDX-License-Identifier: Apache-2.0
// The clock and the median the Windows benchmarks share.
#ifndef ZKPOS_BENCH_CLOCK_H
#define ZKPOS_BENCH_CLOCK_H

#include <windows.h>

#include <algorithm>
#include <vector>

// Nanoseconds since an arbitrary start, from the performance counter.
inline double Now() {
    static LARGE_INTEGER frequency = {};
    if (frequency.QuadPart == 0) {
        QueryPerformanceFrequency(&frequency);
    }
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1e9 / static_cast<double>(frequency.QuadPart);
}

inline double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

#endif
