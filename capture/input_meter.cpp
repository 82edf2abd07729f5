// SPDX-License-Identifier: MIT
#include "input_meter.h"

#include <cmath>
#include <cstddef>
#include <cstring>

namespace {

// The loops below keep this many running maxima, lane k holding samples
// k, k + lanes, ...: a multiple of every channel count, so that a lane holds
// one channel only, and wide enough that the compiler fills whole vector
// registers. Nothing in them depends on the sample before, so each is a
// loop the compiler vectorises (with SSE2, which every x86-64 processor has).
constexpr size_t lanes16 = 16;
constexpr size_t lanes32 = 8;

// Lane k holds channel k % channels.
template <typename Lane, size_t lanes, typename Convert>
void foldLanes(const Lane (&lane)[lanes], int channels, int32_t* largest, Convert convert) {
    for (size_t k = 0; k < lanes; ++k) {
        const int32_t value = convert(lane[k]);
        int32_t& channel = largest[k % static_cast<size_t>(channels)];
        if (value > channel) channel = value;
    }
}

// 16 bits: the magnitude fits 16 bits again (0 to 32767), eight of which
// one SSE2 instruction compares.
void largest16(const int16_t* samples, size_t count, int channels, int32_t* largest) {
    int16_t lane[lanes16] = {};
    size_t index = 0;
    for (; index + lanes16 <= count; index += lanes16)
        for (size_t k = 0; k < lanes16; ++k) {
            const int16_t sample = samples[index + k];
            const auto magnitude = static_cast<int16_t>(sample ^ (sample >> 15));
            lane[k] = magnitude > lane[k] ? magnitude : lane[k];
        }
    for (; index < count; ++index) {
        const int16_t sample = samples[index];
        const auto magnitude = static_cast<int16_t>(sample ^ (sample >> 15));
        int16_t& kept = lane[index % lanes16];
        kept = magnitude > kept ? magnitude : kept;
    }
    foldLanes(lane, channels, largest, [](int16_t value) { return int32_t{value}; });
}

// 24 bits, packed: each sample is read as its three bytes, put in the top
// of 32 bits so that its sign, the top bit of the third byte, is the sign of
// the whole. The magnitude is taken there and shifted down once at the end.
int32_t shiftedSample24(const unsigned char* bytes) {
    const uint32_t raw = uint32_t{bytes[0]} << 8 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 24;
    return static_cast<int32_t>(raw);
}

void largest24(const unsigned char* bytes, size_t count, int channels, int32_t* largest) {
    int32_t lane[lanes32] = {};
    size_t index = 0;
    for (; index + lanes32 <= count; index += lanes32)
        for (size_t k = 0; k < lanes32; ++k) {
            const int32_t shifted = shiftedSample24(bytes + 3 * (index + k));
            const int32_t magnitude = shifted ^ (shifted >> 31);
            lane[k] = magnitude > lane[k] ? magnitude : lane[k];
        }
    for (; index < count; ++index) {
        const int32_t shifted = shiftedSample24(bytes + 3 * index);
        const int32_t magnitude = shifted ^ (shifted >> 31);
        int32_t& kept = lane[index % lanes32];
        kept = magnitude > kept ? magnitude : kept;
    }
    foldLanes(lane, channels, largest, [](int32_t value) { return value >> 8; });
}

// 32 bits: compared as floats, which SSE2 converts, clears the sign of and
// compares four at a time (its integer comparisons stop at 16 bits). The
// rounding keeps the order, so the largest float is the largest sample
// rounded; one that rounds to 2^31 is reported as full scale, and the run
// count below then reads the exact samples.
void largest32(const int32_t* samples, size_t count, int channels, int32_t* largest) {
    // Two sets of lanes, so that two comparisons run side by side rather
    // than each waiting for the one before.
    float lane[lanes32] = {}, other[lanes32] = {};
    size_t index = 0;
    for (; index + 2 * lanes32 <= count; index += 2 * lanes32) {
        for (size_t k = 0; k < lanes32; ++k) {
            const float magnitude = std::fabs(static_cast<float>(samples[index + k]));
            lane[k] = lane[k] < magnitude ? magnitude : lane[k];
        }
        for (size_t k = 0; k < lanes32; ++k) {
            const float magnitude = std::fabs(static_cast<float>(samples[index + lanes32 + k]));
            other[k] = other[k] < magnitude ? magnitude : other[k];
        }
    }
    for (size_t k = 0; k < lanes32; ++k) lane[k] = lane[k] < other[k] ? other[k] : lane[k];
    for (; index < count; ++index) {
        const float magnitude = std::fabs(static_cast<float>(samples[index]));
        float& kept = lane[index % lanes32];
        kept = kept < magnitude ? magnitude : kept;
    }
    foldLanes(lane, channels, largest,
              [](float value) { return value >= 2147483648.0f ? int32_t{INT32_MAX} : static_cast<int32_t>(value); });
}

template <int bits>
int32_t sampleAt(const unsigned char* bytes, size_t index) {
    if constexpr (bits == 16) {
        int16_t sample;
        std::memcpy(&sample, bytes + 2 * index, 2);
        return sample;
    } else if constexpr (bits == 24) {
        return shiftedSample24(bytes + 3 * index) >> 8;
    } else {
        int32_t sample;
        std::memcpy(&sample, bytes + 4 * index, 4);
        return sample;
    }
}

// The smallest magnitude at full scale: one 16-bit step short of the
// largest negative one, so that a 16-bit source's full scale, which a deeper
// format receives shifted up (0x7FFF00, 0x7FFF0000), clips as at 16 bits.
constexpr int32_t fullScaleFrom(int bits) { return int32_t{0x7FFF} << (bits - 16); }

// The clips that end in this buffer on one channel, given the full-scale
// samples the last buffer ended with; leaves those this one ends with. A run
// is counted positive at the top rail and negative at the bottom one: a
// jump from one rail to the other ends it and starts the next, as a
// listener hears each half of a square wave driven into both rails.
template <int bits>
int64_t countClips(const unsigned char* bytes, size_t frames, int channels, int channel, int32_t& run) {
    constexpr int32_t from = fullScaleFrom(bits);
    int64_t clips = 0;
    for (size_t frame = 0; frame < frames; ++frame) {
        const int32_t sample =
            sampleAt<bits>(bytes, frame * static_cast<size_t>(channels) + static_cast<size_t>(channel));
        if (sample < from && sample > -from) {
            run = 0;
            continue;
        }
        const int32_t sign = sample > 0 ? 1 : -1;
        if (run * sign < 0) run = 0;
        if (run * sign == 2) ++clips;
        if (run * sign < 3) run += sign;
    }
    return clips;
}

}  // namespace

