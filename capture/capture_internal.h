// SPDX-License-Identifier: MIT
// What the capture files share and no other room sees: the engine's core,
// which the callback reaches through PortAudio's userData.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capture.h"
#include "input_meter.h"
#include "ring_drain.h"

// One source of the sound server that a capture reads, as the server's
// thread sees it come and go, and sees where the capture's streams read.
struct SourceWatch {
    // Guarded by `guard`: written by the server's thread, read by the
    // stream opener. The source as listed, and whether its name alone would
    // not find it (another listed source shares it, or it is a number, which
    // a server reads as another source's number); the mark that the streams
    // of the opening under way carry, and what the server last gave such a
    // stream in this one's place.
    mutable std::mutex guard;
    ServerSource source;
    bool nameAmbiguous = false;
    std::string mark;
    std::string givenInstead;
    // The server's numbers for the sources listed when it went away: one
    // that comes back is a new one of its name.
    std::vector<uint32_t> listedAtLoss;

    // Written by the server's thread: whether the server lists it now, how
    // often it went away since it was first watched, how often a stream of
    // the capture's was found reading another source (the server moved it
    // there, or opened it there), and the latest opening whose stream was
    // found reading this one.
    std::atomic<bool> present{false};
    std::atomic<uint32_t> losses{0};
    std::atomic<uint32_t> diversions{0};
    std::atomic<uint64_t> confirmed{0};

    // The server's thread, each under the server's lock, with what it lists.
    explicit SourceWatch(ServerSource chosen) : source(std::move(chosen)) {}
    // Watching begins.
    void begin(const std::vector<ServerSource>& listed);
    // A new list; the server's word that the source went; the server gone.
    void follow(const std::vector<ServerSource>& listed);
    void removed(uint32_t index, const std::vector<ServerSource>& listed);
    void serverGone();
    // A stream that carries `streamMark` reads the source numbered `read`.
    void streamReads(const std::string& streamMark, uint32_t read, const std::vector<ServerSource>& listed);

   private:
    void noteListedAtLoss(const std::vector<ServerSource>& listed);
};

// The stream property that marks a capture's stream, so that the server's
// thread can tell which of the server's streams is it.
constexpr const char* streamMarkKey = "ostrelle.stream";

// The ALSA device string that records a source of the sound server through
// the ALSA plugin installed for it: PulseAudio's "pulse" (which PipeWire's
// PulseAudio server answers too) where PortAudio lists it, by its name, or
// by its number where the name alone is ambiguous; else PipeWire's own
// "pipewire", by its name, or its serial where that is ambiguous. Empty with
// neither plugin. Only while PortAudio may be called.
std::string serverDeviceString(const ServerSource& source, bool nameAmbiguous);

// While it lives, the streams the ALSA plugins open carry `mark` (through
// the environment, which readyAudioEnvironment() made ready; only the stream
// opener opens streams), and, where `capturesOutput`, PipeWire's plugin
// records the output its device string names rather than a source: how
// that plugin records a monitor.
class MarkedStreams {
   public:
    MarkedStreams(const std::string& mark, bool capturesOutput);
    ~MarkedStreams();
    MarkedStreams(const MarkedStreams&) = delete;
    MarkedStreams& operator=(const MarkedStreams&) = delete;

   private:
    std::string pipeWireBefore_, pulseBefore_;
    bool pipeWireChanged_ = false, pulseChanged_ = false;
};

struct CaptureEngine::Core {
    using Clock = std::chrono::steady_clock;
    using Waiting = CaptureEngine::Waiting;

    // Once a stream has delivered, a second without a buffer means that its
    // device or sound server stopped. But only a second in which the program
    // ran: after the whole process was stopped (Ctrl+Z, a paused virtual
    // machine, a suspend), the interface thread may look before the audio
    // thread has had its turn. So a stream is only suspected after this much
    // silence, and judged once the audio thread has had its chance.
    static constexpr Clock::duration longestBufferGap = std::chrono::seconds(1);
    static constexpr Clock::duration silenceSuspected = std::chrono::milliseconds(750);

