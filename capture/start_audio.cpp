// SPDX-License-Identifier: MIT
// What PortAudio needs before it starts: the sound libraries kept quiet on
// the terminal.
#include <alsa/asoundlib.h>
#if __has_include(<db.h>)
#include <db.h>
#include <dlfcn.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <string>

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

#ifdef DB_VERSION_MAJOR
namespace {

void ignoreBerkeleyDbReport(const DB_ENV*, const char*, const char*) {}

}  // namespace

// JACK's client library, which PortAudio loads and starts whether or not a
// JACK server runs, opens a Berkeley DB environment for its metadata in
// /dev/shm. Berkeley DB prints what goes wrong there on stderr unless the
// environment has an error callback, and JACK gives it none: a stale
// environment left by another build of the library (Debian 12's, met under
// Debian 13) then puts "BDB1539 Build signature doesn't match environment" on
// the user's terminal. The program defines db_env_create itself, so that the
// dynamic linker binds JACK's call here (an executable's definitions come
// first): this creates the environment with Berkeley DB's own function and
// gives it a callback that drops the text. JACK still gets the error code,
// and reports it through its error function, which silenceAudioLibraries
// quiets. Nothing else in the program uses Berkeley DB, and what the program
// itself writes on stderr is untouched.
extern "C" int db_env_create(DB_ENV** environment, u_int32_t flags) {
    using Create = int (*)(DB_ENV**, u_int32_t);
    static const auto create = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "db_env_create"));
    if (create == nullptr) return ENOSYS;
    const int result = create(environment, flags);
    if (result == 0) (*environment)->set_errcall(*environment, ignoreBerkeleyDbReport);
    return result;
}
#endif

namespace {

// Berkeley DB, which JACK's library opens, is kept quiet by db_env_create above.
void silenceAudioLibraries() {
    snd_lib_error_set_handler(ignoreAlsaReport);
    if (jack_set_error_function != nullptr) jack_set_error_function(ignoreJackReport);
    if (jack_set_info_function != nullptr) jack_set_info_function(ignoreJackReport);
}

}  // namespace

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

void startAudio() {
    silenceAudioLibraries();
    Pa_Initialize();
}

void restartAudio() {
    Pa_Terminate();
    startAudio();
}
