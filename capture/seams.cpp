// SPDX-License-Identifier: MIT
// The seams tests and benchmarks reach an engine by.
#include "capture_internal.h"
#include "capture_testing.h"

namespace {

CaptureEngine::Core& core(const CaptureEngine& engine) { return CaptureEngineAccess::core(engine); }

}  // namespace

void* callbackContext(CaptureEngine& engine) { return &core(engine); }

int64_t inputOverflowCount(const CaptureEngine& engine) {
    return core(engine).overflowCount.load(std::memory_order_relaxed);
}
int64_t framesDelivered(const CaptureEngine& engine) {
    return core(engine).deliveredCount.load(std::memory_order_acquire);
}
void setTakeFrameLimit(CaptureEngine& engine, int32_t frames) {
    core(engine).takeFrameLimit.store(frames, std::memory_order_relaxed);
}
void setTakeRingBytesForTesting(CaptureEngine& engine, size_t bytes) {
    core(engine).drain.ringBytesOverride.store(bytes, std::memory_order_relaxed);
}
void setTakeWriterPauseForTesting(CaptureEngine& engine, int milliseconds) {
    core(engine).drain.pauseMilliseconds.store(milliseconds, std::memory_order_relaxed);
}
int64_t takeWriterRounds(const CaptureEngine& engine) {
    return core(engine).drain.rounds.load(std::memory_order_relaxed);
}
void adoptStreamForTesting(CaptureEngine& engine, PaStream* stream) {
    core(engine).stream = stream;
    core(engine).streamOpenedAt = CaptureEngine::Core::Clock::now();
}
PaStream* runningStreamForTesting(const CaptureEngine& engine) { return core(engine).stream; }
void setFramesCapturedForTesting(CaptureEngine& engine, int32_t frames) {
    core(engine).framesCaptured.store(frames, std::memory_order_release);
}
