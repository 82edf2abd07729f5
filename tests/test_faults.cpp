// SPDX-License-Identifier: MIT
// What the user meets when things go wrong: a full disk, an output that
// cannot be written, the size limit of a WAV file, a link under the temporary
// name, unusual file names, and a storm of random clicks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QScreen>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <random>
#include <set>
#include <thread>

#include "app_fixture.h"
#include "audio_check.h"
#include "save.h"

namespace {

// A folder on a tiny file system: a tmpfs of the given size where mounting is
// permitted, else a limit on file sizes for this process (with SIGXFSZ
// ignored the writes past it simply fail, as on a full disk).
class TinyDisk {
   public:
    TinyDisk(const std::filesystem::path& folder, size_t bytes, bool readOnly = false) : folder_(folder) {
        std::filesystem::create_directories(folder);
        std::string options = "size=" + std::to_string(bytes);
        mounted_ = ::mount("tmpfs", folder.c_str(), "tmpfs", readOnly ? MS_RDONLY : 0, options.c_str()) == 0;
        if (!mounted_ && !readOnly) {
            ::getrlimit(RLIMIT_FSIZE, &previous_);
            rlimit limit = previous_;
            limit.rlim_cur = bytes;
            ::signal(SIGXFSZ, SIG_IGN);
            limited_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
        }
    }
    ~TinyDisk() {
        if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
        if (limited_) ::setrlimit(RLIMIT_FSIZE, &previous_);
    }
    bool ready() const { return mounted_ || limited_; }

   private:
    std::filesystem::path folder_;
    bool mounted_ = false;
    bool limited_ = false;
    rlimit previous_{};
};

// A sound server of the test's own, which it can kill and start again at
// the same address, as when a desktop's sound server crashes and restarts.
class OwnSoundServer {
   public:
    OwnSoundServer() : previousPulse_(std::getenv("PULSE_SERVER")), previousPipeWire_(std::getenv("PIPEWIRE_REMOTE")) {
        char pattern[] = "/tmp/ostrelle-server.XXXXXX";
        folder_ = ::mkdtemp(pattern);
        start();
        useRigEnvironment(folder_, true);
    }
    ~OwnSoundServer() {
        run("thaw");
        run("stop");
        setenv("PULSE_SERVER", previousPulse_.c_str(), 1);
        setenv("PIPEWIRE_REMOTE", previousPipeWire_.c_str(), 1);
        std::filesystem::remove_all(folder_);
    }
    bool start() { return run("start"); }
    bool kill() { return run("kill"); }
    bool freeze() { return run("freeze"); }
    bool thaw() { return run("thaw"); }
    int underruns() const { return soundRigUnderruns(folder_); }

