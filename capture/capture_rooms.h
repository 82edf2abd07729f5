// SPDX-License-Identifier: MIT
// What the capture files say to each other and to no one else.
#pragma once

// Back to how start-up finds them: the device table and labels, the take's flags.
void resetDeviceList();
void resetTakeState();
