// SPDX-License-Identifier: MIT
// What the capture files share and no other room sees: the engine's core,
// which the callback reaches through PortAudio's userData.
#pragma once

#include <atomic>
#include <chrono>

#include "capture.h"
#include "input_meter.h"
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
    // A stream closeStream left running because its sound server hangs.
    bool streamLeftHung = false;
    // The level meter's figures, from every buffer armed or not.
    InputMeter meter;
    // Interface thread: deliveredCount at the last readInputLevels().
    int64_t deliveredAtLastReading = 0;

    // Audio thread: hands the frames that fit to the take writer.
    void appendToTake(const void* input, unsigned long frameCount, PaStreamCallbackFlags statusFlags);
    // Interface thread.
    bool openAndStart();
    bool streamDelivering() const;
    TakeOutcome endTake();
    void closeStream();
};

// How the seams for tests reach an engine's core.
struct CaptureEngineAccess {
    static CaptureEngine::Core& core(const CaptureEngine& engine) { return *engine.core_; }
};
