// SPDX-License-Identifier: MIT
// The desktop's sound server as it changes, through libpulse, which speaks to
// PulseAudio and to PipeWire's PulseAudio server alike. Its threaded main
// loop runs every call on a thread of its own, which sleeps until the server
// says something (or, while no server answers, until it looks for one
// again): the interface thread only ever copies what that thread last
// published, under a lock held for the copy.
#include <pulse/pulseaudio.h>

#include <mutex>

#include "capture.h"
#include "capture_internal.h"
#include "capture_testing.h"

namespace {

// A server that went away, or never answered, is looked for again this
// often: a desktop's server may start after the program.
constexpr pa_usec_t reconnectEvery = PA_USEC_PER_SEC;

// What the desktop calls a source; its name where the server gives no words.
std::string describe(const pa_source_info& info) {
    const char* description = info.description != nullptr && *info.description != '\0' ? info.description : info.name;
    return description != nullptr ? description : "";
}

std::string property(pa_proplist* properties, const char* key) {
    const char* value = properties != nullptr ? pa_proplist_gets(properties, key) : nullptr;
    return value != nullptr ? value : "";
}

}  // namespace

struct SoundServerAccess {
    static SoundServer::State& state(SoundServer& server) { return *server.state_; }
};

struct SoundServer::State {
    pa_threaded_mainloop* loop = nullptr;

    // Guarded by `mutex`: what the interface thread reads.
    mutable std::mutex mutex;
    Sources published;
    std::function<void()> changed;
    std::vector<std::shared_ptr<SourceWatch>> watches;

    // The server's thread only (or any thread holding the loop's lock).
    pa_context* context = nullptr;
    pa_time_event* reconnect = nullptr;
    // A refused operation asked for the connection to be started again.
    pa_time_event* restart = nullptr;
    // A fetch of the whole list under way, and whether another was asked
    // for meanwhile: one answer at a time, the newest one last.
    bool fetching = false;
    bool fetchAgain = false;
    std::string defaultSource;
    std::vector<ServerSource> fetched;

    void connect();
    void ready();
    void disconnected();
    void scheduleReconnect();
    // Every operation is checked: one the server refuses leaves the
    // connection in doubt, so it is started again rather than left waiting.
    void started(pa_operation* operation);
    void fetch();
    void publish(const std::vector<ServerSource>& sources);
    void sourceRemoved(uint32_t index);
    void followOutput(uint32_t index);
    static void outputRead(pa_context*, const pa_source_output_info* info, int last, void* data);
    void outputReads(const std::string& mark, uint32_t source);
    void cardsChanged();
    void notify();
};

void SoundServer::State::notify() {
    std::function<void()> call;
    {
        std::lock_guard lock(mutex);
        call = changed;
    }
    if (call) call();
}

void SoundServer::State::started(pa_operation* operation) {
    if (operation != nullptr) {
        pa_operation_unref(operation);
        return;
    }
    // Not from inside the caller, which may still hold the context.
    if (restart != nullptr || context == nullptr) return;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
    timeval now{};
    pa_gettimeofday(&now);
    restart = api->time_new(
        api, &now,
        [](pa_mainloop_api* api, pa_time_event* event, const timeval*, void* data) {
            auto& state = *static_cast<State*>(data);
            api->time_free(event);
            state.restart = nullptr;
            state.disconnected();
        },
        this);
}

void SoundServer::State::publish(const std::vector<ServerSource>& sources) {
    bool different = false;
    {
        std::lock_guard lock(mutex);
        different = published.sources != sources;
        published.sources = sources;
        for (const std::shared_ptr<SourceWatch>& watch : watches) watch->follow(sources);
    }
    if (different) notify();
}

void SoundServer::State::sourceRemoved(uint32_t index) {
    std::lock_guard lock(mutex);
    for (const std::shared_ptr<SourceWatch>& watch : watches) watch->removed(index, published.sources);
}

void SoundServer::State::outputReads(const std::string& mark, uint32_t source) {
    std::lock_guard lock(mutex);
    for (const std::shared_ptr<SourceWatch>& watch : watches) watch->streamReads(mark, source, published.sources);
}

void SoundServer::State::outputRead(pa_context*, const pa_source_output_info* info, int last, void* data) {
    if (last != 0 || info == nullptr) return;
    // PipeWire lists a stream before it links it to a source.
    const std::string mark = property(info->proplist, streamMarkKey);
    if (!mark.empty() && info->source != PA_INVALID_INDEX) static_cast<State*>(data)->outputReads(mark, info->source);
}

void SoundServer::State::followOutput(uint32_t index) {
    started(pa_context_get_source_output_info(context, index, outputRead, this));
}

void SoundServer::State::cardsChanged() {
    {
        std::lock_guard lock(mutex);
        ++published.cardChanges;
    }
    notify();
}

void SoundServer::State::fetch() {
    if (context == nullptr) return;
    if (fetching) {
        fetchAgain = true;
        return;
    }
    fetching = true;
    fetchAgain = false;
    fetched.clear();
    // The server's defaults first, then its sources, so that the list is
    // published once, whole, with the default marked.
    started(pa_context_get_server_info(
        context,
        [](pa_context* context, const pa_server_info* info, void* data) {
            auto& state = *static_cast<State*>(data);
            state.defaultSource =
                info != nullptr && info->default_source_name != nullptr ? info->default_source_name : "";
            state.started(pa_context_get_source_info_list(
                context,
                [](pa_context*, const pa_source_info* info, int last, void* data) {
                    auto& state = *static_cast<State*>(data);
                    if (last == 0 && info != nullptr) {
                        const std::string name = info->name != nullptr ? info->name : "";
                        state.fetched.push_back(
                            {name, info->index, describe(*info),
                             info->monitor_of_sink_name != nullptr ? info->monitor_of_sink_name : "",
                             property(info->proplist, "object.serial"), !name.empty() && state.defaultSource == name});
                        return;
                    }
                    state.fetching = false;
                    if (last > 0) state.publish(state.fetched);
                    if (state.fetchAgain) state.fetch();
                },
                &state));
        },
        this));
}

