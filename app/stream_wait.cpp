// SPDX-License-Identifier: MIT
// The stream as the window waits for it. Opening it may take as long as a
// sound server hangs, so it happens off the interface thread; the window
// goes on answering meanwhile, and a close request ends the run at once. An
// opening that settles wakes the event wait, and what waited for it follows:
// a box, or the take Record asked for.
#include <string>
#include <utility>

#include "app_internal.h"
#include "levels.h"
#include "ui.h"

namespace {

// After "Sorry, unsupported format." where ACCEPT found nothing to record
// from: why, on a line of its own.
std::string whyNothingRecords(const App& app) {
    if (!app.nothingToRecord) return {};
    return app.soundServer.sources().connected ? "\rNo device is listed, so nothing can record."
                                               : "\rNo device is listed, and no sound server answered, so nothing "
                                                 "can record.";
}

// The sound server opened the chosen source's stream on another source.
std::string otherSourceText(const App& app) {
    return "The sound server gave " + app.capture.sourceGivenInstead() + " in place of " + sourceDescription(app) +
           ", so nothing is recorded from it.";
}

}  // namespace

void openCaptureStream(App& app) {
    if (app.wakeChannel < 0) listenForWakeUps(app);
    // The list is fixed from ACCEPT on: the server's news no longer wakes
    // the window, and the chosen source alone is followed, by the engine.
    app.soundServer.whenChanged({});
    app.nothingToRecord = app.devices.empty();
    app.capture.followSource(app.soundServer);
    app.acceptAwaitsStream = true;
    app.capture.beginOpening();
    followStreamOpening(app);
}

void listenForWakeUps(App& app) {
    app.wakeChannel = makeWakeChannel();
    app.capture.whenOpeningSettles([channel = app.wakeChannel] { wakeEventWait(channel); });
    app.soundServer.whenChanged([channel = app.wakeChannel] { wakeEventWait(channel); });
    if (app.audio != nullptr) app.audio->whenFinished([channel = app.wakeChannel] { wakeEventWait(channel); });
}

void beginTakeNow(App& app) {
    app.recordingState.loopState = LoopState::Recording;
    showButtons(ButtonState::startingTake);
    const TakeBeginning beginning = app.capture.beginTake();
    if (beginning == TakeBeginning::begun) {
        showButtons(ButtonState::recording);
        levelsAtRecord(app);
        holdSleep("Recording a take", ForcedSleep::announced);
        return;
    }
    // The seconds count on until Stop, which leads out, also after the cause
    // is gone; until then the take's line says why nothing records.
    showButtons(ButtonState::takeRefused);
    levelsAtRefusedRecord(app, beginning);
    showError(beginning == TakeBeginning::heldElsewhere ? "Another copy of Ostrelle is recording in this folder."
                                                        : "Sorry, unable to decode.");
}

bool streamRunsForRecord(App& app) {
    if (app.capture.streamRuns()) return true;
    // It went away, or never opened: only a new stream records, and a take
    // armed without one would stay empty. The earlier take stays as it is
    // until the new stream runs.
    app.capture.beginReviving();
    app.recordAwaitsStream = true;
    showButtons(ButtonState::startingTake);
    followStreamOpening(app);
    return false;
}

void resumeTakeNow(App& app) {
    app.capture.resumeTake();
    app.recordingState.loopState = LoopState::Recording;
    showButtons(ButtonState::recording);
    showPause(false);
    levelsAtPause(app, false);
}

void followStreamOpening(App& app) {
    if (!app.acceptAwaitsStream && !app.recordAwaitsStream && !app.resumeAwaitsStream) return;
    const StreamOpening outcome = app.capture.streamOpening();
    if (outcome == StreamOpening::pending) return;
    if (std::exchange(app.resumeAwaitsStream, false)) {
        if (outcome == StreamOpening::opened) {
            resumeTakeNow(app);
            return;
        }
        showButtons(ButtonState::paused);
        showError(outcome == StreamOpening::otherSource ? otherSourceText(app) : "Unable to stream.");
        return;
    }
    bool told = false;
    if (std::exchange(app.acceptAwaitsStream, false)) {
        if (outcome == StreamOpening::formatRefused) showError("Sorry, unsupported format." + whyNothingRecords(app));
        if (outcome == StreamOpening::unableToStream) showError("Unable to stream.");
        if (outcome == StreamOpening::otherSource) showError(otherSourceText(app));
        told = outcome == StreamOpening::unableToStream || outcome == StreamOpening::otherSource;
    }
    if (!std::exchange(app.recordAwaitsStream, false)) return;
    if (outcome == StreamOpening::opened) {
        beginTakeNow(app);
        return;
    }
    if (!told) showError(outcome == StreamOpening::otherSource ? otherSourceText(app) : "Unable to stream.");
    showButtons(ButtonState::takeNotBegun);
}
