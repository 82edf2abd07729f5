// SPDX-License-Identifier: MIT
// The level meter and the take's line: the figures the engine measures in
// the callback, turned into what the window draws and screen readers read.
#include "levels.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "app_internal.h"
#include "files.h"
#include "ui.h"

namespace {

using Clock = LevelDisplay::Clock;
using Seconds = std::chrono::duration<double>;
constexpr double silence = LevelDisplay::silence;

constexpr const char* meterName = "Input level";
constexpr const char* noSignalText = "No signal";
// The sound server's source that was chosen went away.
constexpr const char* sourceGoneText = "Source gone";
// The take's line after a Record that began no take.
constexpr const char* takeFileUnusableText = "Not recording: pelvar.temp cannot be used";
constexpr const char* takeFileHeldText = "Not recording: another copy records here";
// U+2212, the minus sign, which screen readers read as "minus".
constexpr const char* minus = "\u2212";

// The strip below the buttons, and a fifth line under the four status lines.
constexpr int meterX = 26, meterY = 314, meterWidth = 388, meterHeight = 22;
constexpr int lineX = 172, lineY = 288, lineWidth = 320, lineHeight = 22;
// The status lines' green (main_window.cpp), and red for what needs the user.
constexpr Color lineGreen = rgb(0, 255, 128);
constexpr Color lineRed = rgb(255, 64, 64);

// How the meter moves: common practice for a peak meter.
constexpr double fallDbPerSecond = 20;
constexpr auto holdFor = std::chrono::seconds(2);
constexpr double quietBelowDb = -80;
constexpr auto quietFor = std::chrono::seconds(2);
// A stream that has delivered nothing for this long has stopped, and its
// input is taken as silence; a shorter wait is only the gap between buffers.
constexpr auto stalledAfter = std::chrono::milliseconds(500);
// Bars this low are gone: the scale ends at -60 dBFS.
constexpr double goneBelowDb = -120;
constexpr auto speakEvery = std::chrono::seconds(1);
// Less room than this on the disk is told in red.
constexpr int64_t fewSecondsLeft = 5 * 60;

double decibels(double share) { return share > 0 ? 20 * std::log10(share) : silence; }

// "−12 dBFS", rounded to whole decibels.
std::string dbfsText(double db) {
    if (db < -60) return std::string("below ") + minus + "60 dBFS";
    const long rounded = std::lround(db);
    return (rounded < 0 ? std::string(minus) : std::string()) + std::to_string(std::labs(rounded)) + " dBFS";
}

std::string clipsText(int64_t clips) {
    if (clips == 1) return "clipped once";
    return "clipped " + std::to_string(clips) + " times";
}

// What a screen reader reads: the loudest of the last second, per channel.
std::string spokenText(const LevelDisplay& display) {
    if (display.sourceGone) return sourceGoneText;
    if (display.noSignal) return noSignalText;
    std::string text = display.channelCount == 2 ? "Left " + dbfsText(display.loudestSinceSpoken[0]) + ", right " +
                                                       dbfsText(display.loudestSinceSpoken[1])
                                                 : dbfsText(display.loudestSinceSpoken[0]);
    if (display.clips > 0) text += ", " + clipsText(display.clips);
    return text;
}

void showMeter(const LevelDisplay& display) {
    MeterReading reading;
    reading.channelCount = display.channelCount;
    for (int channel = 0; channel < 2; ++channel) {
        reading.levelDb[channel] = display.levelDb[channel];
        reading.holdDb[channel] = display.holdDb[channel];
    }
    reading.clips = display.clips;
    reading.message = display.sourceGone ? sourceGoneText : display.noSignal ? noSignalText : nullptr;
    showMeterReading(LevelMeter, reading);
}

void speak(LevelDisplay& display, Clock::time_point now) {
    if (now - display.spokenAt < speakEvery) return;
    setMeterValueText(LevelMeter, spokenText(display).c_str());
    display.spokenAt = now;
    for (double& loudest : display.loudestSinceSpoken) loudest = silence;
}

// "3 h 12 min left on disk", in whole minutes, or seconds in the last minute.
std::string diskTimeLeftText(int64_t seconds) {
    if (seconds >= 3600)
        return std::to_string(seconds / 3600) + " h " + std::to_string(seconds % 3600 / 60) + " min left on disk";
    if (seconds >= 60) return std::to_string(seconds / 60) + " min left on disk";
    return std::to_string(std::max<int64_t>(seconds, 0)) + " s left on disk";
}

// The take's line: empty before the first take; while one runs, what it
// lost or else its loudest peak, then the room left on its disk; after it,
// its peak and its clips. After a refused Record, why nothing records.
void showTakeLine(App& app) {
    LevelDisplay& display = app.levels;
    const LevelDisplay::LineFigures figures{display.notRecording,   display.takeRunning,    display.takePaused,
                                            display.takeShown,      display.takePeak,       display.takeClips,
                                            display.takeFramesLost, display.diskSecondsLeft};
    if (figures == display.lineFigures) return;
    display.lineFigures = figures;
    std::string text;
    bool alarming = false;
    if (display.notRecording != nullptr) {
        text = display.notRecording;
        alarming = true;
    } else if (display.takePaused) {
        text = "Paused after " + keptDuration(app.capture.framesCaptured(), app.captureSettings.sampleRate);
    } else if (display.takeRunning) {
        if (display.takeFramesLost > 0) {
            text = lostOnTheLine(display.takeFramesLost, app.captureSettings.sampleRate);
            alarming = true;
        } else {
            text = display.takePeak > 0 ? "Peak " + dbfsText(decibels(display.takePeak)) : "Silent so far";
        }
        if (display.diskSecondsLeft >= 0) {
            text += ", " + diskTimeLeftText(display.diskSecondsLeft);
            alarming = alarming || display.diskSecondsLeft < fewSecondsLeft;
        }
    } else if (display.takeShown) {
        text = display.takePeak > 0 ? "Take: peak " + dbfsText(decibels(display.takePeak)) : "Take: silent";
        text += display.takeClips > 0 ? ", " + clipsText(display.takeClips) : ", not clipped";
    }
    if (text != display.lineText) setControlText(TakeLine, text.c_str());
    if (alarming != display.lineAlarming) setControlColor(TakeLine, colorText, alarming ? lineRed : lineGreen);
    display.lineText = text;
    display.lineAlarming = alarming;
}

InputLevels readLevels(App& app) {
    const InputLevels reading = app.capture.readInputLevels();
    takeLevelReading(app.levels, reading, Clock::now());
    return reading;
}

// The seconds of the take's format that the take's disk still holds.
void measureDiskRoom(App& app) {
    const int64_t room = availableBytesBeside(TempCaptureFile);
    const int64_t bytesPerSecond = roundedSampleRate(app.captureSettings.sampleRate) * app.captureFormat.bytesPerFrame;
    app.levels.diskSecondsLeft = room < 0 || bytesPerSecond <= 0 ? -1 : room / bytesPerSecond;
}

}  // namespace

