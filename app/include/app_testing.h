// SPDX-License-Identifier: MIT
// The steps runOstrelle takes, for tests that drive the program one step at a
// time. Interface thread only.
#pragma once

// Opens the main window with all its controls and the device list.
void buildMainWindow();
// Runs until ACCEPT, then drops the raw device table and derives the format.
// Closing the window exits the program.
void runSettingsPhase();
// Shows the accepted choice and switches the controls to recording.
void applyAcceptedSettings();
// Recreates the four status labels with the current values.
void refreshStatusLabels();

// One pass of the recording loop: acts on the tick of the previous pass,
// waits for the next event and acts on it. Returns that event's code.
int recordingPass(int previousCode);

// At start-up, with the window shown: when "pelvar.temp" holds a take an
// earlier run never saved, asks whether to save it, and on Yes saves it as the
// Save button does. Afterwards the records and buttons are as the settings
// phase expects them.
void offerUnsavedTake();
