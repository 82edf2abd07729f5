// SPDX-License-Identifier: MIT
// The recorder application: start-up, the main window with its settings
// phase, the recording loop, and shut-down. Interface thread only.
#pragma once

// The whole program, from start-up to exit; never returns.
[[noreturn]] void runOstrelle();
// The command line: --help, --version, --recover NAME. Returns the exit code.
int runCommandLine(int argc, char** argv);
