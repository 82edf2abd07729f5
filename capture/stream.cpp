// SPDX-License-Identifier: MIT
#include <pa_linux_alsa.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

#include "capture.h"
#include "capture_internal.h"
#include "capture_testing.h"
#include "files.h"
#include "take_writer.h"
#include "ui.h"

namespace {

// Room for this much audio in the ring keeps a take whole through any stall
// of the disk shorter than that.
constexpr double ringSeconds = 10.0;
constexpr size_t smallestRing = 64 * 1024;

std::atomic<int32_t> takeFrameLimit{largestTakeFrames};
std::atomic<bool> takeFull{false};
std::atomic<int64_t> overflowCount{0};
std::atomic<int64_t> deliveredCount{0};
std::atomic<int64_t> lostFrames{0};
// 1 while a callback runs. With `armed` both are sequentially consistent, so
// either a callback sees the take disarmed or endTake sees it inside.
std::atomic<int> callbacksInside{0};

using Clock = std::chrono::steady_clock;
// A new stream may take more than a second to deliver its first buffer (a
// sound server's does); once it has delivered, a second without a buffer
// means that its device or sound server stopped.
constexpr auto firstBufferWithin = std::chrono::seconds(5);
constexpr auto longestBufferGap = std::chrono::seconds(1);
// When the running stream last delivered, on the steady clock; 0 until its
// first buffer. Written by the audio thread, read by the interface thread.
std::atomic<Clock::rep> lastBufferAt{0};
Clock::time_point streamOpenedAt;
// A stream closeCaptureStream left running because its sound server hangs.
bool streamLeftHung = false;

void showError(const char* text) { messageBox("Error", text, boxOk); }

// An audio thread at ordinary priority can be kept off the processor for
// tens of milliseconds by a busy machine. ALSA's callback thread asks for
// real-time scheduling; where the system refuses, it runs as before.
void preferRealtimeScheduling(PaStream* stream) {
    const PaDeviceInfo* device = Pa_GetDeviceInfo(captureFormat.inputParameters.device);
    const PaHostApiInfo* host = device == nullptr ? nullptr : Pa_GetHostApiInfo(device->hostApi);
    if (host != nullptr && host->type == paALSA) PaAlsa_EnableRealtimeScheduling(stream, 1);
}

bool openAndStart() {
    lastBufferAt.store(0, std::memory_order_relaxed);
    streamOpenedAt = Clock::now();
    PaStream* stream = nullptr;
    if (Pa_OpenStream(&stream, &captureFormat.inputParameters, nullptr, captureSettings.sampleRate,
                      paFramesPerBufferUnspecified, paNoFlag, captureCallback, nullptr) != paNoError)
        return false;
    recordingState.stream = stream;
    preferRealtimeScheduling(stream);
    return Pa_StartStream(stream) == paNoError;
}

void stopStream(PaStream* stream) {
    if (Pa_StopStream(stream) != paNoError) Pa_AbortStream(stream);
}

// A stream whose device or sound server went away either ends (PortAudio
// then calls it inactive) or simply stops calling back.
bool streamDelivering() {
    PaStream* stream = recordingState.stream;
    if (stream == nullptr || Pa_IsStreamActive(stream) != 1) return false;
    const Clock::rep last = lastBufferAt.load(std::memory_order_relaxed);
    const Clock::time_point now = Clock::now();
    if (last == 0) return now - streamOpenedAt <= firstBufferWithin;
    return now - Clock::time_point(Clock::duration(last)) <= longestBufferGap;
}

// Audio thread: hands the frames that fit to the take writer.
void appendToTake(const void* input, unsigned long frameCount, PaStreamCallbackFlags statusFlags) {
    // PortAudio dropped input before this buffer without saying how much; a
    // buffer's worth is the best measure it gives.
    if (statusFlags & paInputOverflow)
        lostFrames.fetch_add(static_cast<int64_t>(frameCount), std::memory_order_relaxed);
    // After the disk refused a write, appending more would leave a gap in the take.
    if (takeFull.load(std::memory_order_relaxed) || takeWriterDiskRefused()) return;
    const int64_t bytesPerFrame = captureFormat.bytesPerFrame;
    if (bytesPerFrame <= 0) return;
    const int32_t counted = recordingState.framesCaptured.load(std::memory_order_relaxed);
    const int64_t room = int64_t{takeFrameLimit.load(std::memory_order_relaxed)} - counted;
    int64_t frames = static_cast<int64_t>(frameCount);
    if (frames > room) {
        frames = room > 0 ? room : 0;
        takeFull.store(true, std::memory_order_release);
    }
    const int64_t fit = static_cast<int64_t>(takeWriterRoom()) / bytesPerFrame;
    if (frames > fit) {
        lostFrames.fetch_add(frames - fit, std::memory_order_relaxed);
        frames = fit;
    }
    if (frames <= 0) return;
    handToTakeWriter(input, static_cast<size_t>(frames * bytesPerFrame));
    recordingState.framesCaptured.store(counted + static_cast<int32_t>(frames), std::memory_order_release);
}

}  // namespace

void resetTakeState() {
    takeFull.store(false);
    lostFrames.store(0);
}

void openCaptureStream() {
    if (Pa_IsFormatSupported(&captureFormat.inputParameters, nullptr, captureSettings.sampleRate) !=
        paFormatIsSupported) {
        showError("Sorry, unsupported format.");
        return;
    }
    if (!openAndStart()) showError("Unable to stream.");
}

