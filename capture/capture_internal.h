// SPDX-License-Identifier: MIT
// What the capture files share and no other room sees: the engine's core,
// which the callback reaches through PortAudio's userData.
#pragma once

#include <atomic>
#include <chrono>

#include "capture.h"
#include "take_writer.h"

struct CaptureEngine::Core {
    using Clock = std::chrono::steady_clock;

    Core(const CaptureSettings& settings, const CaptureFormat& format, RecordingState& state)
        : settings(settings), format(format), state(state) {}

    // The caller's records, which outlive the engine.
    const CaptureSettings& settings;
    const CaptureFormat& format;
    RecordingState& state;

    TakeWriter writer{TempCaptureFile};
    std::atomic<int32_t> takeFrameLimit{largestTakeFrames};
    std::atomic<bool> takeFull{false};
    std::atomic<int64_t> overflowCount{0};
    std::atomic<int64_t> deliveredCount{0};
    std::atomic<int64_t> lostFrames{0};
    // 1 while a callback runs. With `armed` both are sequentially consistent,
    // so either a callback sees the take disarmed or endTake sees it inside.
    std::atomic<int> callbacksInside{0};
    // When the running stream last delivered, on the steady clock; 0 until
    // its first buffer. Written by the audio thread, read by the interface
    // thread.
    std::atomic<Clock::rep> lastBufferAt{0};
    Clock::time_point streamOpenedAt;
    // A gap in the buffers during a take (the program stopped, the server
    // stalled), watched while the server hands over what it kept meanwhile:
    // the last buffer before it (0: none watched), when the frames due since
    // were last caught up with by more than the tolerance, the frames
    // delivered until the gap, and the fewest frames the buffers since have
    // been short of. Touched only by the callback while a take is armed, and
    // by the interface thread while it is not.
    struct Gap {
        Clock::rep from = 0;
        Clock::rep caughtUpAt = 0;
        int64_t deliveredBefore = 0;
        int64_t leastShort = 0;
    } gap;
    // A stream closeStream left running because its sound server hangs.
    bool streamLeftHung = false;

    // Audio thread: hands the frames that fit to the take writer.
    void appendToTake(const void* input, unsigned long frameCount, PaStreamCallbackFlags statusFlags);
    // Audio thread, while a take is armed: counts as lost what a server
    // dropped during a gap before this buffer, which arrived at `now`, the
    // one before it at `previous`, with `deliveredBefore` frames before it.
    void countDroppedInGap(Clock::rep now, Clock::rep previous, int64_t deliveredBefore, unsigned long frameCount);
    // Counts what the gap watched still misses as lost, and stops watching.
    void endGap();
    // Interface thread.
    bool openAndStart();
    bool streamDelivering() const;
    // Whether the stream stopped delivering, judged only once the audio
    // thread has had its chance: a stream silent for a while is watched for
    // up to a quarter of a second more. Blocks that long at most.
    bool streamStopped() const;
    TakeOutcome endTake();
    void closeStream();
};

// How the seams for tests reach an engine's core.
struct CaptureEngineAccess {
    static CaptureEngine::Core& core(const CaptureEngine& engine) { return *engine.core_; }
};