   private:
    bool run(const char* command) { return runRig({"sound", command, folder_}); }
    std::string previousPulse_, previousPipeWire_;
    std::string folder_;
};

class Faults : public Recorder {
   protected:
    bool boxSeen(const std::string& title) {
        for (const SeenBox& box : seenBoxes)
            if (box.title == title) return true;
        return false;
    }
};

TEST_F(Faults, FullDiskCutsTheTakeShortTellsTheUserAndSavesWhatIsThere) {
    const std::filesystem::path tiny = folder.path() / "tiny";
    TinyDisk disk(tiny, 256 * 1024);
    ASSERT_TRUE(disk.ready());
    std::filesystem::current_path(tiny);
    ASSERT_NO_FATAL_FAILURE(
        startRecorder(5, 2));  // 192000 Hz, 32 bits, stereo: the disk fills within a fraction of a second
    ASSERT_TRUE(clickAndLoop(RecordButton));
    // The take ends by itself as soon as the disk refuses, as a lost stream
    // ends it, without waiting for Stop: the program promises two seconds,
    // and a busy machine is given one more.
    ASSERT_TRUE(loopUntil([&] { return boxSeen("Error"); }, 3000)) << "the full disk went untold";
    ASSERT_EQ(seenBoxes.size(), 1u) << "held " << fileSize("pelvar.temp") << " frames " << capture().framesCaptured()
                                    << " rate " << captureSettings.sampleRate << " bits "
                                    << captureSettings.bitsPerSample;
    EXPECT_EQ(seenBoxes[0].title, "Error");
    EXPECT_NE(seenBoxes[0].text.find("disk"), std::string::npos) << seenBoxes[0].text;
    EXPECT_EQ(buttons(), (Buttons{true, false, true}));
    EXPECT_EQ(recordingState.loopState, LoopState::Idle) << "the take ended as Stop ends it";
    const int64_t held = fileSize("pelvar.temp");
    EXPECT_GT(held, 0);
    EXPECT_LE(held, 256 * 1024);
    EXPECT_EQ(int64_t{capture().framesCaptured()} * 8, held / 8 * 8) << "only whole frames that are on disk";
    // Why, in the system's words (no space, or past the size limit where no
    // tmpfs could be had), and how much the take keeps.
    const std::string& told = seenBoxes[0].text;
    EXPECT_TRUE(told.find(": " + std::string(std::strerror(ENOSPC)) + ".") != std::string::npos ||
                told.find(": " + std::string(std::strerror(EFBIG)) + ".") != std::string::npos)
        << told;
    double kept = 0;
    const size_t keeps = told.find("keeps the ");
    ASSERT_NE(keeps, std::string::npos) << told;
    ASSERT_EQ(std::sscanf(told.c_str() + keeps, "keeps the %lf second", &kept), 1) << told;
    EXPECT_NEAR(kept, capture().framesCaptured() / 192000.0, 0.051) << told;
    EXPECT_NE(told.find("Save stores them"), std::string::npos) << told;
    const std::string take = readAll("pelvar.temp").substr(0, static_cast<size_t>(held / 8 * 8));

    std::filesystem::current_path(folder.path());
    std::filesystem::copy_file(tiny / "pelvar.temp", folder.path() / "pelvar.temp");
    plannedDialogAnswers = {(folder.path() / "full").string()};
    ASSERT_TRUE(clickAndLoop(SaveButton));
    EXPECT_EQ(readAll("full.wav").substr(46), take);
    EXPECT_EQ(readAll("full.wav").size(), 46 + take.size());
}

TEST_F(Faults, AudioTheRecorderCouldNotKeepIsToldAtStop) {
    ASSERT_NO_FATAL_FAILURE(startRecorder());
    // A ring of a tenth of a second and a writer that pauses longer than that.
    setTakeRingBytesForTesting(app.capture, 16 * 1024);
    setTakeWriterPauseForTesting(app.capture, 300);
    ASSERT_TRUE(clickAndLoop(RecordButton));
    runLoopFor(1500);
    ASSERT_TRUE(clickAndLoop(StopButton));
    ASSERT_EQ(seenBoxes.size(), 1u);
    EXPECT_EQ(seenBoxes[0].title, "Error");
    double lost = 0;
    ASSERT_EQ(std::sscanf(seenBoxes[0].text.c_str(), "%lf second", &lost), 1) << seenBoxes[0].text;
    EXPECT_GT(lost, 0.3) << seenBoxes[0].text;
    EXPECT_NE(seenBoxes[0].text.find("gaps"), std::string::npos) << seenBoxes[0].text;
    const int32_t frames = capture().framesCaptured();
    EXPECT_GT(frames, 0);
    EXPECT_NEAR(frames / 44100.0 + lost, 1.5, 0.5) << "what was kept and what was lost make up the take";

    plannedDialogAnswers = {(folder.path() / "gaps").string()};
    ASSERT_TRUE(clickAndLoop(SaveButton));
    EXPECT_EQ(readAll("gaps.wav").size(), 46 + static_cast<size_t>(frames) * 4) << "whole frames only";
}

TEST_F(Faults, LostSoundServerEndsTheTakeAndRecordingResumesWhenItIsBack) {
    OwnSoundServer server;
    ASSERT_NO_FATAL_FAILURE(startRecorder());
    ASSERT_TRUE(clickAndLoop(RecordButton));
    runLoopFor(800);
    ASSERT_TRUE(server.kill());
    // The take ends by itself, as Stop ends it, and says how much it kept.
    ASSERT_TRUE(loopUntil([&] { return boxSeen("Error"); }, 2000));
    EXPECT_EQ(buttons(), (Buttons{true, false, true}));
    EXPECT_EQ(recordingState.loopState, LoopState::Idle);
    const int32_t before = capture().framesCaptured();
    EXPECT_GT(before, 44100 / 4) << "what came before the loss is kept";
    EXPECT_EQ(fileSize("pelvar.temp"), int64_t{before} * 4);
    ASSERT_EQ(seenBoxes.size(), 1u);
    const std::string& told = seenBoxes[0].text;
    EXPECT_NE(told.find("sound server stopped delivering"), std::string::npos) << told;
    double kept = 0;
    const size_t keeps = told.find("keeps the ");
    ASSERT_NE(keeps, std::string::npos) << told;
    ASSERT_EQ(std::sscanf(told.c_str() + keeps, "keeps the %lf second", &kept), 1) << told;
    EXPECT_NEAR(kept, before / 44100.0, 0.051) << told;

    // While the server is away every Record tries the stream again, off the
    // interface thread, and arms nothing.
    for (int attempt = 0; attempt < 2; ++attempt) {
        forgetAnswers();
        ASSERT_TRUE(clickAndLoop(RecordButton));
        ASSERT_TRUE(loopUntil([&] { return !seenBoxes.empty(); })) << "attempt " << attempt;
        ASSERT_EQ(seenBoxes.size(), 1u) << "attempt " << attempt;
        EXPECT_EQ(seenBoxes[0].title, "Error");
        EXPECT_EQ(seenBoxes[0].text, "Unable to stream.");
        EXPECT_EQ(buttons(), (Buttons{true, false, true})) << "no take began; Record can be tried again";
        EXPECT_FALSE(capture().armed());
    }

    // Back again: the stream comes back by itself before Record, so that the
    // next Record records the tone from its click, by the device's count. A
    // server that then hangs, its stream still open but silent, ends the
    // take too, and Save keeps it.
    ASSERT_TRUE(server.start());
    forgetAnswers();
    const int64_t deliveredWhileAway = framesDelivered(app.capture);
    ASSERT_TRUE(loopUntil([&] { return framesDelivered(app.capture) > deliveredWhileAway; }, 10000))
        << "the stream was not opened again before Record";
    ASSERT_TRUE(waitForAudio(app.capture));
    const int64_t deliveredBeforeRecord = framesDelivered(app.capture);
    ASSERT_TRUE(clickAndLoop(RecordButton));
    const int64_t deliveredOnceRecording = framesDelivered(app.capture);
    EXPECT_EQ(buttons(), (Buttons{false, true, false})) << "recording again";
    EXPECT_TRUE(seenBoxes.empty());
    // A capture joining a server that has just started may cost the tone a
    // beat; the tone is measured in the second half of the take.
    ASSERT_TRUE(loopUntil([this] { return capture().framesCaptured() > 0; }, 8000));
    const int underruns = server.underruns();
    ASSERT_TRUE(loopUntil([this] { return capture().framesCaptured() > 44100; }, 8000));
    const int64_t deliveredBeforeFreeze = framesDelivered(app.capture);
    ASSERT_TRUE(server.freeze());
    EXPECT_TRUE(loopUntil([&] { return boxSeen("Error"); }, 2000));
    EXPECT_EQ(buttons(), (Buttons{true, false, true}));
    // The take holds what the device delivered from the click on.
    const int32_t frames = capture().framesCaptured();
    EXPECT_GE(frames, deliveredBeforeFreeze - deliveredOnceRecording - 44100 / 20);
    EXPECT_LE(frames, framesDelivered(app.capture) - deliveredBeforeRecord);
    const int underrunsInTake = server.underruns() - underruns;
    // Closing the window then does not wait for the hung server.
    std::future<void> closing = std::async(std::launch::async, [this] { app.capture.end(); });
    const bool closedAtOnce = closing.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    ASSERT_TRUE(server.thaw());
    closing.wait();
    // Closing leaves PortAudio running with the hung stream, so that its
    // last end closes that stream and its thread; had it ended PortAudio,
    // the tests after this one need it back.
    if (Pa_GetDeviceCount() == paNotInitialized) Pa_Initialize();
    EXPECT_TRUE(closedAtOnce) << "closing the window waited for the hung sound server";
    ASSERT_EQ(underrunsInTake, 0) << "the rig's tone ran dry during the take: a rig fault";
    const std::string take = readAll("pelvar.temp");
    ToneMeasure tone = measureTone(channelSamples(take.substr(take.size() / 2 / 4 * 4), 16, 2), 44100);
    EXPECT_NEAR(tone.frequency, 1000, 10) << "the tone is recorded again";
    plannedDialogAnswers = {(folder.path() / "back").string()};
    ASSERT_TRUE(clickAndLoop(SaveButton));
    EXPECT_EQ(readAll("back.wav").substr(46), take);
}

// A sound server that hangs never holds the window. Record on it waits for
// the stream off the interface thread, leaving the earlier take as it is;
// once the server answers, the take begins. A close request while Record
// waits ends the run at once, the earlier take still byte for byte.
TEST_F(Faults, RecordOnAHungServerWaitsWithoutHoldingTheWindowOrTheTake) {
    OwnSoundServer server;
    ASSERT_NO_FATAL_FAILURE(startRecorder());
    auto recordOnce = [this] {
        ASSERT_TRUE(clickAndLoop(RecordButton));
        ASSERT_TRUE(loopUntil([this] { return capture().framesCaptured() > 44100 / 4; }));
        ASSERT_TRUE(clickAndLoop(StopButton));
    };
    // Record pressed on a server that has hung for two seconds, so that the
    // program can tell; the loop runs on meanwhile. Returns the loop's
    // longest pass: the program promises a tenth of a second, a busy machine
    // may take longer, and a pass that waited for the server would take
    // until it answers.
    auto recordOnHungServer = [this, &server] {
        EXPECT_TRUE(server.freeze());
        runLoopFor(2000);
        EXPECT_TRUE(clickAndLoop(RecordButton));
        std::chrono::steady_clock::duration longest{};
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
        while (std::chrono::steady_clock::now() < until) {
            const auto before = std::chrono::steady_clock::now();
            previousCode_ = recordingPass(previousCode_);
            longest = std::max(longest, std::chrono::steady_clock::now() - before);
        }
        return longest;
    };

    ASSERT_NO_FATAL_FAILURE(recordOnce());
    std::string take = readAll("pelvar.temp");
    std::string note = fileNote("pelvar.temp", takeNoteKey);
    forgetAnswers();
    const Buttons before = buttons();
    EXPECT_LT(recordOnHungServer(), std::chrono::seconds(1)) << "a pass of the loop waited for the hung server";
    EXPECT_FALSE(capture().armed()) << "no take begins before the stream runs";
    EXPECT_EQ(buttons(), (Buttons{false, before.stop, before.save})) << "Record waits";
    EXPECT_TRUE(readAll("pelvar.temp") == take) << "the earlier take stays as it was";
    EXPECT_EQ(fileNote("pelvar.temp", takeNoteKey), note);
    EXPECT_TRUE(seenBoxes.empty());
    // The server answers again: the take that waited begins, on a new stream.
    ASSERT_TRUE(server.thaw());
    ASSERT_TRUE(loopUntil([this] { return capture().armed() && capture().framesCaptured() > 44100 / 4; }, 10000));
    EXPECT_EQ(buttons(), (Buttons{false, true, false}));
    ASSERT_TRUE(clickAndLoop(StopButton));
    EXPECT_TRUE(seenBoxes.empty());

    take = readAll("pelvar.temp");
    note = fileNote("pelvar.temp", takeNoteKey);
    EXPECT_LT(recordOnHungServer(), std::chrono::seconds(1)) << "a pass of the loop waited for the hung server";
    // Closing the window while Record waits ends the run at once.
    std::future<void> closing = std::async(std::launch::async, [this] { app.capture.end(); });
    const bool closedAtOnce = closing.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    ASSERT_TRUE(server.thaw());
    closing.wait();
    EXPECT_TRUE(closedAtOnce) << "closing the window waited for the hung sound server";
    EXPECT_TRUE(readAll("pelvar.temp") == take) << "the earlier take stays as it was";
    EXPECT_EQ(fileNote("pelvar.temp", takeNoteKey), note);
    // The opening left behind gives up once its server answers; only then
    // may this program's other tests use PortAudio again.
    for (int wait = 0; wait < 1000 && app.capture.streamOpening() == StreamOpening::pending; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(app.capture.streamOpening(), StreamOpening::pending);
    EXPECT_EQ(runningStreamForTesting(capture()), nullptr) << "the opening given up opened nothing";
    if (Pa_GetDeviceCount() == paNotInitialized) Pa_Initialize();
}

// A sound card comes or goes while the sound server hangs: PortAudio starts
// anew off the interface thread, whose passes never wait for the server, and
// the run ends at once meanwhile; once the server answers, PortAudio has
// started and the list is taken again.
TEST_F(Faults, CardChangeWhileTheServerHangsHoldsNeitherTheWindowNorTheEnd) {
    // PortAudio's new start asks this server, which hangs.
    OwnSoundServer server;
    ASSERT_TRUE(server.freeze());
    announceCardChangeForTesting(app.soundServer);
    std::chrono::steady_clock::duration longest{};
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < until) {
        const auto before = std::chrono::steady_clock::now();
        keepWaitsShort();
        settingsPass(app);
        longest = std::max(longest, std::chrono::steady_clock::now() - before);
    }
    EXPECT_LT(longest, std::chrono::seconds(1)) << "a pass of the settings phase waited for the hung sound server";
    // PipeWire's own ALSA plugin (Debian 13) gives up on a hung server by itself.
    if (audioStart.ready()) GTEST_SKIP() << "PortAudio's start here does not wait for a hung sound server";
    std::future<void> ending = std::async(std::launch::async, [this] { app.capture.end(); });
    const bool endedAtOnce = ending.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    ASSERT_TRUE(server.thaw());
    ending.wait();
    EXPECT_TRUE(endedAtOnce) << "the end waited for the hung sound server";
    EXPECT_TRUE(settingsUntil([this] { return audioStart.ready() && !app.devices.empty(); }, 10000));
}

// Ctrl+Z and fg, a paused virtual machine or a suspend stop the whole
// program for seconds. That is not a lost stream: the take goes on, and
// what the server could not keep meanwhile is told at Stop as lost.
TEST_F(Faults, PauseOfTheWholeProgramIsNotALostStream) {
    ASSERT_NO_FATAL_FAILURE(startRecorder());
    ASSERT_TRUE(clickAndLoop(RecordButton));
    const int64_t deliveredOnceRecording = framesDelivered(app.capture);
    ASSERT_TRUE(loopUntil([this] { return capture().framesCaptured() > 44100 / 2; }));
    // Another process stops this one for three seconds, as a shell's Ctrl+Z
    // and fg would, and leaves a mark once it let it go on.
    const std::string pid = std::to_string(::getpid());
    const std::filesystem::path resumed = folder.path() / "resumed";
    const std::string pause = "(sleep 0.3; kill -STOP " + pid + "; sleep 3; kill -CONT " + pid + "; touch '" +
                              resumed.string() + "') >/dev/null 2>&1 &";
    ASSERT_EQ(std::system(pause.c_str()), 0);
    ASSERT_TRUE(loopUntil([&] { return std::filesystem::exists(resumed); }, 15000));
    // The stream delivers again: a second more of it, by the device's count.
    const int64_t deliveredAfterPause = framesDelivered(app.capture);
    ASSERT_TRUE(loopUntil([&] { return framesDelivered(app.capture) > deliveredAfterPause + 44100; }, 8000));
    EXPECT_TRUE(seenBoxes.empty()) << seenBoxes[0].text;
    EXPECT_TRUE(capture().armed()) << "the take goes on after the pause";
    EXPECT_EQ(recordingState.loopState, LoopState::Recording);
    EXPECT_EQ(buttons(), (Buttons{false, true, false}));
    const int64_t deliveredBeforeStop = framesDelivered(app.capture);
    ASSERT_TRUE(clickAndLoop(StopButton));
    const int32_t frames = capture().framesCaptured();
    EXPECT_GE(frames, deliveredBeforeStop - deliveredOnceRecording - 44100 / 20)
        << "all the device delivered, before the pause and after it, is in the take";
    // Whatever the server could not keep through three seconds is told as
    // lost, never as a stream that stopped.
    for (const SeenBox& box : seenBoxes) {
        EXPECT_EQ(box.text.find("stopped delivering"), std::string::npos) << box.text;
        EXPECT_NE(box.text.find("could not be recorded"), std::string::npos) << box.text;
    }
}

TEST_F(Faults, OutputThatCannotBeWrittenIsToldAndRemoved) {
    prepareTake(2, 16, 44100, std::string(400000, 'x'), 100000);
    const std::filesystem::path tiny = folder.path() / "tiny";
    TinyDisk disk(tiny, 64 * 1024);
    ASSERT_TRUE(disk.ready());
    const std::string path = (tiny / "take.wav").string();
    plannedDialogAnswers = {path};
    saveLastTake();
    ASSERT_EQ(seenBoxes.size(), 1u);
    EXPECT_EQ(seenBoxes[0].title, "Error");
    EXPECT_NE(seenBoxes[0].text.find(path), std::string::npos) << seenBoxes[0].text;
    // Told why, in the system's words: no space, or past the size limit where no tmpfs could be had.
    EXPECT_TRUE(seenBoxes[0].text.ends_with(": " + std::string(std::strerror(ENOSPC)) + ".") ||
                seenBoxes[0].text.ends_with(": " + std::string(std::strerror(EFBIG)) + "."))
        << seenBoxes[0].text;
    EXPECT_EQ(fileSize(path.c_str()), -1) << "no partial WAV is left behind";
    EXPECT_EQ(buttons(), (Buttons{true, false, true}));

    // An earlier recording under the chosen name outlives a save that fails.
    const std::string earlier(30000, 'e');
    std::ofstream(path, std::ios::binary) << earlier;
    forgetAnswers();
    plannedDialogAnswers = {path};
    plannedBoxAnswers = {QMessageBox::Yes};
    saveLastTake();
    ASSERT_EQ(seenBoxes.size(), 2u);
    EXPECT_EQ(seenBoxes[1].title, "Error");
    EXPECT_EQ(readAll(path), earlier) << "the earlier file is left byte for byte";
    auto namesIn = [](const std::filesystem::path& where) {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(where))
            names.insert(entry.path().filename().string());
        return names;
    };
    EXPECT_EQ(namesIn(tiny), std::set<std::string>{"take.wav"}) << "no stray file";
    // A save that fits replaces it, and leaves exactly one file.
    prepareTake(2, 16, 44100, "abcdefgh", 2);
    forgetAnswers();
    plannedDialogAnswers = {path};
    plannedBoxAnswers = {QMessageBox::Yes};
    saveLastTake();
    EXPECT_EQ(seenBoxes.back().title, "Done!");
    EXPECT_EQ(readAll(path).substr(42), littleEndian(8, 4) + "abcdefgh");
    EXPECT_EQ(namesIn(tiny), std::set<std::string>{"take.wav"});

