// SPDX-License-Identifier: MIT
// The recorder as a user drives it, in-process: the settings phase, the
// recording loop with the real sound server, and the WAV export.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <QComboBox>
#include <QMessageBox>
#include <QTest>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include "app_testing.h"
#include "audio_check.h"
#include "capture.h"
#include "files.h"
#include "files_testing.h"
#include "recorder_fixture.h"
#include "support.h"
#include "temp_folder.h"
#include "ui.h"
#include "ui_testing.h"
#include "wav.h"
#include "wav_testing.h"

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
        const int64_t deliveredBeforeRecord = framesDelivered();
        ASSERT_TRUE(clickAndLoop(RecordButton));
        const int64_t deliveredOnceRecording = framesDelivered();
        EXPECT_EQ(buttons(), (Buttons{false, true, false})) << "recording, take " << take;
        EXPECT_EQ(recordingState.loopState, LoopState::Recording);
        ASSERT_TRUE(loopUntil([&] { return controlText(RecordButton) != shown; }));
        EXPECT_EQ(controlText(RecordButton), firstCount) << "the count goes on, take " << take;
        runLoopFor(1200);
        const int64_t deliveredBeforeStop = framesDelivered();
        ASSERT_TRUE(clickAndLoop(StopButton));
        const int64_t deliveredOnceStopped = framesDelivered();
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
    EXPECT_EQ(buttons(), (Buttons{false, false, false})) << "exported";
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

// --- WAV export -----------------------------------------------------------

struct HeaderCase {
    int channels, bits;
    double rate;
    int32_t frames;
    uint32_t byteRate;
    uint16_t blockAlign;
    bool rf64;
};

// The header a row's take is saved with, byte by byte: RIFF, or RF64 with a
// ds64 chunk holding the 64-bit sizes and all bits set in the 32-bit ones.
std::string expectedHeader(const HeaderCase& row) {
    const uint32_t dataSize = static_cast<uint32_t>(row.frames) * row.blockAlign;
    const std::string format = "fmt " + littleEndian(18, 4) + littleEndian(1, 2) + littleEndian(row.channels, 2) +
                               littleEndian(static_cast<uint32_t>(row.rate), 4) + littleEndian(row.byteRate, 4) +
                               littleEndian(row.blockAlign, 2) + littleEndian(row.bits, 2) + littleEndian(0, 2);
    if (!row.rf64)
        return "RIFF" + littleEndian(dataSize + 38, 4) + "WAVE" + format + "data" + littleEndian(dataSize, 4);
    const std::string allSet = littleEndian(0xFFFFFFFF, 4);
    return "RF64" + allSet + "WAVE" + "ds64" + littleEndian(28, 4) + littleEndian(dataSize + 74, 4) +
           littleEndian(0, 4) + littleEndian(dataSize, 4) + littleEndian(0, 4) + littleEndian(row.frames, 4) +
           littleEndian(0, 4) + littleEndian(0, 4) + format + "data" + allSet;
}

// What a command prints, for the readers other programs use.
std::string output(const std::string& command) {
    std::string text;
    if (FILE* pipe = ::popen((command + " 2>&1").c_str(), "r")) {
        char chunk[512];
        while (size_t count = std::fread(chunk, 1, sizeof chunk, pipe)) text.append(chunk, count);
        ::pclose(pipe);
    }
    return text;
}