void takeLevelReading(LevelDisplay& display, const InputLevels& reading, Clock::time_point now) {
    const double elapsed = Seconds(now - display.lastReading).count();
    display.lastReading = now;
    display.channelCount = reading.channelCount;
    display.sourceGone = reading.sourceGone;
    const bool fresh = reading.frames > 0;
    if (fresh) display.lastFrames = now;
    // Between buffers nothing is known of the input, and the bars wait for
    // the next; a stream that stopped delivering falls silent.
    const bool stalled = !fresh && now - display.lastFrames > stalledAfter;
    double loudest = silence;
    for (int channel = 0; channel < reading.channelCount && channel < 2; ++channel) {
        const double peak = fresh ? decibels(reading.peak[channel]) : silence;
        loudest = std::max(loudest, peak);
        double& level = display.levelDb[channel];
        if (fresh || stalled) level = std::max(peak, level - fallDbPerSecond * elapsed);
        if (level < goneBelowDb) level = silence;
        double& hold = display.holdDb[channel];
        if (peak >= hold) {
            hold = peak;
            display.holdSince[channel] = now;
        } else if (now - display.holdSince[channel] >= holdFor) {
            hold = level;
            display.holdSince[channel] = now;
        }
        display.loudestSinceSpoken[channel] = std::max(display.loudestSinceSpoken[channel], peak);
        // While a take runs the lamp counts the take's own clips: not those
        // of the buffers after its end that Stop's reading still holds, nor
        // those of the input while it is held.
        const int64_t clips = display.takePaused    ? 0
                              : display.takeRunning ? reading.takeClips[channel]
                                                    : reading.clips[channel];
        display.clips += clips;
        if (display.takeRunning) {
            display.takeClips += clips;
            display.takePeak = std::max(display.takePeak, reading.peak[channel]);
        }
    }
    if (display.takeRunning) display.takeFramesLost = std::max(display.takeFramesLost, reading.takeFramesLost);
    if (fresh && loudest >= quietBelowDb) {
        display.quietSince.reset();
        display.noSignal = false;
    } else if (fresh || stalled) {
        // A stream that stopped has been quiet since its last buffer.
        if (!display.quietSince) display.quietSince = fresh ? now : display.lastFrames;
        display.noSignal = now - *display.quietSince >= quietFor;
    }
}

