// SPDX-License-Identifier: MIT
// Saving a take as a file the user keeps: WAV, FLAC, Ogg Opus or MP3. A
// function of what it reads, the format, the frame count, the destination
// and a progress callback. It shows nothing and sets no title; progress and
// cancelling go through the callback.
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

// The formats a take is saved in, in the order the save dialog offers them.
enum class SaveFormat { wav, flac, opus, mp3 };
struct SaveFormatName {
    SaveFormat format;
    // What the dialog's type list shows, and what a saved name ends in.
    const char* suffix;
};
constexpr SaveFormatName saveFormats[] = {
    {SaveFormat::wav, ".wav"}, {SaveFormat::flac, ".flac"}, {SaveFormat::opus, ".opus"}, {SaveFormat::mp3, ".mp3"}};
constexpr const char* suffixOf(SaveFormat format) { return saveFormats[static_cast<int>(format)].suffix; }

// The encoders' settings, which the README states.
constexpr int flacCompressionLevel = 5;  // the flac tool's own default
constexpr int opusStereoBitrate = 96000;
constexpr int opusMonoBitrate = 64000;
constexpr int mp3VbrQuality = 2;  // lame -V 2
// MPEG-1 Layer III stops at 48000 Hz; faster takes are resampled to one of
// these, whichever divides their rate.
constexpr int mp3HighestRates[] = {44100, 48000};

// A name and the format the take is saved in under it.
struct SaveTarget {
    std::string path;
    SaveFormat format = SaveFormat::wav;
};
// A name that ends exactly in one of the formats' suffixes is saved in that
// format, as it is; any other gets the suffix of `selected` added: "take"
// becomes "take.wav" with WAV selected, "take.WAV" "take.WAV.wav", and
// "interview.mp3" stays an MP3 whatever is selected.
SaveTarget saveTargetFor(std::string path, SaveFormat selected);

// What a save reads and where it writes.
struct SaveRequest {
    // The open file channel that holds the take from its start.
    int takeChannel = TakeReadFile;
    // The take's format, and its length as the recorder counted it.
    CaptureSettings settings;
    int64_t frames = 0;
    std::string path;
    SaveFormat format = SaveFormat::wav;
    // False: an existing file under the path is never replaced.
    bool mayReplace = false;
    // Called after about every 2 KiB of the take read; false stops the save,
    // and nothing is saved. May be empty.
    std::function<bool()> progress;
    // Above this many data bytes, with an odd take's pad byte, a WAV's header is RF64.
    int64_t rf64Threshold = largestRiffDataBytes;
    // Tags, in the formats that have them: the day the take was recorded
    // ("2026-12-07") and the program that saved it. Empty: left out.
    std::string date;
    std::string software;
};

// What a save came to.
struct SaveResult {
    // A file now stands under the path.
    bool saved = false;
    // The take's data as the recorder counted it, and how much of it the file
    // holds: less when the take's file was cut short or emptied under the
    // recorder, or during the save.
    int64_t takeBytes = 0;
    int64_t savedBytes = 0;
    // The system's error number for the call that failed; 0 when none did
    // (also when nothing of the take could be read, so nothing was saved).
    // ECANCELED when the progress callback stopped it; EIO when an encoder
    // refused what it was given.
    int error = 0;
};

// What happened, as the window's boxes and the command line's lines tell it.
enum class SaveEnding {
    whole,        // all of the take stands under the path
    part,         // what could be read of it stands under the path
    nothingRead,  // nothing of the take could be read, so nothing was saved
    cancelled,    // the progress callback stopped it; nothing was saved
    failed,       // a call failed (SaveResult::error says which); nothing was saved
};
SaveEnding endingOf(const SaveResult& result);

// Saves the take in the request's format: the take read from its start
// through the take channel, written through file channel `SaveOutputFile`.
// Holes and a missing end are left out, never saved as audio; so is what the
// file loses while it is read (cut short under the save): what was read is
// saved, and past the file's end nothing more is read. The file takes the
// name only once it is complete and on disk.
SaveResult saveTakeAs(const SaveRequest& request);
