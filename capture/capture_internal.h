// SPDX-License-Identifier: MIT
// What the capture files share and no other room sees: the resets that
// resetRecorderState gathers, and the signal mask their threads start with.
#pragma once

#include <pthread.h>
#include <signal.h>

// Back to how start-up finds them: the device table and labels, the take's flags.
void resetDeviceList();
void resetTakeState();

// Threads started while one of these lives hold back the termination
// signals, so those always reach a thread that acts on them (the interface
// thread) rather than the audio thread or the take writer, which may sit in
// a read of the device or a write to the disk for long.
class TerminationSignalsHeldBack {
   public:
    TerminationSignalsHeldBack() {
        sigset_t held;
        sigemptyset(&held);
        for (int number : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&held, number);
        pthread_sigmask(SIG_BLOCK, &held, &previous);
    }
    ~TerminationSignalsHeldBack() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
    TerminationSignalsHeldBack(const TerminationSignalsHeldBack&) = delete;
    TerminationSignalsHeldBack& operator=(const TerminationSignalsHeldBack&) = delete;

   private:
    sigset_t previous;
};
