// SPDX-License-Identifier: MIT
#include <cstdlib>

#include "app_internal.h"
#include "capture.h"
#include "ui.h"

void runOstrelle() {
    resetRecorderState();
    startLayer();
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
    closeCaptureStream();
    Pa_Terminate();
    closeWindow(MainWindow);
    // Flushes and closes a take still being written, so it stays on disk whole.
    endLayer();
    std::exit(0);
}
