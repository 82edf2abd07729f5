// SPDX-License-Identifier: MIT
// The recorder as a user drives it, in-process: the settings phase and the
// recording loop with the real sound server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QAccessible>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <utility>

#include "app_fixture.h"
#include "app_testing.h"
#include "audio_check.h"
#include "capture.h"
#include "capture_testing.h"
#include "files.h"
#include "support.h"
#include "temp_folder.h"
#include "ui.h"

namespace {

TEST_F(Recorder, WindowShowsItsControlsWhereTheyBelong) {
    struct Placement {
        int number;
        QRect rectangle;
        const char* text;
    };
    const Placement placements[] = {
        {ChannelsCaption, {26, 25, 85, 20}, "# of Channels"},
        {ChannelsList, {26, 50, 85, 20}, "2"},
        {BitsCaption, {166, 25, 85, 20}, "# of Bit"},
        {BitsList, {160, 50, 95, 20}, "16"},
        {RateCaption, {310, 25, 85, 20}, "# of Sample"},
        {RateList, {305, 50, 110, 20}, "44100"},
        {DeviceCaption, {26, 85, 75, 20}, "Main Device"},
        {DeviceList, {26, 110, 240, 20}, nullptr},
        {AcceptButton, {310, 105, 100, 25}, "ACCEPT"},
        {ChannelsStatus, {172, 204, 320, 20}, "Channels: 2"},
        {BitsStatus, {172, 234, 320, 20}, "Bit Depth: 16"},
        {RateStatus, {172, 264, 320, 20}, "Sample Rate: 44100"},
        {RecordButton, {50, 170, 80, 40}, "Record"},
        {StopButton, {50, 270, 80, 40}, "Stop"},
        {SaveButton, {50, 220, 80, 40}, "Save"},
    };
    for (const Placement& placement : placements) {
        ASSERT_NE(controlWidget(placement.number), nullptr) << placement.number;
        EXPECT_EQ(controlWidget(placement.number)->geometry(), placement.rectangle) << placement.number;
        if (placement.text) {
            EXPECT_EQ(controlText(placement.number), placement.text);
        }
    }
    EXPECT_EQ(controlText(DeviceStatus),
              "Device: " + static_cast<QComboBox*>(controlWidget(DeviceList))->itemText(0).toStdString())
        << "the first listed device, as the list shows it";
    EXPECT_EQ(controlWidget(ChannelsCaption)->palette().color(QPalette::Active, QPalette::WindowText),
              QColor(0, 255, 128));
    EXPECT_EQ(windowWidget(MainWindow)->palette().color(QPalette::Window), QColor(0, 0, 0));
    for (int number : {RecordButton, StopButton, SaveButton, DeviceStatus, ChannelsStatus, BitsStatus, RateStatus})
        EXPECT_FALSE(controlEnabled(number)) << number;
    for (int number : {ChannelsList, BitsList, RateList, DeviceList, AcceptButton})
        EXPECT_TRUE(controlEnabled(number)) << number;
}

TEST_F(Recorder, DeviceListShowsEveryCaptureDeviceUnderItsLabel) {
    ASSERT_TRUE(settingsUntil([] { return listed("Monitor of Zebra Deck") >= 0; }));
    // PortAudio's devices first, as ever, then the server's sources by the
    // names the desktop gives them, its default marked.
    const std::vector<CaptureDevice> devices = captureDevices();
    auto* list = static_cast<QComboBox*>(controlWidget(DeviceList));
    ASSERT_GT(list->count(), static_cast<int>(devices.size()));
    for (size_t item = 0; item < devices.size(); ++item) {
        EXPECT_EQ(list->itemText(static_cast<int>(item)).toStdString(), devices[item].label);
        EXPECT_EQ(getControlItemData(DeviceList, static_cast<int>(item)), devices[item].index);
    }
    int defaults = 0;
    for (int item = static_cast<int>(devices.size()); item < list->count(); ++item) {
        EXPECT_TRUE(list->itemText(item).contains(" (sound server")) << item;
        defaults += list->itemText(item).endsWith(", default)");
    }
    EXPECT_EQ(defaults, 1);
    EXPECT_EQ(list->itemText(listed("Monitor of Zebra Deck")).toStdString(), "Monitor of Zebra Deck (sound server)");
    // A name that looks like markup is shown as written, angle brackets and
    // all, and a device far down PortAudio's table keeps its label.
    app.devices.push_back({129, "<b>x</b> 0", {}, -1, {}});
    captureSettings.deviceIndex = 129;
    refreshStatusLabels();
    auto* status = static_cast<QLabel*>(controlWidget(DeviceStatus));
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(controlText(DeviceStatus), "Device: <b>x</b> 0");
    QLabel plain("Device: <b>x</b> 0"), rich("Device: <b>x</b> 0");
    for (QLabel* reference : {&plain, &rich}) {
        reference->setFont(status->font());
        reference->setWordWrap(true);
    }
    plain.setTextFormat(Qt::PlainText);
    rich.setTextFormat(Qt::RichText);
    ASSERT_NE(plain.sizeHint(), rich.sizeHint());
    EXPECT_EQ(status->sizeHint(), plain.sizeHint());
}

// Inputs come and go while the user chooses, also while the list is open.
TEST_F(Recorder, DeviceListFollowsTheServerUntilAccept) {
    const std::string walrus = "Monitor of Walrus Tape (sound server)";
    plugSource("walrus", "Walrus Tape", 660);
    ASSERT_TRUE(settingsUntil([&] { return listed(walrus) >= 0; }));
    chooseLater(DeviceList, listed(walrus));
    ASSERT_TRUE(settingsUntil([this] { return captureSettings.sourceName == "walrus.monitor"; }));
    // Another device comes and goes: the choice stays where the user put it.
    auto* list = static_cast<QComboBox*>(controlWidget(DeviceList));
    list->showPopup();
    plugSource("yak", "Yak Horn", 550);
    ASSERT_TRUE(settingsUntil([] { return listed("Monitor of Yak Horn") >= 0; }));
    EXPECT_EQ(controlText(DeviceList), walrus);
    const QRect yak = list->view()->visualRect(list->model()->index(listed("Monitor of Yak Horn"), 0));
    EXPECT_LE(yak.bottom(), list->view()->viewport()->rect().bottom()) << "the open list shows it";
    list->hidePopup();
    unplugSource("yak");
    ASSERT_TRUE(settingsUntil([] { return listed("Monitor of Yak Horn") < 0; }));
    EXPECT_EQ(controlText(DeviceList), walrus);
    // The chosen one goes: the first entry is chosen, and the list says why.
    unplugSource("walrus");
    ASSERT_TRUE(settingsUntil([&] { return listed(walrus) < 0; }));
    EXPECT_EQ(getControlState(DeviceList), 0);
    EXPECT_EQ(captureSettings.deviceIndex, getControlItemData(DeviceList, 0));
    EXPECT_EQ(captureSettings.sourceName, "");
    EXPECT_EQ(controlWidget(DeviceList)->accessibleDescription().toStdString(),
              walrus + " was disconnected, so " + controlText(DeviceList) + " is chosen.");
}

// A sound card comes or goes: PortAudio is started anew, and its list with it.
TEST_F(Recorder, DeviceListTakesInTheCardsThatCameOrWent) {
    const std::string config = std::string(std::getenv("HOME")) + "/.asoundrc";
    const std::string before = readAll(config);
    // The rig's home, which every test shares: as it was, however this one ends.
    struct Restored {
        const std::string& path;
        const std::string& text;
        ~Restored() { std::ofstream(path, std::ios::trunc) << text; }
    } const restored{config, before};
    std::ofstream(config, std::ios::app) << "pcm.ostrelle_plugged {\n type file\n slave.pcm \"null\"\n"
                                         << " file \"/dev/null\"\n infile \"/dev/zero\"\n format \"raw\"\n}\n";
    announceCardChangeForTesting(app.soundServer);
    ASSERT_TRUE(settingsUntil([] { return listed("ostrelle_plugged ") >= 0; }));
    EXPECT_LT(listed("ostrelle_plugged "), listed("Monitor of Zebra Deck")) << "among PortAudio's own";
    std::ofstream(config, std::ios::trunc) << before;
    announceCardChangeForTesting(app.soundServer);
    EXPECT_TRUE(settingsUntil([] { return listed("ostrelle_plugged ") < 0; }));
}

// A server that hangs (one that takes the connection and never answers)
// never holds the window: the list is PortAudio's alone.
TEST(RecorderAtStart, HungServerLeavesTheListToPortAudio) {
    TempFolder folder;
    const std::string socketPath = (folder.path() / "native").string();
    const int hung = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(hung, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(hung, 4), 0);
    const std::string server = std::getenv("PULSE_SERVER");
    setenv("PULSE_SERVER", ("unix:" + socketPath).c_str(), 1);
    {
        App app;
        buildMainWindow(app);
        EXPECT_EQ(app.devices, captureDevices());
        closeWindow(MainWindow);
    }
    setenv("PULSE_SERVER", server.c_str(), 1);
    ::close(hung);
}

// A take of 16-bit stereo at 44100 Hz, in fiftieths of a second.
std::vector<std::vector<double>> fiftieths(const std::string& take) {
    const std::vector<double> samples = channelSamples(take, 16, 2);
    std::vector<std::vector<double>> parts;
    for (size_t start = 0; start + 882 <= samples.size(); start += 882)
        parts.emplace_back(samples.begin() + static_cast<long>(start),
                           samples.begin() + static_cast<long>(start + 882));
    return parts;
}

// None of the others' sounds in any fiftieth of a second of a take.
void holdsNoneOf(const std::string& take, std::initializer_list<double> others) {
    const std::vector<std::vector<double>> parts = fiftieths(take);
    for (size_t index = 0; index < parts.size(); ++index)
        for (double other : others) EXPECT_LT(toneStrength(parts[index], 44100, other), 0.05) << index << "th fiftieth";
}

// Such a take holds this source's tone at its level for a fifth of a second
// at least, and none of the others' sounds. Each fiftieth is judged alone: a
// rig busy enough to starve the source's tone player leaves gaps in it, and a
// gap or the source's end inside one stretch skews a count of its crossings.
void recordsOnly(const std::string& take, double frequency, std::initializer_list<double> others) {
    const std::vector<std::vector<double>> parts = fiftieths(take);
    ASSERT_GE(parts.size(), 10u) << "a fifth of a second at least";
    const auto toned = std::count_if(parts.begin(), parts.end(), [&](const std::vector<double>& fiftieth) {
        return std::fabs(toneStrength(fiftieth, 44100, frequency) - 0.5) < 0.03;
    });
    EXPECT_GE(toned, 10) << "fiftieths of the take that hold its source's tone, of " << parts.size();
    holdsNoneOf(take, others);
}

TEST_F(Recorder, SourceThatGoesEndsTheTakeWholeAndIsNeverReplaced) {
    const std::string walrus = "Monitor of Walrus Tape";
    plugSource("walrus", "Walrus Tape", 660);
    ASSERT_TRUE(settingsUntil([&] { return listed(walrus) >= 0; }));
    ASSERT_NO_FATAL_FAILURE(startRecorder(0, 0, listed(walrus)));
    showLevels(app);
    EXPECT_EQ(controlText(DeviceStatus), "Device: " + walrus + " (sound server)");
    const auto recordsWalrus = [](const std::string& take) { recordsOnly(take, 660, {1000}); };
    ASSERT_TRUE(clickAndLoop(RecordButton));
    ASSERT_TRUE(loopUntil([this] { return capture().framesCaptured() > 22050; }));
    unplugSource("walrus");
    // A minimised window looks at the take once a second; meanwhile the
    // server has moved the stream to its default source.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(loopUntil([this] { return recordingState.loopState == LoopState::Idle; }));
    ASSERT_FALSE(seenBoxes.empty());
    EXPECT_EQ(seenBoxes.back().text, walrus + " was disconnected. The take up to then is kept.");
    EXPECT_EQ(buttons(), (Buttons{true, false, true}));
    const std::string take = readAll("pelvar.temp");
    EXPECT_EQ(take.size(), static_cast<size_t>(capture().framesCaptured()) * 4) << "whole";
    recordsWalrus(take);
    ASSERT_TRUE(loopUntil([this] { return app.levels.sourceGone; }));
    // Record explains rather than records what the server put in its place.
    forgetAnswers();
    ASSERT_TRUE(clickAndLoop(RecordButton));
    ASSERT_EQ(seenBoxes.size(), 1u);
    EXPECT_EQ(seenBoxes[0].text,
              walrus + " is disconnected, so nothing is recorded. Record works again once it is back.");
    EXPECT_EQ(readAll("pelvar.temp"), take);
    // Back, and gone again just after Record, while its stream opens again:
    // the take before stays whole, and Save and the take's line stay with it.
    plugSource("walrus", "Walrus Tape", 660);
    ASSERT_TRUE(loopUntil([this] { return !app.capture.sourceGone(); }));
    const std::string line = controlText(TakeLine);
    ASSERT_TRUE(clickAndLoop(RecordButton));
    unplugSource("walrus");
    ASSERT_TRUE(loopUntil([this] { return !app.recordAwaitsStream && !capture().armed(); }));
    const std::string kept = readAll("pelvar.temp");
    ASSERT_EQ(kept.size(), static_cast<size_t>(capture().framesCaptured()) * 4) << "whole";
    if (kept == take) {
        EXPECT_EQ(controlText(TakeLine), line);
    } else {
        // Unplugging stops the source's tone before the source goes, so the
        // new take may hold little of it: what matters is that nothing of the
        // source the server puts in its place is there.
        holdsNoneOf(kept, {1000});
    }
    EXPECT_TRUE(controlEnabled(SaveButton));
    // Once back, it is recorded from again.
    plugSource("walrus", "Walrus Tape", 660);
    ASSERT_TRUE(loopUntil([this] { return !app.capture.sourceGone(); }));
    ASSERT_TRUE(clickAndLoop(RecordButton));
    ASSERT_TRUE(loopUntil([this] { return capture().armed() && capture().framesCaptured() > 22050; }, 10000));
    ASSERT_TRUE(clickAndLoop(StopButton));
    recordsWalrus(readAll("pelvar.temp"));
    unplugSource("walrus");
}

// Moved to another source mid-take, as a desktop's sound settings move a
// stream, the take ends there, whole, and nothing of the other source
// reaches it.
TEST_F(Recorder, SourceMovedMidTakeEndsTheTakeWholeAtTheMove) {
    plugSource("walrus", "Walrus Tape", 660);
    ASSERT_TRUE(settingsUntil([&] { return listed("Monitor of Walrus Tape") >= 0; }));
    ASSERT_NO_FATAL_FAILURE(startRecorder(0, 0, listed("Monitor of Walrus Tape")));
    ASSERT_TRUE(clickAndLoop(RecordButton));
    ASSERT_TRUE(loopUntil([this] { return capture().framesCaptured() > 22050; }));
    ASSERT_TRUE(runRig({"sound", "move-capture", SOUND_RIG, "zebra.monitor"}));
    ASSERT_TRUE(loopUntil([this] { return recordingState.loopState == LoopState::Idle; }));
    ASSERT_FALSE(seenBoxes.empty());
    EXPECT_EQ(seenBoxes.back().text,
              "Monitor of Walrus Tape was moved to Monitor of Zebra Deck. The take up to then is kept.");
    const std::string take = readAll("pelvar.temp");
    EXPECT_EQ(take.size(), static_cast<size_t>(capture().framesCaptured()) * 4) << "whole";
    recordsOnly(take, 660, {1000, 440});
}

// A source whose name alone would find another records itself: a name that
// is another source's number, or a name that another source shares.
class NamedSources : public Recorder {
   protected:
    void recordsItself(const std::string& name, const std::string& description, double frequency) {
        plugSource(name, description, static_cast<int>(frequency), SourceKind::named);
        ASSERT_TRUE(settingsUntil([&] { return listed(description + " (sound server") >= 0; }));
        ASSERT_NO_FATAL_FAILURE(startRecorder(0, 0, listed(description + " (sound server")));
        EXPECT_EQ(controlText(DeviceStatus).rfind("Device: " + description + " (sound server", 0), 0u);
        ASSERT_TRUE(clickAndLoop(RecordButton));
        ASSERT_TRUE(loopUntil([this] { return capture().framesCaptured() > 22050; }));
        ASSERT_TRUE(clickAndLoop(StopButton));
        EXPECT_TRUE(seenBoxes.empty());
        recordsOnly(readAll("pelvar.temp"), frequency, {1000, 440});
    }
};

TEST_F(NamedSources, ANameThatIsAnotherSourcesNumberRecordsItself) {
    ASSERT_TRUE(settingsUntil([] { return listed("Monitor of Zebra Deck") >= 0; }));
    const int64_t zebra = app.devices[static_cast<size_t>(listed("Monitor of Zebra Deck"))].sourceIndex;
    recordsItself(std::to_string(zebra), "Numeric", 550);
}

TEST_F(NamedSources, ANameThatAnotherSourceHasRecordsItself) { recordsItself("zebra.monitor", "Fake-Zebra", 750); }

// A format the device refuses is told at ACCEPT; each Record after it tries
// the stream again, says so while it fails, and arms nothing.
TEST_F(Recorder, RefusedFormatIsToldAndRecordArmsNothing) {
    acceptSettings();
    captureSettings.sampleRate = 1234567;
    captureFormat = computeCaptureFormat(captureSettings);
    openCaptureStream();
    EXPECT_EQ(runningStreamForTesting(capture()), nullptr);
    ASSERT_EQ(seenBoxes.size(), 1u);
    EXPECT_EQ(seenBoxes[0].title, "Error");
    EXPECT_EQ(seenBoxes[0].text, "Sorry, unsupported format.");
    for (int attempt = 0; attempt < 2; ++attempt) {
        ASSERT_TRUE(clickAndLoop(RecordButton));
        // The stream is tried again off the interface thread; the box follows.
        ASSERT_TRUE(loopUntil([&] { return seenBoxes.size() == 2u + attempt; }));
        ASSERT_EQ(seenBoxes.size(), 2u + attempt);
        EXPECT_EQ(seenBoxes.back().text, "Unable to stream.");
        EXPECT_FALSE(capture().armed());
        EXPECT_EQ(fileSize("pelvar.temp"), -1) << "no take begun without a stream";
    }
}

TEST_F(Recorder, AcceptUntouchedRecordsTheInitialChoiceFromTheFirstDevice) {
    acceptSettings();
    EXPECT_EQ(captureSettings.channelCount, 2);
    EXPECT_EQ(captureSettings.bitsPerSample, 16);
    EXPECT_EQ(captureSettings.sampleRate, 44100.0);
    EXPECT_EQ(captureSettings.deviceIndex, getControlItemData(DeviceList, 0));
    EXPECT_EQ(controlText(DeviceStatus), "Device: " + deviceLabel(Pa_GetDeviceInfo(captureSettings.deviceIndex)));
    EXPECT_EQ(controlText(ChannelsStatus), "Channels: 2");
    EXPECT_EQ(controlText(BitsStatus), "Bit Depth: 16");
    EXPECT_EQ(controlText(RateStatus), "Sample Rate: 44100");
    EXPECT_EQ(captureFormat.bytesPerFrame, 4);
    EXPECT_EQ(buttons(), (Buttons{true, true, true}));
    for (int number : {ChannelsList, BitsList, RateList, DeviceList, AcceptButton})
        EXPECT_FALSE(controlEnabled(number));
    EXPECT_EQ(controlWidget(DeviceStatus)->palette().color(QPalette::Active, QPalette::WindowText),
              QColor(0, 255, 128));
}

TEST_F(Recorder, ChoicesMadeBeforeAcceptAreTheOnesShown) {
    auto* devices = static_cast<QComboBox*>(controlWidget(DeviceList));
    ASSERT_GE(devices->count(), 2) << "the sound server offers at least two capture devices";
    const int lastDevice = devices->count() - 1;
    chooseLater(RateList, 4);
    chooseLater(RateList, 0);
    chooseLater(ChannelsList, 0);
    chooseLater(BitsList, 2);
    chooseLater(DeviceList, lastDevice);
    acceptSettings();
    EXPECT_EQ(captureSettings.sampleRate, 44100.0);
    EXPECT_EQ(captureSettings.channelCount, 1);
    EXPECT_EQ(captureSettings.bitsPerSample, 32);
    EXPECT_EQ(captureSettings.deviceIndex, getControlItemData(DeviceList, lastDevice));
    EXPECT_EQ(controlText(DeviceStatus), "Device: " + devices->itemText(lastDevice).toStdString());
    EXPECT_EQ(controlText(ChannelsStatus), "Channels: 1");
    EXPECT_EQ(controlText(BitsStatus), "Bit Depth: 32");
    EXPECT_EQ(captureFormat.sampleFormat, paInt32);
    EXPECT_EQ(captureFormat.bytesPerFrame, 4);

    // After ACCEPT nothing of the settings reacts any more. (The sound
    // server may still have woken the wait with news of its sources.)
    later([] {
        QTest::keyClick(controlWidget(RateList), Qt::Key_Down);
        QTest::mouseClick(controlWidget(AcceptButton), Qt::LeftButton);
        windowWidget(MainWindow)->close();
    });
    int code = waitWindowEvent();
    while (code == eventWoken) code = waitWindowEvent();
    EXPECT_EQ(code, eventCloseRequested);
    EXPECT_EQ(captureSettings.sampleRate, 44100.0);
}

// Two takes, then Save. Record after Stop starts a new take at once on the
// stream that kept running, each take keeps what the device delivered
// between its clicks, and the count goes on from where the last take left it.
TEST_F(Recorder, RecordStopAndSaveFollowTheStateTable) {
    ASSERT_NO_FATAL_FAILURE(startRecorder());
    EXPECT_EQ(buttons(), (Buttons{true, true, true})) << "accepted, nothing recorded";
    std::string shown = controlText(RecordButton);
    int32_t frames = 0;
    for (int take = 0; take < 2; ++take) {
        const std::string firstCount = take == 0 ? "0" : std::to_string(std::stoi(shown) + 1);
        // Measured against what the device delivered, not the clock, so that a
        // starved sound server reads as what it is.
        const int64_t deliveredBeforeRecord = framesDelivered(app.capture);
        ASSERT_TRUE(clickAndLoop(RecordButton));
        const int64_t deliveredOnceRecording = framesDelivered(app.capture);
        EXPECT_EQ(buttons(), (Buttons{false, true, false})) << "recording, take " << take;
        EXPECT_EQ(recordingState.loopState, LoopState::Recording);
        ASSERT_TRUE(loopUntil([&] { return controlText(RecordButton) != shown; }));
        EXPECT_EQ(controlText(RecordButton), firstCount) << "the count goes on, take " << take;
        loopUntil([&] { return framesDelivered(app.capture) - deliveredOnceRecording > 44100; }, 10000);
        const int64_t deliveredBeforeStop = framesDelivered(app.capture);
        ASSERT_TRUE(clickAndLoop(StopButton));
        const int64_t deliveredOnceStopped = framesDelivered(app.capture);
        EXPECT_EQ(buttons(), (Buttons{true, false, true})) << "stopped, take " << take;
        frames = capture().framesCaptured();
        EXPECT_GE(frames, deliveredBeforeStop - deliveredOnceRecording - 44100 / 20) << "take " << take;
        EXPECT_LE(frames, deliveredOnceStopped - deliveredBeforeRecord) << "take " << take;
        EXPECT_GT(deliveredBeforeStop - deliveredOnceRecording, 44100 / 2) << "the rig fed take " << take;
        EXPECT_EQ(Pa_IsStreamActive(runningStreamForTesting(capture())), 1) << "take " << take;
        shown = controlText(RecordButton);
        runLoopFor(300);
        EXPECT_EQ(controlText(RecordButton), shown) << "ticks change nothing while idle";
    }

    plannedDialogAnswers = {(folder.path() / "take").string()};
    ASSERT_TRUE(clickAndLoop(SaveButton));
    EXPECT_EQ(buttons(), (Buttons{false, false, false})) << "saved";
    ASSERT_EQ(seenBoxes.size(), 2u);
    EXPECT_EQ(seenBoxes[0].title, "Done!");
    EXPECT_EQ(seenBoxes[0].text, (folder.path() / "take.wav").string() + "  was successfully saved");
    EXPECT_EQ(seenBoxes[1].title, "All Done!");
    EXPECT_EQ(seenBoxes[1].text, " Restart !");
    std::string wav = readAll("take.wav");
    ASSERT_EQ(wav.size(), 46u + static_cast<size_t>(frames) * 4);
    EXPECT_EQ(wav.substr(46), readAll("pelvar.temp"));
    ToneMeasure tone = measureTone(channelSamples(wav.substr(46 + static_cast<size_t>(frames) / 2 * 4), 16, 2), 44100);
    EXPECT_NEAR(tone.frequency, 1000, 10);
}

// The keys a person presses instead of clicking, to whichever control has the focus.
void pressLater(const char* keys) {
    later([keys] {
        const QKeyCombination combination = QKeySequence(QString::fromUtf8(keys))[0];
        QWidget* window = windowWidget(MainWindow);
        QWidget* target = window->focusWidget() != nullptr ? window->focusWidget() : window;
        QTest::keyClick(target, combination.key(), combination.keyboardModifiers());
    });
}

// Each key acts as its button's click, and a key whose button is disabled is
// not acted on at all: the loop sees exactly the buttons of the keys pressed
// while they were enabled, the last of each batch showing the batch is over.
// Pause holds the take: it neither grows nor counts, Pause reads "Resume"
// and is heard as a pressed toggle, and Resume goes on with the same take.
TEST_F(Recorder, PauseHoldsTheTakeUntilResume) {
    ASSERT_NO_FATAL_FAILURE(startRecorder());
    showLevels(app);
    EXPECT_FALSE(controlEnabled(PauseButton)) << "before a take";
    ASSERT_TRUE(clickAndLoop(RecordButton));
    EXPECT_TRUE(controlEnabled(PauseButton));
    ASSERT_TRUE(loopUntil([this] { return capture().framesCaptured() > 44100 / 4; }));
    ASSERT_TRUE(clickAndLoop(PauseButton));
    EXPECT_EQ(recordingState.loopState, LoopState::Paused);
    EXPECT_EQ(buttons(), (Buttons{false, true, false}));
    EXPECT_EQ(controlText(PauseButton), "Resume");
    EXPECT_TRUE(QAccessible::queryAccessibleInterface(controlWidget(PauseButton))->state().checked);
    EXPECT_EQ(controlText(TakeLine).rfind("Paused after ", 0), 0u) << controlText(TakeLine);
    const std::string count = controlText(RecordButton);
    const int32_t held = capture().framesCaptured();
    const int64_t delivered = framesDelivered(app.capture);
    ASSERT_TRUE(loopUntil([&] { return framesDelivered(app.capture) > delivered + 44100 / 2; }));
    EXPECT_EQ(capture().framesCaptured(), held) << "nothing reaches a held take";
    EXPECT_EQ(controlText(RecordButton), count) << "the seconds rest";
    ASSERT_TRUE(clickAndLoop(PauseButton));
    EXPECT_EQ(recordingState.loopState, LoopState::Recording);
    EXPECT_EQ(controlText(PauseButton), "Pause");
    EXPECT_FALSE(QAccessible::queryAccessibleInterface(controlWidget(PauseButton))->state().checked);
    ASSERT_TRUE(loopUntil([&] { return capture().framesCaptured() > held + 44100 / 4; }));
    ASSERT_TRUE(clickAndLoop(PauseButton));
    ASSERT_TRUE(clickAndLoop(StopButton)) << "Stop ends a held take";
    EXPECT_EQ(buttons(), (Buttons{true, false, true}));
    EXPECT_FALSE(controlEnabled(PauseButton));
    EXPECT_EQ(controlText(PauseButton), "Pause");
    EXPECT_EQ(fileSize("pelvar.temp"), int64_t{capture().framesCaptured()} * 4);
}

TEST_F(Recorder, KeysDoWhatTheirButtonsDoAndNothingWhileTheyAreDisabled) {
    ASSERT_NO_FATAL_FAILURE(startRecorder());
    windowWidget(MainWindow)->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(windowWidget(MainWindow)));
    controlWidget(RecordButton)->setFocus();
    struct Row {
        std::vector<const char*> keys;
        int actedOn;  // the one button the batch reaches the loop as
        Buttons after;
    };
    const Row rows[] = {
        {{"Ctrl+Shift+R"}, RecordButton, {false, true, false}},
        {{"Ctrl+Shift+P"}, PauseButton, {false, true, false}},
        {{"Ctrl+Shift+R", "Ctrl+Shift+P"}, PauseButton, {false, true, false}},
        {{"Ctrl+Shift+R", "Ctrl+S", "Ctrl+Shift+T"}, StopButton, {true, false, true}},
        {{"Ctrl+Shift+P", "Ctrl+Shift+T", "Ctrl+Shift+R"}, RecordButton, {false, true, false}},
        {{"Ctrl+Shift+T"}, StopButton, {true, false, true}},
        {{"Ctrl+Shift+T", "Ctrl+S"}, SaveButton, {true, false, true}},
    };
    plannedDialogAnswers = {std::nullopt};  // the Save dialog, cancelled
    int64_t framesBefore = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(&row - rows));
        std::vector<int> actedOn;
        for (const char* keys : row.keys) pressLater(keys);
        bool firstLook = true;  // before any pass, the last event is the previous row's
        ASSERT_TRUE(loopUntil([&] {
            if (!std::exchange(firstLook, false) && previousCode_ == eventControlChanged)
                actedOn.push_back(eventControl());
            return !actedOn.empty() && actedOn.back() == row.actedOn;
        }));
        EXPECT_EQ(actedOn, std::vector<int>{row.actedOn});
        EXPECT_EQ(buttons(), row.after);
        if (row.actedOn == PauseButton) {
            EXPECT_EQ(controlText(PauseButton), recordingState.loopState == LoopState::Paused ? "Resume" : "Pause");
        }
        if (row.actedOn == RecordButton) {
            EXPECT_EQ(recordingState.loopState, LoopState::Recording);
            framesBefore = capture().framesCaptured();
            ASSERT_TRUE(loopUntil([&] { return capture().framesCaptured() > framesBefore + 4410; }));
        }
        if (row.actedOn == StopButton) {
            EXPECT_EQ(recordingState.loopState, LoopState::Idle);
            EXPECT_GT(capture().framesCaptured(), framesBefore) << "the take ran as after a click";
            EXPECT_EQ(fileSize("pelvar.temp"), capture().framesCaptured() * 4);
        }
    }
    EXPECT_EQ(seenDialogs.size(), 1u) << "Save's key acted on only while Save was enabled";
    EXPECT_TRUE(seenBoxes.empty());
}