TEST_F(Recorder, HeaderDescribesEachFormatAndRf64TakesOverPastWhatRiffHolds) {
    // The threshold lowered from 4 GiB so that a few seconds go out as RF64.
    setRf64ThresholdForTesting(400000);
    const HeaderCase cases[] = {
        {2, 16, 44100, 44100, 176400, 4, false},
        {1, 24, 48000, 1000, 144000, 3, false},
        {1, 16, 88200, 10, 176400, 2, false},
        {2, 24, 96000, 7, 576000, 6, false},
        {1, 32, 176400, 5, 705600, 4, false},
        {2, 32, 192000, 3, 1536000, 8, false},
        {2, 16, 44100, 0, 176400, 4, false},
        {2, 16, 44100, 100000, 176400, 4, false},  // exactly the threshold: the 46-byte header
        {2, 16, 44100, 100001, 176400, 4, true},
        {1, 24, 48000, 133334, 144000, 3, true},  // an odd data size
    };
    int saves = 0;
    for (const HeaderCase& row : cases) {
        const uint32_t dataSize = static_cast<uint32_t>(row.frames) * row.blockAlign;
        std::string data(dataSize, '\0');
        for (uint32_t index = 0; index < dataSize; ++index) data[index] = static_cast<char>(index * 13 + 5);
        prepareTake(row.channels, row.bits, row.rate, data, row.frames);
        const std::string name = "format" + std::to_string(saves++) + ".wav";
        plannedDialogAnswers = {(folder.path() / name).string()};
        ASSERT_TRUE(exportWav());
        const std::string described = std::to_string(row.channels) + " channels, " + std::to_string(row.bits) +
                                      " bits, " + std::to_string(row.frames) + " frames";
        EXPECT_TRUE(readAll(name) == expectedHeader(row) + data) << described;
        if (!row.rf64) continue;
        // Two readers that users have: libsndfile and sox.
        const std::string rate = std::to_string(static_cast<int>(row.rate));
        const std::string sndfile = output("sndfile-info " + name);
        EXPECT_NE(sndfile.find("Channels    : " + std::to_string(row.channels)), std::string::npos) << sndfile;
        EXPECT_NE(sndfile.find("Sample Rate : " + rate), std::string::npos) << sndfile;
        EXPECT_NE(sndfile.find("Frames      : " + std::to_string(row.frames)), std::string::npos) << sndfile;
        char kind[32];  // RF64 (0x220000) with integer PCM of the take's width
        std::snprintf(kind, sizeof kind, "Format      : 0x%08X", 0x220000 + row.bits / 8);
        EXPECT_NE(sndfile.find(kind), std::string::npos) << sndfile;
        const std::string sox =
            output("soxi -c " + name + "; soxi -r " + name + "; soxi -b " + name + "; soxi -s " + name);
        EXPECT_EQ(sox, std::to_string(row.channels) + "\n" + rate + "\n" + std::to_string(row.bits) + "\n" +
                           std::to_string(row.frames) + "\n");
    }
    setRf64ThresholdForTesting(largestRiffDataBytes);
}

