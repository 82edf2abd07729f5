// SPDX-License-Identifier: MIT
// What the callback measures of every buffer for the level meter: per
// channel, the largest magnitude and the clips, a clip being a run of at
// least three consecutive samples at full scale of one sign, counted once
// however long it runs and carried across buffers. Full scale is what a
// listener hears as such: within one 16-bit step of the largest magnitude,
// which is where a 16-bit source's full scale lands at 24 and 32 bits. The
// clips in a take's buffers are also kept apart, a run under way when the
// take began counting from its first sample in the take.
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
    // of 16, 24 (packed in three bytes) or 32 bits into the figures;
    // `inTake` when the buffer goes to a take. Never allocates, locks or
    // calls the system.
    void measure(const void* input, unsigned long frames, int bitsPerSample, int channelCount, bool inTake);

    // What the interface thread takes at each redraw.
    struct Figures {
        int32_t largestMagnitude[largestMeteredChannels] = {};
        int64_t clips[largestMeteredChannels] = {};
        // The clips found in a take's buffers, among `clips`.
        int64_t takeClips[largestMeteredChannels] = {};
    };
    // Interface thread: the figures since the last take, leaving zeros.
    Figures take();
    // Interface thread, before a take is armed: the take's first buffer
    // starts the runs afresh, so that the take counts a run under way from
    // its own first sample, as a listener of the take hears it.
    void startTake();
    // While no callback runs (before a stream starts, on the thread that opens it):
    // forgets a run of full-scale samples the last stream ended with.
    void forgetRuns();

   private:
    std::atomic<int32_t> largestMagnitude_[largestMeteredChannels] = {};
    std::atomic<int64_t> clips_[largestMeteredChannels] = {};
    std::atomic<int64_t> takeClips_[largestMeteredChannels] = {};
    // Raised by startTake(), lowered by the take's first buffer.
    std::atomic<bool> takeStarting_{false};
    // Audio thread only: full-scale samples that ended the last buffer,
    // per channel, counted up to three: positive at the top rail, negative
    // at the bottom one.
    int32_t runCarried_[largestMeteredChannels] = {};
};
