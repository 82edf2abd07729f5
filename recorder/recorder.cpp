// SPDX-License-Identifier: MIT
#include "recorder.h"

#include <cmath>

#include "ui.h"

CaptureSettings captureSettings;
CaptureFormat captureFormat;
RecordingState recordingState;

void resetRecords() {
    captureSettings = CaptureSettings{};
    captureFormat = CaptureFormat{};
    recordingState.stream = nullptr;
    recordingState.armed.store(0, std::memory_order_release);
    recordingState.framesCaptured.store(0, std::memory_order_release);
    recordingState.loopState = LoopState::Idle;
    recordingState.elapsedSeconds = 0;
    recordingState.saveBlocks = 0;
}

int64_t roundedSampleRate() { return std::llround(captureSettings.sampleRate); }

int32_t bytesPerFrameFor(int32_t bitsPerSample, int32_t channelCount) { return (bitsPerSample / 8) * channelCount; }

void computeCaptureFormat() {
    switch (captureSettings.bitsPerSample) {
        case 24: captureFormat.sampleFormat = paInt24; break;
        case 32: captureFormat.sampleFormat = paInt32; break;
        default: captureFormat.sampleFormat = paInt16; break;
    }
    captureFormat.bytesPerFrame = bytesPerFrameFor(captureSettings.bitsPerSample, captureSettings.channelCount);
    captureFormat.inputParameters.device = captureSettings.deviceIndex;
    captureFormat.inputParameters.channelCount = captureSettings.channelCount;
    captureFormat.inputParameters.sampleFormat = captureFormat.sampleFormat;
    captureFormat.inputParameters.suggestedLatency = 0.05;
    captureFormat.inputParameters.hostApiSpecificStreamInfo = nullptr;
}

namespace {

enum class Enabled : uint8_t { no, yes, asBefore };
struct ButtonRow {
    ButtonState state;
    Enabled record, stop, save;
};

// The one table of which buttons each state leaves enabled.
constexpr ButtonRow buttonTable[] = {
    {ButtonState::beforeAccept, Enabled::no, Enabled::no, Enabled::no},
    {ButtonState::accepted, Enabled::yes, Enabled::yes, Enabled::yes},
    {ButtonState::recording, Enabled::no, Enabled::yes, Enabled::no},
    {ButtonState::startingTake, Enabled::no, Enabled::asBefore, Enabled::asBefore},
    {ButtonState::stopped, Enabled::yes, Enabled::no, Enabled::yes},
    {ButtonState::exporting, Enabled::no, Enabled::no, Enabled::no},
    {ButtonState::exported, Enabled::no, Enabled::no, Enabled::no},
    {ButtonState::exportFailed, Enabled::yes, Enabled::no, Enabled::yes},
};

void apply(int button, Enabled enabled) {
    if (enabled != Enabled::asBefore) disableControl(button, enabled == Enabled::yes ? 0 : 1);
}

}  // namespace

void showButtons(ButtonState state) {
    for (const ButtonRow& row : buttonTable) {
        if (row.state != state) continue;
        apply(RecordButton, row.record);
        apply(StopButton, row.stop);
        apply(SaveButton, row.save);
    }
}
