// SPDX-License-Identifier: MIT
// The application's own record, App: everything one run holds, and what
// the level meter and a take a sleep ended carry in it. Interface thread
// only.
#pragma once

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "capture.h"
#include "take_format.h"

// What the level meter and the take's line show, carried from one reading
// of the input to the next. Levels are in dBFS, -infinity for silence.
struct LevelDisplay {
    using Clock = std::chrono::steady_clock;
    static constexpr double silence = -std::numeric_limits<double>::infinity();

    // From ACCEPT on.
    bool shown = false;
    int channelCount = 0;
    Clock::time_point lastReading{}, lastFrames{};
    // Where each bar ends and its peak-hold mark stands, and since when the mark stands there.
    double levelDb[2] = {silence, silence};
    double holdDb[2] = {silence, silence};
    Clock::time_point holdSince[2]{};
    // Since when the input has been quiet (nothing above -80 dBFS), and
    // whether that has lasted long enough to say "No signal".
    std::optional<Clock::time_point> quietSince;
    bool noSignal = false;
    // The sound server's source that was chosen went away, and is not back.
    bool sourceGone = false;
    // The lamp's count: since ACCEPT, then since the last Record.
    int64_t clips = 0;
    // The take: while one runs, while it is paused, and once one has run.
    bool takeRunning = false;
    bool takePaused = false;
    bool takeShown = false;
    double takePeak = 0;  // a share of full scale
    int64_t takeClips = 0;
    // The last take's figures, as they were at Record: a take that records
    // nothing leaves that one on disk, and the line tells of it again.
    struct EarlierTake {
        bool shown = false;
        double peak = 0;
        int64_t clips = 0;
    } earlierTake;
    int64_t takeFramesLost = 0;
    // The seconds of audio in the format that still fit on the take's disk;
    // -1 until known.
    int64_t diskSecondsLeft = -1;
    // Why a Record began no take, as the line says it until Stop (one of
    // the line's own texts); null when none was refused.
    const char* notRecording = nullptr;
    // What screen readers were last told, when, and the loudest since.
    Clock::time_point spokenAt{};
    double loudestSinceSpoken[2] = {silence, silence};
    // What the take's line was made from, and what it then said: a redraw
    // that changes none of it makes no text and paints nothing.
    struct LineFigures {
        const char* notRecording = nullptr;
        bool takeRunning = false, takePaused = false, takeShown = false;
        double takePeak = 0;
        int64_t takeClips = 0, takeFramesLost = 0, diskSecondsLeft = -1;
        bool operator==(const LineFigures&) const = default;
    };
    LineFigures lineFigures;
    std::string lineText;
    bool lineAlarming = false;
};

enum class LoopState { Idle, Recording, Paused };

// What the window shows of the running recorder; what the audio thread
// shares with it (`armed`, `framesCaptured`) is the capture engine's.
struct RecordingState {
    LoopState loopState = LoopState::Idle;
    // The seconds shown on Record; never reset.
    int32_t elapsedSeconds = 0;
    // The save's progress count; never reset.
    int32_t saveBlocks = 0;
};

// A take that a sleep of the computer ended: what it ended with, and when
// the computer went to sleep (seconds since the epoch); told on waking.
struct SleptTake {
    TakeOutcome outcome;
    int64_t wentToSleep = 0;
};

// Everything one run of the recorder holds: what the user chose, the format
// derived at ACCEPT, what the window shows of the running recorder, the capture that runs
// on them, the desktop's sound server, and the devices the list offers.
struct App {
    CaptureSettings captureSettings;
    CaptureFormat captureFormat;
    RecordingState recordingState;
    CaptureEngine capture{captureSettings, captureFormat};
    SoundServer soundServer;
    // What starts PortAudio off the interface thread, and again when the
    // sound cards change; null where PortAudio was started otherwise (and
    // is then never started anew).
    AudioStart* audio = nullptr;
    // The device list's entries, item by item; fixed from ACCEPT on.
    std::vector<CaptureDevice> devices;
    // The sound cards' comings and goings, and the sound server's, that the
    // list has taken in.
    int64_t cardChangesListed = 0;
    int64_t serverArrivalsListed = 0;
    std::optional<SleptTake> sleptTake;
    // What waits for the stream being opened off the interface thread: the
    // box ACCEPT owes when it fails, and a Record; and the channel through
    // which the opening wakes the event wait when it settles.
    bool acceptAwaitsStream = false;
    // Resume waits for the stream to be opened again, as Record may.
    bool resumeAwaitsStream = false;
    // ACCEPT found the list empty: nothing can record, and its box says why.
    bool nothingToRecord = false;
    bool recordAwaitsStream = false;
    int wakeChannel = -1;
    LevelDisplay levels;
};
