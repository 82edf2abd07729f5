// SPDX-License-Identifier: MIT
#include "take_writer.h"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>

#include <atomic>
#include <boost/lockfree/spsc_queue.hpp>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "capture_testing.h"
#include "files.h"
#include "recorder.h"

namespace {

// Memory for the ring, touched and locked when it is made: a fresh page
// would fault in the callback the first time it fills it, and a page swapped
// out would make the callback wait for the disk.
template <typename T>
struct LockedAllocator {
    using value_type = T;
    LockedAllocator() = default;
    template <typename U>
    LockedAllocator(const LockedAllocator<U>&) {}
    T* allocate(size_t count) {
        T* memory = static_cast<T*>(::operator new(count * sizeof(T)));
        std::memset(static_cast<void*>(memory), 0, count * sizeof(T));
        // Without the privilege the pages stay touched but may be swapped.
        ::mlock(memory, count * sizeof(T));
        return memory;
    }
    void deallocate(T* memory, size_t count) {
        ::munlock(memory, count * sizeof(T));
        ::operator delete(memory);
    }
    template <typename U>
    bool operator==(const LockedAllocator<U>&) const {
        return true;
    }
};

// One producer (the callback), one consumer (the writer), no lock, and
// acquire and release on both indices, so it holds on every processor.
using Ring = boost::lockfree::spsc_queue<char, boost::lockfree::allocator<LockedAllocator<char>>>;

std::unique_ptr<Ring> ring;
size_t ringMadeFor = 0;
// The writer copies out of the ring into this before the disk sees it, so
// that the ring's room is given back before any write can stall.
std::vector<char> outgoing;
std::thread writer;
std::mutex wakeGuard;
std::condition_variable wake;
bool finishing = false;  // under wakeGuard
std::atomic<bool> diskRefused{false};
std::atomic<size_t> ringBytesOverride{0};
std::atomic<int> pauseMilliseconds{0};
std::atomic<int64_t> roundsTaken{0};

// The writer sleeps this long between rounds: the ring holds seconds, so
// rare large writes cost the disk nothing more than frequent small ones,
// and a laptop pays for every wake-up. endTake wakes it at once.
constexpr auto betweenRounds = std::chrono::milliseconds(250);
// What the writer has handed the kernel is put on disk this often, so that
// a power cut loses little more than that and what the ring held.
constexpr auto syncEvery = std::chrono::milliseconds(1000);
constexpr size_t largestOutgoing = size_t{1} << 20;

// Writes one stretch to channel 1. After the disk refused a write the rest
// is dropped, so the callback never waits; the take is cut at what the disk
// holds.
void writeOut(const char* data, size_t bytes) {
    if (diskRefused.load(std::memory_order_relaxed)) return;
    writeData(TempCaptureFile, data, static_cast<int>(bytes));
    if (fileWriteFailed(TempCaptureFile)) diskRefused.store(true, std::memory_order_release);
}

using Clock = std::chrono::steady_clock;

// Puts what was written on disk once syncEvery has passed since the last time.
void syncWhenDue(Clock::time_point& synced) {
    const auto now = Clock::now();
    if (now - synced < syncEvery || diskRefused.load(std::memory_order_relaxed)) return;
    if (!syncFileData(TempCaptureFile)) diskRefused.store(true, std::memory_order_release);
    synced = now;
}

// Everything the ring holds now goes to the file. A disk slower than the
// audio keeps this going for long, so the syncs keep their pace inside it;
// the take's last drain leaves them to the close.
void drainRing(Clock::time_point* synced) {
    while (size_t bytes = ring->pop(outgoing.data(), outgoing.size())) {
        writeOut(outgoing.data(), bytes);
        if (int pause = pauseMilliseconds.load(std::memory_order_relaxed); pause > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(pause));
        if (synced != nullptr) syncWhenDue(*synced);
    }
}

void writeTake() {
    // The writer may wait on the disk for seconds; it never takes the audio
    // thread's real-time priority, even when started from a thread that has it.
    sched_param ordinary{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &ordinary);
    auto synced = Clock::now();
    for (;;) {
        bool last = false;
        {
            std::unique_lock<std::mutex> lock(wakeGuard);
            wake.wait_for(lock, betweenRounds, [] { return finishing; });
            last = finishing;
        }
        roundsTaken.fetch_add(1, std::memory_order_relaxed);
        // Once finishing is set no callback adds more, so this drain is the
        // take's end.
        drainRing(last ? nullptr : &synced);
        if (last) return;
        syncWhenDue(synced);
    }
}

}  // namespace

bool startTakeWriter(size_t bytes) {
    if (size_t override = ringBytesOverride.load(std::memory_order_relaxed); override > 0) bytes = override;
    if (!ring || ringMadeFor != bytes) {
        // Emptied first: the ring's destructor takes what is left out byte by byte.
        if (ring) ring->reset();
        ring.reset();
        ringMadeFor = 0;
        try {
            ring = std::make_unique<Ring>(bytes);
            outgoing.resize(bytes < largestOutgoing ? bytes : largestOutgoing);
        } catch (const std::bad_alloc&) {
            ring.reset();
            return false;
        }
        ringMadeFor = bytes;
    }
    ring->reset();
    diskRefused.store(false, std::memory_order_relaxed);
    finishing = false;
    writer = std::thread(writeTake);
    // A name that top and the tests can find it by.
    pthread_setname_np(writer.native_handle(), "take writer");
    return true;
}

void finishTakeWriter() {
    if (!writer.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(wakeGuard);
        finishing = true;
    }
    wake.notify_one();
    writer.join();
}

size_t takeWriterRoom() { return ring ? ring->write_available() : 0; }

void handToTakeWriter(const void* data, size_t bytes) { ring->push(static_cast<const char*>(data), bytes); }

bool takeWriterDiskRefused() { return diskRefused.load(std::memory_order_acquire); }

void setTakeRingBytesForTesting(size_t bytes) { ringBytesOverride.store(bytes, std::memory_order_relaxed); }
void setTakeWriterPauseForTesting(int milliseconds) {
    pauseMilliseconds.store(milliseconds, std::memory_order_relaxed);
}
int64_t takeWriterRounds() { return roundsTaken.load(std::memory_order_relaxed); }
