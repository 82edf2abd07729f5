// SPDX-License-Identifier: MIT
// The audio capture: the device list, the input stream and its callback, and
// the take written to "pelvar.temp". It shows nothing: what happened comes
// back as values, and the application tells the user.
//
// Threads:
// - The interface thread runs everything here except the two below.
// - PortAudio's audio thread runs the callback. It reads `armed`, writes
//   `framesCaptured` and the take's counters, measures each buffer for the
//   level meter, and copies each armed buffer into a ring. It never blocks,
//   allocates, locks, or calls the system.
// - The take writer's thread drains that ring into file channel 1, which it
//   alone uses from beginTake() until endTake() has returned.
// - The sound server's thread (libpulse's) follows the server's sources and
//   cards, and the source a capture reads; see SoundServer.
// - The stream opener's thread opens and starts the stream, closing first
//   what is left of an earlier one: PortAudio waits there for as long as a
//   sound server hangs. While it runs, the interface thread calls nothing of
//   PortAudio; a run that ends meanwhile leaves it and PortAudio alone.
// The stream runs from ACCEPT until shut-down; Record and Stop only arm and
// disarm the callback.
#pragma once

#include <portaudio.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "take_format.h"

// Derived once, at ACCEPT, from what the user chose; from then on also read
// by the audio thread.
struct CaptureFormat {
    // PortAudio's code for the sample format: paInt16, paInt24 or paInt32.
    PaSampleFormat sampleFormat = 0;
    int32_t bytesPerFrame = 0;
    // The input PortAudio is asked for: the device, its channels and format,
    // and a latency of 0.05 s.
    PaStreamParameters inputParameters{};
};
// The format PortAudio is asked for, derived from the user's choice.
CaptureFormat computeCaptureFormat(const CaptureSettings& settings);

// First thing in the program, before it starts a thread: readies what the
// sound libraries read from the environment as a stream opens, so that it
// can be told per stream later without the environment growing under
// another thread's feet.
void readyAudioEnvironment();
// Keeps the sound libraries' own complaints (no sound card, no JACK server,
// a stale JACK database) off the terminal, then starts PortAudio. stderr
// goes nowhere meanwhile, so the program's own threads write nothing there
// while it runs (AudioStart::finish()).
void startAudio();

// PortAudio's starts: the first as the program starts, and another each time
// the sound cards change, or a sound server PortAudio could not reach comes,
// before ACCEPT, so that its device list takes them in. Each runs on a
// thread of its own ("audio start"): PortAudio opens every device as it
// starts, and waits there for as long as a sound server hangs, which the
// window must never wait for. While a start runs, nothing else may call
// PortAudio; ready() tells when none does.
class AudioStart {
   public:
    // Starts PortAudio now, off the calling thread.
    AudioStart();
    // For a PortAudio its caller started itself: ready at once, started
    // anew on a thread of its own as the program does.
    struct AlreadyStarted {};
    explicit AudioStart(AlreadyStarted);
    // A start still under way is left to itself (it may wait on a hung
    // server for ever).
    ~AudioStart();
    AudioStart(const AudioStart&) = delete;
    AudioStart& operator=(const AudioStart&) = delete;

    // Interface thread, while no stream is open: starts PortAudio anew, off
    // this thread, after the start under way if there is one. Never blocks.
    void restart();
    // Any thread: PortAudio has started and no start runs, so that it may be
    // called. Never blocks.
    bool ready() const;
    // Any thread: the starts that have finished; each brings a new device
    // table, whose numbers may differ from the last one's. Never blocks.
    int64_t startsFinished() const;
    // `finished` runs on the start's thread each time a start has finished,
    // so that the interface thread can be woken; it must not call back into
    // this object.
    void whenFinished(std::function<void()> finished);
    // Waits until ready(), polling `givingUp` as it waits; false when that
    // said to give up first. For the stream opener's thread.
    bool awaitReady(const std::function<bool()>& givingUp) const;
    // Waits for the start under way, however long it takes: only where the
    // program must have it behind it (a line on stderr).
    void finish();

    struct State;

   private:
    std::shared_ptr<State> state_;
};