bool reviveCaptureStream() {
    PaStream* stream = recordingState.stream;
    if (streamDelivering()) return true;
    // It never opened, or its device or sound server went away: only a new
    // stream records, and a take armed without one would stay empty.
    if (stream != nullptr) {
        Pa_AbortStream(stream);
        Pa_CloseStream(stream);
        recordingState.stream = nullptr;
    }
    if (openAndStart()) return true;
    showError("Unable to stream.");
    return false;
}

bool beginTake() {
    // Opening channel 1 again under a running writer would pull its buffer away.
    if (recordingState.armed.load(std::memory_order_acquire) != 0) endTake();
    // A link under the temporary name could point at any file of the user's,
    // and a second copy of the program must not empty this one's take.
    // The save reads the take through a descriptor of its own, so that
    // whatever is done to the name meanwhile, it holds what was recorded.
    if (createFile(TempCaptureFile, tempCaptureName, CreateFlags::refuseLinks | CreateFlags::exclusive) == 0 ||
        openReadSide(TakeReadFile, TempCaptureFile) == 0) {
        closeFile(TempCaptureFile);
        showError("Sorry, unable to decode.");
        return false;
    }
    // The format goes with the take, on disk before its first frame, so that
    // a take this run never finishes can still be read back. A file system
    // without notes records as before.
    setFileNote(TempCaptureFile, takeNoteKey,
                formatTakeNote({captureSettings.channelCount, captureSettings.bitsPerSample, captureSettings.sampleRate,
                                static_cast<int64_t>(std::time(nullptr)), false}));
    const double ringBytes = ringSeconds * captureSettings.sampleRate * captureFormat.bytesPerFrame;
    if (!startTakeWriter(ringBytes > smallestRing ? static_cast<size_t>(ringBytes) : smallestRing)) {
        closeFile(TempCaptureFile);
        showError("Sorry, unable to decode.");
        return false;
    }
    resetTakeState();
    recordingState.framesCaptured.store(0, std::memory_order_release);
    recordingState.armed.store(-1, std::memory_order_seq_cst);
    return true;
}

TakeOutcome endTake() {
    const bool takeOpen = recordingState.armed.exchange(0, std::memory_order_seq_cst) != 0;
    TakeOutcome outcome;
    outcome.streamLost = takeOpen && !streamDelivering();
    while (callbacksInside.load(std::memory_order_seq_cst) != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    finishTakeWriter();
    const bool closed = closeFile(TempCaptureFile);
    outcome.framesKept = recordingState.framesCaptured.load(std::memory_order_acquire);
    // A Stop without a take reports nothing, whatever an earlier take left.
    if (!takeOpen) return outcome;
    outcome.framesLost = lostFrames.load(std::memory_order_relaxed);
    outcome.limitReached = takeFull.load(std::memory_order_acquire);
    if ((!closed || takeWriterDiskRefused()) && captureFormat.bytesPerFrame > 0) {
        // Count only the whole frames the disk really holds.
        outcome.diskRefused = true;
        const int64_t held = openFileSize(TakeReadFile);
        const int64_t frames = held > 0 ? held / captureFormat.bytesPerFrame : 0;
        if (frames < outcome.framesKept) {
            outcome.framesKept = static_cast<int32_t>(frames);
            recordingState.framesCaptured.store(outcome.framesKept, std::memory_order_release);
        }
    }
    return outcome;
}

bool takeCannotGoOn() {
    if (recordingState.armed.load(std::memory_order_acquire) == 0) return false;
    return takeFull.load(std::memory_order_acquire) || !streamDelivering();
}

void setTakeFrameLimit(int32_t frames) { takeFrameLimit.store(frames, std::memory_order_relaxed); }
int64_t inputOverflowCount() { return overflowCount.load(std::memory_order_relaxed); }
int64_t framesDelivered() { return deliveredCount.load(std::memory_order_relaxed); }

void closeCaptureStream() {
    PaStream* stream = recordingState.stream;
    // PortAudio waits for a hung sound server to answer a stop or a close
    // for as long as it hangs. A stream that is running but delivers nothing
    // is left as it is, and PortAudio with it: the program is ending.
    const bool hung = stream != nullptr && Pa_IsStreamActive(stream) == 1 && !streamDelivering();
    if (stream != nullptr && !hung) stopStream(stream);
    // Closing the window mid-take keeps everything captured so far.
    if (recordingState.armed.load(std::memory_order_acquire) != 0) endTake();
    if (stream != nullptr && !hung) Pa_CloseStream(stream);
    if (hung) streamLeftHung = true;
    recordingState.stream = nullptr;
}

void endCapture() {
    closeCaptureStream();
    if (!streamLeftHung) Pa_Terminate();
}

int captureCallback(const void* input, void*, unsigned long frameCount, const PaStreamCallbackTimeInfo*,
                    PaStreamCallbackFlags statusFlags, void*) {
    callbacksInside.fetch_add(1, std::memory_order_seq_cst);
    // The steady clock is read in user space (the vDSO): no system call.
    lastBufferAt.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    if (statusFlags & paInputOverflow) overflowCount.fetch_add(1, std::memory_order_relaxed);
    deliveredCount.fetch_add(static_cast<int64_t>(frameCount), std::memory_order_relaxed);
    if (recordingState.armed.load(std::memory_order_seq_cst) != 0 && input != nullptr)
        appendToTake(input, frameCount, statusFlags);
    callbacksInside.fetch_sub(1, std::memory_order_release);
    return paContinue;
}
