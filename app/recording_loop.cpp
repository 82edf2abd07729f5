// SPDX-License-Identifier: MIT
#include <cmath>
#include <cstdio>
#include <string>

#include "app_internal.h"
#include "capture.h"
#include "ui.h"
#include "wav.h"

namespace {

// "2.4 seconds", from a count in tenths of a second.
std::string secondsText(double tenths) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f second%s", tenths / 10.0, tenths == 10.0 ? "" : "s");
    return text;
}

// Lost audio is rounded up, so that any loss reads as at least a tenth of a second.
std::string lostTime(int64_t frames) {
    return secondsText(std::ceil(static_cast<double>(frames) * 10.0 / captureSettings.sampleRate));
}

std::string keptTime(int32_t frames) {
    return secondsText(std::round(static_cast<double>(frames) * 10.0 / captureSettings.sampleRate));
}

void showError(const std::string& text) { messageBox("Error", text.c_str(), boxOk); }

// Tells what of the take could not be kept, and why it ended when the user did not end it.
void reportTake(const TakeOutcome& take) {
    if (take.diskRefused) {
        showError("The take was cut short because the disk refused to store more of it.");
    } else if (take.streamLost) {
        showError("The device or its sound server stopped delivering audio, so recording stopped. The take keeps the " +
                  keptTime(take.framesKept) + " recorded before that; Save stores them.");
    } else if (take.framesLost > 0) {
        showError(lostTime(take.framesLost) +
                  " of audio could not be recorded, so the take has gaps where it was lost.");
    }
    if (take.limitReached)
        showError("The take reached the longest length the recorder can hold, so recording stopped.");
}

void recordAction() {
    // A take is armed only on a running stream: one that died with its device,
    // or never opened, is opened again first; when that fails, nothing changes
    // and Record can be tried again.
    if (!reviveCaptureStream()) return;
    recordingState.loopState = LoopState::Recording;
    showButtons(ButtonState::startingTake);
    if (beginTake()) showButtons(ButtonState::recording);
}

void stopAction() {
    recordingState.loopState = LoopState::Idle;
    const TakeOutcome take = endTake();
    showButtons(ButtonState::stopped);
    reportTake(take);
}

// The restart advice follows only a completed save: after anything else the
// take is still the user's only copy, and a new Record would empty it.
void saveAction() {
    if (!exportWav()) return;
    markTakeSaved();
    messageBox("All Done!", " Restart !", boxOk);
}

// A take that can grow no more ends as Stop ends it.
void tickAction() {
    if (recordingState.loopState != LoopState::Recording) return;
    setControlText(RecordButton, std::to_string(recordingState.elapsedSeconds).c_str());
    ++recordingState.elapsedSeconds;
    if (takeCannotGoOn()) stopAction();
}

}  // namespace

int recordingPass(int previousCode) {
    if (previousCode == eventTimerTick && eventTimer() == ElapsedTimer) tickAction();
    int code = waitWindowEvent();
    if (code == eventControlChanged) {
        switch (eventControl()) {
            case RecordButton: recordAction(); break;
            case StopButton: stopAction(); break;
            case SaveButton: saveAction(); break;
            default: break;
        }
    } else if (code == eventCloseRequested) {
        shutdownAndExit();
    }
    return code;
}

void runRecordingLoop() {
    int code = 0;
    for (;;) code = recordingPass(code);
}
