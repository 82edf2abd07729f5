// SPDX-License-Identifier: MIT
// How long a stretch of audio lasts, in the words of every box and of the
// take's line.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "app_internal.h"

namespace {

std::string counted(long long count, const char* unit) {
    return std::to_string(count) + " " + unit + (count == 1 ? "" : "s");
}

// "12.3 seconds", "1.0 second".
std::string tenthsOfSeconds(double tenths) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f second%s", tenths / 10.0, tenths == 10.0 ? "" : "s");
    return text;
}

}  // namespace

std::string keptDuration(int32_t frames, double sampleRate) {
    const double tenths = std::round(static_cast<double>(frames) * 10.0 / sampleRate);
    if (tenths < 600) return tenthsOfSeconds(tenths);
    // Whole minutes, never more than the take holds (but for the last tenth
    // of a second before the first minute, which the seconds round up too).
    const long long minutes = std::max(1LL, static_cast<long long>(static_cast<double>(frames) / sampleRate / 60.0));
    if (minutes < 60) return counted(minutes, "minute");
    const std::string hours = counted(minutes / 60, "hour");
    return minutes % 60 == 0 ? hours : hours + " " + counted(minutes % 60, "minute");
}

// Lost audio is rounded up, so that any loss reads as at least a tenth of a
// second in a box, a hundredth on the line.
std::string lostDuration(int64_t frames, double sampleRate) {
    return tenthsOfSeconds(std::ceil(static_cast<double>(frames) * 10.0 / sampleRate));
}

std::string lostOnTheLine(int64_t frames, double sampleRate) {
    char text[48];
    std::snprintf(text, sizeof text, "Lost %.2f s", std::ceil(static_cast<double>(frames) * 100 / sampleRate) / 100);
    return text;
}

std::string whatTheTakeKeeps(const TakeOutcome& take, double sampleRate) {
    if (!take.recordedNothing)
        return " The take keeps the " + keptDuration(take.framesKept, sampleRate) +
               " recorded before that; Save stores them.";
    if (take.framesKept <= 0) return " Nothing was recorded.";
    return " Nothing was recorded, so the take before it (" + keptDuration(take.framesKept, sampleRate) +
           ") is kept; Save stores it.";
}
