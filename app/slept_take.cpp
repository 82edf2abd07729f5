// SPDX-License-Identifier: MIT
// The computer's sleep as the recorder tells it, and the lengths of takes as
// every box words them.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>

#include "app_internal.h"

namespace {

std::string counted(long long count, const char* unit) {
    return std::to_string(count) + " " + unit + (count == 1 ? "" : "s");
}

}  // namespace

std::string keptDuration(int32_t frames, double sampleRate) {
    const double tenths = std::round(static_cast<double>(frames) * 10.0 / sampleRate);
    if (tenths < 600) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f second%s", tenths / 10.0, tenths == 10.0 ? "" : "s");
        return text;
    }
    // Whole minutes, never more than the take holds (but for the last tenth
    // of a second before the first minute, which the seconds round up too).
    const long long minutes = std::max(1LL, static_cast<long long>(static_cast<double>(frames) / sampleRate / 60.0));
    if (minutes < 60) return counted(minutes, "minute");
    const std::string hours = counted(minutes / 60, "hour");
    return minutes % 60 == 0 ? hours : hours + " " + counted(minutes % 60, "minute");
}

std::string sleptTakeText(const SleptTake& slept, double sampleRate) {
    const auto when = static_cast<std::time_t>(slept.wentToSleep);
    std::tm local{};
    char clock[16] = "";
    if (::localtime_r(&when, &local) != nullptr) std::strftime(clock, sizeof clock, "%H:%M", &local);
    return std::string("The computer went to sleep at ") + clock + ", so recording stopped. The take keeps the " +
           keptDuration(slept.outcome.framesKept, sampleRate) + " recorded before that; Save stores them.";
}
