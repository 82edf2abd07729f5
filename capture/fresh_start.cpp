// SPDX-License-Identifier: MIT
// What a fresh start of the recorder needs before PortAudio starts: every
// record and list back to how start-up finds them, and the sound libraries
// kept quiet on the terminal.
#include <alsa/asoundlib.h>

#include "capture.h"
#include "capture_internal.h"

// PortAudio loads JACK's client library; these resolve only when it is there.
extern "C" {
__attribute__((weak)) void jack_set_error_function(void (*)(const char*));
__attribute__((weak)) void jack_set_info_function(void (*)(const char*));
}

namespace {

void ignoreAlsaReport(const char*, int, const char*, int, const char*, ...) {}
void ignoreJackReport(const char*) {}

}  // namespace

void resetRecorderState() {
    resetRecords();
    resetDeviceList();
    resetTakeState();
}

void silenceAudioLibraries() {
    snd_lib_error_set_handler(ignoreAlsaReport);
    if (jack_set_error_function != nullptr) jack_set_error_function(ignoreJackReport);
    if (jack_set_info_function != nullptr) jack_set_info_function(ignoreJackReport);
}
