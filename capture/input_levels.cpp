// SPDX-License-Identifier: MIT
// The level meter's figures as the interface thread reads them.
#include "capture.h"
#include "capture_internal.h"

InputLevels CaptureEngine::readInputLevels() {
    Core& core = *core_;
    InputLevels levels;
    const int channels = core.settings.channelCount;
    levels.channelCount = channels < 1 ? 1 : channels > largestMeteredChannels ? largestMeteredChannels : channels;
    const int64_t delivered = core.deliveredCount.load(std::memory_order_acquire);
    levels.frames = delivered - core.deliveredAtLastReading;
    core.deliveredAtLastReading = delivered;
    const InputMeter::Figures figures = core.meter.take();
    const double fullScale = fullScaleMagnitude(core.settings.bitsPerSample);
    for (int channel = 0; channel < levels.channelCount; ++channel) {
        levels.peak[channel] = figures.largestMagnitude[channel] / fullScale;
        levels.clips[channel] = figures.clips[channel];
        levels.takeClips[channel] = figures.takeClips[channel];
    }
    levels.sourceGone = core.source != nullptr && !core.source->present.load(std::memory_order_seq_cst);
    if (core.armed.load(std::memory_order_acquire))
        levels.takeFramesLost = core.lostFrames.load(std::memory_order_relaxed);
    return levels;
}
