// SPDX-License-Identifier: MIT
// The recorder's shared records and fixed numbers: what the user chose, what
// was derived from it at ACCEPT, what the running recorder knows, the numbers
// of its window, controls, timer and files, and which of Record, Stop and
// Save each state of the recorder leaves enabled.
//
// Threads: the interface thread owns everything here except where a field
// says otherwise.
#pragma once

#include <portaudio.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

// What the user chose; written only before ACCEPT, read-only afterwards.
struct CaptureSettings {
    int16_t channelCount = 2;
    int32_t bitsPerSample = 16;
    double sampleRate = 44100.0;
    int32_t deviceIndex = 0;
};

// Derived once, at ACCEPT; from then on also read by the audio thread.
struct CaptureFormat {
    uint32_t sampleFormat = 0;
    int32_t bytesPerFrame = 0;
    PaStreamParameters inputParameters{};
};

enum class LoopState { Idle, Recording };

struct RecordingState {
    PaStream* stream = nullptr;
    // Written by the interface thread, read by the audio thread. Raised only
    // after the take's file and counter are ready, and sequentially
    // consistent, so that a take can tell when the callback has left it.
    std::atomic<int32_t> armed{0};
    // Advanced by the audio thread while a take is armed; set by the
    // interface thread before arming and after the take ended.
    std::atomic<int32_t> framesCaptured{0};
    LoopState loopState = LoopState::Idle;
    // The seconds shown on Record; never reset.
    int32_t elapsedSeconds = 0;
    // The export's progress count; never reset.
    int32_t saveBlocks = 0;
};

extern CaptureSettings captureSettings;
extern CaptureFormat captureFormat;
extern RecordingState recordingState;

// The records back to how start-up finds them.
void resetRecords();
// Derives `captureFormat` from `captureSettings`.
void computeCaptureFormat();
// The bytes one frame takes: every sample whole bytes, channels interleaved.
int32_t bytesPerFrameFor(int32_t bitsPerSample, int32_t channelCount);
// The sample rate as every integer use takes it: rounded to the nearest.
int64_t roundedSampleRate();

// Numbers of the window, its controls, its timer and the file channels.
constexpr int MainWindow = 2;
constexpr int ElapsedTimer = 1000;
constexpr int ElapsedTimerPeriod = 1000;
constexpr int TempCaptureFile = 1;
constexpr int WavOutputFile = 2;
// The take's read side: the file channel 1 wrote, open from Record until the
// next Record or exit, so that the save reads the take whatever has become
// of its name.
constexpr int TakeReadFile = 3;
constexpr const char* tempCaptureName = "pelvar.temp";
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
};

// `framesCaptured` counts a take in 32 bits, so a take holds at most this
// many frames: 3.1 hours at 192000 Hz, 13.5 hours at 44100 Hz.
constexpr int32_t largestTakeFrames = INT32_MAX;

// The states of the recorder as its three buttons show them; the table of
// which button each leaves enabled is in showButtons.
enum class ButtonState {
    beforeAccept,
    accepted,  // nothing recorded yet
    recording,
    // Record was pressed and the take is being begun: Record off, Stop and Save
    // as they were, which is how they stay when its file cannot be made.
    startingTake,
    stopped,
    exporting,
    exported,      // only closing is left
    exportFailed,  // cancelled, declined or failed: Record and Save again
};
// Enables and disables Record, Stop and Save as the state calls for.
void showButtons(ButtonState state);

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