// What a screen reader hears of a control: its role, its name, and the
// caption that labels it, if one does.
struct Heard {
    QAccessible::Role role;
    std::string name;
    std::string caption;
    bool operator==(const Heard&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Heard& heard) {
    return out << "{role " << heard.role << ", \"" << heard.name << "\", caption \"" << heard.caption << "\"}";
}
Heard heard(int control) {
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(controlWidget(control));
    const auto labels = accessible->relations(QAccessible::Label);
    return Heard{accessible->role(), accessible->text(QAccessible::Name).toStdString(),
                 labels.size() == 1 ? labels[0].first->text(QAccessible::Name).toStdString() : ""};
}

// Every control before and after ACCEPT, and the keys the buttons tell of.
TEST_F(Recorder, ScreenReadersHearEveryControlByItsName) {
    struct Row {
        int control;
        QAccessible::Role role;
        const char* caption;  // for a list; the others are named by their text
    };
    const Row rows[] = {
        {ChannelsCaption, QAccessible::StaticText, ""},
        {BitsCaption, QAccessible::StaticText, ""},
        {RateCaption, QAccessible::StaticText, ""},
        {DeviceCaption, QAccessible::StaticText, ""},
        {ChannelsList, QAccessible::ComboBox, "# of Channels"},
        {BitsList, QAccessible::ComboBox, "# of Bit"},
        {RateList, QAccessible::ComboBox, "# of Sample"},
        {DeviceList, QAccessible::ComboBox, "Main Device"},
        {AcceptButton, QAccessible::Button, ""},
        {RecordButton, QAccessible::Button, ""},
        {StopButton, QAccessible::Button, ""},
        {SaveButton, QAccessible::Button, ""},
        // A toggle: Qt calls a button that stays pressed a check box.
        {PauseButton, QAccessible::CheckBox, ""},
        {DeviceStatus, QAccessible::StaticText, ""},
        {ChannelsStatus, QAccessible::StaticText, ""},
        {BitsStatus, QAccessible::StaticText, ""},
        {RateStatus, QAccessible::StaticText, ""},
    };
    for (bool accepted : {false, true}) {
        if (accepted) acceptSettings();
        for (const Row& row : rows) {
            SCOPED_TRACE(std::to_string(row.control) + (accepted ? " after ACCEPT" : " before ACCEPT"));
            // A list's own name is its current item, as Qt gives it on Linux.
            EXPECT_EQ(heard(row.control), (Heard{row.role, controlText(row.control), row.caption}));
        }
        EXPECT_EQ(
            QAccessible::queryAccessibleInterface(windowWidget(MainWindow))->text(QAccessible::Name).toStdString(),
            "Ostrelle - Beta 2 - Pelvar Audio - (Asio is not supported) ");
    }
    // The buttons' keys, told as their description and as their press action's binding.
    const std::pair<int, const char*> keys[] = {{RecordButton, "Ctrl+Shift+R"},
                                                {StopButton, "Ctrl+Shift+T"},
                                                {SaveButton, "Ctrl+S"},
                                                {PauseButton, "Ctrl+Shift+P"}};
    for (const auto& [button, sequence] : keys) {
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(controlWidget(button));
        EXPECT_TRUE(accessible->text(QAccessible::Description).endsWith(QStringLiteral(" (%1)").arg(sequence)))
            << accessible->text(QAccessible::Description).toStdString();
        EXPECT_EQ(controlWidget(button)->toolTip(), accessible->text(QAccessible::Description));
        EXPECT_EQ(
            accessible->actionInterface()->keyBindingsForAction(QAccessibleActionInterface::pressAction()).join(' '),
            QString::fromUtf8(sequence));
    }
}

TEST_F(Recorder, SaveBeforeAnyRecordGivesAnEmptyWav) {
    acceptSettings();
    plannedDialogAnswers = {(folder.path() / "empty.wav").string()};
    ASSERT_TRUE(clickAndLoop(SaveButton));
    EXPECT_EQ(fileSize("empty.wav"), 46);
    ASSERT_EQ(seenBoxes.size(), 2u);
    EXPECT_EQ(seenBoxes[0].title, "Done!");
    EXPECT_EQ(seenBoxes[1].title, "All Done!");
}

}  // namespace

int main(int argc, char** argv) { return runLayerTests(argc, argv, true); }
