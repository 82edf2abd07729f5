// SPDX-License-Identifier: MIT
// What the benchmarks share: a temporary folder of their own, made the
// current directory for the run and removed afterwards, so that a user's
// "pelvar.temp" in the folder a benchmark was started from is never touched;
// and the median of the timings.
#pragma once

#include <algorithm>
#include <vector>

#include "temp_folder.h"

using BenchFolder = TempFolder;

// The middle value; sorts its argument.
inline double median(std::vector<double>& values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}
