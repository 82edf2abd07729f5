// SPDX-License-Identifier: MIT
#include <cmath>
#include <cstdio>
#include <string>

#include "app_internal.h"
#include "capture.h"
#include "ui.h"
#include "wav.h"

namespace {

// "2.4 seconds" for the frames of a take that never reached it; rounded up,
// so that any loss reads as at least a tenth of a second.
std::string lostTime(int64_t frames) {
    const double tenths = std::ceil(static_cast<double>(frames) * 10.0 / captureSettings.sampleRate);
    char text[32];
    std::snprintf(text, sizeof text, "%.1f second%s", tenths / 10.0, tenths == 10.0 ? "" : "s");
    return text;
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
    endTake();
    showButtons(ButtonState::stopped);
    if (takeCutShort()) {
        messageBox("Error", "The take was cut short because the disk refused to store more of it.", boxOk);
    } else if (int64_t lost = framesLostInTake(); lost > 0) {
        const std::string text =
            lostTime(lost) + " of audio could not be recorded, so the take has gaps where it was lost.";
        messageBox("Error", text.c_str(), boxOk);
    }
}

// The restart advice follows only a completed save: after anything else the
// take is still the user's only copy, and a new Record would empty it.
void saveAction() {
    if (exportWav()) messageBox("All Done!", " Restart !", boxOk);
}

void tickAction() {
    if (recordingState.loopState != LoopState::Recording) return;
    setControlText(RecordButton, std::to_string(recordingState.elapsedSeconds).c_str());
    ++recordingState.elapsedSeconds;
    if (takeReachedLimit()) {
        stopAction();
        messageBox("Error", "The take reached the longest length the recorder can hold, so recording stopped.", boxOk);
    }
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
