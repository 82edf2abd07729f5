// SPDX-License-Identifier: MIT
// The level meter and the take's line, in-process: the meter's motion
// against a clock of the test's own, the line's texts, and the recorder
// driven as a user drives it with the private sound server's tone, a
// device that clips, and one that is silent.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <QAccessible>
#include <QComboBox>
#include <QImage>
#include <QTest>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "app_fixture.h"
#include "app_testing.h"
#include "capture_fixture.h"
#include "capture_testing.h"
#include "support.h"
#include "ui.h"
#include "ui_testing.h"

namespace {

using Clock = LevelDisplay::Clock;

struct LevelStep {
    int milliseconds;
    // The reading at that moment: frames delivered (0: no buffer came) and
    // the peak of the first channel as a share of full scale.
    int64_t frames;
    double peak;
    // What the meter then shows for that channel, in dBFS (-1000: silence).
    double levelDb, holdDb;
    bool noSignal;
};
struct LevelCase {
    const char* what;
    std::vector<LevelStep> steps;
};

// The meter's motion, against a clock the test keeps: a peak meter's bar
// rises at once and falls 20 dB a second, its hold mark stands 2 s, and an
// input below -80 dBFS, or one that delivers nothing, has no signal after
// 2 s and has one again at its first loud buffer.
TEST(LevelMeter, RisesAtOnceFallsTwentyDecibelsASecondAndHoldsItsPeakTwoSeconds) {
    const double half = 20 * std::log10(0.5), quiet = 20 * std::log10(0.00005);
    constexpr double gone = -1000;
    const LevelCase cases[] = {
        {"rises at once", {{0, 441, 0.5, half, half, false}, {40, 441, 1.0, 0, 0, false}}},
        {"falls 20 dB a second under its hold mark",
         {{0, 441, 1.0, 0, 0, false}, {500, 441, 0.001, -10, 0, false}, {1000, 441, 0.001, -20, 0, false}}},
        {"the hold mark stands 2 s, then drops to the bar",
         {{0, 441, 1.0, 0, 0, false}, {1900, 441, 0.001, -38, 0, false}, {2100, 441, 0.001, -42, -42, false}}},
        {"between buffers the bar waits; a stream that stops falls",
         {{0, 441, 1.0, 0, 0, false}, {300, 0, 0, 0, 0, false}, {900, 0, 0, -12, 0, false}}},
        {"quiet for 2 s is no signal, and a loud buffer ends it at once",
         {{0, 441, 0.00005, quiet, quiet, false},
          {1900, 441, 0.00005, quiet, quiet, false},
          {2000, 441, 0.00005, quiet, quiet, true},
          {2040, 441, 0.5, half, half, false}}},
        {"a stream that delivers nothing has no signal 2 s after its last buffer",
         {{0, 0, 0, gone, gone, false}, {1900, 0, 0, gone, gone, false}, {2100, 0, 0, gone, gone, true}}},
        {"just above -80 dBFS is a signal",
         {{0, 441, 0.0001001, -79.99, -79.99, false}, {2500, 441, 0.0001001, -79.99, -79.99, false}}},
    };
    for (const LevelCase& row : cases) {
        LevelDisplay display;
        const Clock::time_point start = Clock::now();
        display.lastReading = display.lastFrames = start;
        for (const LevelStep& step : row.steps) {
            InputLevels reading;
            reading.channelCount = 1;
            reading.frames = step.frames;
            reading.peak[0] = step.peak;
            takeLevelReading(display, reading, start + std::chrono::milliseconds(step.milliseconds));
            const std::string at = std::string(row.what) + ", at " + std::to_string(step.milliseconds) + " ms";
            for (auto [shown, expected, name] : {std::tuple{display.levelDb[0], step.levelDb, "bar"},
                                                 std::tuple{display.holdDb[0], step.holdDb, "hold mark"}}) {
                if (expected == gone)
                    EXPECT_LT(shown, -120) << at << ": " << name;
                else
                    EXPECT_NEAR(shown, expected, 0.05) << at << ": " << name;
            }
            EXPECT_EQ(display.noSignal, step.noSignal) << at;
        }
    }
}

std::string accessibleValue(int control) {
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(controlWidget(control));
    return accessible == nullptr ? std::string() : accessible->text(QAccessible::Value).toStdString();
}

// While a take runs the line says what was lost, or else the take's
// loudest peak, then the room left on its disk; red for a loss, or for
// less than 5 minutes of room.
TEST_F(Recorder, TakeLineTellsLossesBeforeTheRoomLeftAndTurnsRedWhenEitherNeedsTheUser) {
    acceptSettings();
    showLevels(app);
    EXPECT_EQ(controlWidget(TakeLine)->geometry(), QRect(172, 288, 320, 22));
    EXPECT_EQ(controlWidget(LevelMeter)->geometry(), QRect(26, 314, 388, 22));
    EXPECT_EQ(controlText(TakeLine), "") << "empty before the first take";
    struct Row {
        double takePeak;
        int64_t framesLost, diskSeconds;
        const char* text;
        bool red;
    };
    const Row rows[] = {
        {0.5, 0, 11520, "Peak −6 dBFS, 3 h 12 min left on disk", false},
        {0.5, 9261, 11520, "Lost 0.21 s, 3 h 12 min left on disk", true},
        {0.5, 1, -1, "Lost 0.01 s", true},
        {1.0, 0, 300, "Peak 0 dBFS, 5 min left on disk", false},
        {1.0, 0, 299, "Peak 0 dBFS, 4 min left on disk", true},
        {0.25, 0, 59, "Peak −12 dBFS, 59 s left on disk", true},
        {0.0, 0, 3600, "Silent so far, 1 h 0 min left on disk", false},
    };
    LevelDisplay& display = app.levels;
    for (const Row& row : rows) {
        display.takeRunning = display.takeShown = true;
        display.takePeak = row.takePeak;
        display.takeFramesLost = row.framesLost;
        display.diskSecondsLeft = row.diskSeconds;
        redrawLevels(app);
        EXPECT_EQ(controlText(TakeLine), row.text);
        const QColor shown = controlWidget(TakeLine)->palette().color(QPalette::Active, QPalette::WindowText);
        EXPECT_EQ(shown, row.red ? QColor(255, 64, 64) : QColor(0, 255, 128)) << row.text;
    }
}

// The private server's tone, at half of full scale: both bars at -6 dBFS,
// read the same by screen readers; the take's line gives the take's peak
// and the room on its disk, then its summary. Minimised, the meter takes no
// wake-ups.
TEST_F(Recorder, MeterShowsTheServersToneAndRestsWhileMinimised) {
    ASSERT_NO_FATAL_FAILURE(startRecorder());
    showLevels(app);
    const std::string both = "Left −6 dBFS, right −6 dBFS";
    loopUntil([&] { return accessibleValue(LevelMeter) == both; });
    EXPECT_EQ(accessibleValue(LevelMeter), both);
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(controlWidget(LevelMeter));
    EXPECT_EQ(accessible->text(QAccessible::Name).toStdString(), "Input level");
    for (int channel = 0; channel < 2; ++channel) EXPECT_NEAR(app.levels.levelDb[channel], -6.02, 0.5) << channel;
    EXPECT_EQ(app.levels.clips, 0);

    windowWidget(MainWindow)->showMinimized();
    runLoopFor(100);
    const int64_t resting = shownTimerTicks(MainWindow, MeterTimer);
    runLoopFor(400);
    EXPECT_EQ(shownTimerTicks(MainWindow, MeterTimer), resting) << "no redraws while minimised";
    windowWidget(MainWindow)->showNormal();
    EXPECT_TRUE(loopUntil([&] { return shownTimerTicks(MainWindow, MeterTimer) > resting; }));

    ASSERT_TRUE(clickAndLoop(RecordButton));
    ASSERT_TRUE(loopUntil([&] {
        const std::string shown = controlText(TakeLine);
        return shown.rfind("Peak ", 0) == 0 && shown.find("left on disk") != std::string::npos;
    }));
    const std::string line = controlText(TakeLine);
    EXPECT_EQ(line.rfind("Peak −6 dBFS, ", 0), 0u) << line;
    // The room, in hours and minutes of 16-bit stereo at 44100 Hz.
    unsigned hours = 0, minutes = 0;
    const size_t at = line.find(", ") + 2;
    if (line.find(" h ", at) != std::string::npos)
        ASSERT_EQ(std::sscanf(line.c_str() + at, "%u h %u min", &hours, &minutes), 2) << line;
    else
        ASSERT_EQ(std::sscanf(line.c_str() + at, "%u min", &minutes), 1) << line;
    const double expected = static_cast<double>(std::filesystem::space(".").available) / (44100 * 4);
    EXPECT_NEAR(hours * 3600.0 + minutes * 60, expected, expected * 0.02 + 120) << line;
    runLoopFor(500);
    ASSERT_TRUE(clickAndLoop(StopButton));
    EXPECT_EQ(controlText(TakeLine), "Take: peak −6 dBFS, not clipped");
}

// A take on a small disk: the line gives the room its file system has left
// at the take's byte rate, as statvfs tells it, and turns red under five
// minutes of it. 16-bit stereo at 44100 Hz takes 176400 bytes a second.
TEST_F(Recorder, TakeLineTellsTheRoomLeftOnASmallDisk) {
    struct Row {
        size_t bytes;
        const char* room;  // as the line ends while a short take runs
        bool red;
    };
    const Row rows[] = {
        {64u << 20, ", 6 min left on disk", false},  // 380 s
        {40u << 20, ", 3 min left on disk", true},   // 237 s
        {8u << 20, " s left on disk", true},         // 47 s
    };
    ASSERT_NO_FATAL_FAILURE(startRecorder());
    showLevels(app);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bytes);
        const std::filesystem::path small = folder.path() / ("disk" + std::to_string(row.bytes));
        std::filesystem::create_directory(small);
        const std::string options = "size=" + std::to_string(row.bytes);
        if (::mount("tmpfs", small.c_str(), "tmpfs", 0, options.c_str()) != 0)
            GTEST_SKIP() << "no tmpfs can be mounted here";
        std::filesystem::current_path(small);
        ASSERT_TRUE(clickAndLoop(RecordButton));
        const bool told = loopUntil([&] { return controlText(TakeLine).ends_with(row.room); });
        const std::string line = controlText(TakeLine);
        const QColor shown = controlWidget(TakeLine)->palette().color(QPalette::Active, QPalette::WindowText);
        ASSERT_TRUE(clickAndLoop(StopButton));
        closeAllFiles();
        std::filesystem::current_path(folder.path());
        ::umount2(small.c_str(), MNT_DETACH);
        EXPECT_TRUE(told) << line;
        EXPECT_EQ(shown, row.red ? QColor(255, 64, 64) : QColor(0, 255, 128)) << line;
    }
}

