// SPDX-License-Identifier: MIT
// Saving a take as a RIFF/WAVE file: a function of what it reads, the
// format, the frame count, the destination and a progress callback. It shows
// nothing and sets no title; progress and cancelling go through the callback.
//
// Runs on the calling thread from start to end, and blocks on the disk.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "take_format.h"

// The most data bytes the 46-byte RIFF header can describe: its RIFF size
// field is 32-bit and counts 38 bytes more than the data, and the pad byte
// that follows odd data. Larger takes are saved as RF64, whose header is 82
// bytes.
constexpr int64_t largestRiffDataBytes = 4294967295LL - 38;

// What a save reads and where it writes.
struct SaveRequest {
    // The open file channel that holds the take from its start.
    int takeChannel = TakeReadFile;
    // The take's format, and its length as the recorder counted it.
    CaptureSettings settings;
    int64_t frames = 0;
    std::string path;
    // False: an existing file under the path is never replaced.
    bool mayReplace = false;
    // Called about every 2 KiB copied; false stops the save, and nothing is
    // saved. May be empty.
    std::function<bool()> progress;
    // Above this many data bytes, with an odd take's pad byte, the header is RF64.
    int64_t rf64Threshold = largestRiffDataBytes;
};

// What a save came to.
struct SaveResult {
    // A WAV file now stands under the path.
    bool saved = false;
    // The take's data as the recorder counted it, and how much of it the WAV
    // holds: less when the take's file was cut short or emptied under the
    // recorder, or during the save.
    int64_t takeBytes = 0;
    int64_t savedBytes = 0;
    // The system's error number for the call that failed; 0 when none did
    // (also when nothing of the take could be read, so nothing was saved).
    // ECANCELED when the progress callback stopped it.
    int error = 0;
};

// The name a take is saved under: `path` itself when it ends in ".wav",
// otherwise with ".wav" added.
std::string withWavSuffix(std::string path);

// Saves the take: the header (RIFF, or RF64 past the threshold), then the
// take read from its start through the take channel, through file channel
// `WavOutputFile`. Holes and a missing end are left out, never saved as
// audio; so is what the file loses while it is read (cut short under the
// save): what was read is saved, and past the file's end nothing more is
// read. The file takes the name only once it is complete and on disk.
SaveResult saveTakeAsWav(const SaveRequest& request);
