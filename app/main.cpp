// SPDX-License-Identifier: MIT
#include "app.h"
#include "ui.h"

int main(int argc, char** argv) {
    // Before anything else: a logout or Ctrl+C while the program starts waits
    // until it can act as the close box, rather than killing the process.
    holdTerminationSignals();
    if (argc > 1) return runCommandLine(argc, argv);
    runOstrelle();
}