    // A folder the user may not write to.
    const std::filesystem::path locked = folder.path() / "locked";
    TinyDisk readOnly(locked, 64 * 1024, true);
    if (readOnly.ready()) {
        forgetAnswers();
        plannedDialogAnswers = {(locked / "take.wav").string()};
        saveLastTake();
        ASSERT_EQ(seenBoxes.size(), 1u);
        EXPECT_EQ(seenBoxes[0].title, "Error");
        EXPECT_TRUE(seenBoxes[0].text.ends_with(": " + std::string(std::strerror(EROFS)) + ".")) << seenBoxes[0].text;
        EXPECT_EQ(fileSize((locked / "take.wav").c_str()), -1);
    }
}

// An encoder's file on a full disk ends as a WAV's does: told in the
// system's words, the earlier file left as it was, nothing beside it.
TEST_F(Faults, EncodedOutputThatCannotBeWrittenLeavesTheEarlierFile) {
    // Noise, which no encoder makes small: every format outgrows the disk.
    std::mt19937 random(47);
    std::string take(2000000, '\0');
    for (char& byte : take) byte = static_cast<char>(random());
    const std::filesystem::path tiny = folder.path() / "tiny";
    TinyDisk disk(tiny, 64 * 1024);
    ASSERT_TRUE(disk.ready());
    for (const char* name : {"take.flac", "take.opus", "take.mp3"}) {
        prepareTake(2, 16, 44100, take, 500000);
        const std::string path = (tiny / name).string();
        const std::string earlier(30000, 'e');
        std::ofstream(path, std::ios::binary) << earlier;
        forgetAnswers();
        plannedDialogAnswers = {path};
        plannedBoxAnswers = {QMessageBox::Yes};
        EXPECT_FALSE(saveLastTake()) << name;
        ASSERT_EQ(seenBoxes.size(), 2u) << name;
        EXPECT_TRUE(seenBoxes[1].text.ends_with(": " + std::string(std::strerror(ENOSPC)) + ".") ||
                    seenBoxes[1].text.ends_with(": " + std::string(std::strerror(EFBIG)) + "."))
            << seenBoxes[1].text;
        EXPECT_EQ(readAll(path), earlier) << name << ": the earlier file is left byte for byte";
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tiny), {}), 1) << name << ": no stray file";
        std::filesystem::remove(path);
    }
}

