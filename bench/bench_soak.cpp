// SPDX-License-Identifier: MIT
// A long take at 192000 Hz, 32-bit stereo from the sound server while another
// process writes 1 GiB after 1 GiB to the same folder with fsync. Prints the
// frames captured against the frames the elapsed time calls for, the frames
// lost, and the callback's median and longest run, also as a share of the
// duration of the buffer it was handed (the goal is a worst case of 1 %):
// by the wall clock, and by the audio thread's own CPU time, which the
// host's scheduling cannot inflate. PortAudio hands most buffers a whole
// period of the device and some only the few frames left over before it, so
// the worst share is also given over whole periods alone. Beside it the
// floor the machine sets on the same thread: the longest empty interval, two
// readings of the thread's clock with nothing between, taken after each
// callback; a kernel that charges interrupts to the thread they land in
// makes that longer than a short buffer's 1 %.
// Usage: bench_soak [seconds]   (default 600; needs PULSE_SERVER of a running
// sound server, e.g. from tests/sound/soundserver.sh)
#include <pa_linux_alsa.h>
#include <portaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench_folder.h"
#include "capture.h"
#include "capture_testing.h"
#include "files.h"

namespace {

struct Timing {
    double nanoseconds;
    double share;  // of the buffer's own duration
    double cpuNanoseconds;
    double cpuShare;
    double emptyNanoseconds;
    unsigned long frames;
};
// Filled by the audio thread, read after the stream stopped; made before it starts.
std::vector<Timing> timings;
std::atomic<size_t> callbacks{0};
double sampleRate = 192000.0;

// The recorder's own callback, timed.
int timedCallback(const void* input, void* output, unsigned long frames, const PaStreamCallbackTimeInfo* time,
                  PaStreamCallbackFlags flags, void* data) {
    const double cpuStart = threadCpuNanoseconds();
    auto start = std::chrono::steady_clock::now();
    int result = captureCallback(input, output, frames, time, flags, data);
    double spent = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    double cpu = threadCpuNanoseconds() - cpuStart;
    const double emptyStart = threadCpuNanoseconds();
    const double empty = threadCpuNanoseconds() - emptyStart;
    size_t index = callbacks.fetch_add(1, std::memory_order_relaxed);
    const double bufferNanoseconds = frames / sampleRate * 1e9;
    if (index < timings.size() && frames > 0)
        timings[index] = {spent, spent / bufferNanoseconds, cpu, cpu / bufferNanoseconds, empty, frames};
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 600;
    BenchFolder folder;
    // Pulse hands out a buffer every few milliseconds at most.
    timings.assign(static_cast<size_t>(seconds) * 1000 + 10000, Timing{});
    startAudio();
    int device = -1;
    for (int index = 0; index < Pa_GetDeviceCount(); ++index)
        if (std::string(Pa_GetDeviceInfo(index)->name) == "pulse") device = index;
    if (device < 0) {
        std::fprintf(stderr, "no \"pulse\" capture device: start a sound server first\n");
        return 1;
    }
    const CaptureSettings captureSettings{2, 32, 192000.0, device, {}};
    const CaptureFormat captureFormat = computeCaptureFormat(captureSettings);
    CaptureEngine engine(captureSettings, captureFormat);
    PaStream* stream = nullptr;
    if (Pa_OpenStream(&stream, &captureFormat.inputParameters, nullptr, captureSettings.sampleRate,
                      paFramesPerBufferUnspecified, paNoFlag, timedCallback, callbackContext(engine)) != paNoError) {
        std::fprintf(stderr, "the stream did not open\n");
        return 1;
    }
    adoptStreamForTesting(engine, stream);
    // As the recorder asks for its own streams.
    PaAlsa_EnableRealtimeScheduling(stream, 1);
    if (Pa_StartStream(stream) != paNoError) {
        std::fprintf(stderr, "the stream did not start\n");
        return 1;
    }
    // A fresh stream may take a moment to deliver.
    for (int wait = 0; wait < 500 && framesDelivered(engine) == 0; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    std::atomic<bool> writing{true};
    std::thread writer([&writing] {
        while (writing.load())
            if (std::system("dd if=/dev/zero of=soak-ballast bs=1M count=1024 conv=fsync status=none") != 0) break;
    });

    callbacks.store(0);
    engine.beginTake();
    const int64_t deliveredAtStart = framesDelivered(engine);
    const int64_t overflowsAtStart = inputOverflowCount(engine);
    auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const int64_t delivered = framesDelivered(engine) - deliveredAtStart;
    const TakeOutcome take = engine.endTake();
    const int64_t lost = take.framesLost;
    writing.store(false);
    writer.join();
    std::remove("soak-ballast");
    engine.closeStream();

    std::vector<Timing> seen(timings.begin(),
                             timings.begin() + static_cast<long>(std::min(callbacks.load(), timings.size())));
    // The frame count handed most often is the device's period.
    std::map<unsigned long, size_t> handed;
    for (const Timing& timing : seen) ++handed[timing.frames];
    unsigned long period = 0;
    for (const auto& [frames, count] : handed)
        if (period == 0 || count > handed[period]) period = frames;
    std::vector<double> nanoseconds, shares, cpuNanoseconds, cpuShares, periodCpuShares, emptyNanoseconds;
    for (const Timing& timing : seen) {
        nanoseconds.push_back(timing.nanoseconds);
        shares.push_back(timing.share);
        cpuNanoseconds.push_back(timing.cpuNanoseconds);
        cpuShares.push_back(timing.cpuShare);
        emptyNanoseconds.push_back(timing.emptyNanoseconds);
        if (timing.frames >= period) periodCpuShares.push_back(timing.cpuShare);
    }
    auto largest = [](const std::vector<double>& values) {
        return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
    };
    const double longest = largest(nanoseconds), worstShare = largest(shares);
    const double cpuLongest = largest(cpuNanoseconds), cpuWorstShare = largest(cpuShares);
    const size_t shorter = seen.size() - periodCpuShares.size();
    const unsigned long fewest = handed.empty() ? 0 : handed.begin()->first;

    const int64_t expected = static_cast<int64_t>(elapsed * captureSettings.sampleRate);
    const int64_t captured = engine.framesCaptured();
    std::printf("elapsed           %.1f s\n", elapsed);
    std::printf("frames expected   %lld\n", static_cast<long long>(expected));
    std::printf("frames delivered  %lld\n", static_cast<long long>(delivered));
    std::printf("frames captured   %lld (%.4f %% of expected)\n", static_cast<long long>(captured),
                100.0 * static_cast<double>(captured) / static_cast<double>(expected));
    std::printf("file holds        %lld frames\n", static_cast<long long>(fileSize(tempCaptureName) / 8));
    std::printf("frames lost       %lld\n", static_cast<long long>(lost));
    std::printf("overflow buffers  %lld\n", static_cast<long long>(inputOverflowCount(engine) - overflowsAtStart));
    std::printf("callbacks         %zu\n", seen.size());
    std::printf("callback median   %.1f us, %.4f %% of its buffer (wall clock)\n", median(nanoseconds) / 1e3,
                100 * median(shares));
    std::printf("callback longest  %.1f us; worst share %.4f %% of its buffer (wall clock)\n", longest / 1e3,
                100 * worstShare);
    std::printf("callback CPU      median %.1f us, %.4f %% of its buffer (thread CPU time)\n",
                median(cpuNanoseconds) / 1e3, 100 * median(cpuShares));
    std::printf("callback CPU      longest %.1f us; worst share %.4f %% of its buffer (thread CPU time)\n",
                cpuLongest / 1e3, 100 * cpuWorstShare);
    std::printf("buffers handed    %zu of a whole period (%lu frames), %zu shorter (the fewest %lu frames)\n",
                periodCpuShares.size(), period, shorter, fewest);
    std::printf("callback CPU      worst share %.4f %% of a whole period's buffer (thread CPU time)\n",
                100 * largest(periodCpuShares));
    std::printf("floor             longest empty interval %.1f us, %.4f %% of a whole period (thread CPU time)\n",
                largest(emptyNanoseconds) / 1e3, 100 * largest(emptyNanoseconds) / (period / sampleRate * 1e9));
    std::printf("disk refused      %s\n", take.diskRefused ? "yes" : "no");
    Pa_Terminate();
}
