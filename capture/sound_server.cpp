// SPDX-License-Identifier: MIT
// The desktop's sound server as it changes, through libpulse, which speaks to
// PulseAudio and to PipeWire's PulseAudio server alike. Its threaded main
// loop runs every call on a thread of its own, which sleeps until the server
// says something: the interface thread only ever copies what that thread
// last published, under a lock held for the copy.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "capture.h"
#include "capture_internal.h"
#include "capture_testing.h"

namespace {

// A server that went away is looked for again this often, as a stream that
// went away is opened again.
constexpr pa_usec_t reconnectEvery = 2 * PA_USEC_PER_SEC;

}  // namespace

struct SoundServerAccess {
    static SoundServer::State& state(SoundServer& server) { return *server.state_; }
};

struct SoundServer::State {
    pa_threaded_mainloop* loop = nullptr;

    // Guarded by `mutex`: what the interface thread reads.
    mutable std::mutex mutex;
    mutable std::condition_variable answeredChanged;
    Sources published;
    // The server's numbers for the published sources, which its removals name.
    std::vector<uint32_t> publishedIndexes;
    std::function<void()> changed;
    std::vector<std::shared_ptr<SourceWatch>> watches;

    // The server's thread only (or any thread holding the loop's lock).
    pa_context* context = nullptr;
    bool everReady = false;
    pa_time_event* reconnect = nullptr;
    // A fetch of the whole list under way, and whether another was asked
    // for meanwhile: one answer at a time, the newest one last.
    bool fetching = false;
    bool fetchAgain = false;
    std::string defaultSource;
    std::vector<ServerSource> fetched;
    std::vector<uint32_t> fetchedIndexes;

    void connect();
    void disconnected();
    void fetch();
    void publish(const std::vector<ServerSource>& sources, const std::vector<uint32_t>& indexes, bool answered);
    void sourceRemoved(uint32_t index);
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

// Each watched source is told whether the server lists it now. One that was
// listed and is not any more went away: its stream reads nothing more.
void SoundServer::State::publish(const std::vector<ServerSource>& sources, const std::vector<uint32_t>& indexes,
                                 bool answered) {
    bool different = false;
    {
        std::lock_guard lock(mutex);
        different = published.sources != sources || published.answered != answered;
        published.sources = sources;
        published.answered = answered;
        publishedIndexes = indexes;
        for (const std::shared_ptr<SourceWatch>& watch : watches) {
            const auto found = std::find_if(sources.begin(), sources.end(),
                                            [&](const ServerSource& source) { return source.name == watch->name; });
            const bool listed = found != sources.end();
            if (!listed && watch->present.load(std::memory_order_relaxed))
                watch->losses.fetch_add(1, std::memory_order_seq_cst);
            watch->index = listed ? indexes[static_cast<size_t>(found - sources.begin())] : PA_INVALID_INDEX;
            watch->present.store(listed, std::memory_order_seq_cst);
        }
    }
    answeredChanged.notify_all();
    if (different) notify();
}

void SoundServer::State::sourceRemoved(uint32_t index) {
    std::lock_guard lock(mutex);
    for (const std::shared_ptr<SourceWatch>& watch : watches) {
        if (watch->index != index || !watch->present.load(std::memory_order_relaxed)) continue;
        // At once, before the list is fetched again: the server has already
        // moved the source's streams to another source, and what that one
        // delivers must not reach the take.
        watch->losses.fetch_add(1, std::memory_order_seq_cst);
        watch->present.store(false, std::memory_order_seq_cst);
    }
}

void SoundServer::State::cardsChanged() {
    {
        std::lock_guard lock(mutex);
        ++published.cardChanges;
    }
    notify();
}

void SoundServer::State::fetch() {
    if (fetching) {
        fetchAgain = true;
        return;
    }
    fetching = true;
    fetchAgain = false;
    fetched.clear();
    fetchedIndexes.clear();
    // The server's defaults first, then its sources, so that the list is
    // published once, whole, with the default marked.
    pa_operation* operation = pa_context_get_server_info(
        context,
        [](pa_context* context, const pa_server_info* info, void* data) {
            auto& state = *static_cast<State*>(data);
            state.defaultSource =
                info != nullptr && info->default_source_name != nullptr ? info->default_source_name : "";
            pa_operation* sources = pa_context_get_source_info_list(
                context,
                [](pa_context*, const pa_source_info* info, int last, void* data) {
                    auto& state = *static_cast<State*>(data);
                    if (last == 0 && info != nullptr) {
                        state.fetched.push_back(
                            {info->name != nullptr ? info->name : "",
                             info->description != nullptr ? info->description : "",
                             info->monitor_of_sink_name != nullptr ? info->monitor_of_sink_name : "",
                             info->name != nullptr && state.defaultSource == info->name});
                        state.fetchedIndexes.push_back(info->index);
                        return;
                    }
                    state.fetching = false;
                    if (last > 0) state.publish(state.fetched, state.fetchedIndexes, true);
                    if (state.fetchAgain) state.fetch();
                },
                &state);
            if (sources != nullptr) pa_operation_unref(sources);
        },
        this);
    if (operation != nullptr) pa_operation_unref(operation);
}

void SoundServer::State::connect() {
    context = pa_context_new(pa_threaded_mainloop_get_api(loop), "Ostrelle");
    if (context == nullptr) return;
    pa_context_set_state_callback(
        context,
        [](pa_context* context, void* data) {
            auto& state = *static_cast<State*>(data);
            switch (pa_context_get_state(context)) {
                case PA_CONTEXT_READY:
                    state.everReady = true;
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
                            if (facility == PA_SUBSCRIPTION_EVENT_SOURCE && type == PA_SUBSCRIPTION_EVENT_REMOVE)
                                state.sourceRemoved(index);
                            // A source's state changes whenever a stream
                            // starts or stops on it; the list is published
                            // only when what it shows changed.
                            state.fetch();
                        },
                        &state);
                    pa_operation_unref(pa_context_subscribe(
                        context,
                        static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER |
                                                            PA_SUBSCRIPTION_MASK_CARD),
                        nullptr, nullptr));
                    state.fetch();
                    break;
                case PA_CONTEXT_FAILED:
                case PA_CONTEXT_TERMINATED: state.disconnected(); break;
                default: break;
            }
        },
        this);
    // Never starts a server of its own: the desktop's is the one to list.
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) disconnected();
}

