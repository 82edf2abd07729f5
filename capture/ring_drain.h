// SPDX-License-Identifier: MIT
// The take writer: a ring between the capture callback and a thread that
// drains it into the take's file channel, so that a slow disk never holds up
// audio. The thread wakes twice a second during a take and not at all
// outside one, and puts what it wrote on disk about every second.
//
// The ring has one writer and one reader: only the capture callback puts
// bytes in (the functions marked "audio thread"), only the drain's thread
// (named "take writer", for it writes the take) takes them out. Everything
// else runs on the interface thread while no callback is inside the take.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "byte_ring.h"

class RingDrain {
   public:
    // Writes to file channel `channel`.
    explicit RingDrain(int channel) : channel_(channel) {}
    // Ends a thread still running, as finish() does.
    ~RingDrain() { finish(); }
    RingDrain(const RingDrain&) = delete;
    RingDrain& operator=(const RingDrain&) = delete;

    // Interface thread. Makes the ring hold at least `bytes` for the callback
    // even while a write of the disk waits (allocating and touching every
    // page now, never in the callback), empties it and starts the thread that
    // writes to the channel, which must be open. What the channel's file
    // holds stays until the take's first bytes come: only then is it cut to
    // nothing and given `note` (under takeNoteKey), so that a take that ends
    // before its first frame leaves the earlier one whole. False when the
    // ring cannot be had.
    bool start(size_t bytes, std::string note);
    // Interface thread, once no callback can add more: wakes the thread at
    // once, which writes out everything the ring still holds and ends. The
    // channel stays open.
    void finish();
    // Interface thread, for a paused take, once no callback adds more: the
    // thread writes out what the ring holds, puts it on disk, and then
    // sleeps, neither writing nor syncing, until goOn() or finish().
    void rest();
    void goOn();

    // Audio thread: never blocks, allocates, locks or calls the system.
    // Bytes the ring can take now.
    size_t room() const { return ring_ ? ring_->room() : 0; }
    // Copies `bytes` (at most room()) into the ring.
    void hand(const void* data, size_t bytes) { ring_->put(static_cast<const char*>(data), bytes); }
    // True once the disk refused a write of this take. Any thread.
    bool diskRefused() const { return refusal_.load(std::memory_order_acquire) != 0; }
    // The system's error number for that refusal, 0 while there was none. Any thread.
    int refusal() const { return refusal_.load(std::memory_order_acquire); }
    // True once this take has cut the file to begin its own. Interface
    // thread, once finish() has returned.
    bool replacedEarlier() const { return replaced_; }

    // For tests: a ring of this size whatever is asked (0: as asked), a pause
    // after each write, and the rounds the thread has made.
    std::atomic<size_t> ringBytesOverride{0};
    std::atomic<int> pauseMilliseconds{0};
    std::atomic<int64_t> rounds{0};

   private:
    using Clock = std::chrono::steady_clock;

    void run();
    void writeOut(const char* data, size_t bytes);
    // Notes the channel's first refused write, in the system's words.
    void noteRefusal();
    void syncWhenDue(Clock::time_point& synced);
    void drainRing(Clock::time_point* synced);

    const int channel_;
    // The callback puts the take in, the drain writes it out from there.
    std::unique_ptr<ByteRing> ring_;
    size_t ringMadeFor_ = 0;
    std::thread thread_;
    std::mutex wakeGuard_;
    std::condition_variable wake_;
    bool finishing_ = false;  // under wakeGuard_
    bool resting_ = false;    // under wakeGuard_
    // The drain's thread's, until finish() has returned.
    std::string note_;
    bool replaced_ = false;
    // The error number of the first write or sync the disk refused; 0 while none was.
    std::atomic<int> refusal_{0};
};
