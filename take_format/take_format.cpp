// SPDX-License-Identifier: MIT
#include "take_format.h"

#include <cmath>

int64_t roundedSampleRate(double sampleRate) { return std::llround(sampleRate); }

int32_t bytesPerFrameFor(int32_t bitsPerSample, int32_t channelCount) { return (bitsPerSample / 8) * channelCount; }

CaptureFormat computeCaptureFormat(const CaptureSettings& settings) {
    CaptureFormat format;
    switch (settings.bitsPerSample) {
        case 24: format.sampleFormat = paInt24; break;
        case 32: format.sampleFormat = paInt32; break;
        default: format.sampleFormat = paInt16; break;
    }
    format.bytesPerFrame = bytesPerFrameFor(settings.bitsPerSample, settings.channelCount);
    format.inputParameters.device = settings.deviceIndex;
    format.inputParameters.channelCount = settings.channelCount;
    format.inputParameters.sampleFormat = format.sampleFormat;
    format.inputParameters.suggestedLatency = 0.05;
    format.inputParameters.hostApiSpecificStreamInfo = nullptr;
    return format;
}