// The paced device's input: every `clipPeriod` frames, four frames at full
// scale, positive on the left and negative on the right; silence between.
constexpr int64_t clipPeriod = 441;
std::string clippingInput(int seconds) {
    std::string bytes;
    for (int64_t frame = 0; frame < 44100 * int64_t{seconds}; ++frame) {
        const bool clipping = frame % clipPeriod < 4;
        bytes += clipping ? std::string("\xFF\x7F\x00\x80", 4) : std::string(4, '\0');
    }
    return bytes;
}
// The clips among the first `frames` frames: a run counts at its third sample, on each channel.
int64_t clipsWithin(int64_t frames) { return frames < 3 ? 0 : 2 * ((frames - 3) / clipPeriod + 1); }

int pacedItem() {
    auto* list = static_cast<QComboBox*>(controlWidget(DeviceList));
    return list->findText(QStringLiteral("ostrelle_paced "), Qt::MatchStartsWith);
}

// The recorder from ACCEPT on, its meter shown, on the paced ALSA file
// device, which delivers `input` (16-bit stereo) at the sound server's pace.
class PacedRecorder : public Recorder {
   protected:
    void startOnPacedDevice(const std::string& input) {
        std::ofstream(pacedDeviceInput(), std::ios::binary | std::ios::trunc) << input;
        ASSERT_GE(pacedItem(), 0) << "the paced ALSA file device is not listed";
        chooseLater(DeviceList, pacedItem());
        acceptSettings();
        openCaptureStream();
        ASSERT_TRUE(waitForAudio(app.capture));
        showLevels(app);
    }
};