TEST_F(Recorder, DataIsExactlyWhatTheTakeFileHolds) {
    // 24-bit mono, odd frame count: an odd data size copies its last byte exactly.
    prepareTake(1, 24, 48000, "abcdefghiXYZ", 3);
    plannedDialogAnswers = {(folder.path() / "odd.wav").string()};
    EXPECT_TRUE(exportWav());
    EXPECT_EQ(readAll("odd.wav").substr(42), littleEndian(9, 4) + "abcdefghi");

    // Half a second left of a one-second take: those frames, and the truth.
    const std::string half(44100 * 2 + 3, 'h');
    prepareTake(2, 16, 44100, half, 44100);
    forgetAnswers();
    const std::string shortPath = (folder.path() / "short.wav").string();
    plannedDialogAnswers = {shortPath};
    EXPECT_FALSE(exportWav());
    const std::string saved = readAll("short.wav");
    EXPECT_EQ(saved.substr(42, 4), littleEndian(44100 * 2, 4));
    EXPECT_TRUE(saved.substr(46) == half.substr(0, 44100 * 2)) << "whole frames only";
    ASSERT_EQ(seenBoxes.size(), 1u);
    EXPECT_EQ(seenBoxes[0].title, "Error");
    EXPECT_EQ(seenBoxes[0].text,
              "Only 0.5 of the 1.0 seconds of the take could be read back from pelvar.temp; they were saved as " +
                  shortPath + ".");
    EXPECT_EQ(buttons(), (Buttons{true, false, true}));

    // The name gone changes nothing: the save reads the take the recorder holds.
    std::filesystem::remove("pelvar.temp");
    forgetAnswers();
    plannedDialogAnswers = {(folder.path() / "removed.wav").string()};
    EXPECT_FALSE(exportWav());
    EXPECT_TRUE(readAll("removed.wav") == saved);
    ASSERT_EQ(seenBoxes.size(), 1u);
    EXPECT_EQ(seenBoxes[0].text.rfind("Only 0.5 of the 1.0 seconds", 0), 0u) << seenBoxes[0].text;

    // Emptied in place, it holds nothing of the take.
    prepareTake(2, 16, 44100, half, 44100);
    std::filesystem::resize_file("pelvar.temp", 0);
    forgetAnswers();
    plannedDialogAnswers = {(folder.path() / "missing.wav").string()};
    EXPECT_FALSE(exportWav());
    EXPECT_EQ(fileSize("missing.wav"), -1) << "no WAV of invented silence";
    ASSERT_EQ(seenBoxes.size(), 1u);
    EXPECT_EQ(seenBoxes[0].title, "Error");
    EXPECT_EQ(seenBoxes[0].text,
              "None of the 1.0 seconds of the take could be read back from pelvar.temp, so nothing was saved.");
}

// Cancelled, declined or failed, a save leaves every file as it was, asks for
// no restart, and leaves Record and Save usable; only a completed one asks.
TEST_F(Recorder, OnlyACompletedSaveAsksForARestart) {
    acceptSettings();
    prepareTake(2, 16, 44100, "abcd", 1);
    std::ofstream("taken.wav") << "old";
    std::filesystem::create_directory("folder.wav");
    const std::string question = "taken.wav already exists.\n\nDo you want to overwrite this file?";
    const std::string folderError = (folder.path() / "folder.wav").string();
    struct Case {
        const char* what;
        std::optional<std::string> chosen;
        std::deque<int> answers;
        // Each box's title and text; of an error, the path it names.
        std::vector<std::pair<std::string, std::string>> boxes;
    };
    const Case cases[] = {
        {"cancelled", std::nullopt, {}, {}},
        {"declined", (folder.path() / "taken.wav").string(), {QMessageBox::No}, {{"Overwrite file?", question}}},
        {"cancelled at the question",
         (folder.path() / "taken.wav").string(),
         {QMessageBox::Cancel},
         {{"Overwrite file?", question}}},
        {"failed",
         (folder.path() / "folder").string(),
         {QMessageBox::Yes},
         {{"Overwrite file?", "folder.wav already exists.\n\nDo you want to overwrite this file?"},
          {"Error", folderError}}},
    };
    for (const Case& row : cases) {
        forgetAnswers();
        plannedDialogAnswers = {row.chosen};
        plannedBoxAnswers = row.answers;
        ASSERT_TRUE(clickAndLoop(SaveButton)) << row.what;
        ASSERT_EQ(seenBoxes.size(), row.boxes.size()) << row.what;
        for (size_t box = 0; box < row.boxes.size(); ++box) {
            const auto& [title, text] = row.boxes[box];
            EXPECT_EQ(seenBoxes[box].title, title) << row.what;
            if (title == "Error")
                EXPECT_NE(seenBoxes[box].text.find(text), std::string::npos) << row.what << ": " << seenBoxes[box].text;
            else
                EXPECT_EQ(seenBoxes[box].text, text) << row.what;
        }
        EXPECT_EQ(buttons(), (Buttons{true, false, true})) << row.what;
        EXPECT_EQ(readAll("taken.wav"), "old") << row.what;
        EXPECT_EQ(fileSize("folder.wav"), -2) << row.what;
        EXPECT_EQ(fileSize(".wav"), -1) << row.what << ": no hidden file";
    }
    forgetAnswers();
    plannedDialogAnswers = {(folder.path() / "taken.wav").string()};
    plannedBoxAnswers = {QMessageBox::Yes};
    ASSERT_TRUE(clickAndLoop(SaveButton));
    const std::string saved = readAll("taken.wav");
    EXPECT_EQ(saved.size(), 50u);
    EXPECT_EQ(saved.substr(46), "abcd");
    ASSERT_EQ(seenBoxes.size(), 3u);
    EXPECT_EQ(seenBoxes[1].title, "Done!");
    EXPECT_EQ(seenBoxes[2].title, "All Done!");
    EXPECT_EQ(buttons(), (Buttons{false, false, false}));
}

