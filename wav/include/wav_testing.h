// SPDX-License-Identifier: MIT
// What tests reach in the WAV export beyond its contract.
#pragma once

#include <cstdint>

// The data size above which the export writes RF64, lowered so that a take of
// a few seconds goes that way; largestRiffDataBytes puts it back.
void setRf64ThresholdForTesting(int64_t bytes);
