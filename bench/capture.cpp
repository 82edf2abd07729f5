// Time spent in the capture callback per buffer, at 192000 Hz 32-bit stereo,
// writing into a real file: median and worst case, and their share of the
// buffer's own duration (above 1.0 the callback could not keep up).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "capture.h"
#include "files.h"

int main() {
    const double rate = 192000.0;
    captureSettings.channelCount = 2;
    captureSettings.bitsPerSample = 32;
    captureSettings.sampleRate = rate;
    computeCaptureFormat();
    std::printf("%8s %12s %12s %12s %10s %10s\n", "frames", "buffer us", "median us", "max us", "median/buf", "max/buf");
    for (unsigned long frames : {64ul, 256ul, 1024ul, 4096ul}) {
        std::vector<char> buffer(frames * 8, 0x5A);
        const int calls = static_cast<int>(std::max(2000ul, 30ul * 192000ul / frames));  // about 30 s of audio
        std::vector<double> micros;
        micros.reserve(static_cast<size_t>(calls));
        beginTake();
        for (int call = 0; call < calls; ++call) {
            auto start = std::chrono::steady_clock::now();
            captureCallback(buffer.data(), nullptr, frames, nullptr, 0, nullptr);
            micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        }
        endTake();
        std::sort(micros.begin(), micros.end());
        const double bufferMicros = frames / rate * 1e6;
        const double median = micros[micros.size() / 2];
        const double worst = micros.back();
        std::printf("%8lu %12.1f %12.2f %12.1f %10.4f %10.4f\n", frames, bufferMicros, median, worst, median / bufferMicros,
                    worst / bufferMicros);
    }
    std::filesystem::remove(tempCaptureName);
}
