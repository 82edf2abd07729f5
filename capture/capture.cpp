#include "capture.h"

#include <alsa/asoundlib.h>

#include <cmath>
#include <cstring>

#include "files.h"
#include "ui.h"

// PortAudio loads JACK's client library; these resolve only when it is there.
extern "C" {
__attribute__((weak)) void jack_set_error_function(void (*)(const char*));
__attribute__((weak)) void jack_set_info_function(void (*)(const char*));
}

CaptureSettings captureSettings;
CaptureFormat captureFormat;
RecordingState recordingState;

namespace {

constexpr size_t initialLabelRoom = 101;

std::vector<const PaDeviceInfo*> deviceTable;
std::vector<std::string> deviceLabels(initialLabelRoom);

std::atomic<int64_t> takeByteLimit{largestTakeBytes};
std::atomic<bool> takeFull{false};
std::atomic<int64_t> overflowCount{0};
std::atomic<int64_t> deliveredCount{0};
bool cutShort = false;

void showError(const char* text) { messageBox("Error", text, boxOk); }

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
    deviceTable.clear();
    deviceLabels.assign(initialLabelRoom, std::string());
    takeFull.store(false);
    cutShort = false;
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

std::string deviceLabel(const PaDeviceInfo* info) {
    if (info == nullptr) return {};
    return std::string(info->name == nullptr ? "" : info->name) + " " + std::to_string(info->hostApi);
}

void listCaptureDevices() { listCaptureDevices(DeviceSource{Pa_GetDeviceCount, Pa_GetDeviceInfo}); }

void listCaptureDevices(const DeviceSource& source) {
    int count = source.count();
    deviceTable.assign(count > 0 ? static_cast<size_t>(count) + 1 : 0, nullptr);
    for (int index = 0; index < count; ++index) deviceTable[static_cast<size_t>(index)] = source.info(index);
    int item = 0;
    for (int index = 0; index < count; ++index) {
        const PaDeviceInfo* info = deviceTable[static_cast<size_t>(index)];
        if (info == nullptr || info->maxInputChannels < 1) continue;
        std::string label = deviceLabel(info);
        // ASIO drivers are not supported, whatever host API index they carry.
        if (std::strncmp(label.c_str(), "ASIO", 4) == 0) continue;
        addControlItem(DeviceList, -1, label.c_str());
        setControlItemData(DeviceList, item, index);
        if (static_cast<size_t>(index) >= deviceLabels.size()) deviceLabels.resize(static_cast<size_t>(index) + 1);
        deviceLabels[static_cast<size_t>(index)] = label;
        ++item;
    }
}

std::string labelForDevice(int deviceIndex) {
    if (deviceIndex < 0 || static_cast<size_t>(deviceIndex) >= deviceLabels.size()) return {};
    return deviceLabels[static_cast<size_t>(deviceIndex)];
}

void releaseDeviceTable() {
    deviceTable.clear();
    deviceTable.shrink_to_fit();
}

void openCaptureStream() {
    if (Pa_IsFormatSupported(&captureFormat.inputParameters, nullptr, captureSettings.sampleRate) != paFormatIsSupported) {
        showError("Sorry, unsupported format.");
        return;
    }
    PaStream* stream = nullptr;
    if (Pa_OpenStream(&stream, &captureFormat.inputParameters, nullptr, captureSettings.sampleRate,
                      paFramesPerBufferUnspecified, paNoFlag, captureCallback, nullptr) != paNoError) {
        showError("Unable to stream.");
        return;
    }
    recordingState.stream = stream;
    if (Pa_StartStream(stream) != paNoError) showError("Unable to stream.");
}

bool beginTake() {
    // A link under the temporary name could point at any file of the user's.
    if (createFile(TempCaptureFile, tempCaptureName, LinkPolicy::refuseLinks) == 0) {
        showError("Sorry, unable to decode.");
        return false;
    }
    cutShort = false;
    takeFull.store(false, std::memory_order_relaxed);
    recordingState.framesCaptured.store(0, std::memory_order_release);
    recordingState.armed.store(-1, std::memory_order_release);
    // Stop stopped the stream; without a restart this take would stay empty.
    if (recordingState.stream != nullptr && Pa_IsStreamStopped(recordingState.stream) == 1 &&
        Pa_StartStream(recordingState.stream) != paNoError)
        showError("Unable to stream.");
    return true;
}

void endTake() {
    if (recordingState.stream != nullptr) Pa_StopStream(recordingState.stream);
    recordingState.armed.store(0, std::memory_order_release);
    if (!closeFile(TempCaptureFile) && captureFormat.bytesPerFrame > 0) {
        // Count only the whole frames the disk really holds.
        cutShort = true;
        int64_t held = fileSize(tempCaptureName);
        int64_t frames = held > 0 ? held / captureFormat.bytesPerFrame : 0;
        if (frames < recordingState.framesCaptured.load(std::memory_order_acquire))
            recordingState.framesCaptured.store(static_cast<int32_t>(frames), std::memory_order_release);
    }
}

bool takeCutShort() { return cutShort; }
bool takeReachedLimit() { return takeFull.load(std::memory_order_acquire); }
void setTakeByteLimit(int64_t bytes) { takeByteLimit.store(bytes, std::memory_order_relaxed); }
int64_t inputOverflowCount() { return overflowCount.load(std::memory_order_relaxed); }
int64_t framesDelivered() { return deliveredCount.load(std::memory_order_relaxed); }

void closeCaptureStream() {
    if (recordingState.stream == nullptr) return;
    Pa_StopStream(recordingState.stream);
    Pa_CloseStream(recordingState.stream);
    recordingState.stream = nullptr;
}

// Runs on PortAudio's audio thread and touches only `armed`, `framesCaptured`,
// the limit flags and channel 1; it never allocates and never locks. Its one
// file write reaches the kernel only when the 4 KiB buffer fills (bench/capture).
int captureCallback(const void* input, void*, unsigned long frameCount, const PaStreamCallbackTimeInfo*,
                    PaStreamCallbackFlags statusFlags, void*) {
    if (statusFlags & paInputOverflow) overflowCount.fetch_add(1, std::memory_order_relaxed);
    deliveredCount.fetch_add(static_cast<int64_t>(frameCount), std::memory_order_relaxed);
    if (recordingState.armed.load(std::memory_order_acquire) == 0 || input == nullptr) return paContinue;
    // After the disk refused a write, appending more would leave a gap in the take.
    if (takeFull.load(std::memory_order_relaxed) || fileWriteFailed(TempCaptureFile)) return paContinue;
    const int64_t bytesPerFrame = captureFormat.bytesPerFrame;
    if (bytesPerFrame <= 0) return paContinue;
    const int32_t counted = recordingState.framesCaptured.load(std::memory_order_relaxed);
    const int64_t room = (takeByteLimit.load(std::memory_order_relaxed) - counted * bytesPerFrame) / bytesPerFrame;
    int64_t frames = static_cast<int64_t>(frameCount);
    if (frames > room) {
        frames = room > 0 ? room : 0;
        takeFull.store(true, std::memory_order_release);
    }
    if (frames > 0) {
        writeData(TempCaptureFile, input, static_cast<int>(frames * bytesPerFrame));
        recordingState.framesCaptured.store(counted + static_cast<int32_t>(frames), std::memory_order_release);
    }
    return paContinue;
}
