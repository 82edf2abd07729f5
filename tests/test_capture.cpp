// SPDX-License-Identifier: MIT
// Capture through the callback with synthetic buffers, and for real through
// PortAudio from the private sound server and from an ALSA file device. The
// take writer's own tests, with a disk of their own, are test_take_writer.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "audio_check.h"
#include "capture_fixture.h"
#include "save.h"
#include "ui.h"

namespace {

constexpr double toneFrequency = 1000.0;
constexpr double toneAmplitude = 0.5;

int feed(CaptureEngine& engine, unsigned long frames, const std::vector<char>& buffer) {
    return captureCallback(buffer.data(), nullptr, frames, nullptr, 0, callbackContext(engine));
}

// The packing of every depth and channel count is checked through PortAudio
// below, and the bytes of a frame by the save's header table; what no
// capture shows is the latency the stream asks for.
TEST(CaptureFormatDerivation, AsksForFiftyMillisecondsOfLatency) {
    EXPECT_DOUBLE_EQ(computeCaptureFormat(settingsFor(2, 24, 48000, 3)).inputParameters.suggestedLatency, 0.05);
}

TEST_F(Capture, CallbackAppendsOnlyArmedBuffersAndCountsFrames) {
    useSettings(2, 24, 48000, 0);
    std::vector<char> buffer(6000);
    std::iota(buffer.begin(), buffer.end(), 0);
    EXPECT_EQ(feed(engine, 1000, buffer), paContinue);
    EXPECT_EQ(fileSize("pelvar.temp"), -1) << "nothing is written before Record";
    ASSERT_TRUE(beginTake());
    EXPECT_EQ(feed(engine, 1000, buffer), paContinue);
    EXPECT_EQ(feed(engine, 500, buffer), paContinue);
    EXPECT_EQ(capture().framesCaptured(), 1500);
    endTake();
    EXPECT_FALSE(capture().armed());
    EXPECT_EQ(feed(engine, 1000, buffer), paContinue);
    EXPECT_EQ(capture().framesCaptured(), 1500) << "disarmed callbacks count nothing";
    std::string take = readAll("pelvar.temp");
    ASSERT_EQ(take.size(), 9000u);
    EXPECT_EQ(take.substr(0, 6000), std::string(buffer.begin(), buffer.end()));
    EXPECT_EQ(take.substr(6000), std::string(buffer.begin(), buffer.begin() + 3000));
    // A take that ends before its first frame leaves the one before it whole.
    ASSERT_TRUE(beginTake());
    const TakeOutcome none = endTake();
    EXPECT_TRUE(none.recordedNothing);
    EXPECT_EQ(none.framesKept, 1500);
    EXPECT_EQ(capture().framesCaptured(), 1500);
    EXPECT_EQ(readAll("pelvar.temp"), take);
}

TEST_F(Capture, TakeStopsGrowingAtAWholeFrameAtTheLimit) {
    useSettings(2, 24, 48000, 0);
    setTakeFrameLimit(engine, 2500);
    std::vector<char> buffer(6000, 7);
    ASSERT_TRUE(beginTake());
    feed(engine, 1000, buffer);
    feed(engine, 1000, buffer);
    EXPECT_FALSE(endTake().limitReached);
    ASSERT_TRUE(beginTake());
    for (int buffers = 0; buffers < 4; ++buffers) feed(engine, 1000, buffer);
    const TakeOutcome take = endTake();
    EXPECT_TRUE(take.limitReached);
    EXPECT_EQ(take.framesKept, 2500);
    EXPECT_EQ(capture().framesCaptured(), 2500);
    EXPECT_EQ(fileSize("pelvar.temp"), 15000);
    static_assert(largestTakeFrames == INT32_MAX, "the cap is what the 32-bit frame count can hold");
}

// A gap in the buffers, as when the whole program was stopped for a while:
// what the server kept meanwhile and handed over in a burst afterwards is
// in the take, and what it dropped is counted as lost. The buffers come at
// a device's pace, ten milliseconds each, by a schedule that a busy machine
// may delay but never makes lose time.
TEST_F(Capture, WhatAServerDroppedDuringAGapIsCountedAsLost) {
    useSettings(2, 16, 44100, 0);
    const std::vector<char> buffer(441 * 4, 3);
    struct Case {
        const char* what;
        bool keptByServer;
    };
    const Case cases[] = {{"kept by the server", true}, {"dropped by the server", false}};
    for (const Case& row : cases) {
        ASSERT_TRUE(beginTake()) << row.what;
        auto due = std::chrono::steady_clock::now();
        auto feedFor = [&](int buffers) {
            for (int fed = 0; fed < buffers; ++fed) {
                std::this_thread::sleep_until(due);
                feed(engine, 441, buffer);
                due += std::chrono::milliseconds(10);
            }
        };
        feedFor(50);
        // A second without buffers; then, from a server that kept it, that
        // second in one burst.
        due += std::chrono::seconds(1);
        std::this_thread::sleep_until(due);
        if (row.keptByServer)
            for (int fed = 0; fed < 100; ++fed) feed(engine, 441, buffer);
        feedFor(150);
        const TakeOutcome take = endTake();
        if (row.keptByServer) {
            EXPECT_EQ(take.framesLost, 0) << row.what;
            EXPECT_EQ(take.framesKept, 300 * 441) << row.what;
        } else {
            EXPECT_NEAR(take.framesLost, 44100, 44100 / 10) << row.what;
            EXPECT_EQ(take.framesKept, 200 * 441) << row.what;
        }
    }
}

TEST_F(Capture, EndTakeWithoutAStreamStillDisarmsAndCloses) {
    useSettings(2, 16, 44100, 0);
    ASSERT_TRUE(beginTake());
    EXPECT_TRUE(capture().armed());
    endTake();
    EXPECT_FALSE(capture().armed());
    EXPECT_EQ(writeWord(TempCaptureFile, 1), 0) << "channel 1 is closed";
}

// --- The level meter's figures ---------------------------------------------

// Samples of one channel set in a buffer of silence: `count` frames from `frame` on.
struct Stretch {
    int channel;
    int frame, count;
    int64_t value;
};
// Buffers long enough for the measuring loops' whole blocks and an odd tail.
constexpr int meterBufferFrames = 257;

struct LevelCase {
    const char* what;
    int channels, bits;
    std::vector<std::vector<Stretch>> buffers;
    // Per channel: the peak in dBFS (-inf: silence), the clips, and those a take holds.
    double peakDb[2];
    int64_t clips[2], takeClips[2];
    // The buffer fed while a take is armed; the others come before or after it.
    size_t takeBuffer = 0;
};

constexpr double silent = -std::numeric_limits<double>::infinity();
constexpr int64_t top16 = 32767, bottom16 = -32768;
constexpr int64_t top24 = 8388607, bottom24 = -8388608;
constexpr int64_t top32 = 2147483647, bottom32 = -2147483648LL;

// Interleaved little-endian samples, `bits / 8` bytes each, as PortAudio hands them.
std::vector<char> meterBuffer(int channels, int bits, const std::vector<Stretch>& stretches) {
    const size_t width = static_cast<size_t>(bits / 8);
    std::vector<char> bytes(static_cast<size_t>(meterBufferFrames * channels) * width, 0);
    for (const Stretch& stretch : stretches)
        for (int frame = stretch.frame; frame < stretch.frame + stretch.count; ++frame)
            for (size_t byte = 0; byte < width; ++byte)
                bytes[static_cast<size_t>(frame * channels + stretch.channel) * width + byte] =
                    static_cast<char>((static_cast<uint64_t>(stretch.value) >> (8 * byte)) & 0xFF);
    return bytes;
}

TEST_F(Capture, CallbackMeasuresPeaksAndClipsOfEveryFormatArmedOrNot) {
    const double halfDb = 20 * std::log10(0.5);
    const int last = meterBufferFrames - 1;
    const LevelCase cases[] = {
        {"16-bit half scale, within a block", 1, 16, {{{0, 37, 1, 16384}, {0, 40, 1, -8000}}}, {halfDb}, {0}, {0}},
        {"16-bit half scale, in the tail", 1, 16, {{{0, last, 1, -16384}}}, {halfDb}, {0}, {0}},
        {"16-bit silence", 1, 16, {{}}, {silent}, {0}, {0}},
        {"a run of two is no clip", 1, 16, {{{0, 100, 2, top16}}}, {0}, {0}, {0}},
        {"a run of three is one clip", 1, 16, {{{0, 100, 3, top16}}}, {0}, {1}, {1}},
        {"negative full scale clips", 1, 16, {{{0, 10, 3, bottom16}}}, {0}, {1}, {1}},
        // Within one 16-bit step of the largest magnitude, as at other depths.
        {"16-bit one step short of full scale", 1, 16, {{{0, 10, 3, -32767}, {0, 20, 3, 32766}}}, {0}, {1}, {1}},
        {"a long run is one clip, two runs two", 1, 16, {{{0, 5, 90, top16}, {0, 200, 4, bottom16}}}, {0}, {2}, {2}},
        {"a run across two buffers", 1, 16, {{{0, last - 1, 2, top16}}, {{0, 0, 1, top16}}}, {0}, {1}, {0}},
        {"a run of two broken by a buffer's end", 1, 16, {{{0, last, 1, top16}}, {{0, 0, 1, top16}}}, {0}, {0}, {0}},
        // Clipping before Record and on into the take: the take counts the
        // run from its own first sample, so three of them in it are a clip.
        {"a run spanning Record", 1, 16, {{{0, last - 4, 5, top16}}, {{0, 0, 3, top16}}}, {0}, {2}, {1}, 1},
        {"a run spanning Record two samples into the take",
         1,
         16,
         {{{0, last - 4, 5, bottom16}}, {{0, 0, 2, bottom16}}},
         {0},
         {1},
         {0},
         1},
        {"16-bit stereo channels apart",
         2,
         16,
         {{{0, 50, 3, top16}, {1, 50, 2, top16}, {1, 60, 1, -8192}}},
         {0, 0},
         {1, 0},
         {1, 0}},
        {"16-bit stereo levels apart",
         2,
         16,
         {{{0, 3, 1, 16384}, {1, 200, 1, -8192}}},
         {halfDb, 2 * halfDb},
         {0, 0},
         {0, 0}},
        // -4194304: bytes 00 00 C0, the sign in the top bit of the third byte.
        {"24-bit sign in the third byte", 1, 24, {{{0, 70, 1, -4194304}}}, {halfDb}, {0}, {0}},
        {"24-bit full scale both signs", 1, 24, {{{0, 70, 3, top24}, {0, 73, 3, bottom24}}}, {0}, {2}, {2}},
        // Each half of a square wave driven into both rails is a clip of its
        // own: the jump to the other rail ends the run.
        {"rail to rail, every half-period",
         1,
         16,
         {{{0, 0, 5, top16}, {0, 5, 5, bottom16}, {0, 10, 5, top16}, {0, 15, 2, bottom16}, {0, 17, 3, top16}}},
         {0},
         {4},
         {4}},
        // A 16-bit source recorded at 24 bits: its full scale arrives shifted.
        {"16-bit full scale widened to 24 bits, both signs",
         1,
         24,
         {{{0, 70, 3, 0x7FFF00}, {0, 80, 3, -0x7FFF00}}},
         {0},
         {2},
         {2}},
        {"24-bit a 16-bit step below full scale",
         1,
         24,
         {{{0, 70, 3, 0x7FFEFF}, {0, 80, 3, -0x7FFEFF}}},
         {0},
         {0},
         {0}},
        {"24-bit stereo",
         2,
         24,
         {{{0, last - 2, 3, bottom24}, {1, 9, 1, 4194304}}, {{1, 0, 3, top24}}},
         {0, 0},
         {1, 1},
         {1, 0}},
        {"32-bit full scale", 1, 32, {{{0, 33, 3, top32}}}, {0}, {1}, {1}},
        {"16-bit full scale widened to 32 bits, both signs",
         1,
         32,
         {{{0, 33, 3, 0x7FFF0000}, {0, 60, 3, -0x7FFF0000}}},
         {0},
         {2},
         {2}},
        // Within rounding of the full-scale threshold as a float, and still no clip.
        {"32-bit just below full scale", 1, 32, {{{0, 33, 3, 0x7FFEFFFF}, {0, 60, 3, -0x7FFEFFFF}}}, {0}, {0}, {0}},
        {"32-bit stereo",
         2,
         32,
         {{{0, last, 1, bottom32}}, {{0, 0, 2, bottom32}, {1, 128, 1, 1073741824}}},
         {0, halfDb},
         {1, 0},
         {0, 0}},
    };
    for (const LevelCase& row : cases) {
        useSettings(row.channels, row.bits, 48000, 0);
        engine.readInputLevels();
        // Armed for one buffer only: the figures run either way.
        for (size_t index = 0; index < row.buffers.size(); ++index) {
            const bool armed = index == row.takeBuffer;
            if (armed) {
                ASSERT_TRUE(beginTake()) << row.what;
            }
            const std::vector<char> buffer = meterBuffer(row.channels, row.bits, row.buffers[index]);
            EXPECT_EQ(feed(engine, meterBufferFrames, buffer), paContinue) << row.what;
            if (armed) endTake();
        }
        const InputLevels levels = engine.readInputLevels();
        EXPECT_EQ(levels.channelCount, row.channels) << row.what;
        EXPECT_EQ(levels.frames, static_cast<int64_t>(meterBufferFrames * row.buffers.size())) << row.what;
        for (int channel = 0; channel < row.channels; ++channel) {
            const double peakDb = 20 * std::log10(levels.peak[channel]);
            if (row.peakDb[channel] == silent)
                EXPECT_EQ(levels.peak[channel], 0.0) << row.what << ", channel " << channel;
            else
                EXPECT_NEAR(peakDb, row.peakDb[channel], 0.01) << row.what << ", channel " << channel;
            EXPECT_EQ(levels.clips[channel], row.clips[channel]) << row.what << ", channel " << channel;
            EXPECT_EQ(levels.takeClips[channel], row.takeClips[channel]) << row.what << ", channel " << channel;
        }
        const InputLevels again = engine.readInputLevels();
        EXPECT_EQ(again.frames, 0) << row.what << ": read and reset";
        EXPECT_EQ(again.peak[0], 0.0) << row.what;
        EXPECT_EQ(again.clips[0], 0) << row.what;
    }
}

TEST_F(Capture, UnsupportedFormatOpensNoStream) {
    useSettings(2, 16, 44100, Pa_GetDeviceCount() + 5);
    EXPECT_EQ(openCaptureStream(), StreamOpening::formatRefused);
    EXPECT_EQ(runningStreamForTesting(capture()), nullptr);
    int server = deviceNamed(soundDevice());
    ASSERT_GE(server, 0);
    useSettings(2, 16, 1234567, server);
    EXPECT_EQ(openCaptureStream(), StreamOpening::formatRefused);
    EXPECT_EQ(runningStreamForTesting(capture()), nullptr);
    // Each Record tries the stream again and, while it fails, arms nothing:
    // a take begun without a stream stays empty.
    for (int attempt = 0; attempt < 2; ++attempt) EXPECT_FALSE(engine.reviveStream());
    EXPECT_TRUE(seenBoxes.empty()) << "capture shows nothing itself";
    ASSERT_TRUE(beginTake());
    endTake();
    EXPECT_EQ(fileSize("pelvar.temp"), 0);
}

struct ToneCase {
    int channels, bits;
    double rate;
};

class RealCapture : public Capture, public ::testing::WithParamInterface<ToneCase> {};

TEST_P(RealCapture, TakeHoldsTheServersToneCorrectlyPacked) {
    const ToneCase row = GetParam();
    int server = deviceNamed(soundDevice());
    ASSERT_GE(server, 0) << "the private sound server is not reachable";
    useSettings(row.channels, row.bits, row.rate, server);
    ASSERT_EQ(openCaptureStream(), StreamOpening::opened);
    ASSERT_NE(runningStreamForTesting(capture()), nullptr);
    ASSERT_TRUE(waitForAudio(engine));
    const int underruns = soundRigUnderruns(SOUND_RIG);
    // The take is judged by what the device delivered, not by the clock: a
    // busy machine, or a sanitizer, may hold the server's delivery back.
    const int64_t deliveredBeforeTake = framesDelivered(engine);
    ASSERT_TRUE(beginTake());
    const int64_t deliveredOnceArmed = framesDelivered(engine);
    waitUntil([&] { return framesDelivered(engine) - deliveredOnceArmed > row.rate; }, 10000);
    const int64_t deliveredBeforeEnd = framesDelivered(engine);
    endTake();
    const int64_t deliveredOnceEnded = framesDelivered(engine);
    ASSERT_EQ(soundRigUnderruns(SOUND_RIG), underruns) << "the rig's tone ran dry during the take: a rig fault";
    ASSERT_GT(deliveredBeforeEnd - deliveredOnceArmed, row.rate / 4) << "the rig delivered too little to judge";

    const int32_t frames = capture().framesCaptured();
    std::string take = readAll("pelvar.temp");
    ASSERT_EQ(static_cast<int64_t>(take.size()), int64_t{frames} * captureFormat.bytesPerFrame);
    // All that came while the take was armed, less a buffer caught at the
    // end, and nothing from before or after it.
    EXPECT_GE(frames, deliveredBeforeEnd - deliveredOnceArmed - static_cast<int64_t>(row.rate) / 20);
    EXPECT_LE(frames, deliveredOnceEnded - deliveredBeforeTake);
    for (int channel = 0; channel < row.channels; ++channel) {
        std::vector<double> samples = channelSamples(take, row.bits, row.channels, channel);
        // The first moments may still be the stream settling.
        samples.erase(samples.begin(), samples.begin() + static_cast<long>(samples.size() / 4));
        ToneMeasure tone = measureTone(samples, row.rate);
        EXPECT_NEAR(tone.frequency, toneFrequency, toneFrequency * 0.01) << "channel " << channel;
        EXPECT_NEAR(tone.amplitude, toneAmplitude, 0.03) << "channel " << channel;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryDepthAndChannelCount, RealCapture,
                         ::testing::Values(ToneCase{1, 16, 44100}, ToneCase{2, 16, 44100}, ToneCase{1, 24, 44100},
                                           ToneCase{2, 24, 44100}, ToneCase{1, 32, 44100}, ToneCase{2, 32, 44100},
                                           ToneCase{1, 24, 96000}, ToneCase{2, 32, 192000}),
                         [](const auto& info) {
                             return std::to_string(info.param.channels) + "ch_" + std::to_string(info.param.bits) +
                                    "bit_" + std::to_string(static_cast<int>(info.param.rate));
                         });

TEST_F(Capture, FileDeviceBytesArriveExactly) {
    int device = deviceNamed("ostrelle_file");
    ASSERT_GE(device, 0) << "the ALSA file device is not listed";
    const std::string input = randomBytes(2 * 1024 * 1024, 7);
    std::ofstream(fileDeviceInput(), std::ios::binary | std::ios::trunc) << input;

    // Armed before the stream starts, so the take begins with the input's first byte.
    useSettings(2, 24, 48000, device);
    ASSERT_TRUE(beginTake());
    ASSERT_EQ(openCaptureStream(), StreamOpening::opened);
    ASSERT_NE(runningStreamForTesting(capture()), nullptr);
    const int64_t inputBytes = static_cast<int64_t>(input.size());
    waitUntil([&] { return capture().framesCaptured() * int64_t{6} >= inputBytes; }, 2000);
    endTake();
    std::string take = readAll("pelvar.temp");
    EXPECT_EQ(take.size(), size_t(capture().framesCaptured()) * 6);
    // Past the end of the input the device makes up its own bytes.
    const size_t wholeFrames = std::min(take.size(), input.size() / 6 * 6);
    ASSERT_EQ(wholeFrames, input.size() / 6 * 6) << "the whole input arrives";
    size_t mismatch = 0;
    while (mismatch < wholeFrames && take[mismatch] == input[mismatch]) ++mismatch;
    EXPECT_EQ(mismatch, wholeFrames) << "the take leaves the input at byte " << mismatch;
}

// The save holds what the recorder wrote, whatever became of the name: a
// file put in its place is not the take, and where the take was emptied in
// place under the writer, what came after is saved, never the hole.
TEST_F(Capture, SaveHoldsTheTakeTheRecorderWroteWhateverBecameOfItsName) {
    int device = deviceNamed("ostrelle_paced");
    ASSERT_GE(device, 0) << "the paced ALSA file device is not listed";
    const std::string input = randomBytes(44100 * 4 * 20, 13);
    std::ofstream(pacedDeviceInput(), std::ios::binary | std::ios::trunc) << input;
    useSettings(2, 16, 44100, device);
    openCaptureStream();
    ASSERT_TRUE(waitForAudio(engine));
    struct Case {
        const char* what;
        void (*meddle)();
        bool whole;
    };
    const Case cases[] = {
        {"renamed away and replaced",
         [] {
             std::filesystem::rename("pelvar.temp", "moved.temp");
             std::ofstream("pelvar.temp", std::ios::binary) << std::string(1 << 20, 'x');
         },
         true},
        {"emptied in place", [] { std::filesystem::resize_file("pelvar.temp", 0); }, false},
    };
    for (const Case& row : cases) {
        forgetAnswers();
        // A new take keeps whatever the file held until its first frame, so the
        // last row's stand-in goes first and the file's size tells of this take.
        std::filesystem::remove("pelvar.temp");
        ASSERT_TRUE(beginTake()) << row.what;
        // Some of the take on disk before the meddling, and a quarter of a second more after it.
        ASSERT_TRUE(waitUntil([] { return std::filesystem::file_size("pelvar.temp") > 0; }, 10000)) << row.what;
        row.meddle();
        const int32_t meddledAt = capture().framesCaptured();
        ASSERT_TRUE(waitUntil([&] { return capture().framesCaptured() > meddledAt + 11025; }, 10000)) << row.what;
        endTake();
        const size_t takeBytes = static_cast<size_t>(capture().framesCaptured()) * 4;
        const SaveResult saved = saveTake((folder.path() / "take.wav").string());
        ASSERT_TRUE(saved.saved) << row.what;
        EXPECT_EQ(saved.savedBytes == saved.takeBytes, row.whole) << row.what;
        const std::string data = readAll("take.wav").substr(46);
        ASSERT_GE(data.size(), 64u) << row.what;
        const size_t start = input.find(data.substr(0, 64));
        ASSERT_NE(start, std::string::npos) << row.what << ": the WAV begins with the device's bytes";
        EXPECT_TRUE(input.compare(start, data.size(), data) == 0)
            << row.what << ": one unbroken stretch of the device's bytes, no zeros";
        if (row.whole) {
            EXPECT_EQ(data.size(), takeBytes) << row.what;
            EXPECT_TRUE(data == readAll("moved.temp")) << row.what << ": the real take, byte for byte";
        } else {
            EXPECT_LT(data.size(), takeBytes) << row.what;
            EXPECT_EQ(static_cast<int64_t>(data.size()), saved.savedBytes) << row.what;
        }
        std::filesystem::remove("take.wav");
    }
}

// --- Device list ----------------------------------------------------------

PaDeviceInfo device(const char* name, int inputs, int hostApi = 0) {
    PaDeviceInfo info{};
    info.name = name;
    info.maxInputChannels = inputs;
    info.hostApi = hostApi;
    return info;
}

std::vector<PaDeviceInfo> fakeDevices;
int fakeCount() { return static_cast<int>(fakeDevices.size()); }
const PaDeviceInfo* fakeInfo(int index) { return &fakeDevices[static_cast<size_t>(index)]; }

std::vector<std::pair<std::string, int>> listed(const std::vector<CaptureDevice>& devices) {
    std::vector<std::pair<std::string, int>> items;
    for (const CaptureDevice& device : devices) items.emplace_back(device.label, device.index);
    return items;
}

TEST_F(Capture, DeviceListKeepsCaptureDevicesThatAreNotAsio) {
    fakeDevices = {device("Speakers", 0),    device("HDMI", 0),         device("Line In", 2),
                   device("ASIO4ALL", 2, 3), device("Asio Line", 2, 3), device("USB ASIO In", 1, 1),
                   device("ASI", 1),         device("", 1, 2)};
    for (int filler = 0; filler < 120; ++filler) fakeDevices.push_back(device("Output", 0));
    fakeDevices.push_back(device("Far Away", 2, 4));
    fakeDevices.push_back(device("<b>x</b>", 1));
    const std::vector<std::pair<std::string, int>> expected = {
        {"Line In 0", 2}, {"Asio Line 3", 4},  {"USB ASIO In 1", 5}, {"ASI 0", 6},
        {" 2", 7},        {"Far Away 4", 128}, {"<b>x</b> 0", 129}};
    EXPECT_EQ(listed(captureDevices(DeviceSource{fakeCount, fakeInfo})), expected);

    bool serverListed = false;
    for (auto& [label, index] : listed(captureDevices())) {
        EXPECT_EQ(label, deviceLabel(Pa_GetDeviceInfo(index)));
        EXPECT_GE(Pa_GetDeviceInfo(index)->maxInputChannels, 1);
        serverListed = serverListed || label.rfind(soundDevice() + " ", 0) == 0;
    }
    EXPECT_TRUE(serverListed) << "the private sound server's device";

    // The server's sources, in its order, by their descriptions; names tell
    // apart two that share one, and numbers two that share both. A default
    // whose name two share is no default anyone can tell; a description's
    // tab or line break reads as a blank.
    const std::vector<std::pair<std::string, int>> sources = {
        {"Monitor of Null Output (sound server, tone.monitor, default)", serverSourceDevice},
        {"Monitor of Null Output (sound server, playback.monitor)", serverSourceDevice},
        {"USB Mic (sound server)", serverSourceDevice},
        {"Twin (sound server, twin #7)", serverSourceDevice},
        {"Twin (sound server, twin #8)", serverSourceDevice},
        {"Two  lines (sound server)", serverSourceDevice}};
    EXPECT_EQ(listed(serverCaptureDevices({{"tone.monitor", 1, "Monitor of Null Output", "tone", "", true},
                                           {"playback.monitor", 2, "Monitor of Null Output", "playback", "", false},
                                           {"usb", 3, "USB Mic", "", "", false},
                                           {"twin", 7, "Twin", "", "", true},
                                           {"twin", 8, "Twin", "", "", false},
                                           {"lines", 9, "Two\t\nlines", "", "", false}})),
              sources);
}

}  // namespace

int main(int argc, char** argv) { return runLayerTests(argc, argv, true, writeAlsaFileDevice); }