TEST_F(Recorder, ClicksHandledInOneBatchMeetTheButtonsTheEarlierOnesLeft) {
    ASSERT_NO_FATAL_FAILURE(startRecorder());
    // Clicks on buttons that were enabled, piled up while the program was
    // busy, reach the layer together.
    auto batch = [this](std::vector<int> controls) {
        later([controls] {
            for (int control : controls) QTest::mouseClick(controlWidget(control), Qt::LeftButton);
        });
        runLoopFor(400);
    };
    plannedDialogAnswers = {std::nullopt};
    batch({StopButton, SaveButton});
    EXPECT_EQ(seenDialogs.size(), 1u) << "Stop left Save enabled, so the Save after it ran";
    EXPECT_EQ(buttons(), (Buttons{true, false, true}));

    batch({RecordButton, SaveButton});
    EXPECT_EQ(buttons(), (Buttons{false, true, false}));
    EXPECT_EQ(seenDialogs.size(), 1u) << "Save was disabled by the Record before it";
    ASSERT_TRUE(clickAndLoop(StopButton));

    batch({RecordButton, RecordButton, SaveButton});
    EXPECT_EQ(recordingState.armed.load(), -1) << "the take goes on";
    EXPECT_EQ(buttons(), (Buttons{false, true, false}));
    EXPECT_EQ(seenDialogs.size(), 1u);
    runLoopFor(400);
    ASSERT_TRUE(clickAndLoop(StopButton));
    EXPECT_NEAR(recordingState.framesCaptured.load() / 44100.0, 0.8, 0.35) << "one take, from the first Record to Stop";
    plannedDialogAnswers = {(folder.path() / "batch").string()};
    ASSERT_TRUE(clickAndLoop(SaveButton));
    EXPECT_TRUE(readAll("batch.wav").substr(46) == readAll("pelvar.temp"));
}

TEST_F(Recorder, TitleCountsEvery1025Passes) {
    const std::string title = windowTitle(MainWindow);
    prepareTake(1, 16, 44100, std::string(2048, 'a'), 1024);
    plannedDialogAnswers = {(folder.path() / "short.wav").string()};
    exportWav();
    EXPECT_EQ(windowTitle(MainWindow), title) << "1024 passes leave the title alone";
    prepareTake(1, 16, 44100, std::string(2050, 'a'), 1025);
    plannedDialogAnswers = {(folder.path() / "one.wav").string()};
    exportWav();
    EXPECT_EQ(windowTitle(MainWindow), " Wait...Memory Decode : 975");
    EXPECT_EQ(recordingState.saveBlocks, 1);
    prepareTake(1, 16, 44100, std::string(2 * 1025 * 3, 'a'), 1025 * 3);
    plannedDialogAnswers = {(folder.path() / "three.wav").string()};
    exportWav();
    EXPECT_EQ(windowTitle(MainWindow), " Wait...Memory Decode : 978") << "saveBlocks is never reset";
}

// --- A take left unsaved by an earlier run ------------------------------