int32_t fullScaleMagnitude(int bitsPerSample) { return static_cast<int32_t>((int64_t{1} << (bitsPerSample - 1)) - 1); }

void InputMeter::measure(const void* input, unsigned long frames, int bitsPerSample, int channelCount, bool inTake) {
    if (input == nullptr || frames == 0 || channelCount < 1 || channelCount > largestMeteredChannels) return;
    // The take's first buffer: a run under way counts for the take from here.
    if (inTake && takeStarting_.load(std::memory_order_relaxed)) {
        takeStarting_.store(false, std::memory_order_relaxed);
        for (int32_t& run : runCarried_) run = 0;
    }
    const size_t count = static_cast<size_t>(frames) * static_cast<size_t>(channelCount);
    const auto* bytes = static_cast<const unsigned char*>(input);
    // All of the buffer is asked of memory at once, so that its lines
    // arrive side by side rather than one after the other as the loops
    // reach them; the copy into the take's ring then finds them too.
    const size_t bufferBytes = count * static_cast<size_t>(bitsPerSample / 8);
    for (size_t line = 0; line < bufferBytes; line += 64) __builtin_prefetch(bytes + line);
    int32_t largest[largestMeteredChannels] = {};
    switch (bitsPerSample) {
        case 16: largest16(static_cast<const int16_t*>(input), count, channelCount, largest); break;
        case 24: largest24(bytes, count, channelCount, largest); break;
        case 32: largest32(static_cast<const int32_t*>(input), count, channelCount, largest); break;
        default: return;
    }
    // The loops read a negative sample's magnitude one less, so a largest
    // one below the threshold may still be a negative sample at it.
    const int32_t mayClipFrom = fullScaleFrom(bitsPerSample) - 1;
    for (int channel = 0; channel < channelCount; ++channel) {
        std::atomic<int32_t>& kept = largestMagnitude_[channel];
        int32_t seen = kept.load(std::memory_order_relaxed);
        // Fails only when the interface thread took the figures meanwhile.
        while (largest[channel] > seen &&
               !kept.compare_exchange_weak(seen, largest[channel], std::memory_order_relaxed)) {
        }
        int32_t& run = runCarried_[channel];
        // A clip needs a sample at full scale, which only a buffer whose
        // largest magnitude reaches it holds: a signal that never clips is
        // read once. A buffer that holds one is read again, this channel
        // alone, to find the runs.
        if (largest[channel] < mayClipFrom) {
            run = 0;
            continue;
        }
        int64_t found = 0;
        switch (bitsPerSample) {
            case 16: found = countClips<16>(bytes, frames, channelCount, channel, run); break;
            case 24: found = countClips<24>(bytes, frames, channelCount, channel, run); break;
            default: found = countClips<32>(bytes, frames, channelCount, channel, run); break;
        }
        if (found > 0) clips_[channel].fetch_add(found, std::memory_order_relaxed);
        if (found > 0 && inTake) takeClips_[channel].fetch_add(found, std::memory_order_relaxed);
    }
}

InputMeter::Figures InputMeter::take() {
    Figures figures;
    for (int channel = 0; channel < largestMeteredChannels; ++channel) {
        figures.largestMagnitude[channel] = largestMagnitude_[channel].exchange(0, std::memory_order_relaxed);
        figures.clips[channel] = clips_[channel].exchange(0, std::memory_order_relaxed);
        figures.takeClips[channel] = takeClips_[channel].exchange(0, std::memory_order_relaxed);
    }
    return figures;
}

// Seen by the take's first buffer: the take is armed after this, and a
// callback that finds it armed finds this too.
void InputMeter::startTake() { takeStarting_.store(true, std::memory_order_relaxed); }

void InputMeter::forgetRuns() {
    for (int32_t& run : runCarried_) run = 0;
}
