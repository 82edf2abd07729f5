// SPDX-License-Identifier: MIT
// The take writer: a ring between the capture callback and a thread that
// drains it into file channel 1, so that a slow disk never holds up audio.
// The thread wakes a few times a second during a take and not at all
// outside one, and puts what it wrote on disk at least every two seconds.
//
// One writer, one reader: only the capture callback puts bytes in (the
// functions marked "audio thread"), only the writer thread takes them out.
// Everything else runs on the interface thread while no callback is inside
// the take.
#pragma once

#include <cstddef>
#include <cstdint>

// Interface thread. Makes the ring hold at least `bytes` (allocating and
// touching every page now, never in the callback), empties it and starts the
// thread that writes to channel 1, which must be open. False when the ring
// cannot be had.
bool startTakeWriter(size_t bytes);
// Interface thread, once no callback can add more: wakes the thread at once,
// which writes out everything the ring still holds and ends. Channel 1 stays
// open.
void finishTakeWriter();

// Audio thread: never blocks, allocates, locks or calls the system.
// Bytes the ring can take now.
size_t takeWriterRoom();
// Copies `bytes` (at most takeWriterRoom()) into the ring.
void handToTakeWriter(const void* data, size_t bytes);
// True once the disk refused a write of this take.
bool takeWriterDiskRefused();
