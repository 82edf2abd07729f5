// SPDX-License-Identifier: MIT
// The take writer's ring on its own, without the rig.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

#include "byte_ring.h"

namespace {

// Passes 256 KiB of a known pattern through a ring, at most `chunk` bytes a
// put, in turns on one thread or by a writer and a reader thread at once, as
// the callback and the take writer do; the reader takes the oldest bytes that
// lie in one piece. Returns the bytes not given back as they were put.
size_t bytesAmiss(size_t capacity, size_t chunk, bool twoThreads) {
    constexpr size_t total = 256 << 10;
    ByteRing ring(capacity);
    size_t sent = 0, taken = 0, amiss = 0;
    const auto put = [&] {
        std::string bytes(std::min({ring.room(), chunk, total - sent}), '\0');
        for (char& byte : bytes) byte = static_cast<char>(sent++ % 251);
        ring.put(bytes.data(), bytes.size());
    };
    const auto take = [&] {
        const ByteRing::Stretch held = ring.held();
        for (size_t at = 0; at < held.bytes; ++at) amiss += held.data[at] != static_cast<char>(taken++ % 251);
        ring.release(held.bytes);
    };
    if (twoThreads) {
        // Each side lets the other in while it waits for it.
        std::thread writer([&] {
            for (; sent < total; std::this_thread::yield()) put();
        });
        for (; taken < total; std::this_thread::yield()) take();
        writer.join();
    }
    for (size_t turn = 0; turn < total && taken < total; ++turn) {
        put();
        take();
        take();
    }
    return amiss + total - taken;
}

// Odd sizes, puts that go round the ring's end from every place, a ring
// filled exactly (by a put as large as it, or a writer that fills whatever
// room there is); a put beyond the room would overwrite untaken bytes.
TEST(ByteRing, GivesBackWhatWentInWholeAndInOrder) {
    struct Row {
        size_t capacity, chunk;
        bool twoThreads;
    } const rows[] = {{1, 1, false}, {7, 7, false}, {7, 3, false}, {1021, 97, false}, {509, 97, true}, {64, 999, true}};
    for (const Row& row : rows)
        EXPECT_EQ(bytesAmiss(row.capacity, row.chunk, row.twoThreads), 0u)
            << row.capacity << " bytes, " << row.chunk << " a put" << (row.twoThreads ? ", two threads" : "");
    ByteRing ring(8);
    ring.put("abc", 3);
    EXPECT_DEBUG_DEATH(ring.put("overruns", 8), "room");
}

}  // namespace
