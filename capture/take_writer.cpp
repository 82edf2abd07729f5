// SPDX-License-Identifier: MIT
#include "take_writer.h"

#include <jack/ringbuffer.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "capture.h"
#include "files.h"

// JACK's ring (libjack comes with PortAudio already) is made for exactly this:
// one writer on an audio thread, one reader, no lock, no allocation after
// jack_ringbuffer_create.
// FIXME: jackd2 1.9.21 publishes a write with a plain store after its copy.
// That is safe on amd64, whose stores stay in order, but not on weakly
// ordered processors (arm64); there a ring with acquire and release, such as
// Boost.Lockfree's spsc_queue, should take its place.

namespace {

jack_ringbuffer_t* ring = nullptr;
size_t ringMadeFor = 0;
std::thread writer;
std::atomic<bool> finishing{false};
std::atomic<bool> diskRefused{false};
std::atomic<size_t> ringBytesOverride{0};
std::atomic<int> pauseMilliseconds{0};

// Long enough that the writer costs nothing while idle, short enough that the
// ring never holds more than a sliver of what it can.
constexpr auto idlePoll = std::chrono::milliseconds(5);
// One write never exceeds what a channel call can take.
constexpr size_t largestWrite = size_t{1} << 30;

// Writes one contiguous stretch of the ring to channel 1. After the disk
// refused a write the rest is read and dropped, so the callback never waits;
// the take is cut at what the disk holds.
void writeOut(const char* data, size_t bytes) {
    while (bytes > 0) {
        const size_t piece = bytes < largestWrite ? bytes : largestWrite;
        if (!diskRefused.load(std::memory_order_relaxed)) {
            writeData(TempCaptureFile, data, static_cast<int>(piece));
            if (fileWriteFailed(TempCaptureFile)) diskRefused.store(true, std::memory_order_release);
        }
        data += piece;
        bytes -= piece;
    }
}

void drainRing() {
    // The writer may wait on the disk for seconds; it never takes the audio
    // thread's real-time priority, even when started from a thread that has it.
    sched_param ordinary{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &ordinary);
    for (;;) {
        jack_ringbuffer_data_t parts[2];
        jack_ringbuffer_get_read_vector(ring, parts);
        const size_t bytes = parts[0].len + parts[1].len;
        if (bytes == 0) {
            // The callback can add nothing more once finishing is set, so an
            // empty ring then is the end of the take.
            if (finishing.load(std::memory_order_acquire) && jack_ringbuffer_read_space(ring) == 0) return;
            std::this_thread::sleep_for(idlePoll);
            continue;
        }
        writeOut(parts[0].buf, parts[0].len);
        writeOut(parts[1].buf, parts[1].len);
        jack_ringbuffer_read_advance(ring, bytes);
        if (int pause = pauseMilliseconds.load(std::memory_order_relaxed); pause > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
}

}  // namespace

bool startTakeWriter(size_t bytes) {
    if (size_t override = ringBytesOverride.load(std::memory_order_relaxed); override > 0) bytes = override;
    if (ring == nullptr || ringMadeFor != bytes) {
        if (ring != nullptr) jack_ringbuffer_free(ring);
        // The ring's room is one byte less than the size it is made with.
        ring = jack_ringbuffer_create(bytes + 1);
        ringMadeFor = ring == nullptr ? 0 : bytes;
        if (ring == nullptr) return false;
        // Fresh pages would fault in the callback the first time it fills them.
        std::memset(ring->buf, 0, ring->size);
        jack_ringbuffer_mlock(ring);
    }
    jack_ringbuffer_reset(ring);
    diskRefused.store(false, std::memory_order_relaxed);
    finishing.store(false, std::memory_order_relaxed);
    writer = std::thread(drainRing);
    return true;
}

void finishTakeWriter() {
    if (!writer.joinable()) return;
    finishing.store(true, std::memory_order_release);
    writer.join();
}

size_t takeWriterRoom() { return ring == nullptr ? 0 : jack_ringbuffer_write_space(ring); }

void handToTakeWriter(const void* data, size_t bytes) {
    jack_ringbuffer_write(ring, static_cast<const char*>(data), bytes);
}

bool takeWriterDiskRefused() { return diskRefused.load(std::memory_order_acquire); }

void setTakeRingBytesForTesting(size_t bytes) { ringBytesOverride.store(bytes, std::memory_order_relaxed); }
void setTakeWriterPauseForTesting(int milliseconds) {
    pauseMilliseconds.store(milliseconds, std::memory_order_relaxed);
}
