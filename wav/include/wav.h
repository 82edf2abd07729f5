// SPDX-License-Identifier: MIT
// Saving the last take as a RIFF/WAVE file.
//
// Runs on the interface thread from start to end; no events are handled
// while it copies.
#pragma once

#include <cstdint>

// The most data bytes the 46-byte RIFF header can describe: its RIFF size
// field is 32-bit and counts 38 bytes more than the data. Larger takes are
// saved as RF64, whose header is 82 bytes.
constexpr int64_t largestRiffDataBytes = 4294967295LL - 38;

// The Save action: asks for a path, then writes the header (RIFF, or RF64
// past largestRiffDataBytes) and the take from "pelvar.temp" behind it, replacing a file of that name only once
// the new one is complete and on disk. True when the whole take was saved;
// then all three buttons stay disabled. Otherwise Record and Save are
// enabled again, after a box that tells what happened unless the user
// cancelled or declined.
bool exportWav();
