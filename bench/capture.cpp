// SPDX-License-Identifier: MIT
// Time spent in the capture callback per buffer, at 192000 Hz 32-bit stereo,
// with buffers handed in at the pace a device delivers them while another
// process rewrites 256 MiB with fsync in the same folder: median and worst
// case, and their share of the buffer's own duration (the goal is a worst
// case of at most 1 %).
// Usage: bench_capture [seconds per buffer size]   (default 10)
#include "capture.h"

#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "bench_folder.h"

int main(int argc, char** argv) {
    const int secondsPerSize = argc > 1 ? std::atoi(argv[1]) : 10;
    BenchFolder folder;
    const double rate = 192000.0;
    captureSettings.channelCount = 2;
    captureSettings.bitsPerSample = 32;
    captureSettings.sampleRate = rate;
    computeCaptureFormat();

    // Audio threads run with real-time priority where the system grants it;
    // without it, what is measured is mostly the scheduler's preemptions.
    sched_param priority{};
    priority.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
    const bool realtime = pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) == 0;
    std::printf("feeding thread: %s\n", realtime ? "real-time (SCHED_FIFO)" : "ordinary priority (real-time refused)");

    std::atomic<bool> writing{true};
    std::thread ballast([&writing] {
        sched_param ordinary{};
        pthread_setschedparam(pthread_self(), SCHED_OTHER, &ordinary);
        while (writing.load())
            if (std::system("dd if=/dev/zero of=ballast bs=1M count=256 conv=fsync status=none") != 0) break;
    });

    std::printf("%8s %12s %12s %12s %11s %11s %8s\n", "frames", "buffer us", "median us", "max us", "median/buf",
                "max/buf", "lost");
    for (unsigned long frames : {64ul, 256ul, 1024ul, 4096ul}) {
        std::vector<char> buffer(frames * 8, 0x5A);
        const auto period = std::chrono::duration<double>(frames / rate);
        const int calls = static_cast<int>(secondsPerSize * rate / frames);
        std::vector<double> micros;
        micros.reserve(static_cast<size_t>(calls));
        beginTake();
        const auto begun = std::chrono::steady_clock::now();
        for (int call = 0; call < calls; ++call) {
            std::this_thread::sleep_until(
                begun + std::chrono::duration_cast<std::chrono::steady_clock::duration>(period * call));
            auto start = std::chrono::steady_clock::now();
            captureCallback(buffer.data(), nullptr, frames, nullptr, 0, nullptr);
            micros.push_back(
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        }
        endTake();
        const double bufferMicros = frames / rate * 1e6;
        const double worst = *std::max_element(micros.begin(), micros.end());
        const double middle = median(micros);
        std::printf("%8lu %12.1f %12.2f %12.1f %10.4f%% %10.4f%% %8lld\n", frames, bufferMicros, middle, worst,
                    100 * middle / bufferMicros, 100 * worst / bufferMicros,
                    static_cast<long long>(framesLostInTake()));
        std::fflush(stdout);
    }
    writing.store(false);
    ballast.join();
}
