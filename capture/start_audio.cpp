// SPDX-License-Identifier: MIT
// What PortAudio needs before it starts: the sound libraries kept quiet on
// the terminal.
#include <alsa/asoundlib.h>
#include <pthread.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>

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
    // while PortAudio starts. The program's own lines wait for that
    // (AudioStart::finish()); what Qt's threads print meanwhile is lost.
    withoutStandardError([] { Pa_Initialize(); });
}

namespace {

// PipeWire's ALSA plugin adds the stream properties this names to every
// stream it opens; libpulse, which PulseAudio's plugin speaks through, adds
// those this names to every connection, and so to its streams.
constexpr const char* pipeWireStreamProperties = "PIPEWIRE_ALSA";
constexpr const char* pulseProperties = "PULSE_PROP";

// Replaces the variable's value with `value`; true when it did.
bool replace(const char* name, const std::string& value) { return setenv(name, value.c_str(), 1) == 0; }

}  // namespace

// Defined from the start, even empty, the variables are only ever replaced
// afterwards, which swaps one pointer in the environment: another thread
// reading the environment meanwhile reads the old value or the new, where
// adding a variable would move the whole environment.
void readyAudioEnvironment() {
    setenv(pipeWireStreamProperties, "", 0);
    setenv(pulseProperties, "", 0);
}

MarkedStreams::MarkedStreams(const std::string& mark, bool capturesOutput) {
    // Whatever the user asked of the plugins stays asked.
    const std::string property = std::string(streamMarkKey) + "=\"" + mark + "\"";
    if (const char* given = std::getenv(pipeWireStreamProperties); given != nullptr) {
        pipeWireBefore_ = given;
        std::string properties = pipeWireBefore_;
        const std::string added = (capturesOutput ? "stream.capture.sink=true " : "") + property + " ";
        const size_t open = properties.find('{');
        if (open == std::string::npos)
            properties = added + properties;
        else
            properties.insert(open + 1, " " + added);
        pipeWireChanged_ = replace(pipeWireStreamProperties, properties);
    }
    if (const char* given = std::getenv(pulseProperties); given != nullptr) {
        pulseBefore_ = given;
        pulseChanged_ = replace(pulseProperties, pulseBefore_.empty() ? property : pulseBefore_ + " " + property);
    }
}

MarkedStreams::~MarkedStreams() {
    if (pipeWireChanged_) replace(pipeWireStreamProperties, pipeWireBefore_);
    if (pulseChanged_) replace(pulseProperties, pulseBefore_);
}

struct AudioStart::State {
    mutable std::mutex mutex;
    mutable std::condition_variable settled;
    // A start is under way, and another was asked for meanwhile.
    bool running = false;
    bool again = false;
    // PortAudio has started at least once.
    bool started = false;
    std::atomic<int64_t> finished{0};
    std::function<void()> whenFinished;

    bool ready() const { return started && !running; }
};

namespace {

// The start's thread: it holds the state, which outlives an AudioStart that
// left it to a hung server.
void runStarts(const std::shared_ptr<AudioStart::State>& state, bool anew) {
    std::function<void()> finished;
    for (;;) {
        // No stream is open: PortAudio may be ended and its devices listed anew.
        if (anew) Pa_Terminate();
        startAudio();
        std::lock_guard lock(state->mutex);
        state->started = true;
        anew = std::exchange(state->again, false);
        if (anew) continue;
        state->running = false;
        state->finished.fetch_add(1, std::memory_order_release);
        finished = state->whenFinished;
        break;
    }
    state->settled.notify_all();
    if (finished) finished();
}

// Each start's thread is left to end by itself: one a hung server holds may
// outlive the run, and the state it shares lives as long as it does.
void startThread(const std::shared_ptr<AudioStart::State>& state, bool anew) {
    std::thread start(runStarts, state, anew);
    // A name that top and the benchmarks can find it by.
    pthread_setname_np(start.native_handle(), "audio start");
    start.detach();
}

}  // namespace

AudioStart::AudioStart() : state_(std::make_shared<State>()) {
    std::lock_guard lock(state_->mutex);
    state_->running = true;
    startThread(state_, false);
}

AudioStart::AudioStart(AlreadyStarted) : state_(std::make_shared<State>()) { state_->started = true; }

AudioStart::~AudioStart() = default;

void AudioStart::restart() {
    std::lock_guard lock(state_->mutex);
    if (state_->running) {
        state_->again = true;
        return;
    }
    state_->running = true;
    startThread(state_, true);
}

bool AudioStart::ready() const {
    std::lock_guard lock(state_->mutex);
    return state_->ready();
}

int64_t AudioStart::startsFinished() const { return state_->finished.load(std::memory_order_acquire); }

void AudioStart::whenFinished(std::function<void()> finished) {
    std::lock_guard lock(state_->mutex);
    state_->whenFinished = std::move(finished);
}

bool AudioStart::awaitReady(const std::function<bool()>& givingUp) const {
    for (;;) {
        {
            std::unique_lock lock(state_->mutex);
            if (state_->settled.wait_for(lock, std::chrono::milliseconds(5), [this] { return state_->ready(); }))
                return true;
        }
        if (givingUp()) return false;
    }
}

void AudioStart::finish() {
    std::unique_lock lock(state_->mutex);
    state_->settled.wait(lock, [this] { return !state_->running; });
}
