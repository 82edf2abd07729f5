// SPDX-License-Identifier: MIT
// The least a shown window of this program can cost: a window of the
// recorder's size, made by the same window layer, with a meter that is never
// fed, woken at the meter's pace by a timer that does nothing. Whatever it
// takes is the machine's price for waking a window twenty times a second;
// what the recorder takes beyond it and the bare stream is its own code's.
// Usage: bench_shown_window SECONDS
#include <cstdio>
#include <cstdlib>

#include "app_testing.h"
#include "ui.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SECONDS\n", argv[0]);
        return 2;
    }
    constexpr int window = 1, meter = 2, redraw = 1, end = 2;
    startLayer();
    if (openWindow(window, 150, 150, 440, 340, "Shown window", styleFixedWindow) == 0) return 1;
    setWindowColor(window, rgb(0, 0, 0));
    createMeter(meter, 26, 314, 388, 22, "Input level");
    addShownWindowTimer(window, redraw, MeterTimerPeriod);
    addWindowTimer(window, end, std::atoi(argv[1]) * 1000);
    std::printf("shown\n");
    std::fflush(stdout);
    for (;;) {
        const int code = waitWindowEvent();
        if (code == eventCloseRequested || (code == eventTimerTick && eventTimer() == end)) break;
    }
    endLayer();
}
