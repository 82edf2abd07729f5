// SPDX-License-Identifier: MIT
#include <cstdio>
#include <cstdlib>

#include "app_internal.h"
#include "files.h"
#include "ui.h"

namespace {

// The one run's records and capture. Reached from the exit handler, which
// the C library calls without a context.
App* runningApp = nullptr;

// The window system can end the program too: Qt exits with 1 when its display
// goes away. A take still running then ends whole, its ring drained and its
// file closed, as it does at the close box; after shutDown this finds
// nothing left to do.
void endTakeAtExit() {
    if (runningApp != nullptr) runningApp->capture.closeStream();
}

// The single way out of a run: stops the stream, ends PortAudio, the
// sound server's thread and the window layer, and closes the file channels
// still open, so that a take being written stays on disk whole.
[[noreturn]] void shutDown(App& app) {
    app.capture.end();
    app.soundServer.end();
    releaseSleep();
    closeWindow(MainWindow);
    endLayer();
    closeAllFiles();
    // A PortAudio start still under way (a slow machine, a server that
    // hangs) is inside the sound libraries, and exit's teardown of them
    // beside it can crash the run at its very end. All the program owns is
    // closed by now, so it ends without that teardown.
    // Only stdout is flushed: flushing every stream would wait on any that
    // the start's thread holds, which exit() itself never does.
    if (app.audio != nullptr && !app.audio->ready()) {
        std::fflush(stdout);
        std::_Exit(0);
    }
    std::exit(0);
}

void runRecordingLoop(App& app) {
    int code = 0;
    do code = recordingPass(app, code);
    while (code != eventCloseRequested);
}

}  // namespace

void runOstrelle() {
    // What the libraries take from the environment is set before the first
    // thread of the program's own starts.
    readyAudioEnvironment();
    readyLayerEnvironment();
    // PortAudio starts beside the window layer, each on a core of its own
    // where there are two, and the window never waits for it: a sound server
    // that hangs holds PortAudio's start, not the window. stderr goes
    // nowhere meanwhile, so a display that cannot be opened is told of once
    // it is back.
    AudioStart audio;
    // Never destroyed: the program ends through exit(), and the exit handler
    // may still need it. Its sound server starts listing the sources now.
    App& app = *new App;
    app.audio = &audio;
    app.capture.useAudioStart(audio);
    runningApp = &app;
    std::atexit(endTakeAtExit);
    startLayer([&audio] { audio.finish(); });
    closeOnTerminationSignals();
    buildMainWindow(app);
    offerUnsavedTake(app);
    if (runSettingsPhase(app)) {
        applyAcceptedSettings(app);
        openCaptureStream(app);
        addWindowTimer(MainWindow, ElapsedTimer, ElapsedTimerPeriod);
        showLevels(app);
        runRecordingLoop(app);
    }
    shutDown(app);
}
