// SPDX-License-Identifier: MIT
// A take on a running stream: the callback, which hands each buffer to the
// take writer and the meter, the watch on gaps and silence, and the take's
// beginning and end.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <mutex>
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
// sound server's does).
constexpr auto firstBufferWithin = std::chrono::seconds(5);
// A stream silent for `silenceSuspected` during a take is given the rest of
// the second it may stay silent to deliver, with the interface thread out of
// the way or at a later look; so a really silent stream is judged within
// about a second by the redraws' looks, which never wait, and within two on
// the one-second tick.
constexpr auto chanceToDeliver = CaptureEngine::Core::longestBufferGap - CaptureEngine::Core::silenceSuspected;
// A server keeps what it captured while the program was stopped, up to its
// own limit, and hands it over in a burst once the program runs again. So a
// gap between buffers this long is watched while the frames the time since
// its start calls for are caught up with; once that has stopped for a while,
// or the take ends, what is still missing beyond a tolerance of the latency
// asked for was dropped.
constexpr auto gapWorthWatching = std::chrono::milliseconds(250);
constexpr auto caughtUpAfter = std::chrono::milliseconds(500);
constexpr double toleratedShortSeconds = 0.05;

}  // namespace

// A stream whose device or sound server went away either ends (PortAudio
// then calls it inactive) or simply stops calling back.
bool CaptureEngine::Core::streamDelivering(Clock::duration within) const {
    if (stream == nullptr || Pa_IsStreamActive(stream) != 1) return false;
    const Clock::rep last = lastBufferAt.load(std::memory_order_relaxed);
    const Clock::time_point now = Clock::now();
    if (last == 0) return now - streamOpenedAt <= firstBufferWithin;
    return now - Clock::time_point(Clock::duration(last)) <= within;
}

bool CaptureEngine::Core::streamStopped(Waiting waiting) {
    if (silence.judgedStopped) return true;
    const Clock::rep last = lastBufferAt.load(std::memory_order_relaxed);
    const Clock::time_point now = Clock::now();
    if (stream == nullptr || Pa_IsStreamActive(stream) != 1) {
        silence.judgedStopped = true;
    } else if (last == 0) {
        silence.judgedStopped = !streamDelivering();
    } else if (now - Clock::time_point(Clock::duration(last)) <= silenceSuspected) {
        silence.last = 0;
    } else if (silence.last == last && now - silence.foundAt >= chanceToDeliver &&
               now - silence.foundAt <= longestBufferGap) {
        silence.judgedStopped = true;
    } else {
        // Found silent now, or so long ago that the whole program may have
        // been paused since and the audio thread not had its turn: watched
        // from now on.
        if (silence.last != last || now - silence.foundAt > longestBufferGap) silence = {last, now, false};
        if (waiting == Waiting::never) return false;
        const auto deadline = silence.foundAt + chanceToDeliver;
        while (Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (lastBufferAt.load(std::memory_order_relaxed) != last) return false;
        }
        silence.judgedStopped = true;
    }
    return silence.judgedStopped;
}

void CaptureEngine::Core::countDroppedInGap(Clock::rep now, Clock::rep previous, int64_t deliveredBefore,
                                            unsigned long frameCount) {
    if (gap.from == 0) {
        if (previous == 0 || Clock::duration(now - previous) < gapWorthWatching) return;
        gap = {previous, now, deliveredBefore, INT64_MAX};
    }
    const double seconds = std::chrono::duration<double>(Clock::duration(now - gap.from)).count();
    const int64_t due = static_cast<int64_t>(seconds * settings.sampleRate);
    const int64_t behind = due - (deliveredBefore + static_cast<int64_t>(frameCount) - gap.deliveredBefore);
    const auto tolerated = static_cast<int64_t>(toleratedShortSeconds * settings.sampleRate);
    if (behind < gap.leastShort - tolerated) gap.caughtUpAt = now;
    if (behind < gap.leastShort) gap.leastShort = behind;
    if (Clock::duration(now - gap.caughtUpAt) >= caughtUpAfter) endGap();
}

void CaptureEngine::Core::endGap() {
    if (gap.from == 0) return;
    if (gap.leastShort > static_cast<int64_t>(toleratedShortSeconds * settings.sampleRate))
        lostFrames.fetch_add(gap.leastShort, std::memory_order_relaxed);
    gap.from = 0;
}

