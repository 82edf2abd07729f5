// SPDX-License-Identifier: MIT
#include "app.h"

int main(int argc, char** argv) {
    if (argc > 1) return runCommandLine(argc, argv);
    runOstrelle();
}