    Core(const CaptureSettings& settings, const CaptureFormat& format) : settings(settings), format(format) {}

    // The caller's records, which outlive the engine but for a stream left
    // behind (leftBehind).
    const CaptureSettings& settings;
    const CaptureFormat& format;

    // The running stream, or null. The interface thread's, but while an
    // opening runs, when it is the stream opener's.
    PaStream* stream = nullptr;
    // Written by the interface thread, read by the audio thread. Raised only
    // after the take's file and counter are ready, and sequentially
    // consistent, so that a take can tell when the callback has left it.
    std::atomic<bool> armed{false};
    // Advanced by the audio thread while a take is armed; set by the
    // interface thread before arming and after the take ended.
    std::atomic<int32_t> framesCaptured{0};
    // Written by the interface thread, read by the audio thread: the open
    // take is held, and buffers go to the meter alone.
    std::atomic<bool> paused{false};
    // Interface thread: the frames of the take before the one running, which
    // stays on disk until the running one has its first frame there.
    int32_t earlierTakeFrames = 0;

    RingDrain drain{TempCaptureFile};
    std::atomic<int32_t> takeFrameLimit{largestTakeFrames};
    std::atomic<bool> takeFull{false};
    std::atomic<int64_t> overflowCount{0};
    std::atomic<int64_t> deliveredCount{0};
    std::atomic<int64_t> lostFrames{0};
    // 1 while a callback runs. With `armed` both are sequentially consistent,
    // so either a callback sees the take disarmed or endTake sees it inside.
    std::atomic<int> callbacksInside{0};
    // When the running stream last delivered, on the steady clock; 0 until
    // its first buffer. Written by the audio thread, read by the interface
    // thread.
    std::atomic<Clock::rep> lastBufferAt{0};
    Clock::time_point streamOpenedAt;
    // Interface thread, during a take: the last buffer of a stream found
    // silent at an earlier look, and when it was found so (0: none), and
    // whether the stream was judged stopped.
    struct Silence {
        Clock::rep last = 0;
        Clock::time_point foundAt{};
        bool judgedStopped = false;
    } silence;
    // A gap in the buffers during a take (the program stopped, the server
    // stalled), watched while the server hands over what it kept meanwhile:
    // the last buffer before it (0: none watched), when the frames due since
    // were last caught up with by more than the tolerance, the frames
    // delivered until the gap, and the fewest frames the buffers since have
    // been short of. Touched only by the callback while a take is armed and
    // not paused, and by the interface thread while it is not.
    struct Gap {
        Clock::rep from = 0;
        Clock::rep caughtUpAt = 0;
        int64_t deliveredBefore = 0;
        int64_t leastShort = 0;
    } gap;
    // A stream closeStream left running because its sound server hangs, or
    // an opening it left under way: PortAudio is then left alone.
    bool streamLeftHung = false;
    // Raised as such a stream is left: the caller's records may go before
    // it does, so that its callbacks, should the server wake, touch nothing
    // but the core, which then lives as long as the stream.
    std::atomic<bool> leftBehind{false};

