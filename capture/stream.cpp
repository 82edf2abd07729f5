// SPDX-License-Identifier: MIT
#include <pa_linux_alsa.h>

#include <ctime>
#include <thread>

#include "capture.h"
#include "capture_internal.h"
#include "capture_testing.h"
#include "files.h"

namespace {

using Clock = CaptureEngine::Core::Clock;

// Room for this much audio in the ring keeps a take whole through any stall
// of the disk shorter than that.
constexpr double ringSeconds = 10.0;
constexpr size_t smallestRing = 64 * 1024;

// A new stream may take more than a second to deliver its first buffer (a
// sound server's does); once it has delivered, a second without a buffer
// means that its device or sound server stopped.
constexpr auto firstBufferWithin = std::chrono::seconds(5);
constexpr auto longestBufferGap = std::chrono::seconds(1);

// An audio thread at ordinary priority can be kept off the processor for
// tens of milliseconds by a busy machine. ALSA's callback thread asks for
// real-time scheduling; where the system refuses, it runs as before.
void preferRealtimeScheduling(PaStream* stream, PaDeviceIndex deviceIndex) {
    const PaDeviceInfo* device = Pa_GetDeviceInfo(deviceIndex);
    const PaHostApiInfo* host = device == nullptr ? nullptr : Pa_GetHostApiInfo(device->hostApi);
    if (host != nullptr && host->type == paALSA) PaAlsa_EnableRealtimeScheduling(stream, 1);
}

void stopStream(PaStream* stream) {
    if (Pa_StopStream(stream) != paNoError) Pa_AbortStream(stream);
}

}  // namespace

bool CaptureEngine::Core::openAndStart() {
    lastBufferAt.store(0, std::memory_order_relaxed);
    streamOpenedAt = Clock::now();
    meter.forgetRuns();
    PaStream* stream = nullptr;
    if (Pa_OpenStream(&stream, &format.inputParameters, nullptr, settings.sampleRate, paFramesPerBufferUnspecified,
                      paNoFlag, captureCallback, this) != paNoError)
        return false;
    state.stream = stream;
    preferRealtimeScheduling(stream, format.inputParameters.device);
    return Pa_StartStream(stream) == paNoError;
}

// A stream whose device or sound server went away either ends (PortAudio
// then calls it inactive) or simply stops calling back.
bool CaptureEngine::Core::streamDelivering() const {
    PaStream* stream = state.stream;
    if (stream == nullptr || Pa_IsStreamActive(stream) != 1) return false;
    const Clock::rep last = lastBufferAt.load(std::memory_order_relaxed);
    const Clock::time_point now = Clock::now();
    if (last == 0) return now - streamOpenedAt <= firstBufferWithin;
    return now - Clock::time_point(Clock::duration(last)) <= longestBufferGap;
}

void CaptureEngine::Core::appendToTake(const void* input, unsigned long frameCount, PaStreamCallbackFlags statusFlags) {
    // PortAudio dropped input before this buffer without saying how much; a
    // buffer's worth is the best measure it gives.
    if (statusFlags & paInputOverflow)
        lostFrames.fetch_add(static_cast<int64_t>(frameCount), std::memory_order_relaxed);
    // After the disk refused a write, appending more would leave a gap in the take.
    if (takeFull.load(std::memory_order_relaxed) || writer.diskRefused()) return;
    const int64_t bytesPerFrame = format.bytesPerFrame;
    if (bytesPerFrame <= 0) return;
    const int32_t counted = state.framesCaptured.load(std::memory_order_relaxed);
    const int64_t room = int64_t{takeFrameLimit.load(std::memory_order_relaxed)} - counted;
    int64_t frames = static_cast<int64_t>(frameCount);
    if (frames > room) {
        frames = room > 0 ? room : 0;
        takeFull.store(true, std::memory_order_release);
    }
    const int64_t fit = static_cast<int64_t>(writer.room()) / bytesPerFrame;
    if (frames > fit) {
        lostFrames.fetch_add(frames - fit, std::memory_order_relaxed);
        frames = fit;
    }
    if (frames <= 0) return;
    writer.hand(input, static_cast<size_t>(frames * bytesPerFrame));
    state.framesCaptured.store(counted + static_cast<int32_t>(frames), std::memory_order_release);
}

