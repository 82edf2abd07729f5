// SPDX-License-Identifier: MIT
// What the application's files call in each other: the steps tests also
// drive, and the two that never return.
#pragma once

#include "app.h"
#include "app_testing.h"

// The single exit path: stops the stream, ends PortAudio and the layer, exits with 0.
[[noreturn]] void shutdownAndExit();
[[noreturn]] void runRecordingLoop();