TEST_F(Faults, TakeAtTheFrameLimitStopsOnTheNextTickAndKeepsEverything) {
    ASSERT_NO_FATAL_FAILURE(startRecorder());
    setTakeFrameLimit(app.capture, 44100 / 2);
    ASSERT_TRUE(clickAndLoop(RecordButton));
    ASSERT_TRUE(loopUntil([&] { return boxSeen("Error"); }));
    EXPECT_NE(seenBoxes[0].text.find("longest length the recorder can hold"), std::string::npos) << seenBoxes[0].text;
    EXPECT_EQ(buttons(), (Buttons{true, false, true})) << "the take ended as Stop ends it";
    EXPECT_EQ(recordingState.loopState, LoopState::Idle);
    EXPECT_EQ(capture().framesCaptured(), 44100 / 2);
    EXPECT_EQ(fileSize("pelvar.temp"), 44100 * 2);
}

// Whatever keeps "pelvar.temp" from being made, Record says so, arms nothing
// and follows no link; the count runs on and the take's line says why
// nothing records, until Stop, enabled whatever it was, leads back to the
// stopped state and the earlier take's line. Save stays as it was.
TEST_F(Faults, TakeFileThatCannotBeMadeIsToldAndArmsNothing) {
    const std::filesystem::path precious = folder.path() / "precious.txt";
    std::ofstream(precious) << "the user's own file";
    const std::filesystem::path locked = folder.path() / "locked";
    TinyDisk readOnly(locked, 64 * 1024, true);
    ASSERT_NO_FATAL_FAILURE(startRecorder());
    showLevels(app);
    // An earlier take leaves Stop disabled, as a user meets it.
    ASSERT_TRUE(clickAndLoop(RecordButton));
    ASSERT_TRUE(loopUntil([&] { return capture().framesCaptured() > 0; }));
    ASSERT_TRUE(clickAndLoop(StopButton));
    const std::string earlierLine = controlText(TakeLine);
    const char* unusable = "Not recording: pelvar.temp cannot be used";
    struct Case {
        const char* what;
        std::filesystem::path where;
        std::function<void()> make;
        const char* told = "Sorry, unable to decode.";
        const char* line = nullptr;  // nullptr: unusable
    };
    // A lock taken through a descriptor of the test's own stands for another
    // copy of the program recording in the folder.
    int otherCopy = -1;
    const Case cases[] = {
        {"a folder under the name", folder.path() / "folder", [] { std::filesystem::create_directory("pelvar.temp"); }},
        {"a link to the user's file", folder.path() / "link",
         [&] { std::filesystem::create_symlink(precious, "pelvar.temp"); }},
        {"a second name of the user's file", folder.path() / "hard",
         [&] { std::filesystem::create_hard_link(precious, "pelvar.temp"); }},
        {"a named pipe", folder.path() / "pipe", [] { ASSERT_EQ(::mkfifo("pelvar.temp", 0600), 0); }},
        {"a folder the user may not write to", locked, [] {}},
        {"another user's file", folder.path() / "foreign",
         [] {
             std::ofstream("pelvar.temp") << "theirs";
             ASSERT_EQ(::chown("pelvar.temp", 1001, 1001), 0);
         }},
        {"a take another copy holds", folder.path() / "held",
         [&] {
             otherCopy = ::open("pelvar.temp", O_RDWR | O_CREAT, 0600);
             ASSERT_EQ(::flock(otherCopy, LOCK_EX | LOCK_NB), 0);
         },
         "Another copy of Ostrelle is recording in this folder.", "Not recording: another copy records here"},
    };
    for (const Case& row : cases) {
        if (row.where == locked && !readOnly.ready()) continue;  // no read-only mount here
        std::filesystem::create_directories(row.where);
        std::filesystem::current_path(row.where);
        row.make();
        forgetAnswers();
        const Buttons before = buttons();
        const int32_t ticks = recordingState.elapsedSeconds;
        ASSERT_TRUE(clickAndLoop(RecordButton)) << row.what;
        ASSERT_EQ(seenBoxes.size(), 1u) << row.what;
        EXPECT_EQ(seenBoxes[0].title, "Error") << row.what;
        EXPECT_EQ(seenBoxes[0].text, row.told) << row.what;
        EXPECT_FALSE(capture().armed()) << row.what;
        EXPECT_EQ(buttons(), (Buttons{false, true, before.save})) << row.what;
        EXPECT_EQ(readAll(precious.string()), "the user's own file") << row.what;
        const std::string line = row.line != nullptr ? row.line : unusable;
        EXPECT_EQ(controlText(TakeLine), line) << row.what;
        EXPECT_LE(controlWidget(TakeLine)->fontMetrics().horizontalAdvance(QString::fromStdString(line)),
                  controlWidget(TakeLine)->width())
            << row.what << ": the words fit the line";
        EXPECT_TRUE(loopUntil([&] { return controlText(RecordButton) == std::to_string(ticks + 1); }))
            << row.what << ": the count runs on";
        EXPECT_EQ(controlText(TakeLine), line) << row.what << ": until Stop";
        ASSERT_TRUE(clickAndLoop(StopButton)) << row.what;
        EXPECT_EQ(buttons(), (Buttons{true, false, true})) << row.what << ": stopped";
        EXPECT_EQ(controlText(TakeLine), earlierLine) << row.what;
    }
    if (otherCopy >= 0) ::close(otherCopy);
    std::filesystem::current_path(folder.path());
}