TakeOutcome CaptureEngine::Core::endTake() {
    const bool takeOpen = state.armed.exchange(false, std::memory_order_seq_cst);
    TakeOutcome outcome;
    outcome.streamLost = takeOpen && !streamDelivering();
    while (callbacksInside.load(std::memory_order_seq_cst) != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    writer.finish();
    const bool closed = closeFile(TempCaptureFile);
    outcome.framesKept = state.framesCaptured.load(std::memory_order_acquire);
    // A Stop without a take reports nothing, whatever an earlier take left.
    if (!takeOpen) return outcome;
    outcome.framesLost = lostFrames.load(std::memory_order_relaxed);
    outcome.limitReached = takeFull.load(std::memory_order_acquire);
    if ((!closed || writer.diskRefused()) && format.bytesPerFrame > 0) {
        // Count only the whole frames the disk really holds.
        outcome.diskRefused = true;
        const int64_t held = openFileSize(TakeReadFile);
        const int64_t frames = held > 0 ? held / format.bytesPerFrame : 0;
        if (frames < outcome.framesKept) {
            outcome.framesKept = static_cast<int32_t>(frames);
            state.framesCaptured.store(outcome.framesKept, std::memory_order_release);
        }
    }
    return outcome;
}

void CaptureEngine::Core::closeStream() {
    PaStream* stream = state.stream;
    // PortAudio waits for a hung sound server to answer a stop or a close
    // for as long as it hangs. A stream that is running but delivers nothing
    // is left as it is, and PortAudio with it: the program is ending.
    const bool hung = stream != nullptr && Pa_IsStreamActive(stream) == 1 && !streamDelivering();
    if (stream != nullptr && !hung) stopStream(stream);
    // Closing the window mid-take keeps everything captured so far.
    if (state.armed.load(std::memory_order_acquire)) endTake();
    if (stream != nullptr && !hung) Pa_CloseStream(stream);
    if (hung) streamLeftHung = true;
    state.stream = nullptr;
}

CaptureEngine::CaptureEngine(const CaptureSettings& settings, const CaptureFormat& format, RecordingState& state)
    : core_(std::make_unique<Core>(settings, format, state)) {}

CaptureEngine::~CaptureEngine() {
    core_->closeStream();
    // A stream left hung may still call back into the core, so it stays.
    if (core_->streamLeftHung) (void)core_.release();
}

StreamOpening CaptureEngine::openStream() {
    if (Pa_IsFormatSupported(&core_->format.inputParameters, nullptr, core_->settings.sampleRate) !=
        paFormatIsSupported)
        return StreamOpening::formatRefused;
    return core_->openAndStart() ? StreamOpening::opened : StreamOpening::unableToStream;
}

bool CaptureEngine::reviveStream() {
    PaStream* stream = core_->state.stream;
    if (core_->streamDelivering()) return true;
    // It never opened, or its device or sound server went away: only a new
    // stream records, and a take armed without one would stay empty.
    if (stream != nullptr) {
        Pa_AbortStream(stream);
        Pa_CloseStream(stream);
        core_->state.stream = nullptr;
    }
    return core_->openAndStart();
}

TakeBeginning CaptureEngine::beginTake() {
    Core& core = *core_;
    // Opening channel 1 again under a running writer would pull its buffer away.
    if (core.state.armed.load(std::memory_order_acquire)) core.endTake();
    // A link under the temporary name could point at any file of the user's,
    // and a second copy of the program must not empty this one's take.
    // The save reads the take through a descriptor of its own, so that
    // whatever is done to the name meanwhile, it holds what was recorded.
    if (createFile(TempCaptureFile, tempCaptureName, CreateFlags::refuseLinks | CreateFlags::exclusive) == 0) {
        const bool held = errno == EWOULDBLOCK;
        return held ? TakeBeginning::heldElsewhere : TakeBeginning::refused;
    }
    if (openReadSide(TakeReadFile, TempCaptureFile) == 0) {
        closeFile(TempCaptureFile);
        return TakeBeginning::refused;
    }
    // The format goes with the take, on disk before its first frame, so that
    // a take this run never finishes can still be read back. A file system
    // without notes records as before.
    const CaptureSettings& settings = core.settings;
    setFileNote(TempCaptureFile, takeNoteKey,
                formatTakeNote({settings.channelCount, settings.bitsPerSample, settings.sampleRate,
                                static_cast<int64_t>(std::time(nullptr)), false}));
    const double ringBytes = ringSeconds * settings.sampleRate * core.format.bytesPerFrame;
    if (!core.writer.start(ringBytes > smallestRing ? static_cast<size_t>(ringBytes) : smallestRing)) {
        closeFile(TempCaptureFile);
        return TakeBeginning::refused;
    }
    core.takeFull.store(false);
    core.lostFrames.store(0);
    core.state.framesCaptured.store(0, std::memory_order_release);
    core.state.armed.store(true, std::memory_order_seq_cst);
    return TakeBeginning::begun;
}

TakeOutcome CaptureEngine::endTake() { return core_->endTake(); }

bool CaptureEngine::takeCannotGoOn() const {
    if (!core_->state.armed.load(std::memory_order_acquire)) return false;
    return core_->takeFull.load(std::memory_order_acquire) || !core_->streamDelivering();
}

void CaptureEngine::closeStream() { core_->closeStream(); }

void CaptureEngine::end() {
    core_->closeStream();
    if (!core_->streamLeftHung) Pa_Terminate();
}

// Runs on PortAudio's audio thread with each buffer. It touches only the
// core's atomics, the meter's figures and the ring; it never allocates,
// locks, or calls the system (the steady clock is read in user space,
// through the vDSO).
int captureCallback(const void* input, void*, unsigned long frameCount, const PaStreamCallbackTimeInfo*,
                    PaStreamCallbackFlags statusFlags, void* userData) {
    auto& core = *static_cast<CaptureEngine::Core*>(userData);
    core.callbacksInside.fetch_add(1, std::memory_order_seq_cst);
    core.lastBufferAt.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    if (statusFlags & paInputOverflow) core.overflowCount.fetch_add(1, std::memory_order_relaxed);
    core.deliveredCount.fetch_add(static_cast<int64_t>(frameCount), std::memory_order_relaxed);
    core.meter.measure(input, frameCount, core.settings.bitsPerSample, core.settings.channelCount);
    if (core.state.armed.load(std::memory_order_seq_cst) && input != nullptr)
        core.appendToTake(input, frameCount, statusFlags);
    core.callbacksInside.fetch_sub(1, std::memory_order_release);
    return paContinue;
}
