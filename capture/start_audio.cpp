// SPDX-License-Identifier: MIT
// What PortAudio needs before it starts: the sound libraries kept quiet on
// the terminal.
#include <alsa/asoundlib.h>
#include <pthread.h>

#include <cstdlib>
#include <string>

#include "capture.h"
#include "capture_internal.h"
#include "files.h"

// PortAudio loads JACK's client library; these resolve only when it is there.
extern "C" {
__attribute__((weak)) void jack_set_error_function(void (*)(const char*));
__attribute__((weak)) void jack_set_info_function(void (*)(const char*));
}

namespace {

void ignoreAlsaReport(const char*, int, const char*, int, const char*, ...) {}
void ignoreJackReport(const char*) {}

}  // namespace

void startAudio() {
    // ALSA and JACK report through functions the program may choose, for
    // as long as it runs.
    snd_lib_error_set_handler(ignoreAlsaReport);
    if (jack_set_error_function != nullptr) jack_set_error_function(ignoreJackReport);
    if (jack_set_info_function != nullptr) jack_set_info_function(ignoreJackReport);
    // Others print on stderr whatever the program asks. JACK's client
    // library, which PortAudio starts whether or not a JACK server runs,
    // opens a Berkeley DB environment in /dev/shm for its metadata, and
    // Berkeley DB prints what goes wrong there (a stale environment of
    // another build: "BDB1539 Build signature doesn't match environment")
    // with no callback JACK lets a program give it. So stderr goes nowhere
    // while PortAudio starts, which is while no other thread of the program
    // runs: none of its own lines can be lost.
    withoutStandardError([] { Pa_Initialize(); });
}

namespace {

// PipeWire's ALSA plugin adds the stream properties this names to every
// stream it opens.
constexpr const char* pipeWireStreamProperties = "PIPEWIRE_ALSA";

}  // namespace

// Defined from the start, even empty, the variable is only ever replaced
// afterwards, which swaps one pointer in the environment: another thread
// reading the environment meanwhile reads the old value or the new, where
// adding a variable would move the whole environment.
void readyAudioEnvironment() { setenv(pipeWireStreamProperties, "", 0); }

CapturingOutputs::CapturingOutputs(bool wanted) {
    const char* given = std::getenv(pipeWireStreamProperties);
    if (!wanted || given == nullptr) return;
    before_ = given;
    // Whatever the user asked of the plugin stays asked.
    std::string properties = before_;
    const size_t open = properties.find('{');
    if (open == std::string::npos)
        properties = "stream.capture.sink=true " + properties;
    else
        properties.insert(open + 1, " stream.capture.sink=true ");
    changed_ = setenv(pipeWireStreamProperties, properties.c_str(), 1) == 0;
}

CapturingOutputs::~CapturingOutputs() {
    if (changed_) setenv(pipeWireStreamProperties, before_.c_str(), 1);
}

AudioStart::AudioStart() : thread_(startAudio) {
    // A name that top and the benchmarks can find it by.
    pthread_setname_np(thread_.native_handle(), "audio start");
}

AudioStart::~AudioStart() { finish(); }

void AudioStart::finish() {
    if (thread_.joinable()) thread_.join();
}

void restartAudio() {
    Pa_Terminate();
    startAudio();
}