void showLevels(App& app) {
    createMeter(LevelMeter, meterX, meterY, meterWidth, meterHeight, meterName);
    createText(TakeLine, lineX, lineY, lineWidth, lineHeight, "");
    setControlColor(TakeLine, colorText, lineGreen);
    setControlColor(TakeLine, colorBackground, rgb(0, 0, 0));
    const Clock::time_point now = Clock::now();
    LevelDisplay& display = app.levels;
    display = LevelDisplay{};
    display.shown = true;
    display.channelCount = app.captureSettings.channelCount;
    display.lastReading = display.lastFrames = now;
    // The first redraw tells screen readers at once.
    display.spokenAt = now - speakEvery;
    showMeter(display);
    addShownWindowTimer(MainWindow, MeterTimer, MeterTimerPeriod);
}

bool redrawLevels(App& app) {
    if (!app.levels.shown) return false;
    const InputLevels reading = readLevels(app);
    showMeter(app.levels);
    speak(app.levels, Clock::now());
    showTakeLine(app);
    return reading.frames > 0;
}

void levelsAtRecord(App& app) {
    LevelDisplay& display = app.levels;
    if (!display.shown) return;
    // What came before the click belongs to before the take, but for the
    // clips of the take's first buffers, which may have come since it began.
    const InputLevels reading = readLevels(app);
    display.earlierTake = {display.takeShown, display.takePeak, display.takeClips};
    display.takeRunning = display.takeShown = true;
    display.takePeak = 0;
    display.takeFramesLost = 0;
    display.takeClips = reading.takeClips[0] + reading.takeClips[1];
    display.clips = display.takeClips;
    measureDiskRoom(app);
    showMeter(display);
    showTakeLine(app);
}

void levelsAtRefusedRecord(App& app, TakeBeginning why) {
    LevelDisplay& display = app.levels;
    if (!display.shown) return;
    display.notRecording = why == TakeBeginning::heldElsewhere ? takeFileHeldText : takeFileUnusableText;
    showTakeLine(app);
}

void levelsAtPause(App& app, bool paused) {
    LevelDisplay& display = app.levels;
    if (!display.shown) return;
    // The buffers before the click belong to the take's last part, or to
    // the time it was held.
    readLevels(app);
    display.takePaused = paused;
    display.takeRunning = !paused;
    showTakeLine(app);
}

void levelsAtStop(App& app, const TakeOutcome& take) {
    LevelDisplay& display = app.levels;
    if (!display.shown) return;
    display.notRecording = nullptr;
    display.takePaused = false;
    if (display.takeRunning) {
        // The take's last buffers, measured before endTake() returned.
        readLevels(app);
        display.takeRunning = false;
        showMeter(display);
    }
    // A take that recorded nothing left the one before it, which the line
    // tells of again.
    if (take.recordedNothing) {
        display.takeShown = display.earlierTake.shown;
        display.takePeak = display.earlierTake.peak;
        display.takeClips = display.earlierTake.clips;
    }
    showTakeLine(app);
}

void levelsAtTick(App& app) {
    if (!app.levels.shown || !app.levels.takeRunning) return;
    // Folded in here too, so that a loss is told while the window is
    // minimised and the meter does not redraw.
    readLevels(app);
    measureDiskRoom(app);
    showTakeLine(app);
}