// Clips are counted as the device delivered them: on the lamp since ACCEPT,
// then since Record, and on the line once the take ends. Judged by the
// frames the device delivered, not by the clock.
TEST_F(PacedRecorder, ClipsCountOnTheLampAndTheLineAsTheDeviceDeliveredThem) {
    ASSERT_NO_FATAL_FAILURE(startOnPacedDevice(clippingInput(30)));
    runLoopFor(300);
    // One redraw between two looks at the device's count.
    const int64_t beforeLook = framesDelivered(app.capture);
    redrawLevels(app);
    const int64_t afterLook = framesDelivered(app.capture);
    EXPECT_GE(app.levels.clips, clipsWithin(beforeLook)) << "since ACCEPT";
    EXPECT_LE(app.levels.clips, clipsWithin(afterLook)) << "since ACCEPT";
    const QImage meter = controlWidget(LevelMeter)->grab().toImage();
    const QColor lamp = meter.pixelColor(meter.width() - 6, meter.height() / 2);
    EXPECT_TRUE(lamp.red() > 200 && lamp.green() < 80) << "the lamp is lit: " << lamp.name().toStdString();

    const int64_t beforeRecord = framesDelivered(app.capture);
    ASSERT_TRUE(clickAndLoop(RecordButton));
    const int64_t onceRecording = framesDelivered(app.capture);
    loopUntil([&] { return framesDelivered(app.capture) - onceRecording > 44100; }, 10000);
    const int64_t beforeStop = framesDelivered(app.capture);
    ASSERT_TRUE(clickAndLoop(StopButton));
    const int64_t onceStopped = framesDelivered(app.capture);
    ASSERT_EQ(inputOverflowCount(app.capture), 0) << "the device overflowed: a rig fault";
    const std::string line = controlText(TakeLine);
    long long counted = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "Take: peak 0 dBFS, clipped %lld times", &counted), 1) << line;
    EXPECT_GE(counted, clipsWithin(beforeStop) - clipsWithin(onceRecording)) << line;
    EXPECT_LE(counted, clipsWithin(onceStopped) - clipsWithin(beforeRecord)) << line;
    EXPECT_EQ(app.levels.clips, counted) << "the lamp counts the take";
}

