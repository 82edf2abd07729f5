// SPDX-License-Identifier: MIT
// What the capture files share and no other room sees: the resets that
// resetRecorderState gathers.
#pragma once

// Back to how start-up finds them: the device table and labels, the take's flags.
void resetDeviceList();
void resetTakeState();