TEST_F(Faults, UnusualNamesAreSavedAndShown) {
    prepareTake(1, 16, 44100, "abcd", 2);
    std::filesystem::create_directory("with \"quotes\"");
    const std::string longName(250, 'n');
    struct Case {
        std::string chosen, saved;
    };
    const Case cases[] = {
        {"Chanson d'été", "Chanson d'été.wav"},
        {"Résumé.wav", "Résumé.wav"},
        {longName, longName + ".wav"},
        {"with \"quotes\"/take", "with \"quotes\"/take.wav"},
        {"with \"quotes\"/TAKE.WAV", "with \"quotes\"/TAKE.WAV.wav"},
        {"take.wav.bak", "take.wav.bak.wav"},
    };
    for (const Case& row : cases) {
        forgetAnswers();
        plannedDialogAnswers = {(folder.path() / row.chosen).string()};
        saveLastTake();
        const std::string saved = (folder.path() / row.saved).string();
        EXPECT_EQ(readAll(saved).substr(46), "abcd") << row.chosen;
        ASSERT_EQ(seenBoxes.size(), 1u) << row.chosen;
        EXPECT_EQ(seenBoxes[0].title, "Done!");
        EXPECT_EQ(seenBoxes[0].text, saved + "  was successfully saved");
        EXPECT_LE(seenBoxes[0].width, QGuiApplication::primaryScreen()->availableGeometry().width())
            << row.chosen << ": the box fits on the screen";
    }
}

