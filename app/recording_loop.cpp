#include <string>

#include "app.h"
#include "capture.h"
#include "ui.h"
#include "wav.h"

namespace {

void setButtons(int record, int stop, int save) {
    disableControl(RecordButton, record ? 0 : 1);
    disableControl(StopButton, stop ? 0 : 1);
    disableControl(SaveButton, save ? 0 : 1);
}

void recordAction() {
    recordingState.loopState = LoopState::Recording;
    disableControl(RecordButton, 1);
    if (beginTake()) setButtons(0, 1, 0);
}

void stopAction() {
    recordingState.loopState = LoopState::Idle;
    endTake();
    setButtons(1, 0, 1);
    if (takeCutShort())
        messageBox("Error", "The take was cut short because the disk refused to store more of it.", boxOk);
}

void saveAction() {
    exportWav();
    messageBox("All Done!", " Restart !", boxOk);
}

void tickAction() {
    if (recordingState.loopState != LoopState::Recording) return;
    setControlText(RecordButton, std::to_string(recordingState.elapsedSeconds).c_str());
    ++recordingState.elapsedSeconds;
    if (takeReachedLimit()) {
        stopAction();
        messageBox("Error", "The take reached the largest size a WAV file can hold, so recording stopped.", boxOk);
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
