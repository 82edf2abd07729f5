// SPDX-License-Identifier: MIT
#include "ring_drain.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include "files.h"
#include "take_format.h"

namespace {

// The drain sleeps this long between rounds: the ring holds seconds, so
// rare large writes cost the disk nothing more than frequent small ones,
// and a laptop pays for every wake-up. finish() wakes it at once.
constexpr auto betweenRounds = std::chrono::milliseconds(500);
// What the drain has handed the kernel is put on disk this often, so that
// a power cut loses little more than that and what the ring held.
constexpr auto syncEvery = std::chrono::milliseconds(1000);
// The most one write takes out of the ring. Its room comes back only once
// the write returns, so the ring is made this much larger than asked: a
// disk that stalls on a write leaves the callback all the room it asked for.
constexpr size_t largestWrite = size_t{1} << 20;

}  // namespace

// After the disk refused a write the rest is dropped, so the callback never
// waits; the take is cut at what the disk holds.
void RingDrain::writeOut(const char* data, size_t bytes) {
    if (diskRefused()) return;
    if (!replaced_) {
        // The earlier take goes only now that this one has a frame for it.
        if (!truncateFile(channel_, 0)) {
            noteRefusal();
            return;
        }
        replaced_ = true;
        // A file system without notes records as before.
        setFileNote(channel_, takeNoteKey, note_);
    }
    writeData(channel_, data, static_cast<int>(bytes));
    if (fileWriteFailed(channel_)) noteRefusal();
}

void RingDrain::noteRefusal() {
    const int error = fileError(channel_);
    refusal_.store(error != 0 ? error : EIO, std::memory_order_release);
}

// Puts what was written on disk once syncEvery has passed since the last time.
void RingDrain::syncWhenDue(Clock::time_point& synced) {
    const auto now = Clock::now();
    if (now - synced < syncEvery || diskRefused()) return;
    if (!syncFileData(channel_)) noteRefusal();
    synced = now;
}

// Everything the ring holds now goes to the file, written from where it
// lies in the ring. A disk slower than the audio keeps this going for long,
// so the syncs keep their pace inside it; the take's last drain leaves them
// to the close.
void RingDrain::drainRing(Clock::time_point* synced) {
    for (ByteRing::Stretch held = ring_->held(); held.bytes > 0; held = ring_->held()) {
        const size_t bytes = std::min(held.bytes, largestWrite);
        writeOut(held.data, bytes);
        ring_->release(bytes);
        if (int pause = pauseMilliseconds.load(std::memory_order_relaxed); pause > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(pause));
        if (synced != nullptr) syncWhenDue(*synced);
    }
}

void RingDrain::run() {
    // The drain may wait on the disk for seconds; it never takes the audio
    // thread's real-time priority, even when started from a thread that has it.
    sched_param ordinary{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &ordinary);
    auto synced = Clock::now();
    bool rested = false;
    for (;;) {
        bool last = false, resting = false;
        {
            std::unique_lock<std::mutex> lock(wakeGuard_);
            // A paused take, once on disk, costs nothing until it goes on.
            if (rested)
                wake_.wait(lock, [this] { return finishing_ || !resting_; });
            else
                wake_.wait_for(lock, betweenRounds, [this] { return finishing_ || resting_; });
            last = finishing_;
            resting = resting_;
        }
        rounds.fetch_add(1, std::memory_order_relaxed);
        // Once finishing is set no callback adds more, so this drain is the
        // take's end.
        drainRing(last ? nullptr : &synced);
        if (last) {
            // What the channel still buffers goes out now, so that a refusal
            // of the take's last bytes is told as the others are.
            if (!diskRefused() && !flushFile(channel_)) noteRefusal();
            return;
        }
        if (resting && !rested && replaced_ && !diskRefused()) {
            if (!syncFileData(channel_)) noteRefusal();
            synced = Clock::now();
        }
        rested = resting;
        if (!resting) syncWhenDue(synced);
    }
}

bool RingDrain::start(size_t bytes, std::string note) {
    if (size_t override = ringBytesOverride.load(std::memory_order_relaxed); override > 0) bytes = override;
    if (!ring_ || ringMadeFor_ != bytes) {
        ring_.reset();
        ringMadeFor_ = 0;
        try {
            ring_ = std::make_unique<ByteRing>(bytes + std::min(bytes, largestWrite));
        } catch (const std::bad_alloc&) {
            return false;
        }
        ringMadeFor_ = bytes;
    }
    ring_->empty();
    note_ = std::move(note);
    replaced_ = false;
    refusal_.store(0, std::memory_order_relaxed);
    finishing_ = false;
    resting_ = false;
    thread_ = std::thread([this] { run(); });
    // A name that top and the tests can find it by.
    pthread_setname_np(thread_.native_handle(), "take writer");
    return true;
}

void RingDrain::finish() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(wakeGuard_);
        finishing_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void RingDrain::rest() {
    {
        std::lock_guard<std::mutex> lock(wakeGuard_);
        resting_ = true;
    }
    wake_.notify_one();
}

void RingDrain::goOn() {
    {
        std::lock_guard<std::mutex> lock(wakeGuard_);
        resting_ = false;
    }
    wake_.notify_one();
}
