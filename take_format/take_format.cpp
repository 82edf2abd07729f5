// SPDX-License-Identifier: MIT
#include "take_format.h"

#include <cmath>

int64_t roundedSampleRate(double sampleRate) { return std::llround(sampleRate); }

int32_t bytesPerFrameFor(int32_t bitsPerSample, int32_t channelCount) { return (bitsPerSample / 8) * channelCount; }