void CaptureEngine::Core::appendToTake(const void* input, unsigned long frameCount, PaStreamCallbackFlags statusFlags) {
    // PortAudio dropped input before this buffer without saying how much; a
    // buffer's worth is the best measure it gives.
    if (statusFlags & paInputOverflow)
        lostFrames.fetch_add(static_cast<int64_t>(frameCount), std::memory_order_relaxed);
    // After the disk refused a write, appending more would leave a gap in the take.
    if (takeFull.load(std::memory_order_relaxed) || drain.diskRefused()) return;
    const int64_t bytesPerFrame = format.bytesPerFrame;
    if (bytesPerFrame <= 0) return;
    const int32_t counted = framesCaptured.load(std::memory_order_relaxed);
    const int64_t room = int64_t{takeFrameLimit.load(std::memory_order_relaxed)} - counted;
    int64_t frames = static_cast<int64_t>(frameCount);
    if (frames > room) {
        frames = room > 0 ? room : 0;
        takeFull.store(true, std::memory_order_release);
    }
    const int64_t fit = static_cast<int64_t>(drain.room()) / bytesPerFrame;
    if (frames > fit) {
        lostFrames.fetch_add(frames - fit, std::memory_order_relaxed);
        frames = fit;
    }
    if (frames <= 0) return;
    drain.hand(input, static_cast<size_t>(frames * bytesPerFrame));
    framesCaptured.store(counted + static_cast<int32_t>(frames), std::memory_order_release);
}