    // The stream opener: one opening at a time, on a thread of its own. The
    // interface thread starts it, and takes its stream once `outcome`,
    // released last, is no longer pending.
    struct Opening {
        std::thread thread;
        std::atomic<StreamOpening> outcome{StreamOpening::unableToStream};
        PaStream* stream = nullptr;
        // Set by the interface thread when the run ends: whatever the opener
        // is waiting for, it then opens nothing more.
        std::atomic<bool> abandoned{false};
        // Interface thread: when the latest opening began, and the time of
        // the last buffer of a stream found silent while no take ran (-1:
        // no stream; `notSilent`: none was found silent).
        Clock::time_point began{};
        static constexpr Clock::rep notSilent = INT64_MIN;
        Clock::rep silentAt = notSilent;
    } opening;
    std::function<void()> openingSettled;
    // What starts PortAudio, when the caller gave one.
    const AudioStart* audioStart = nullptr;
    // The sound server's source the user chose, followed from ACCEPT on;
    // null for a device of PortAudio's own list.
    std::shared_ptr<SourceWatch> source;
    // The source's losses and the streams found elsewhere when the running
    // stream was opened, and the number of its opening, whose streams carry
    // it as their mark. Once the source went away, the server moves the
    // stream to another source; the server, or whoever uses its settings,
    // may also move it, or open it on another source in the first place.
    // None of that other source's audio reaches the take or the meter.
    // Written by the stream opener before the stream starts, read by the
    // audio thread.
    std::atomic<uint32_t> sourceLossesAtOpening{0};
    std::atomic<uint32_t> diversionsAtOpening{0};
    std::atomic<uint64_t> openingNumber{0};
    // True when the running stream's source went away since it was opened.
    // Any thread; never blocks.
    bool sourceLost() const {
        return source != nullptr &&
               source->losses.load(std::memory_order_seq_cst) != sourceLossesAtOpening.load(std::memory_order_relaxed);
    }
    // True when the running stream was found reading another source since
    // it was opened. Any thread; never blocks.
    bool sourceDiverted() const {
        return source != nullptr && source->diversions.load(std::memory_order_seq_cst) !=
                                        diversionsAtOpening.load(std::memory_order_relaxed);
    }
    // True until the server has said that the running stream reads the
    // chosen source: until then nothing of it reaches the take or the meter.
    bool sourceUnconfirmed() const {
        return source != nullptr &&
               source->confirmed.load(std::memory_order_seq_cst) != openingNumber.load(std::memory_order_relaxed);
    }
    // The level meter's figures, from every buffer armed or not.
    InputMeter meter;
    // Interface thread: deliveredCount at the last readInputLevels().
    int64_t deliveredAtLastReading = 0;

    // Audio thread: hands the frames that fit to the take writer.
    void appendToTake(const void* input, unsigned long frameCount, PaStreamCallbackFlags statusFlags);
    // Audio thread, while a take is armed: counts as lost what a server
    // dropped during a gap before this buffer, which arrived at `now`, the
    // one before it at `previous`, with `deliveredBefore` frames before it.
    void countDroppedInGap(Clock::rep now, Clock::rep previous, int64_t deliveredBefore, unsigned long frameCount);
    // Counts what the gap watched still misses as lost, and stops watching.
    void endGap();
    // The stream opener's thread: closes `previous` (when given; stopped
    // where its server answered for it, else aborted), checks the format
    // when asked, opens and starts the stream.
    void runOpening(PaStream* previous, bool previousAnswered, bool checkFormat);
    // The stream opener's thread: how the chosen source of the sound server
    // is opened now, and the mark this opening's streams carry (all empty
    // for a device of PortAudio's own).
    struct NamedSource {
        std::string deviceString, mark;
        bool capturesOutput = false;
    };
    NamedSource nameSource();
    // What marks this capture's streams, before each opening's number.
    std::string markPrefix;
    // The stream opener's thread, the stream started: waits until the
    // server says which source it reads. Opened for the chosen one,
    // otherSource for another, unableToStream when the server never says.
    static constexpr Clock::duration confirmedWithin = std::chrono::seconds(3);
    StreamOpening confirmSource();
    // Interface thread.
    void beginOpening(bool checkFormat);
    StreamOpening collectOpening();
    StreamOpening awaitOpening();
    // Whether the stream has delivered within `within` (or was opened so
    // lately that it may not have begun to). Never blocks.
    bool streamDelivering(Clock::duration within = longestBufferGap) const;
    // Whether the stream stopped delivering, judged only once the audio
    // thread has had its chance: a stream silent for a while is watched for
    // a quarter of a second more, by waiting when the caller may wait, by a
    // later look when it never does. Once judged stopped it stays so for the
    // take.
    bool streamStopped(Waiting waiting);
    TakeOutcome endTake();
    // Leaves the stream to itself, for it may outlive the caller's records.
    void leaveStreamBehind();
    void closeStream();
};

// How the seams for tests reach an engine's core.
struct CaptureEngineAccess {
    static CaptureEngine::Core& core(const CaptureEngine& engine) { return *engine.core_; }
};