// A source that clips before Record and all through the take: each
// channel's run counts for the take from its first sample in it, once.
TEST_F(PacedRecorder, RunUnderWayAtRecordCountsForTheTake) {
    std::string input;
    for (int frame = 0; frame < 44100 * 30; ++frame) input += std::string("\xFF\x7F\x00\x80", 4);
    ASSERT_NO_FATAL_FAILURE(startOnPacedDevice(input));
    ASSERT_TRUE(loopUntil([&] { return app.levels.clips >= 2; }));
    EXPECT_EQ(app.levels.clips, 2) << "one run a channel since ACCEPT";
    ASSERT_TRUE(clickAndLoop(RecordButton));
    ASSERT_TRUE(loopUntil([&] { return capture().framesCaptured() >= 3; }));
    ASSERT_TRUE(clickAndLoop(StopButton));
    ASSERT_EQ(inputOverflowCount(app.capture), 0) << "the device overflowed: a rig fault";
    EXPECT_EQ(controlText(TakeLine), "Take: peak 0 dBFS, clipped 2 times");
    EXPECT_EQ(app.levels.clips, 2) << "the lamp counts the take";
}

// A source that delivers only zeros: "No signal", for screen readers too.
TEST_F(PacedRecorder, SilentSourceSaysNoSignal) {
    ASSERT_NO_FATAL_FAILURE(startOnPacedDevice(std::string(44100 * 4 * 30, '\0')));
    EXPECT_TRUE(loopUntil([&] { return accessibleValue(LevelMeter) == "No signal"; }, 8000))
        << accessibleValue(LevelMeter);
    EXPECT_TRUE(app.levels.noSignal);
}

}  // namespace

int main(int argc, char** argv) { return runLayerTests(argc, argv, true, writeAlsaFileDevice); }