// The device index of an entry that is a source of the desktop's sound
// server: PortAudio opens it on the device string its ALSA plugin takes.
constexpr int serverSourceDevice = paUseHostApiSpecificDeviceSpecification;

// A device that can capture, as the device list shows it: its PortAudio
// index and its label (its name, a space, its host API number); or a source
// of the sound server, by its name, labelled as the desktop names it.
struct CaptureDevice {
    int index = 0;
    std::string label;
    // The server's name and number for the source; empty (and -1) for
    // PortAudio's own devices.
    std::string sourceName;
    int64_t sourceIndex = -1;
    // What the desktop's sound settings call the source.
    std::string description;
    bool operator==(const CaptureDevice&) const = default;
};
// PortAudio's capture devices, in PortAudio's order. Allocates.
std::vector<CaptureDevice> captureDevices();

// A source of the desktop's sound server (PulseAudio, or PipeWire's
// PulseAudio server): a microphone, a line in, or the monitor of an output,
// which carries what the computer plays there.
struct ServerSource {
    // The server's name for it, which two sources may share under PipeWire,
    // and its number, which none shares while both are listed.
    std::string name;
    uint32_t index = UINT32_MAX;
    // "Built-in Audio Analog Stereo", "Monitor of Built-in Audio Analog Stereo";
    // the name where the server gives none.
    std::string description;
    // For a monitor, the name of the output it monitors; otherwise empty.
    std::string monitorOf;
    // PipeWire's own number for it (object.serial); empty under PulseAudio.
    std::string serial;
    bool isDefault = false;
    bool operator==(const ServerSource&) const = default;
};
// The server's sources as entries of the device list, in the server's
// order, each labelled with its description and a mark that tells it from
// PortAudio's entries: "Built-in Audio Analog Stereo (sound server)",
// "… (sound server, default)" for the server's default source, and the
// source's name after the description where two share one (its number too
// where they share that). Control characters in a description read as
// blanks. None where neither ALSA plugin that reaches the server
// (PulseAudio's "pulse", PipeWire's "pipewire") is installed, since PortAudio
// could not open them. Allocates; interface thread, while PortAudio may be
// called.
std::vector<CaptureDevice> serverCaptureDevices(const std::vector<ServerSource>& sources);
// Whether PortAudio lists an ALSA device that reaches the sound server:
// where a server came after PortAudio started, it does not until PortAudio
// starts anew. Interface thread, while PortAudio may be called.
bool portAudioReachesSoundServer();

struct SourceWatch;

// The desktop's sound server as it changes: its sources, its sound cards
// coming and going, and where the streams of a capture read from. Followed
// through libpulse on a thread of its own, which wakes when the server says
// something; nothing here waits for the server. No server (or none that
// answers): no sources, and nothing else changes. A server that went away,
// or never answered yet, is looked for again every second, so that one
// started after the program is found.
class SoundServer {
   public:
    // Starts connecting; never waits.
    SoundServer();
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    // `changed` runs on the server's thread whenever the sources or the
    // cards changed, so that the interface thread can be woken; it must not
    // call back into this object.
    void whenChanged(std::function<void()> changed);
    struct Sources {
        // The server answers now, and how often it came (it answered after
        // not answering, or for the first time) since start.
        bool connected = false;
        int64_t arrivals = 0;
        std::vector<ServerSource> sources;
        // Sound cards that came or went since start.
        int64_t cardChanges = 0;
    };
    // What is known now. Never waits for the server. Allocates.
    Sources sources() const;
    // Stops following the server, and its thread, which the program's exit
    // should not leave running; what sources() last gave stays. Never waits
    // for the server.
    void end();

    struct State;

   private:
    friend class CaptureEngine;
    friend struct SoundServerAccess;
    // Follows one source for a running capture: whether the server lists it,
    // and which source the capture's streams read.
    std::shared_ptr<SourceWatch> watch(const ServerSource& source);
    std::unique_ptr<State> state_;
};

