// SPDX-License-Identifier: MIT
// What tests reach in the application: the numbers of its window, and the
// steps runOstrelle takes on the records one run holds (app_record.h), so
// that a test can drive the program one step at a time. Interface thread
// only.
#pragma once

#include <cstdint>
#include <string>

#include "app_record.h"
#include "capture.h"
#include "take_format.h"

// Numbers of the window, its controls and its timer.
constexpr int MainWindow = 2;
constexpr int ElapsedTimer = 1000;
constexpr int ElapsedTimerPeriod = 1000;
// The level meter's redraws: 20 a second, the fewest that look smooth, and
// only while the window shows: each is a wake-up of the interface thread.
constexpr int MeterTimer = 1001;
constexpr int MeterTimerPeriod = 50;
enum ControlId : int {
    StopButton = 1,
    ChannelsList = 3,
    BitsList = 4,
    RateList = 5,
    DeviceList = 6,
    RecordButton = 7,
    SaveButton = 8,
    AcceptButton = 9,
    ChannelsCaption = 14,
    BitsCaption = 15,
    RateCaption = 16,
    DeviceCaption = 20,
    DeviceStatus = 21,
    ChannelsStatus = 22,
    BitsStatus = 23,
    RateStatus = 24,
    LevelMeter = 25,
    TakeLine = 26,
    PauseButton = 27,
};

// How long a take kept, as the boxes say it: "12.3 seconds" under a minute,
// then "41 minutes", "2 hours 5 minutes", never more than it holds.
std::string keptDuration(int32_t frames, double sampleRate);
// The box after a sleep of the computer ended a take, with the time it went
// to sleep in local time.
std::string sleptTakeText(const SleptTake& slept, double sampleRate);

// Opens the main window with all its controls and the device list.
void buildMainWindow(App& app);
// Before ACCEPT, once the sound server told of a change: brings the device
// list up to date, the selection staying on the chosen device while it is
// listed and falling to the first entry, with the reason, once it is not.
void followDeviceList(App& app);
// The entry the settings name: a server's source by its name, else a
// PortAudio device by its index; null when none is listed.
const CaptureDevice* chosenDevice(const App& app);
// Runs until ACCEPT, then derives the format. False when the window was
// closed instead; the caller then shuts down.
bool runSettingsPhase(App& app);
// One pass of it: waits for the next event and acts on it (a choice in a
// list, the sound server's news). Returns that event's code.
int settingsPass(App& app);
// Shows the accepted choice and switches the controls to recording.
void applyAcceptedSettings(App& app);
// Recreates the four status labels with the current values.
void refreshStatusLabels(const App& app);
// Begins opening the stream in the accepted format, off the interface
// thread; a box follows when it fails (followStreamOpening).
void openCaptureStream(App& app);
// Acts on an opening of the stream that has settled since: the box ACCEPT
// owes when it failed, and a Record that waits for it, which then begins its
// take or says "Unable to stream.".
void followStreamOpening(App& app);

// The Save action on the run's last take: the dialog, the overwrite
// question, the save and the boxes that follow. True when the whole take was
// saved.
bool saveLastTake(App& app);

// One pass of the recording loop: acts on the tick of the previous pass,
// waits for the next event and acts on it. Returns that event's code.
int recordingPass(App& app, int previousCode);

// The level meter and the take's line, from ACCEPT on: shows them and
// starts their redraws.
void showLevels(App& app);
// One redraw: the input's figures since the last, as the meter shows them.
// True when the stream delivered since the last.
bool redrawLevels(App& app);
// Folds one reading of the input into what the meter shows, as at `now`:
// the bars rise at once and fall 20 dB a second, a peak-hold mark stands
// for 2 s, and an input below -80 dBFS (or delivering nothing) for 2 s has
// no signal. What the redraw calls, with the clock given.
void takeLevelReading(LevelDisplay& display, const InputLevels& reading, LevelDisplay::Clock::time_point now);

// At start-up, with the window shown: when "pelvar.temp" holds a take an
// earlier run never saved, asks whether to save it, and on Yes saves it as the
// Save button does. Afterwards the window and buttons are as the settings
// phase expects them.
void offerUnsavedTake(App& app);
