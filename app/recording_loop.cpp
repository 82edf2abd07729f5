// SPDX-License-Identifier: MIT
#include <cmath>
#include <cstdio>
#include <string>

#include "app_internal.h"
#include "levels.h"
#include "ui.h"

namespace {

// "2.4 seconds", from a count in tenths of a second.
std::string secondsText(double tenths) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f second%s", tenths / 10.0, tenths == 10.0 ? "" : "s");
    return text;
}

// Lost audio is rounded up, so that any loss reads as at least a tenth of a second.
std::string lostTime(int64_t frames, double sampleRate) {
    return secondsText(std::ceil(static_cast<double>(frames) * 10.0 / sampleRate));
}

std::string keptTime(int32_t frames, double sampleRate) {
    return secondsText(std::round(static_cast<double>(frames) * 10.0 / sampleRate));
}

// Tells what of the take could not be kept, and why it ended when the user did not end it.
void reportTake(const TakeOutcome& take, double sampleRate) {
    if (take.diskRefused) {
        showError("The take was cut short because the disk refused to store more of it.");
    } else if (take.streamLost) {
        showError("The device or its sound server stopped delivering audio, so recording stopped. The take keeps the " +
                  keptTime(take.framesKept, sampleRate) + " recorded before that; Save stores them.");
    } else if (take.framesLost > 0) {
        showError(lostTime(take.framesLost, sampleRate) +
                  " of audio could not be recorded, so the take has gaps where it was lost.");
    }
    if (take.limitReached)
        showError("The take reached the longest length the recorder can hold, so recording stopped.");
}

void recordAction(App& app) {
    // A take is armed only on a running stream: one that died with its device,
    // or never opened, is opened again first; when that fails, nothing changes
    // and Record can be tried again.
    if (!app.capture.reviveStream()) {
        showError("Unable to stream.");
        return;
    }
    app.recordingState.loopState = LoopState::Recording;
    showButtons(ButtonState::startingTake);
    switch (app.capture.beginTake()) {
        case TakeBeginning::begun:
            showButtons(ButtonState::recording);
            levelsAtRecord(app);
            break;
        case TakeBeginning::heldElsewhere: showError("Another copy of Ostrelle is recording in this folder."); break;
        case TakeBeginning::refused: showError("Sorry, unable to decode."); break;
    }
}

void stopAction(App& app) {
    app.recordingState.loopState = LoopState::Idle;
    const TakeOutcome take = app.capture.endTake();
    levelsAtStop(app);
    showButtons(ButtonState::stopped);
    reportTake(take, app.captureSettings.sampleRate);
}

// The restart advice follows only a completed save: after anything else the
// take is still the user's only copy, and a new Record would empty it.
void saveAction(App& app) {
    if (!saveLastTake(app)) return;
    messageBox("All Done!", " Restart !", boxOk);
}

// A take that can grow no more ends as Stop ends it.
void tickAction(App& app) {
    RecordingState& state = app.recordingState;
    if (state.loopState != LoopState::Recording) return;
    setControlText(RecordButton, std::to_string(state.elapsedSeconds).c_str());
    ++state.elapsedSeconds;
    levelsAtTick(app);
    if (app.capture.takeCannotGoOn()) stopAction(app);
}

}  // namespace

int recordingPass(App& app, int previousCode) {
    if (previousCode == eventTimerTick && eventTimer() == ElapsedTimer) tickAction(app);
    if (previousCode == eventTimerTick && eventTimer() == MeterTimer) redrawLevels(app);
    int code = waitWindowEvent();
    if (code == eventControlChanged) {
        switch (eventControl()) {
            case RecordButton: recordAction(app); break;
            case StopButton: stopAction(app); break;
            case SaveButton: saveAction(app); break;
            default: break;
        }
    }
    return code;
}