// How opening the stream went, or that it is still under way. A stream of
// the sound server's chosen source that the server opened on another source
// (otherSource) is closed before it delivers anything.
enum class StreamOpening { opened, formatRefused, unableToStream, otherSource, pending };
// How beginning a take went.
enum class TakeBeginning {
    begun,
    // Another copy of the program holds "pelvar.temp".
    heldElsewhere,
    // The file or the ring could not be had: a link, a file not the user's,
    // a folder that refuses it, no memory.
    refused,
};

// What a take ended with.
struct TakeOutcome {
    // Whole frames the take's file holds; `framesCaptured` says the same.
    int32_t framesKept = 0;
    // The take ended before its first frame reached the disk, so the file
    // still holds the take before it, whole: `framesKept` counts that one.
    bool recordedNothing = false;
    // Frames that never reached the take: lost by the device before PortAudio
    // delivered them, or dropped because the ring was full.
    int64_t framesLost = 0;
    // The disk refused a write, so the take ends where the disk stopped.
    bool diskRefused = false;
    // The system's error number for that refusal (ENOSPC for a full disk).
    int diskError = 0;
    // The take holds as many frames as a take can.
    bool limitReached = false;
    // The device or its sound server stopped delivering during the take.
    bool streamLost = false;
    // The sound server's source the take recorded from went away (unplugged)
    // during the take, which ended there.
    bool sourceGone = false;
    // The server moved the take's stream to another source (its settings,
    // a policy), and the take ended there, before anything of that source:
    // what the desktop calls that source.
    bool sourceMoved = false;
    std::string movedTo;
};

// What the input carried since the last reading, for the level meter. The
// figures run from the stream's start, whether a take runs or not.
struct InputLevels {
    // Channels measured: the accepted count, 1 or 2.
    int channelCount = 0;
    // Per channel, the largest magnitude as a share of full scale: 1 is
    // 0 dBFS, reached by either sign's largest sample.
    double peak[2] = {0, 0};
    // Per channel, the clips: runs of at least three consecutive samples at
    // full scale of one sign (a jump to the other rail starts the next run),
    // each counted once, runs carried across buffers. A sample is at full scale within one 16-bit step of the
    // largest magnitude (at 24 and 32 bits from 0x7FFF00 and 0x7FFF0000 on),
    // so that a 16-bit source recorded deeper clips as it does at 16 bits.
    int64_t clips[2] = {0, 0};
    // Per channel, the clips among them that a take holds: counted in the
    // take's buffers alone, a run under way when the take began from its
    // first sample in the take (`clips` then counts that run twice).
    int64_t takeClips[2] = {0, 0};
    // Frames the stream delivered meanwhile; with none, the figures above
    // say nothing about the input.
    int64_t frames = 0;
    // While a take runs, the frames it lost so far (the device overflowed or
    // the ring was full); 0 outside a take.
    int64_t takeFramesLost = 0;
    // The sound server's source the stream reads went away, and has not
    // come back.
    bool sourceGone = false;
};

// One running capture: its stream, the take's state that the audio thread
// shares (`armed`, `framesCaptured`), the ring, the take writer's thread and
// the counters. It reads the accepted settings and format, owned by the
// caller and outliving it. Interface thread only, but for what the header's
// opening says.
class CaptureEngine {
   public:
    CaptureEngine(const CaptureSettings& settings, const CaptureFormat& format);
    // Closes what is still open, as closeStream() does.
    ~CaptureEngine();
    CaptureEngine(const CaptureEngine&) = delete;
    CaptureEngine& operator=(const CaptureEngine&) = delete;

    // PortAudio is started by `audio`, which outlives the engine: openings
    // wait, on the stream opener's thread, until it may be called, and end()
    // leaves it alone while a start runs. Without it, PortAudio is taken to
    // have started.
    void useAudioStart(const AudioStart& audio);
    // Where a source of the sound server was chosen (its name and number in
    // the settings), follows it through `server` from now on: a stream is
    // opened on it only while it is there, and read only once the server
    // has said that it reads that source; one whose source went away, or
    // that the server moved to another, is read no more. Before the first
    // opening.
    void followSource(SoundServer& server);
    // The chosen source of the sound server went away and is not back.
    // Never blocks.
    bool sourceGone() const;
    // What the desktop calls the source the server last gave a stream of the
    // chosen source in its place (otherSource, sourceMoved); empty when none.
    std::string sourceGivenInstead() const;