// Clicks a random point of the window as a person would, on whatever lies there.
void clickSomewhere(std::mt19937& random) {
    QWidget* window = windowWidget(MainWindow);
    QPoint point(std::uniform_int_distribution<int>(0, 439)(random),
                 std::uniform_int_distribution<int>(0, 339)(random));
    QWidget* target = window->childAt(point);
    if (target == nullptr) target = window;
    QTest::mouseClick(target, Qt::LeftButton, {}, target->mapFrom(window, point));
    if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
}

TEST_F(Faults, RandomClicksNeverLeaveTheStateTable) {
    std::mt19937 random(2024);
    int clicks = 0;
    // The settings phase ends when a click happens to land on ACCEPT.
    while (controlEnabled(AcceptButton) && clicks < 200) {
        later([&] {
            clickSomewhere(random);
            ++clicks;
            windowWidget(MainWindow)->close();
        });
        int code = 0;
        do {
            code = waitWindowEvent();
            if (eventControl() == AcceptButton) break;
        } while (code != eventCloseRequested);
        if (eventControl() == AcceptButton) {
            // The close that followed the click is still queued; left there,
            // it would end the settings phase below.
            EXPECT_EQ(waitWindowEvent(), eventCloseRequested);
            break;
        }
        EXPECT_FALSE(controlEnabled(RecordButton));
    }
    acceptSettings();
    openCaptureStream();
    addWindowTimer(MainWindow, ElapsedTimer, 30);
    const std::set<std::tuple<bool, bool, bool>> rows = {
        {true, true, true}, {false, true, false}, {true, false, true}, {false, false, false}};
    for (int click = 0; click < 200; ++click) {
        int done = clickCount_ + 1;
        later([&] {
            clickSomewhere(random);
            ++clickCount_;
        });
        ASSERT_TRUE(loopUntil([&] { return clickCount_ >= done; }));
        Buttons now = buttons();
        ASSERT_TRUE(rows.count({now.record, now.stop, now.save})) << "after click " << click << ": " << now;
    }
}

}  // namespace

int main(int argc, char** argv) { return runLayerTests(argc, argv, true); }
