// SPDX-License-Identifier: MIT
// What tests and benchmarks reach in the capture room beyond its contract:
// the callback called directly, a device table of their own, the counters
// they judge a rig by, and limits lowered so that rare ends come quickly.
#pragma once

#include <portaudio.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "capture.h"

// PortAudio's audio thread runs it with each buffer, with the engine's
// context as userData; a test or benchmark may call it with buffers of its
// own. Hands each armed buffer to the take writer.
int captureCallback(const void* input, void* output, unsigned long frameCount, const PaStreamCallbackTimeInfo* timeInfo,
                    PaStreamCallbackFlags statusFlags, void* userData);
// The userData an engine's stream hands its callback.
void* callbackContext(CaptureEngine& engine);

// A stream the test or benchmark opened itself (with a callback of its own
// that calls captureCallback) becomes the engine's, as if it had opened it.
void adoptStreamForTesting(CaptureEngine& engine, PaStream* stream);
// The engine's running stream, or null.
PaStream* runningStreamForTesting(const CaptureEngine& engine);
// A take of this many frames, as if the engine had recorded it.
void setFramesCapturedForTesting(CaptureEngine& engine, int32_t frames);

// Where the device table comes from: PortAudio, or a table a test supplies.
struct DeviceSource {
    int (*count)();
    const PaDeviceInfo* (*info)(int index);
};
std::vector<CaptureDevice> captureDevices(const DeviceSource& source);
// The label a device is listed under: its name, a space, its host API number.
std::string deviceLabel(const PaDeviceInfo* info);

// Buffers that PortAudio flagged as having lost input since the engine was made.
int64_t inputOverflowCount(const CaptureEngine& engine);
// Frames PortAudio has delivered since the engine was made, kept or not.
int64_t framesDelivered(const CaptureEngine& engine);

// The frame count at which a take stops growing (largestTakeFrames unless lowered).
void setTakeFrameLimit(CaptureEngine& engine, int32_t frames);
// A ring smaller than the format calls for (0: as called for), and a pause
// after each of the take writer's writes, as a slow disk makes.
void setTakeRingBytesForTesting(CaptureEngine& engine, size_t bytes);
void setTakeWriterPauseForTesting(CaptureEngine& engine, int milliseconds);
// The rounds the engine's take writer has made: each is one return from its
// wait followed by a look at the ring, so this is how often it woke.
int64_t takeWriterRounds(const CaptureEngine& engine);

// Tells the server's followers that a sound card came or went, as the
// server does when one is plugged in: a machine without cards to plug has
// no other way to show it.
void announceCardChangeForTesting(SoundServer& server);
