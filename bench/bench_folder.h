// SPDX-License-Identifier: MIT
// What the benchmarks share: a temporary folder of their own, made the
// current directory for the run and removed afterwards, so that a user's
// "pelvar.temp" in the folder a benchmark was started from is never touched;
// the median of the timings; and the calling thread's own CPU time.
#pragma once

#include <time.h>

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

// CPU time the calling thread has used, in nanoseconds. Unlike the wall
// clock it does not grow while the host or the scheduler keeps the thread
// off the processor, so it shows what the code itself costs, plus, on a
// kernel built without interrupt time accounting, the interrupts that
// arrive while the thread runs.
inline double threadCpuNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}
