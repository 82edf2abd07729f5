// SPDX-License-Identifier: MIT
// What PortAudio needs before it starts: the sound libraries kept quiet on
// the terminal.
#include <alsa/asoundlib.h>

#include "capture.h"

// PortAudio loads JACK's client library; these resolve only when it is there.
extern "C" {
__attribute__((weak)) void jack_set_error_function(void (*)(const char*));
__attribute__((weak)) void jack_set_info_function(void (*)(const char*));
}

namespace {

void ignoreAlsaReport(const char*, int, const char*, int, const char*, ...) {}
void ignoreJackReport(const char*) {}

void silenceAudioLibraries() {
    snd_lib_error_set_handler(ignoreAlsaReport);
    if (jack_set_error_function != nullptr) jack_set_error_function(ignoreJackReport);
    if (jack_set_info_function != nullptr) jack_set_info_function(ignoreJackReport);
}

}  // namespace

void startAudio() {
    silenceAudioLibraries();
    Pa_Initialize();
}
