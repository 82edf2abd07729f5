// SPDX-License-Identifier: MIT
// The audio capture: the device list, the input stream and its callback, and
// the take written to "pelvar.temp".
//
// Threads:
// - The interface thread runs everything here except the two below.
// - PortAudio's audio thread runs captureCallback. It reads `armed`, writes
//   `framesCaptured` and the take's counters, and copies each armed buffer
//   into a ring. It never blocks, allocates, locks, or calls the system.
// - The take writer's thread drains that ring into file channel 1, which it
//   alone uses from beginTake() until endTake() has returned.
// The stream runs from ACCEPT until shut-down; Record and Stop only arm and
// disarm the callback.
#pragma once

#include <cstdint>
#include <string>

#include "recorder.h"

// The records, the device list and the take's counters back to how
// start-up finds them.
void resetRecorderState();

// Keeps the sound libraries' own complaints (no sound card, no JACK server)
// off the terminal. Called before Pa_Initialize.
void silenceAudioLibraries();

// --- Device list ---------------------------------------------------------
// Lists PortAudio's capture devices into the device list control.
void listCaptureDevices();
// The label stored for a device index, empty when it was not listed.
std::string labelForDevice(int deviceIndex);
// Drops the raw device table; labels and list items stay.
void releaseDeviceTable();

// --- Stream and takes (interface thread) ---------------------------------
// Checks the format, opens and starts the stream; failures are shown in a box.
void openCaptureStream();
// Unless the stream runs and delivers, closes what is left of it (its device
// or sound server went away, or it never opened) and opens and starts it
// again in the accepted format. True when the stream runs; false, after the "Unable to
// stream." box, when it does not. Tried again at every call.
bool reviveCaptureStream();
// Creates "pelvar.temp" (refusing links, and refusing a file another copy of
// the program holds), starts the take writer and arms the callback. False,
// after a box, when the file cannot be had.
bool beginTake();
// What a take ended with.
struct TakeOutcome {
    // Whole frames the take's file holds; `framesCaptured` says the same.
    int32_t framesKept = 0;
    // Frames that never reached the take: lost by the device before PortAudio
    // delivered them, or dropped because the ring was full.
    int64_t framesLost = 0;
    // The disk refused a write, so the take ends where the disk stopped.
    bool diskRefused = false;
    // The take holds as many frames as a take can.
    bool limitReached = false;
    // The device or its sound server stopped delivering during the take.
    bool streamLost = false;
};
// Disarms the callback, waits until it has left the take, writes out what
// the ring still holds and closes the file; the stream keeps running. Says
// what the take ended with; after no take at all, nothing but the frames.
TakeOutcome endTake();
// True while a take runs that can grow no more: it reached the largest take,
// or its stream stopped delivering (no buffer for over a second, or ended).
bool takeCannotGoOn();
// Stops the stream, ends a take still running (it stays whole on disk), and
// closes the stream; used at shut-down. A stream that runs but has stopped
// delivering (its sound server hangs) is left alone instead, since stopping
// it would wait for the server.
void closeCaptureStream();
// The last of capture at shut-down: closes the stream, then PortAudio,
// unless a hung stream was left alone.
void endCapture();
