// SPDX-License-Identifier: MIT
// The computer's sleep as the recorder tells it.
#include <cstdio>
#include <ctime>
#include <string>

#include "app_internal.h"

std::string sleptTakeText(const SleptTake& slept, double sampleRate) {
    const auto when = static_cast<std::time_t>(slept.wentToSleep);
    std::tm local{};
    char clock[16] = "";
    if (::localtime_r(&when, &local) != nullptr) std::strftime(clock, sizeof clock, "%H:%M", &local);
    return std::string("The computer went to sleep at ") + clock + ", so recording stopped." +
           whatTheTakeKeeps(slept.outcome, sampleRate);
}