    // Checks the format, opens and starts the stream, and waits for that.
    StreamOpening openStream();
    // Unless the stream runs and delivers, closes what is left of it (its
    // device or sound server went away, or it never opened) and opens and
    // starts it again in the accepted format, and waits for that. True when
    // the stream runs.
    bool reviveStream();

    // Opening without waiting: each of these returns at once and leaves the
    // work to the stream opener's thread; streamOpening() tells how it went.
    // `settled` runs on that thread whenever an opening has settled, so that
    // the interface thread can be woken; set it before the first opening.
    void whenOpeningSettles(std::function<void()> settled);
    // Starts what openStream() does, unless an opening is under way.
    void beginOpening();
    // Starts what reviveStream() does, unless an opening is under way or
    // the stream runs.
    void beginReviving();
    // While no take runs: starts reviving a stream that stopped delivering,
    // at most every two seconds. A stream is judged stopped only when two
    // such calls in a row found it silent, so that a pause of the whole
    // program (Ctrl+Z, a suspend) is not taken for a lost stream. True when
    // it began an opening.
    bool reviveWhenDue();
    // What the latest opening came to: pending while it runs, and once it
    // has settled the stream it opened is the engine's. Without any opening,
    // unableToStream.
    StreamOpening streamOpening();
    // True when no opening is under way and the stream has delivered within
    // the last three quarters of a second (or was opened so lately that it
    // may not have begun to): a take begun now records from this moment.
    // Never blocks.
    bool streamRuns();
    // Takes "pelvar.temp" (refusing links and files not the user's, and a
    // file another copy of the program holds), starts the take writer and
    // arms the callback. The earlier take stays in the file until this one's
    // first frame replaces it, with a note of the take's format.
    TakeBeginning beginTake();
    // The frames of the take on disk, as Save reads them: the take running
    // now, as far as the callback has handed it on, or the last one.
    // Never blocks.
    int32_t framesCaptured() const;
    // True from beginTake() until endTake(): a take is open. Never blocks.
    bool armed() const;
    // Holds the open take: from the next buffer on, the callback hands
    // nothing to it, while the stream and the meter run on; what the take
    // has is put on disk, and its writer then rests. resumeTake() goes on
    // with the same take, behind what it has, from the buffer after. The
    // edges are exact to the buffer. Interface thread, while a take is open;
    // never blocks for long (it waits for a callback under way to leave).
    void pauseTake();
    void resumeTake();
    // True between the two. Never blocks.
    bool takePaused() const;
    // Disarms the callback, waits until it has left the take, writes out what
    // the ring still holds and closes the file; the stream keeps running. Says
    // what the take ended with; after no take at all, nothing but the frames.
    TakeOutcome endTake();
    // Whether a caller may be held while the audio thread has its turn.
    enum class Waiting { never, upToAQuarterSecond };
    // True while a take runs (not paused) that can grow no more: it reached the largest
    // take, the disk refused to store more of it, or its stream stopped
    // delivering (no buffer for over a second, or ended). A stream silent for
    // a while is judged only once the audio thread has had a quarter of a
    // second more to deliver, so that after a pause of the whole program it
    // has its turn. A caller that may wait is held that long at most, and
    // is told; one that never waits is not, and a later look judges.
    bool takeCannotGoOn(Waiting waiting);
    // What the input carried since the last call (or since the engine was
    // made), the figures then starting afresh. Never waits for the callback.
    InputLevels readInputLevels();
    // Stops the stream, ends a take still running (it stays whole on disk),
    // and closes the stream; used at shut-down. A stream that runs but has
    // stopped delivering (its sound server hangs) is left alone instead,
    // since stopping it would wait for the server, and so is an opening
    // under way, which gives up as soon as its server answers.
    void closeStream();
    // The last of capture at shut-down: closes the stream, then PortAudio,
    // unless a hung stream was left alone or PortAudio is still starting.
    void end();

    struct Core;

   private:
    friend struct CaptureEngineAccess;
    // Reached by the callback through PortAudio's userData; it never moves.
    std::unique_ptr<Core> core_;
};