// "pelvar.temp" as a run that died left it: its bytes, and the note that
// Record put on it (none when empty).
void leaveTake(const std::string& bytes, const std::string& note, const char* name = "pelvar.temp") {
    std::ofstream(name, std::ios::binary | std::ios::trunc) << bytes;
    if (!note.empty()) {
        ASSERT_TRUE(setFileNote(name, takeNoteKey, note));
    }
}

TEST_F(Recorder, UnsavedTakeIsOfferedOnlyWhenItCanBeSaved) {
    // The note keeps UTC; the box speaks the user's local time.
    const char* zone = std::getenv("TZ");
    const std::string zoneBefore = zone ? zone : "";
    setenv("TZ", "CET-1", 1);
    ::tzset();
    const std::string began = " began=2026-12-07T11:02:33Z";
    enum class Setup { plain, link, heldElsewhere };
    struct Case {
        const char* what;
        std::string note;
        size_t bytes;
        Setup setup;
        const char* offered;  // what the box says the file holds; null: no box
    };
    const Case cases[] = {
        {"unsaved", "channels=2 bits=16 rate=44100" + began, 542430 * 4, Setup::plain,
         "12.3 seconds (2 channels, 16 bit, 44100 Hz) recorded on 2026-12-07 at 12:02"},
        {"whole frames only", "channels=1 bits=24 rate=48000" + began, 4800 * 3 + 2, Setup::plain,
         "0.1 seconds (1 channel, 24 bit, 48000 Hz) recorded on 2026-12-07 at 12:02"},
        {"saved", "channels=2 bits=16 rate=44100" + began + " saved=1", 44100 * 4, Setup::plain, nullptr},
        {"no note", "", 44100 * 4, Setup::plain, nullptr},
        {"a note of another format", "channels=2 bits=12 rate=44100" + began, 44100 * 4, Setup::plain, nullptr},
        {"less than a frame", "channels=2 bits=24 rate=44100" + began, 5, Setup::plain, nullptr},
        {"a link", "channels=2 bits=16 rate=44100" + began, 44100 * 4, Setup::link, nullptr},
        {"held by another copy", "channels=2 bits=16 rate=44100" + began, 44100 * 4, Setup::heldElsewhere, nullptr},
    };
    for (const Case& row : cases) {
        forgetAnswers();
        std::filesystem::remove("pelvar.temp");
        const std::string bytes(row.bytes, 'b');
        leaveTake(bytes, row.note, row.setup == Setup::link ? "elsewhere.temp" : "pelvar.temp");
        if (row.setup == Setup::link) std::filesystem::create_symlink("elsewhere.temp", "pelvar.temp");
        // Another process's lock: one taken through a descriptor of its own.
        const int other = row.setup == Setup::heldElsewhere ? ::open("pelvar.temp", O_RDONLY) : -1;
        if (other >= 0) {
            ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
        }
        plannedBoxAnswers = {QMessageBox::No};
        offerUnsavedTake();
        if (other >= 0) ::close(other);
        if (row.offered) {
            ASSERT_EQ(seenBoxes.size(), 1u) << row.what;
            EXPECT_EQ(seenBoxes[0].title, "Unsaved take");
            EXPECT_EQ(seenBoxes[0].text, std::string("pelvar.temp holds ") + row.offered +
                                             " that were never saved.\n\nDo you want to save them now?");
            EXPECT_EQ(seenBoxes[0].buttons, QMessageBox::Yes | QMessageBox::No);
        } else {
            EXPECT_TRUE(seenBoxes.empty()) << row.what;
        }
        EXPECT_TRUE(readAll("pelvar.temp") == bytes) << row.what << ": the take stays as it was";
        EXPECT_EQ(fileNote("pelvar.temp", takeNoteKey), row.setup == Setup::link ? "" : row.note) << row.what;
    }
    if (zone) {
        setenv("TZ", zoneBefore.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    ::tzset();
}

TEST_F(Recorder, YesAtTheUnsavedTakeBoxSavesItInItsOwnFormatAndTheSettingsFollow) {
    std::string take;
    for (int index = 0; index < 3000; ++index) take += static_cast<char>(index * 11 + 3);
    leaveTake(take + "x", "channels=1 bits=24 rate=48000 began=2026-12-07T11:02:33Z");
    const CaptureSettings chosen = captureSettings;
    const std::string title = windowTitle(MainWindow);
    plannedDialogAnswers = {(folder.path() / "kept").string()};
    offerUnsavedTake();
    ASSERT_EQ(seenBoxes.size(), 2u);
    EXPECT_EQ(seenBoxes[0].title, "Unsaved take");
    EXPECT_EQ(seenBoxes[1].title, "Done!") << "and no restart advice: the settings phase comes next";
    EXPECT_EQ(readAll("kept.wav"), expectedHeader({1, 24, 48000, 1000, 144000, 3, false}) + take);
    EXPECT_EQ(fileNote("pelvar.temp", takeNoteKey), "channels=1 bits=24 rate=48000 began=2026-12-07T11:02:33Z saved=1");
    EXPECT_EQ(captureSettings.channelCount, chosen.channelCount);
    EXPECT_EQ(captureSettings.bitsPerSample, chosen.bitsPerSample);
    EXPECT_EQ(captureSettings.sampleRate, chosen.sampleRate);
    EXPECT_EQ(captureSettings.deviceIndex, chosen.deviceIndex);
    EXPECT_EQ(recordingState.framesCaptured.load(), 0);
    EXPECT_EQ(windowTitle(MainWindow), title);
    EXPECT_EQ(buttons(), (Buttons{false, false, false}));
    EXPECT_TRUE(controlEnabled(AcceptButton));

    forgetAnswers();
    offerUnsavedTake();
    EXPECT_TRUE(seenBoxes.empty()) << "a saved take is not offered again";
}

TEST_F(Recorder, NoAtTheUnsavedTakeBoxKeepsItUntilTheNextRecord) {
    const std::string take(3000, 'o');
    leaveTake(take, "channels=1 bits=24 rate=48000 began=2026-12-07T11:02:33Z");
    plannedBoxAnswers = {QMessageBox::No};
    offerUnsavedTake();
    ASSERT_EQ(seenBoxes.size(), 1u);
    ASSERT_NO_FATAL_FAILURE(startRecorder());
    EXPECT_EQ(captureSettings.channelCount, 2);
    EXPECT_EQ(captureSettings.bitsPerSample, 16);
    EXPECT_EQ(captureFormat.bytesPerFrame, 4);
    EXPECT_EQ(readAll("pelvar.temp"), take) << "ACCEPT leaves the old take alone";

    const auto clicked = std::time(nullptr);
    ASSERT_TRUE(clickAndLoop(RecordButton));
    const std::string note = fileNote("pelvar.temp", takeNoteKey);
    EXPECT_EQ(note.rfind("channels=2 bits=16 rate=44100 began=", 0), 0u) << note;
    const std::optional<TakeNote> parsed = parseTakeNote(note);
    ASSERT_TRUE(parsed.has_value()) << note;
    EXPECT_NEAR(static_cast<double>(parsed->began), static_cast<double>(clicked), 2.0);
    EXPECT_FALSE(parsed->saved);
    ASSERT_TRUE(loopUntil([] { return recordingState.framesCaptured.load() > 44100 / 5; }));
    ASSERT_TRUE(clickAndLoop(StopButton));
    plannedDialogAnswers = {(folder.path() / "new").string()};
    ASSERT_TRUE(clickAndLoop(SaveButton));
    EXPECT_TRUE(readAll("new.wav").substr(46) == readAll("pelvar.temp"));
    EXPECT_EQ(fileNote("pelvar.temp", takeNoteKey), note + " saved=1");
}

}  // namespace

int main(int argc, char** argv) { return runLayerTests(argc, argv, true); }
