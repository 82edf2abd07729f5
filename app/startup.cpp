// SPDX-License-Identifier: MIT
#include <cstdlib>

#include "app_internal.h"
#include "capture.h"
#include "files.h"
#include "ui.h"

namespace {

// The window system can end the program too: Qt exits with 1 when its display
// goes away. A take still running then ends whole, its ring drained and its
// file closed, as it does at the close box; after shutdownAndExit this finds
// nothing left to do.
void endTakeAtExit() { closeCaptureStream(); }

}  // namespace

void runOstrelle() {
    std::atexit(endTakeAtExit);
    resetRecorderState();
    startLayer();
    closeOnTerminationSignals();
    silenceAudioLibraries();
    Pa_Initialize();
    buildMainWindow();
    offerUnsavedTake();
    runSettingsPhase();
    applyAcceptedSettings();
    openCaptureStream();
    addWindowTimer(MainWindow, ElapsedTimer, ElapsedTimerPeriod);
    runRecordingLoop();
}

void shutdownAndExit() {
    endCapture();
    closeWindow(MainWindow);
    endLayer();
    // Flushes and closes a take still being written, so it stays on disk whole.
    closeAllFiles();
    std::exit(0);
}
