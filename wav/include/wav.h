// SPDX-License-Identifier: MIT
// Saving the last take as a RIFF/WAVE file.
//
// Runs on the interface thread from start to end. While it copies, user
// input and the program's own events wait; only the window system's requests
// (pings, repaints) are answered, at each title update. A close signal stops
// the copy, and nothing is saved.
#pragma once

#include <cstdint>
#include <string>

// The most data bytes the 46-byte RIFF header can describe: its RIFF size
// field is 32-bit and counts 38 bytes more than the data. Larger takes are
// saved as RF64, whose header is 82 bytes.
constexpr int64_t largestRiffDataBytes = 4294967295LL - 38;

// What a save came to.
struct SaveResult {
    // A WAV file now stands under the path.
    bool saved = false;
    // The take's data as the recorder counted it, and how much of it the WAV
    // holds: less when the take's file was cut short or emptied under the
    // recorder.
    int64_t takeBytes = 0;
    int64_t savedBytes = 0;
    // The system's error number for the call that failed; 0 when none did
    // (also when nothing of the take could be read, so nothing was saved).
    int error = 0;
};

// The name a take is saved under: `path` itself when it ends in ".wav",
// otherwise with ".wav" added.
std::string withWavSuffix(std::string path);

// Saves the last take under `path` without any window or box: the header
// (RIFF, or RF64 past largestRiffDataBytes), then the take read from its start through file channel `TakeReadFile`, in
// the format of `captureSettings` and `captureFormat`, as long as
// `recordingState.framesCaptured` says. Holes and a missing end are left
// out, never saved as audio. The file takes the name only once it is complete
// and on disk; with `mayReplace` false an existing file is never replaced.
// Sets the window title as the copy progresses.
SaveResult writeTakeAsWav(const std::string& path, bool mayReplace);

// The Save action: asks for a path, and after an overwrite question saves
// there as writeTakeAsWav does. True when the whole take was saved; then all
// three buttons stay disabled. Otherwise Record and Save are enabled again,
// after a box that tells what happened unless the user cancelled or declined.
bool exportWav();
