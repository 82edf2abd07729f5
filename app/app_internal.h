// SPDX-License-Identifier: MIT
// What the application's files call in each other: the steps tests also
// drive, the two that never return, and the unsaved take.
#pragma once

#include <cstdint>
#include <string>

#include "app.h"
#include "app_testing.h"
#include "recorder.h"

// The main window's own title; a save's progress count takes its place for a while.
constexpr const char* mainWindowTitle = "Ostrelle - Beta 2 - Pelvar Audio - (Asio is not supported) ";

// The single exit path: stops the stream, ends PortAudio and the layer, exits with 0.
[[noreturn]] void shutdownAndExit();
[[noreturn]] void runRecordingLoop();

// --- A take an earlier run left unsaved in "pelvar.temp" -------------------
enum class LeftoverState { missing, noNote, saved, tooShort, held, found };
struct LeftoverTake {
    LeftoverState state = LeftoverState::missing;
    TakeNote note;
    int64_t frames = 0;  // whole frames the file holds
};
// Judges "pelvar.temp" by its size and note, never reading the take. Found
// only for a regular file with a note not marked saved, at least one whole
// frame, and a lock no other process holds; then it is open as TakeReadFile
// and this process keeps its lock until exit.
LeftoverTake findLeftoverTake();
// "12.3 seconds (2 channels, 16 bit, 44100 Hz) recorded on 2026-12-07 at 11:02",
// in local time.
std::string describeLeftoverTake(const LeftoverTake& leftover);
// Sets the records as they were while the take was recorded, for its save.
void adoptLeftoverTake(const LeftoverTake& leftover);
// Notes on the take that TakeReadFile holds that it was saved.
void markTakeSaved();
