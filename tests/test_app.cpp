// SPDX-License-Identifier: MIT
// The recorder as a user drives it, in-process: the settings phase and the
// recording loop with the real sound server.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <chrono>
#include <cstdlib>

#include "app_testing.h"
#include "audio_check.h"
#include "capture.h"
#include "capture_testing.h"
#include "files.h"
#include "app_fixture.h"
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
    const std::vector<CaptureDevice> devices = captureDevices();
    auto* list = static_cast<QComboBox*>(controlWidget(DeviceList));
    ASSERT_EQ(list->count(), static_cast<int>(devices.size()));
    for (int item = 0; item < list->count(); ++item) {
        EXPECT_EQ(list->itemText(item).toStdString(), devices[static_cast<size_t>(item)].label);
        EXPECT_EQ(getControlItemData(DeviceList, item), devices[static_cast<size_t>(item)].index);
    }
    // A name that looks like markup is shown as written, angle brackets and
    // all, and a device far down PortAudio's table keeps its label.
    app.devices.push_back({129, "<b>x</b> 0"});
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

// A format the device refuses is told at ACCEPT; each Record after it tries
// the stream again, says so while it fails, and arms nothing.
TEST_F(Recorder, RefusedFormatIsToldAndRecordArmsNothing) {
    acceptSettings();
    captureSettings.sampleRate = 1234567;
    captureFormat = computeCaptureFormat(captureSettings);
    openCaptureStream();
    EXPECT_EQ(recordingState.stream, nullptr);
    ASSERT_EQ(seenBoxes.size(), 1u);
    EXPECT_EQ(seenBoxes[0].title, "Error");
    EXPECT_EQ(seenBoxes[0].text, "Sorry, unsupported format.");
    for (int attempt = 0; attempt < 2; ++attempt) {
        ASSERT_TRUE(clickAndLoop(RecordButton));
        // The stream is tried again off the interface thread; the box follows.
        ASSERT_TRUE(loopUntil([&] { return seenBoxes.size() == 2u + attempt; }));
        ASSERT_EQ(seenBoxes.size(), 2u + attempt);
        EXPECT_EQ(seenBoxes.back().text, "Unable to stream.");
        EXPECT_FALSE(recordingState.armed.load());
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

    // After ACCEPT nothing of the settings reacts any more.
    later([] {
        QTest::keyClick(controlWidget(RateList), Qt::Key_Down);
        QTest::mouseClick(controlWidget(AcceptButton), Qt::LeftButton);
        windowWidget(MainWindow)->close();
    });
    EXPECT_EQ(waitWindowEvent(), eventCloseRequested);
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
        runLoopFor(1200);
        const int64_t deliveredBeforeStop = framesDelivered(app.capture);
        ASSERT_TRUE(clickAndLoop(StopButton));
        const int64_t deliveredOnceStopped = framesDelivered(app.capture);
        EXPECT_EQ(buttons(), (Buttons{true, false, true})) << "stopped, take " << take;
        frames = recordingState.framesCaptured.load();
        EXPECT_GE(frames, deliveredBeforeStop - deliveredOnceRecording - 44100 / 20) << "take " << take;
        EXPECT_LE(frames, deliveredOnceStopped - deliveredBeforeRecord) << "take " << take;
        EXPECT_GT(deliveredBeforeStop - deliveredOnceRecording, 44100 / 2) << "the rig fed take " << take;
        EXPECT_EQ(Pa_IsStreamActive(recordingState.stream), 1) << "take " << take;
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
