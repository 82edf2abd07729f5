// SPDX-License-Identifier: MIT
// What the callback measures of every buffer for the level meter: per
// channel, the largest magnitude and the clips, a clip being a run of at
// least three consecutive samples at the format's largest magnitude, either
// sign, counted once however long it runs and carried across buffers.
//
// One writer, one reader: the audio thread adds each buffer's figures, the
// interface thread takes them and leaves zeros (take()). Relaxed atomics
// only: no lock, no call, nothing that waits.
#pragma once

#include <atomic>
#include <cstdint>

// The channels a take may have, and so the bars a meter may show.
constexpr int largestMeteredChannels = 2;

// Magnitudes in the format's own units: a sample's absolute value, one less
// for a negative one, so that both signs of full scale read as the same
// largest value, 2^(bits - 1) - 1.
int32_t fullScaleMagnitude(int bitsPerSample);

struct InputMeter {
    // Audio thread: folds one buffer of interleaved little-endian samples
    // of 16, 24 (packed in three bytes) or 32 bits into the figures. Never
    // allocates, locks or calls the system.
    void measure(const void* input, unsigned long frames, int bitsPerSample, int channelCount);

    // What the interface thread takes at each redraw.
    struct Figures {
        int32_t largestMagnitude[largestMeteredChannels] = {};
        int64_t clips[largestMeteredChannels] = {};
    };
    // Interface thread: the figures since the last take, leaving zeros.
    Figures take();
    // While no callback runs (before a stream starts, on the thread that opens it):
    // forgets a run of full-scale samples the last stream ended with.
    void forgetRuns();

   private:
    std::atomic<int32_t> largestMagnitude_[largestMeteredChannels] = {};
    std::atomic<int64_t> clips_[largestMeteredChannels] = {};
    // Audio thread only: full-scale samples that ended the last buffer,
    // per channel, counted up to three.
    int32_t runCarried_[largestMeteredChannels] = {};
};
