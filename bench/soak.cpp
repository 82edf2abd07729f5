// A long take at 192000 Hz, 32-bit stereo from the sound server while another
// process writes 1 GiB after 1 GiB to the same folder with fsync. Prints the
// frames captured against the frames the elapsed time calls for, the buffers
// PortAudio flagged as overflowed, and the callback's longest run.
// Usage: bench_soak [seconds]   (default 600; needs PULSE_SERVER of a running
// sound server, e.g. from tests/sound/soundserver.sh)
#include <portaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "capture.h"
#include "files.h"

namespace {

std::atomic<int64_t> longestNanoseconds{0};
std::atomic<int64_t> callbacks{0};

// The recorder's own callback, timed.
int timedCallback(const void* input, void* output, unsigned long frames, const PaStreamCallbackTimeInfo* time,
                  PaStreamCallbackFlags flags, void* data) {
    auto start = std::chrono::steady_clock::now();
    int result = captureCallback(input, output, frames, time, flags, data);
    int64_t spent = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
    int64_t longest = longestNanoseconds.load(std::memory_order_relaxed);
    while (spent > longest && !longestNanoseconds.compare_exchange_weak(longest, spent)) {
    }
    callbacks.fetch_add(1, std::memory_order_relaxed);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 600;
    silenceAudioLibraries();
    Pa_Initialize();
    int device = -1;
    for (int index = 0; index < Pa_GetDeviceCount(); ++index)
        if (std::string(Pa_GetDeviceInfo(index)->name) == "pulse") device = index;
    if (device < 0) {
        std::fprintf(stderr, "no \"pulse\" capture device: start a sound server first\n");
        return 1;
    }
    captureSettings = CaptureSettings{2, 32, 192000.0, device};
    computeCaptureFormat();
    PaStream* stream = nullptr;
    if (Pa_OpenStream(&stream, &captureFormat.inputParameters, nullptr, captureSettings.sampleRate,
                      paFramesPerBufferUnspecified, paNoFlag, timedCallback, nullptr) != paNoError ||
        Pa_StartStream(stream) != paNoError) {
        std::fprintf(stderr, "the stream did not start\n");
        return 1;
    }
    recordingState.stream = stream;
    // A fresh stream may take a moment to deliver.
    for (int wait = 0; wait < 500 && framesDelivered() == 0; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    std::atomic<bool> writing{true};
    std::thread writer([&writing] {
        while (writing.load())
            if (std::system("dd if=/dev/zero of=soak-ballast bs=1M count=1024 conv=fsync status=none") != 0) break;
    });

    beginTake();
    const int64_t deliveredAtStart = framesDelivered();
    const int64_t overflowsAtStart = inputOverflowCount();
    auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const int64_t delivered = framesDelivered() - deliveredAtStart;
    endTake();
    writing.store(false);
    writer.join();
    std::remove("soak-ballast");

    const int64_t expected = static_cast<int64_t>(elapsed * captureSettings.sampleRate);
    const int64_t captured = recordingState.framesCaptured.load();
    std::printf("elapsed           %.1f s\n", elapsed);
    std::printf("frames expected   %lld\n", static_cast<long long>(expected));
    std::printf("frames delivered  %lld\n", static_cast<long long>(delivered));
    std::printf("frames captured   %lld (%.4f %% of expected)\n", static_cast<long long>(captured),
                100.0 * static_cast<double>(captured) / static_cast<double>(expected));
    std::printf("file holds        %lld frames\n", static_cast<long long>(fileSize(tempCaptureName) / 8));
    std::printf("overflow buffers  %lld\n", static_cast<long long>(inputOverflowCount() - overflowsAtStart));
    std::printf("callbacks         %lld, longest %.3f ms\n", static_cast<long long>(callbacks.load()),
                longestNanoseconds.load() / 1e6);
    std::printf("disk refused      %s\n", takeCutShort() ? "yes" : "no");
    closeCaptureStream();
    Pa_Terminate();
    std::remove(tempCaptureName);
}
