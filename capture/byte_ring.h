// SPDX-License-Identifier: MIT
// The take writer's ring: one writer puts bytes in, one reader takes them
// out, no lock. The reader is handed the oldest bytes where they lie, the
// longest stretch in one piece, writes them out from there, and only then
// gives their room back, so that nothing is copied on the way to the disk
// (PortAudio's pa_ringbuffer.h hands out its read regions the same way).
// Of the libraries that offer such a ring, Boost's spsc_queue hands out
// copies only, PortAudio does not install pa_ringbuffer.h, and JACK's
// ringbuffer keeps its ordering inside a library ThreadSanitizer does not
// see, so that `make tsan` could no longer tell the writer from a race.
//
// One writer, one reader: put() and room() on the writer's thread only,
// held() and release() on the reader's; empty() while neither runs.
// Acquire and release on both counts, so it holds on every processor.
#pragma once

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstring>
#include <vector>

#include "locked_allocator.h"

class ByteRing {
   public:
    // Allocates and touches all its memory now, never in put().
    explicit ByteRing(size_t capacity) : storage_(capacity) {}

    // Writer: the bytes put() can take now. Never blocks or allocates.
    size_t room() const {
        return storage_.size() - (written_.load(std::memory_order_relaxed) - read_.load(std::memory_order_acquire));
    }
    // Writer: copies `bytes` (at most room()) in after what the ring holds.
    void put(const char* data, size_t bytes) {
        // More would overwrite what the reader has not taken yet.
        assert(bytes <= room());
        const size_t written = written_.load(std::memory_order_relaxed);
        const size_t at = written % storage_.size();
        const size_t first = std::min(bytes, storage_.size() - at);
        std::memcpy(storage_.data() + at, data, first);
        std::memcpy(storage_.data(), data + first, bytes - first);
        written_.store(written + bytes, std::memory_order_release);
    }

    // Reader: the oldest bytes the ring holds, as many as lie in one piece;
    // `bytes` is 0 when it holds none. They stay the reader's until released.
    struct Stretch {
        const char* data;
        size_t bytes;
    };
    Stretch held() const {
        const size_t read = read_.load(std::memory_order_relaxed);
        const size_t at = read % storage_.size();
        const size_t holding = written_.load(std::memory_order_acquire) - read;
        return {storage_.data() + at, std::min(holding, storage_.size() - at)};
    }
    // Reader: gives the room of the oldest `bytes` (at most held()) back.
    void release(size_t bytes) {
        read_.store(read_.load(std::memory_order_relaxed) + bytes, std::memory_order_release);
    }

    // Neither side running: forgets what the ring holds.
    void empty() { read_.store(written_.load(std::memory_order_relaxed), std::memory_order_relaxed); }

   private:
    std::vector<char, LockedAllocator<char>> storage_;
    // Bytes put in and taken out since the ring was made; each count is
    // written by its own side only, and kept on a cache line of its own.
    alignas(64) std::atomic<size_t> written_{0};
    alignas(64) std::atomic<size_t> read_{0};
};
