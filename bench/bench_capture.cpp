// SPDX-License-Identifier: MIT
// Time spent in the capture callback per buffer, at 192000 Hz 32-bit stereo,
// with buffers handed in at the pace a device delivers them while another
// process rewrites 256 MiB with fsync in the same folder: median and worst
// case, and their share of the buffer's own duration (the goal is a worst
// case of at most 1 %). Wall-clock time first, which on a virtual machine
// includes whatever the host takes away; then the callback thread's own CPU
// time, with its 99.9th percentile. Beside them the floor the machine sets on
// the same thread at the same pace: the longest of an empty interval (two
// readings of the thread's clock with nothing between) and of a bare copy
// of the same bytes into a plain buffer of the ring's size. Where the kernel
// charges interrupts to the thread they land in, no callback can be shown
// shorter than that floor.
// Usage: bench_capture [seconds per buffer size]   (default 10)
#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "bench_folder.h"
#include "capture.h"
#include "capture_testing.h"

int main(int argc, char** argv) {
    const int secondsPerSize = argc > 1 ? std::atoi(argv[1]) : 10;
    BenchFolder folder;
    const double rate = 192000.0;
    CaptureSettings settings;
    settings.channelCount = 2;
    settings.bitsPerSample = 32;
    settings.sampleRate = rate;
    const CaptureFormat format = computeCaptureFormat(settings);
    CaptureEngine engine(settings, format);
    void* const context = callbackContext(engine);

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

    std::vector<char> plain(static_cast<size_t>(10 * rate * 8), 1);
    std::printf("%8s %10s | %-27s | %-36s | %-29s | %6s\n", "", "", "wall clock", "thread CPU time",
                "floor: thread CPU, max", "");
    std::printf("%8s %10s | %9s %9s %7s | %9s %8s %9s %7s | %6s %6s %7s %7s | %6s\n", "frames", "buffer us",
                "median us", "max us", "max", "median us", "p99.9 us", "max us", "max", "empty", "copy", "empty",
                "copy", "lost");
    for (unsigned long frames : {64ul, 256ul, 1024ul, 4096ul}) {
        std::vector<char> buffer(frames * 8, 0x5A);
        const auto period = std::chrono::duration<double>(frames / rate);
        const int calls = static_cast<int>(secondsPerSize * rate / frames);
        std::vector<double> micros, cpuMicros, copyMicros, emptyMicros;
        micros.reserve(static_cast<size_t>(calls));
        cpuMicros.reserve(static_cast<size_t>(calls));
        copyMicros.reserve(static_cast<size_t>(calls));
        emptyMicros.reserve(static_cast<size_t>(calls));
        size_t copiedTo = 0;
        engine.beginTake();
        const auto begun = std::chrono::steady_clock::now();
        for (int call = 0; call < calls; ++call) {
            std::this_thread::sleep_until(
                begun + std::chrono::duration_cast<std::chrono::steady_clock::duration>(period * call));
            const double cpuStart = threadCpuNanoseconds();
            auto start = std::chrono::steady_clock::now();
            captureCallback(buffer.data(), nullptr, frames, nullptr, 0, context);
            micros.push_back(
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
            cpuMicros.push_back((threadCpuNanoseconds() - cpuStart) / 1e3);
            if (copiedTo + buffer.size() > plain.size()) copiedTo = 0;
            const double copyStart = threadCpuNanoseconds();
            std::memcpy(plain.data() + copiedTo, buffer.data(), buffer.size());
            copyMicros.push_back((threadCpuNanoseconds() - copyStart) / 1e3);
            copiedTo += buffer.size();
            const double emptyStart = threadCpuNanoseconds();
            emptyMicros.push_back((threadCpuNanoseconds() - emptyStart) / 1e3);
        }
        const TakeOutcome take = engine.endTake();
        const double bufferMicros = frames / rate * 1e6;
        auto largest = [](const std::vector<double>& values) {
            return *std::max_element(values.begin(), values.end());
        };
        const double worst = largest(micros), cpuWorst = largest(cpuMicros);
        const double copyWorst = largest(copyMicros), emptyWorst = largest(emptyMicros);
        const double middle = median(micros);
        const double cpuMiddle = median(cpuMicros);  // sorts cpuMicros
        const double cpuNearWorst = cpuMicros[cpuMicros.size() * 999 / 1000];
        auto share = [bufferMicros](double value) { return 100 * value / bufferMicros; };
        std::printf(
            "%8lu %10.1f | %9.2f %9.1f %6.2f%% | %9.2f %8.2f %9.1f %6.2f%% | %6.1f %6.1f %6.2f%% %6.2f%% | %6lld\n",
            frames, bufferMicros, middle, worst, share(worst), cpuMiddle, cpuNearWorst, cpuWorst, share(cpuWorst),
            emptyWorst, copyWorst, share(emptyWorst), share(copyWorst), static_cast<long long>(take.framesLost));
        std::fflush(stdout);
    }
    writing.store(false);
    ballast.join();
}
