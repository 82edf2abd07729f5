// SPDX-License-Identifier: MIT
// The level meter and the take's line as the recording loop drives them:
// what the loop calls at Record, at Stop and at its one-second tick.
#pragma once

#include "app.h"
#include "app_testing.h"

// Record began a take: the lamp goes out and the take's figures start.
void levelsAtRecord(App& app);
// Record began no take: until Stop the line says so, and why.
void levelsAtRefusedRecord(App& app, TakeBeginning why);
// The take ended: the line keeps its summary, or, where it recorded
// nothing, the summary of the take before it. After a refused Record the
// line shows again what it showed before.
void levelsAtStop(App& app, const TakeOutcome& take);
// Pause held the take, or Resume let it go on: the line says so, and the
// take's figures rest meanwhile.
void levelsAtPause(App& app, bool paused);
// The one-second tick while a take runs: the disk's room, and the line.
void levelsAtTick(App& app);
