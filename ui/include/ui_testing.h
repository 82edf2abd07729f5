// SPDX-License-Identifier: MIT
// What tests read from the window layer that the program never asks.
#pragma once

#include <cstdint>
#include <string>

// The newest title given to the window, whether or not the platform has it yet.
std::string windowTitle(int number);
// `type` of the last event: the control event kind, -1 for direct events of other kinds.
int eventType();
// How often a timer of addShownWindowTimer has fired: each a wake-up of the
// interface thread.
int64_t shownTimerTicks(int window, int timer);
// Whether the hold holdSleep last asked for has its lock yet: logind's
// descriptor or the portal's request, once its answer reached this thread.
bool sleepHeld();
