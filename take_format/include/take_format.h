// SPDX-License-Identifier: MIT
// The take's format: what the user chose, the note that keeps the format
// with the take's file, and where the take lives on disk. Plain values and
// pure functions: no thread of its own, no window, no file call, no sound
// library (how a stream is asked for this format is capture's).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// What the user chose; written only before ACCEPT, read-only afterwards.
struct CaptureSettings {
    int16_t channelCount = 2;
    int32_t bitsPerSample = 16;
    double sampleRate = 44100.0;
    int32_t deviceIndex = 0;
    // A source of the desktop's sound server, by the server's name for it
    // ("alsa_input.usb-…", "….monitor") and its number, which together tell
    // it from another of the same name; empty (and -1) for a device of
    // PortAudio's own list, which deviceIndex names.
    std::string sourceName;
    int64_t sourceIndex = -1;
};

// The bytes one frame takes: every sample whole bytes, channels interleaved.
int32_t bytesPerFrameFor(int32_t bitsPerSample, int32_t channelCount);
// The sample rate as every integer use takes it: rounded to the nearest.
int64_t roundedSampleRate(double sampleRate);

// The choices the recorder offers, and so the only formats a take has.
constexpr int16_t channelChoices[] = {1, 2};
constexpr int32_t bitChoices[] = {16, 24, 32};
constexpr double rateChoices[] = {44100.0, 48000.0, 88200.0, 96000.0, 176400.0, 192000.0};

// The take's raw frames, in the folder the program was started from.
constexpr const char* tempCaptureName = "pelvar.temp";
// File channels: the take as the recorder writes it, the file being saved,
// and the take's read side, open from Record until the next Record or exit,
// so that the save reads the take whatever has become of its name.
constexpr int TempCaptureFile = 1;
constexpr int SaveOutputFile = 2;
constexpr int TakeReadFile = 3;

// A take counts its frames in 32 bits, so it holds at most this many
// frames: 3.1 hours at 192000 Hz, 13.5 hours at 44100 Hz.
constexpr int32_t largestTakeFrames = INT32_MAX;

// What "pelvar.temp" says about the take it holds, kept with the file as a
// note (not in its bytes), so that a take left behind by a crash can be read
// back in the format it was recorded in. The note reads, for example,
// "channels=2 bits=16 rate=44100 began=2026-12-07T11:02:33Z", and ends in
// " saved=1" once the take was saved.
constexpr const char* takeNoteKey = "user.ostrelle.take";
struct TakeNote {
    int16_t channelCount = 0;
    int32_t bitsPerSample = 0;
    double sampleRate = 0;
    int64_t began = 0;  // seconds since 1970, UTC
    bool saved = false;
};
std::string formatTakeNote(const TakeNote& note);
// Nothing when the text is not such a note exactly as formatTakeNote writes
// it (each field once, no other words, whole numbers as written), or names
// a format the recorder does not record: 1 or 2 channels, 16, 24 or 32 bits,
// 44100, 48000, 88200, 96000, 176400 or 192000 Hz.
std::optional<TakeNote> parseTakeNote(const std::string& text);
