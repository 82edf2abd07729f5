// SPDX-License-Identifier: MIT
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "app_internal.h"
#include "files.h"
#include "levels.h"
#include "ui.h"

namespace {

// Tells what of the take could not be kept, and why it ended when the user did not end it.
void reportTake(const App& app, const TakeOutcome& take) {
    const double sampleRate = app.captureSettings.sampleRate;
    const std::string keptUpToThen =
        take.recordedNothing ? whatTheTakeKeeps(take, sampleRate) : " The take up to then is kept.";
    if (take.sourceGone) {
        showError(sourceDescription(app) + " was disconnected." + keptUpToThen);
    } else if (take.sourceMoved) {
        showError(sourceDescription(app) + " was moved to " + take.movedTo + "." + keptUpToThen);
    } else if (take.diskRefused) {
        const std::string why = std::strerror(take.diskError);
        showError(take.recordedNothing
                      ? "The disk refused to store the take: " + why + "." + whatTheTakeKeeps(take, sampleRate)
                      : "The take was cut short because the disk refused to store more of it: " + why + "." +
                            whatTheTakeKeeps(take, sampleRate));
    } else if (take.streamLost) {
        showError("The device or its sound server stopped delivering audio, so recording stopped." +
                  whatTheTakeKeeps(take, sampleRate));
    } else if (take.framesLost > 0) {
        showError(lostDuration(take.framesLost, sampleRate) +
                  " of audio could not be recorded, so the take has gaps where it was lost.");
    }
    if (take.limitReached)
        showError("The take reached the longest length the recorder can hold, so recording stopped.");
}

void recordAction(App& app) {
    // The server would record another source in its place.
    if (app.capture.sourceGone()) {
        showError(sourceDescription(app) +
                  " is disconnected, so nothing is recorded. Record works again once it is back.");
        return;
    }
    // A take is armed only on a running stream: one that died with its device,
    // or never opened, is opened again first, and the take waits for it; when
    // that fails, nothing changes and Record can be tried again.
    if (streamRunsForRecord(app)) beginTakeNow(app);
}

// Pause holds the take and Resume goes on with it. A Resume whose source is
// away is told, as a Record is; one whose stream must be opened again waits
// for it. Either way the take stays held until it goes on.
void pauseAction(App& app) {
    LoopState& loop = app.recordingState.loopState;
    if (loop == LoopState::Recording) {
        app.capture.pauseTake();
        loop = LoopState::Paused;
        showButtons(ButtonState::paused);
        showPause(true);
        levelsAtPause(app, true);
        return;
    }
    showPause(loop == LoopState::Paused);
    if (loop != LoopState::Paused) return;
    if (app.capture.sourceGone()) {
        showError(sourceDescription(app) +
                  " is disconnected, so nothing is recorded. Resume works again once it is back.");
        return;
    }
    if (app.capture.streamRuns()) {
        resumeTakeNow(app);
        return;
    }
    app.capture.beginReviving();
    app.resumeAwaitsStream = true;
    showButtons(ButtonState::resumingTake);
    followStreamOpening(app);
}

void stopAction(App& app) {
    app.recordAwaitsStream = false;
    app.resumeAwaitsStream = false;
    app.recordingState.loopState = LoopState::Idle;
    showPause(false);
    const TakeOutcome take = app.capture.endTake();
    releaseSleep();
    levelsAtStop(app, take);
    showButtons(ButtonState::stopped);
    reportTake(app, take);
}

// A sleep the computer is forced into ends the take as Stop does, on disk
// before the sleep may go on; the boxes wait for the user to be back.
void sleepAction(App& app) {
    app.recordAwaitsStream = false;
    app.resumeAwaitsStream = false;
    if (app.recordingState.loopState == LoopState::Idle) return;
    app.recordingState.loopState = LoopState::Idle;
    showPause(false);
    const TakeOutcome take = app.capture.endTake();
    // Through the read side: the take's own channel is closed, and the disk
    // keeps what any descriptor of the file wrote.
    syncFileData(TakeReadFile);
    app.sleptTake = SleptTake{take, static_cast<int64_t>(std::time(nullptr))};
    showButtons(ButtonState::stopped);
    levelsAtStop(app, take);
    releaseSleep();
}

void wakeAction(App& app) {
    if (!app.sleptTake) return;
    const SleptTake slept = *app.sleptTake;
    app.sleptTake.reset();
    showError(sleptTakeText(slept, app.captureSettings.sampleRate));
    reportTake(app, slept.outcome);
}

// The restart advice follows only a completed save: after anything else the
// take is still the user's only copy, and a new Record would empty it.
void saveAction(App& app) {
    app.recordAwaitsStream = false;
    if (!saveLastTake(app)) return;
    messageBox("All Done!", " Restart !", boxOk);
}

// A take that can grow no more ends as Stop ends it. While none runs, a
// stream that went away is opened again, so that the next Record finds it
// running. A take's count starts with its first frame, and rests while the
// take is held.
void tickAction(App& app) {
    RecordingState& state = app.recordingState;
    followStreamOpening(app);
    if (state.loopState != LoopState::Recording) {
        app.capture.reviveWhenDue();
        return;
    }
    if (!app.capture.armed() || app.capture.framesCaptured() > 0) {
        setControlText(RecordButton, std::to_string(state.elapsedSeconds).c_str());
        ++state.elapsedSeconds;
    }
    levelsAtTick(app);
    if (app.capture.takeCannotGoOn(CaptureEngine::Waiting::upToAQuarterSecond)) stopAction(app);
}

// While the window is shown the meter's redraws look too, twenty times a
// second, so that a take whose stream stopped ends within about a second of
// its last buffer rather than at the tick after next. A redraw that found
// new buffers has just seen the stream run: the next one looks.
void redrawAction(App& app) {
    const bool delivered = redrawLevels(app);
    if (app.recordingState.loopState == LoopState::Recording && !delivered &&
        app.capture.takeCannotGoOn(CaptureEngine::Waiting::never))
        stopAction(app);
}

}  // namespace

int recordingPass(App& app, int previousCode) {
    if (previousCode == eventTimerTick && eventTimer() == ElapsedTimer) tickAction(app);
    if (previousCode == eventTimerTick && eventTimer() == MeterTimer) redrawAction(app);
    int code = waitWindowEvent();
    if (code == eventSleepComing) sleepAction(app);
    if (code == eventWokeUp) wakeAction(app);
    if (code == eventWoken) followStreamOpening(app);
    if (code == eventControlChanged) {
        switch (eventControl()) {
            case RecordButton: recordAction(app); break;
            case StopButton: stopAction(app); break;
            case SaveButton: saveAction(app); break;
            case PauseButton: pauseAction(app); break;
            default: break;
        }
    }
    return code;
}
