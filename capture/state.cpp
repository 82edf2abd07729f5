// SPDX-License-Identifier: MIT
#include <alsa/asoundlib.h>

#include <cmath>

#include "capture.h"
#include "capture_rooms.h"

// PortAudio loads JACK's client library; these resolve only when it is there.
extern "C" {
__attribute__((weak)) void jack_set_error_function(void (*)(const char*));
__attribute__((weak)) void jack_set_info_function(void (*)(const char*));
}

CaptureSettings captureSettings;
CaptureFormat captureFormat;
RecordingState recordingState;

namespace {

void ignoreAlsaReport(const char*, int, const char*, int, const char*, ...) {}
void ignoreJackReport(const char*) {}

}  // namespace

void resetRecorderState() {
    captureSettings = CaptureSettings{};
    captureFormat = CaptureFormat{};
    recordingState.stream = nullptr;
    recordingState.armed.store(0, std::memory_order_release);
    recordingState.framesCaptured.store(0, std::memory_order_release);
    recordingState.loopState = LoopState::Idle;
    recordingState.elapsedSeconds = 0;
    recordingState.saveBlocks = 0;
    resetDeviceList();
    resetTakeState();
}

void silenceAudioLibraries() {
    snd_lib_error_set_handler(ignoreAlsaReport);
    if (jack_set_error_function != nullptr) jack_set_error_function(ignoreJackReport);
    if (jack_set_info_function != nullptr) jack_set_info_function(ignoreJackReport);
}

int64_t roundedSampleRate() { return std::llround(captureSettings.sampleRate); }

void computeCaptureFormat() {
    switch (captureSettings.bitsPerSample) {
        case 24: captureFormat.sampleFormat = paInt24; break;
        case 32: captureFormat.sampleFormat = paInt32; break;
        default: captureFormat.sampleFormat = paInt16; break;
    }
    captureFormat.bytesPerFrame = (captureSettings.bitsPerSample / 8) * captureSettings.channelCount;
    captureFormat.inputParameters.device = captureSettings.deviceIndex;
    captureFormat.inputParameters.channelCount = captureSettings.channelCount;
    captureFormat.inputParameters.sampleFormat = captureFormat.sampleFormat;
    captureFormat.inputParameters.suggestedLatency = 0.05;
    captureFormat.inputParameters.hostApiSpecificStreamInfo = nullptr;
}