TakeOutcome CaptureEngine::Core::endTake() {
    const bool takeOpen = armed.exchange(false, std::memory_order_seq_cst);
    // What befell the stream while the take was held took nothing from it.
    const bool wasPaused = paused.exchange(false, std::memory_order_seq_cst);
    const bool running = takeOpen && !wasPaused;
    TakeOutcome outcome;
    outcome.streamLost = running && streamStopped(Waiting::upToAQuarterSecond);
    while (callbacksInside.load(std::memory_order_seq_cst) != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // What the server has not handed over by now never reaches this take.
    if (running) endGap();
    drain.finish();
    // The save reads the take through a descriptor of its own, so that
    // whatever is done to the name meanwhile, it holds what was recorded. A
    // take that ended before its first frame left the earlier one where it
    // was, and the save reads that.
    const bool recorded = takeOpen && drain.replacedEarlier();
    if (recorded) openReadSide(TakeReadFile, TempCaptureFile);
    const bool closed = closeFile(TempCaptureFile);
    if (takeOpen && !recorded) framesCaptured.store(earlierTakeFrames, std::memory_order_release);
    outcome.recordedNothing = takeOpen && !recorded;
    outcome.framesKept = framesCaptured.load(std::memory_order_acquire);
    // A Stop without a take reports nothing, whatever an earlier take left.
    if (!takeOpen) return outcome;
    outcome.framesLost = lostFrames.load(std::memory_order_relaxed);
    outcome.limitReached = takeFull.load(std::memory_order_acquire);
    outcome.sourceGone = running && sourceLost();
    outcome.sourceMoved = running && !outcome.sourceGone && sourceDiverted();
    if (outcome.sourceMoved && source != nullptr) {
        std::lock_guard guard(source->guard);
        outcome.movedTo = source->givenInstead;
    }
    if ((!closed || drain.diskRefused()) && recorded && format.bytesPerFrame > 0) {
        // Count only the whole frames the disk really holds.
        outcome.diskRefused = true;
        outcome.diskError = drain.diskRefused() ? drain.refusal() : EIO;
        const int64_t held = openFileSize(TakeReadFile);
        const int64_t frames = held > 0 ? held / format.bytesPerFrame : 0;
        if (frames < outcome.framesKept) {
            outcome.framesKept = static_cast<int32_t>(frames);
            framesCaptured.store(outcome.framesKept, std::memory_order_release);
        }
    }
    return outcome;
}

TakeBeginning CaptureEngine::beginTake() {
    Core& core = *core_;
    // Opening channel 1 again under a running writer would pull its buffer away.
    if (core.armed.load(std::memory_order_acquire)) core.endTake();
    // A link under the temporary name could point at any file of the user's,
    // and a second copy of the program must not empty this one's take. What
    // the file holds stays until the take's first frame: a take that ends
    // before it (its source goes again, a close) leaves the earlier take
    // whole, to save or to be offered back.
    if (createFile(TempCaptureFile, tempCaptureName,
                   CreateFlags::refuseLinks | CreateFlags::exclusive | CreateFlags::keepContents) == 0) {
        const bool held = errno == EWOULDBLOCK;
        return held ? TakeBeginning::heldElsewhere : TakeBeginning::refused;
    }
    // The format goes with the take, on disk before its first frame, so that
    // a take this run never finishes can still be read back.
    const CaptureSettings& settings = core.settings;
    const std::string note = formatTakeNote({settings.channelCount, settings.bitsPerSample, settings.sampleRate,
                                             static_cast<int64_t>(std::time(nullptr)), false});
    const double ringBytes = ringSeconds * settings.sampleRate * core.format.bytesPerFrame;
    if (!core.drain.start(ringBytes > smallestRing ? static_cast<size_t>(ringBytes) : smallestRing, note)) {
        closeFile(TempCaptureFile);
        return TakeBeginning::refused;
    }
    core.takeFull.store(false);
    core.lostFrames.store(0);
    core.gap = {};
    core.silence = {};
    core.meter.startTake();
    core.paused.store(false, std::memory_order_relaxed);
    core.earlierTakeFrames = core.framesCaptured.load(std::memory_order_acquire);
    core.framesCaptured.store(0, std::memory_order_release);
    core.armed.store(true, std::memory_order_seq_cst);
    return TakeBeginning::begun;
}

TakeOutcome CaptureEngine::endTake() { return core_->endTake(); }

void CaptureEngine::pauseTake() {
    Core& core = *core_;
    if (!core.armed.load(std::memory_order_acquire) || core.paused.exchange(true, std::memory_order_seq_cst)) return;
    // The buffer under way, if any, still goes to the take; none after it.
    while (core.callbacksInside.load(std::memory_order_seq_cst) != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    core.endGap();
    core.drain.rest();
}

void CaptureEngine::resumeTake() {
    Core& core = *core_;
    if (!core.armed.load(std::memory_order_acquire) || !core.paused.load(std::memory_order_acquire)) return;
    // The time held is no gap and no silence of the stream's.
    core.gap = {};
    core.silence = {};
    core.meter.startTake();
    core.drain.goOn();
    core.paused.store(false, std::memory_order_seq_cst);
}

bool CaptureEngine::takePaused() const { return core_->paused.load(std::memory_order_acquire); }

int32_t CaptureEngine::framesCaptured() const { return core_->framesCaptured.load(std::memory_order_acquire); }

bool CaptureEngine::armed() const { return core_->armed.load(std::memory_order_acquire); }

bool CaptureEngine::takeCannotGoOn(Waiting waiting) {
    if (!core_->armed.load(std::memory_order_acquire) || core_->paused.load(std::memory_order_acquire)) return false;
    return core_->takeFull.load(std::memory_order_acquire) || core_->drain.diskRefused() || core_->sourceLost() ||
           core_->sourceDiverted() || core_->streamStopped(waiting);
}

// Runs on PortAudio's audio thread with each buffer. It touches only the
// core's atomics and the watched source's, its gap record, the meter's
// figures and the ring; it never
// allocates, locks, or calls the system (the steady clock is read in user
// space, through the vDSO).
int captureCallback(const void* input, void*, unsigned long frameCount, const PaStreamCallbackTimeInfo*,
                    PaStreamCallbackFlags statusFlags, void* userData) {
    auto& core = *static_cast<CaptureEngine::Core*>(userData);
    core.callbacksInside.fetch_add(1, std::memory_order_seq_cst);
    // The server moved the stream to another source (its own went away, or
    // somebody moved it): none of that reaches the take or the meter, and
    // the stream ends. Until the server has said which source the stream
    // reads, nothing of it goes anywhere either.
    if (core.sourceLost() || core.sourceDiverted()) {
        core.callbacksInside.fetch_sub(1, std::memory_order_release);
        return paComplete;
    }
    if (core.sourceUnconfirmed()) {
        core.callbacksInside.fetch_sub(1, std::memory_order_release);
        return paContinue;
    }
    const Clock::rep now = Clock::now().time_since_epoch().count();
    const Clock::rep previous = core.lastBufferAt.exchange(now, std::memory_order_relaxed);
    if (statusFlags & paInputOverflow) core.overflowCount.fetch_add(1, std::memory_order_relaxed);
    // Counted as delivered once measured and handed on, so that whoever
    // reads the count finds the buffers it counts in the meter's figures.
    const int64_t deliveredBefore = core.deliveredCount.load(std::memory_order_relaxed);
    // A stream left behind may outlive the caller's settings; nobody reads
    // its levels any more, and it is never armed.
    if (!core.leftBehind.load(std::memory_order_seq_cst)) {
        const bool toTake = core.armed.load(std::memory_order_seq_cst) && !core.paused.load(std::memory_order_seq_cst);
        core.meter.measure(input, frameCount, core.settings.bitsPerSample, core.settings.channelCount, toTake);
        if (toTake && input != nullptr) {
            core.countDroppedInGap(now, previous, deliveredBefore, frameCount);
            core.appendToTake(input, frameCount, statusFlags);
        }
    }
    core.deliveredCount.store(deliveredBefore + static_cast<int64_t>(frameCount), std::memory_order_release);
    core.callbacksInside.fetch_sub(1, std::memory_order_release);
    return paContinue;
}
