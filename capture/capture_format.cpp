// SPDX-License-Identifier: MIT
#include "capture.h"

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