void SoundServer::State::ready() {
    {
        std::lock_guard lock(mutex);
        ++published.arrivals;
        published.connected = true;
    }
    notify();
    pa_context_set_subscribe_callback(
        context,
        [](pa_context*, pa_subscription_event_type_t event, uint32_t index, void* data) {
            auto& state = *static_cast<State*>(data);
            const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
            const auto type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
            if (facility == PA_SUBSCRIPTION_EVENT_CARD) {
                if (type != PA_SUBSCRIPTION_EVENT_CHANGE) state.cardsChanged();
                return;
            }
            if (facility == PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT) {
                if (type != PA_SUBSCRIPTION_EVENT_REMOVE) state.followOutput(index);
                return;
            }
            if (facility == PA_SUBSCRIPTION_EVENT_SOURCE && type == PA_SUBSCRIPTION_EVENT_REMOVE)
                state.sourceRemoved(index);
            // A source's state changes whenever a stream starts or stops on
            // it; the list is published only when what it shows changed.
            state.fetch();
        },
        this);
    started(pa_context_subscribe(
        context,
        static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER |
                                            PA_SUBSCRIPTION_MASK_CARD | PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT),
        nullptr, nullptr));
    // Streams opened before the connection was.
    started(pa_context_get_source_output_info_list(context, outputRead, this));
    fetch();
}

void SoundServer::State::connect() {
    context = pa_context_new(pa_threaded_mainloop_get_api(loop), "Ostrelle");
    if (context == nullptr) {
        scheduleReconnect();
        return;
    }
    pa_context_set_state_callback(
        context,
        [](pa_context* context, void* data) {
            auto& state = *static_cast<State*>(data);
            switch (pa_context_get_state(context)) {
                case PA_CONTEXT_READY: state.ready(); break;
                case PA_CONTEXT_FAILED:
                case PA_CONTEXT_TERMINATED: state.disconnected(); break;
                default: break;
            }
        },
        this);
    // Never starts a server of its own: the desktop's is the one to list.
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) disconnected();
}

// No server, or one that went away: no sources, until one answers.
void SoundServer::State::disconnected() {
    if (restart != nullptr) {
        pa_threaded_mainloop_get_api(loop)->time_free(restart);
        restart = nullptr;
    }
    if (context != nullptr) {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }
    fetching = false;
    fetchAgain = false;
    bool different = false;
    {
        std::lock_guard lock(mutex);
        // The server's own going away is told by the stream it ends.
        for (const std::shared_ptr<SourceWatch>& watch : watches) watch->serverGone();
        different = published.connected || !published.sources.empty();
        published.sources.clear();
        published.connected = false;
    }
    if (different) notify();
    scheduleReconnect();
}

void SoundServer::State::scheduleReconnect() {
    if (reconnect != nullptr) return;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
    timeval due{};
    pa_timeval_add(pa_gettimeofday(&due), reconnectEvery);
    reconnect = api->time_new(
        api, &due,
        [](pa_mainloop_api* api, pa_time_event* event, const timeval*, void* data) {
            auto& state = *static_cast<State*>(data);
            api->time_free(event);
            state.reconnect = nullptr;
            state.connect();
        },
        this);
}

SoundServer::SoundServer() : state_(std::make_unique<State>()) {
    State& state = *state_;
    state.loop = pa_threaded_mainloop_new();
    if (state.loop == nullptr) return;
    pa_threaded_mainloop_set_name(state.loop, "sound server");
    pa_threaded_mainloop_lock(state.loop);
    state.connect();
    pa_threaded_mainloop_unlock(state.loop);
    pa_threaded_mainloop_start(state.loop);
}

SoundServer::~SoundServer() { end(); }

void SoundServer::end() {
    State& state = *state_;
    if (state.loop == nullptr) return;
    // Stopping the loop wakes its thread, whatever the server does.
    pa_threaded_mainloop_stop(state.loop);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(state.loop);
    if (state.reconnect != nullptr) api->time_free(state.reconnect);
    if (state.restart != nullptr) api->time_free(state.restart);
    if (state.context != nullptr) {
        pa_context_set_state_callback(state.context, nullptr, nullptr);
        pa_context_set_subscribe_callback(state.context, nullptr, nullptr);
        pa_context_disconnect(state.context);
        pa_context_unref(state.context);
    }
    pa_threaded_mainloop_free(state.loop);
    state.loop = nullptr;
    state.context = nullptr;
    state.reconnect = nullptr;
    state.restart = nullptr;
}

void SoundServer::whenChanged(std::function<void()> changed) {
    std::lock_guard lock(state_->mutex);
    state_->changed = std::move(changed);
}

SoundServer::Sources SoundServer::sources() const {
    std::lock_guard lock(state_->mutex);
    return state_->published;
}

std::shared_ptr<SourceWatch> SoundServer::watch(const ServerSource& source) {
    auto watch = std::make_shared<SourceWatch>(source);
    std::lock_guard lock(state_->mutex);
    watch->begin(state_->published.sources);
    state_->watches.push_back(watch);
    return watch;
}

void announceCardChangeForTesting(SoundServer& server) { SoundServerAccess::state(server).cardsChanged(); }
