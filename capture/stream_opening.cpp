// SPDX-License-Identifier: MIT
// The stream's life: opened on a thread of its own, opened again when it
// went away, closed with the engine. PortAudio's open, and its stop
// and close of a stream whose sound server hangs, wait for as long as the
// server hangs; on the interface thread that would hold the window and every
// close request with it. So one opening at a time runs on the stream
// opener's thread, which alone calls PortAudio meanwhile: the interface
// thread calls nothing of it until the opening has settled, and a run that
// ends before then leaves the opener, and PortAudio, alone.
#include <pa_linux_alsa.h>
#include <pthread.h>

#include <cstdint>
#include <mutex>
#include <random>
#include <string>

#include "capture.h"
#include "capture_internal.h"
#include "capture_testing.h"

namespace {

using Clock = CaptureEngine::Core::Clock;

// A stream that went away is opened again no more often than this while no
// take runs: each try of a server that is down costs it a connection.
constexpr auto reviveEvery = std::chrono::seconds(2);

// An audio thread at ordinary priority can be kept off the processor for
// tens of milliseconds by a busy machine. ALSA's callback thread asks for
// real-time scheduling; where the system refuses, it runs as before.
void preferRealtimeScheduling(PaStream* stream, PaDeviceIndex deviceIndex) {
    const PaDeviceInfo* device = Pa_GetDeviceInfo(deviceIndex);
    const PaHostApiInfo* host = device == nullptr ? nullptr : Pa_GetHostApiInfo(device->hostApi);
    // A sound server's source is opened through ALSA too, by its device string.
    if (deviceIndex == serverSourceDevice || (host != nullptr && host->type == paALSA))
        PaAlsa_EnableRealtimeScheduling(stream, 1);
}

// Stops a stream that is ending with the program, or aborts it when a stop
// is refused.
void stopStream(PaStream* stream) {
    if (Pa_StopStream(stream) != paNoError) Pa_AbortStream(stream);
}

}  // namespace

void CaptureEngine::Core::runOpening(PaStream* previous, bool previousAnswered, bool checkFormat) {
    // Its device or sound server went away, or hangs: only a new stream
    // records, and the old one must call back no more before it starts. It
    // is aborted: a stop waits for its thread to come back from the sound
    // libraries, and with PipeWire 1.4's ALSA plugin (Debian 13) the thread
    // of a stream whose server died waits there for ever, so that no stream
    // would ever open again. Aborting cancels the thread where it waits, in
    // every build; the tests that lose a stream so are left out of
    // ThreadSanitizer's pass (label cancels_audio_thread, tests/CMakeLists.txt).
    // A stream whose server said its source went, or moved it, is stopped
    // instead: that server answers, and the thread ends by itself.
    StreamOpening outcome = StreamOpening::unableToStream;
    // PortAudio may still be starting (a sound server that hangs holds it);
    // a run that ends meanwhile opens nothing.
    if (audioStart != nullptr &&
        !audioStart->awaitReady([this] { return opening.abandoned.load(std::memory_order_relaxed); })) {
        opening.outcome.store(outcome, std::memory_order_release);
        if (openingSettled) openingSettled();
        return;
    }
    if (previous != nullptr) {
        if (previousAnswered)
            stopStream(previous);
        else
            Pa_AbortStream(previous);
        Pa_CloseStream(previous);
    }
    PaStream* stream = nullptr;
    // A source of the sound server is named by its ALSA device string. One
    // that is not there is not asked for: the server would open another.
    PaStreamParameters input = format.inputParameters;
    PaAlsaStreamInfo named{};
    const NamedSource chosen = nameSource();
    if (source != nullptr) {
        PaAlsa_InitializeStreamInfo(&named);
        named.deviceString = chosen.deviceString.c_str();
        input.device = serverSourceDevice;
        input.hostApiSpecificStreamInfo = &named;
    }
    const bool givenUp =
        opening.abandoned.load(std::memory_order_relaxed) ||
        (source != nullptr && (!source->present.load(std::memory_order_seq_cst) || chosen.deviceString.empty()));
    const MarkedStreams marked(chosen.mark, chosen.capturesOutput);
    if (!givenUp && checkFormat && Pa_IsFormatSupported(&input, nullptr, settings.sampleRate) != paFormatIsSupported) {
        outcome = StreamOpening::formatRefused;
    } else if (!givenUp) {
        lastBufferAt.store(0, std::memory_order_relaxed);
        meter.forgetRuns();
        if (Pa_OpenStream(&stream, &input, nullptr, settings.sampleRate, paFramesPerBufferUnspecified, paNoFlag,
                          captureCallback, this) == paNoError) {
            preferRealtimeScheduling(stream, input.device);
            // PortAudio's audio thread is started from here and takes this
            // thread's name; it gets one of its own, for top and the
            // benchmarks, since this thread ends once the stream has started.
            pthread_setname_np(pthread_self(), "audio");
            if (Pa_StartStream(stream) == paNoError) outcome = StreamOpening::opened;
        }
        if (outcome == StreamOpening::opened && source != nullptr) outcome = confirmSource();
        // A stream that did not start, that reads another source, or that
        // the run no longer waits for, is closed here, by the thread that
        // opened it. One the server answered for is stopped, which lets its
        // thread end by itself; one it did not, aborted.
        if (stream != nullptr && (outcome != StreamOpening::opened || opening.abandoned.load())) {
            if (outcome == StreamOpening::otherSource || (source != nullptr && sourceLost()))
                stopStream(stream);
            else
                Pa_AbortStream(stream);
            Pa_CloseStream(stream);
            stream = nullptr;
            if (outcome == StreamOpening::opened) outcome = StreamOpening::unableToStream;
        }
    }
    opening.stream = stream;
    opening.outcome.store(outcome, std::memory_order_release);
    if (openingSettled) openingSettled();
}

