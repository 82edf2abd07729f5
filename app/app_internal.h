// SPDX-License-Identifier: MIT
// What the application's files call in each other: the buttons' states, the
// save as the user runs it, and the unsaved take.
#pragma once

#include <cstdint>
#include <string>

#include "app.h"
#include "app_testing.h"
#include "save.h"

// The main window's own title; a save's progress count takes its place for a while.
constexpr const char* mainWindowTitle = "Ostrelle - Beta 2 - Pelvar Audio - (Asio is not supported) ";

// The states of the recorder as its three buttons show them; the table of
// which button each leaves enabled is in showButtons.
enum class ButtonState {
    beforeAccept,
    accepted,  // nothing recorded yet
    recording,
    // Record was pressed and the take is being begun: Record off, Stop and Save
    // as they were, which is how they stay while Record waits for the stream.
    startingTake,
    // Record began no take, its file being unusable or another copy's: Stop
    // leads back to the stopped state, whatever it was before; Save as it was.
    takeRefused,
    // The stream Record waited for could not be had: Record on again, Stop
    // and Save as they were.
    takeNotBegun,
    stopped,
    // A take held by Pause, and Resume waiting for the stream to run again.
    paused,
    resumingTake,
    saving,
    saved,       // only closing is left
    saveFailed,  // cancelled, declined or failed: Record and Save again
};
// Enables and disables Record, Stop, Save and Pause as the state calls for.
void showButtons(ButtonState state);
// Pause reads "Resume" and shows pressed while the take is held.
void showPause(bool paused);

// Gives Record, Stop and Save their keys and descriptions, and ties each list
// to its caption, once the main window's controls exist.
void giveKeysAndNames();

// Fills the device list as the window is built, and chooses its first
// entry; where PortAudio is still starting, once it has.
void fillDeviceList(App& app);
// Chooses the list's item as the user does.
void chooseDevice(App& app, size_t item);
// "Device: " and the chosen entry's label, as the status line says it.
std::string deviceStatusText(const App& app);
// What the user calls the sound server's source that was chosen.
std::string sourceDescription(const App& app);
// True when PortAudio may be called: no start of it runs.
bool portAudioReady(const App& app);

// Audio lost during a take, as a box says it ("2.4 seconds", rounded up to
// a tenth) and as the take's line does ("Lost 0.21 s", to a hundredth).
std::string lostDuration(int64_t frames, double sampleRate);
std::string lostOnTheLine(int64_t frames, double sampleRate);
// What the take's file holds once a take ended that the user did not end,
// as the boxes end: " The take keeps the 12.3 seconds recorded before that;
// Save stores them.", or, where the take recorded nothing, the take before it.
std::string whatTheTakeKeeps(const TakeOutcome& take, double sampleRate);

// A box titled "Error" with an OK button.
void showError(const std::string& text);

// --- Record and the stream ----------------------------------------------------
// Makes the channel through which the stream's opening and the sound
// server wake the event wait from their own threads.
void listenForWakeUps(App& app);
// Record on a running stream: begins the take, and tells why when it cannot.
void beginTakeNow(App& app);
// Resume on a running stream: the held take goes on.
void resumeTakeNow(App& app);
// True when the stream runs, so that a take begun now records from this
// moment. Otherwise begins opening it again and makes Record wait for it:
// the take then begins once the stream runs (followStreamOpening).
bool streamRunsForRecord(App& app);

// --- The Save action ---------------------------------------------------------
// The take the Save action saves: its format and its frames as counted.
struct TakeToSave {
    CaptureSettings settings;
    int64_t frames = 0;
};
// Asks for a path, and after an overwrite question saves the take there,
// counting the progress in the window's title and in `saveBlocks`. True when
// the whole take was saved, and then noted on the take's file as saved; then
// all three buttons stay disabled. Otherwise Record and Save are enabled
// again, after a box that tells what happened unless the user cancelled or
// declined.
bool saveTake(const TakeToSave& take, int32_t& saveBlocks);
// The request that saves the take under the target's name in its format,
// with the tags: the day the take on TakeReadFile began, as its note says,
// and the program's name and version.
SaveRequest saveRequestFor(const TakeToSave& take, const SaveTarget& target);
// Notes on the take that TakeReadFile holds that it was saved. Returns 0, or
// the system's error number when the note could not be changed (a
// read-only file system), and the take stays offered back.
int markTakeSaved();

// --- A take an earlier run left unsaved in "pelvar.temp" -------------------
enum class UnsavedState { missing, noNote, saved, tooShort, held, notOwn, found };
struct UnsavedTake {
    UnsavedState state = UnsavedState::missing;
    TakeNote note;
    int64_t frames = 0;  // whole frames the file holds
};
// Judges "pelvar.temp" by its size and note, never reading the take. Found
// only for a regular file with a note not marked saved, at least one whole
// frame, and a lock no other process holds; then it is open as TakeReadFile
// and this process keeps its lock until exit.
UnsavedTake findUnsavedTake();
// "12.3 seconds (2 channels, 16 bit, 44100 Hz) recorded on 2026-12-07 at 11:02",
// in local time.
std::string describeUnsavedTake(const UnsavedTake& take);
// The take as the save reads it, in the format its note gives.
TakeToSave unsavedTakeToSave(const UnsavedTake& take);