// No server, or one that went away: no sources. One that had answered is
// looked for again; where none ever answered, nothing wakes for it.
void SoundServer::State::disconnected() {
    if (context != nullptr) {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }
    fetching = false;
    fetchAgain = false;
    {
        std::lock_guard lock(mutex);
        // The server's own going away is told by the stream it ends; the
        // sources are not known to be gone until it answers again.
        for (const std::shared_ptr<SourceWatch>& watch : watches) {
            watch->present.store(false, std::memory_order_seq_cst);
            watch->index = PA_INVALID_INDEX;
        }
        published.sources.clear();
        publishedIndexes.clear();
        published.answered = true;
    }
    answeredChanged.notify_all();
    notify();
    if (!everReady || reconnect != nullptr) return;
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
    if (state.loop == nullptr) {
        state.published.answered = true;
        return;
    }
    pa_threaded_mainloop_set_name(state.loop, "sound server");
    pa_threaded_mainloop_lock(state.loop);
    state.connect();
    pa_threaded_mainloop_unlock(state.loop);
    if (pa_threaded_mainloop_start(state.loop) < 0) {
        std::lock_guard lock(state.mutex);
        state.published.answered = true;
    }
}

SoundServer::~SoundServer() { end(); }

void SoundServer::end() {
    State& state = *state_;
    if (state.loop == nullptr) return;
    // Stopping the loop wakes its thread, whatever the server does.
    pa_threaded_mainloop_stop(state.loop);
    if (state.reconnect != nullptr) pa_threaded_mainloop_get_api(state.loop)->time_free(state.reconnect);
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
}

void SoundServer::whenChanged(std::function<void()> changed) {
    std::lock_guard lock(state_->mutex);
    state_->changed = std::move(changed);
}

SoundServer::Sources SoundServer::sources() const {
    std::lock_guard lock(state_->mutex);
    return state_->published;
}

bool SoundServer::awaitSources(std::chrono::milliseconds patience) const {
    std::unique_lock lock(state_->mutex);
    return state_->answeredChanged.wait_for(lock, patience, [this] { return state_->published.answered; });
}

std::shared_ptr<SourceWatch> SoundServer::watch(const ServerSource& source) {
    auto watch = std::make_shared<SourceWatch>();
    watch->name = source.name;
    std::lock_guard lock(state_->mutex);
    const std::vector<ServerSource>& listed = state_->published.sources;
    const auto found = std::find_if(listed.begin(), listed.end(),
                                    [&](const ServerSource& other) { return other.name == source.name; });
    if (found != listed.end()) {
        watch->present = true;
        watch->index = state_->publishedIndexes[static_cast<size_t>(found - listed.begin())];
    }
    state_->watches.push_back(watch);
    return watch;
}

void announceCardChangeForTesting(SoundServer& server) { SoundServerAccess::state(server).cardsChanged(); }
