// SPDX-License-Identifier: MIT
// The recorder application: start-up, the main window with its settings
// phase, the recording loop, and shut-down. Interface thread only.
#pragma once

// The whole program, from start-up to exit; never returns.
[[noreturn]] void runOstrelle();
// The single exit path: stops the stream, ends PortAudio and the layer, exits with 0.
[[noreturn]] void shutdownAndExit();

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
[[noreturn]] void runRecordingLoop();