CaptureEngine::Core::NamedSource CaptureEngine::Core::nameSource() {
    if (source == nullptr) return {};
    NamedSource named;
    const uint64_t number = openingNumber.load(std::memory_order_relaxed) + 1;
    // Unique to this capture (among every program's on the server, but by
    // a chance of one in 2^64), and to this opening of it.
    if (markPrefix.empty()) {
        std::random_device random;
        markPrefix = std::to_string((uint64_t{random()} << 32) | random()) + ".";
    }
    named.mark = markPrefix + std::to_string(number);
    ServerSource listed;
    bool ambiguous = false;
    {
        std::lock_guard guard(source->guard);
        listed = source->source;
        ambiguous = source->nameAmbiguous;
        source->mark = named.mark;
    }
    named.deviceString = serverDeviceString(listed, ambiguous);
    named.capturesOutput = !listed.monitorOf.empty() && named.deviceString.rfind("pipewire:", 0) == 0;
    sourceLossesAtOpening.store(source->losses.load(std::memory_order_seq_cst), std::memory_order_relaxed);
    diversionsAtOpening.store(source->diversions.load(std::memory_order_seq_cst), std::memory_order_relaxed);
    openingNumber.store(number, std::memory_order_relaxed);
    return named;
}

StreamOpening CaptureEngine::Core::confirmSource() {
    const auto deadline = Clock::now() + confirmedWithin;
    while (Clock::now() < deadline && !opening.abandoned.load(std::memory_order_relaxed)) {
        if (sourceDiverted()) return StreamOpening::otherSource;
        if (sourceLost()) return StreamOpening::unableToStream;
        if (!sourceUnconfirmed()) return StreamOpening::opened;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return StreamOpening::unableToStream;
}

void CaptureEngine::Core::beginOpening(bool checkFormat) {
    if (collectOpening() == StreamOpening::pending) return;
    PaStream* previous = stream;
    stream = nullptr;
    opening.began = Clock::now();
    opening.silentAt = Opening::notSilent;
    opening.abandoned.store(false, std::memory_order_relaxed);
    opening.outcome.store(StreamOpening::pending, std::memory_order_relaxed);
    const bool answered = previous != nullptr && (sourceLost() || sourceDiverted());
    opening.thread =
        std::thread([this, previous, answered, checkFormat] { runOpening(previous, answered, checkFormat); });
    // A name that top and the tests can find it by.
    pthread_setname_np(opening.thread.native_handle(), "stream opener");
}

StreamOpening CaptureEngine::Core::collectOpening() {
    const StreamOpening outcome = opening.outcome.load(std::memory_order_acquire);
    if (outcome == StreamOpening::pending || !opening.thread.joinable()) return outcome;
    opening.thread.join();
    stream = opening.stream;
    opening.stream = nullptr;
    streamOpenedAt = Clock::now();
    return outcome;
}

StreamOpening CaptureEngine::Core::awaitOpening() {
    while (collectOpening() == StreamOpening::pending) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return collectOpening();
}

StreamOpening CaptureEngine::openStream() {
    core_->beginOpening(true);
    return core_->awaitOpening();
}

bool CaptureEngine::reviveStream() {
    if (streamRuns()) return true;
    core_->beginOpening(false);
    return core_->awaitOpening() == StreamOpening::opened;
}

void CaptureEngine::whenOpeningSettles(std::function<void()> settled) { core_->openingSettled = std::move(settled); }

void CaptureEngine::beginOpening() { core_->beginOpening(true); }

void CaptureEngine::beginReviving() {
    if (!streamRuns()) core_->beginOpening(false);
}

bool CaptureEngine::reviveWhenDue() {
    Core& core = *core_;
    if (core.armed.load(std::memory_order_acquire) || core.collectOpening() == StreamOpening::pending) return false;
    if (core.streamDelivering()) {
        core.opening.silentAt = Core::Opening::notSilent;
        return false;
    }
    // Judged on a second look only, once the audio thread has had its turn:
    // silent both times, with no buffer between.
    const Clock::rep last = core.stream == nullptr ? -1 : core.lastBufferAt.load(std::memory_order_relaxed);
    if (core.opening.silentAt != last) {
        core.opening.silentAt = last;
        return false;
    }
    if (Clock::now() - core.opening.began < reviveEvery) return false;
    core.beginOpening(false);
    return true;
}

StreamOpening CaptureEngine::streamOpening() { return core_->collectOpening(); }

bool CaptureEngine::streamRuns() {
    return core_->collectOpening() != StreamOpening::pending && !core_->sourceLost() && !core_->sourceDiverted() &&
           core_->streamDelivering(Core::silenceSuspected);
}

void CaptureEngine::followSource(SoundServer& server) {
    const CaptureSettings& settings = core_->settings;
    if (settings.sourceName.empty()) return;
    // Found again by its number and name together: two sources may share a name.
    ServerSource chosen;
    chosen.name = settings.sourceName;
    chosen.index = static_cast<uint32_t>(settings.sourceIndex);
    for (const ServerSource& source : server.sources().sources)
        if (source.name == chosen.name && source.index == chosen.index) chosen = source;
    core_->source = server.watch(chosen);
}

std::string CaptureEngine::sourceGivenInstead() const {
    if (core_->source == nullptr) return {};
    std::lock_guard guard(core_->source->guard);
    return core_->source->givenInstead;
}

bool CaptureEngine::sourceGone() const {
    return core_->source != nullptr && !core_->source->present.load(std::memory_order_seq_cst);
}

void CaptureEngine::Core::leaveStreamBehind() {
    // The caller's records may go before a stream left running does, or
    // before one an abandoned opening still starts: its callbacks, should the
    // server wake, touch the core alone. One already inside is waited for;
    // it holds no lock and calls nothing.
    leftBehind.store(true, std::memory_order_seq_cst);
    while (callbacksInside.load(std::memory_order_seq_cst) != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void CaptureEngine::Core::closeStream() {
    // An opening under way may wait for a hung server for ever; the opener
    // is told to give up, and it and PortAudio are left alone.
    if (collectOpening() == StreamOpening::pending) {
        opening.abandoned.store(true, std::memory_order_relaxed);
        streamLeftHung = true;
        if (armed.load(std::memory_order_acquire)) endTake();
        leaveStreamBehind();
        return;
    }
    // PortAudio waits for a hung sound server to answer a stop or a close
    // for as long as it hangs. A stream that is running but delivers nothing
    // is left as it is, and PortAudio with it: the program is ending.
    const bool hung = stream != nullptr && Pa_IsStreamActive(stream) == 1 && !streamDelivering();
    if (stream != nullptr && !hung) stopStream(stream);
    // Closing the window mid-take keeps everything captured so far.
    if (armed.load(std::memory_order_acquire)) endTake();
    if (stream != nullptr && !hung) Pa_CloseStream(stream);
    if (hung) {
        streamLeftHung = true;
        leaveStreamBehind();
    }
    stream = nullptr;
}

CaptureEngine::CaptureEngine(const CaptureSettings& settings, const CaptureFormat& format)
    : core_(std::make_unique<Core>(settings, format)) {}

CaptureEngine::~CaptureEngine() {
    core_->closeStream();
    // A stream left hung may still call back into the core, and an opening
    // left under way may still finish into it, so it stays.
    if (core_->streamLeftHung) (void)core_.release();
}

void CaptureEngine::closeStream() { core_->closeStream(); }

void CaptureEngine::useAudioStart(const AudioStart& audio) { core_->audioStart = &audio; }

void CaptureEngine::end() {
    core_->closeStream();
    const bool starting = core_->audioStart != nullptr && !core_->audioStart->ready();
    if (!core_->streamLeftHung && !starting) Pa_Terminate();
}
