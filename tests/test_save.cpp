// SPDX-License-Identifier: MIT
// Saving as the Save button runs it, in-process: the header of every
// format, the data byte for byte, and what the window shows meanwhile.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QComboBox>
#include <QMessageBox>
#include <QTest>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <optional>

#include "app_fixture.h"
#include "app_testing.h"
#include "audio_check.h"
#include "capture.h"
#include "files.h"
#include "files_testing.h"
#include "save.h"
#include "support.h"
#include "temp_folder.h"
#include "ui.h"
#include "ui_testing.h"

namespace {

// "pelvar.temp" cut short while a save reads it, as another program could
// cut it: once the save reads the take from `cutWhenReadAt` on, its file is
// cut to `cutTo` bytes, and every read of it from there on is counted.
std::atomic<int64_t> cutWhenReadAt{-1};
std::atomic<bool> takeCut{false};
std::atomic<int> readsPastTheEnd{0};
int64_t cutTo = 0;
struct stat takeFile {};

}  // namespace

extern "C" ssize_t read(int descriptor, void* data, size_t length) {
    struct stat status {};
    if ((cutWhenReadAt.load() >= 0 || takeCut.load()) && ::fstat(descriptor, &status) == 0 &&
        status.st_dev == takeFile.st_dev && status.st_ino == takeFile.st_ino) {
        if (takeCut.load()) {
            if (::lseek(descriptor, 0, SEEK_CUR) >= cutTo) ++readsPastTheEnd;
        } else if (::lseek(descriptor, 0, SEEK_CUR) >= cutWhenReadAt.load()) {
            cutWhenReadAt.store(-1);
            takeCut.store(::truncate("pelvar.temp", static_cast<off_t>(cutTo)) == 0);
        }
    }
    return syscall(SYS_read, descriptor, data, length);
}

namespace {

TEST_F(Recorder, HeaderDescribesEachFormatAndRf64TakesOverPastWhatRiffHolds) {
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
        {1, 24, 48000, 133334, 144000, 3, true},  // three-byte frames
        // An odd data size: a pad byte follows the data, counted by RIFF's
        // size and not by the data chunk's.
        {1, 24, 48000, 7, 144000, 3, false},
        {1, 24, 48000, 133335, 144000, 3, true},
    };
    int saves = 0;
    for (const HeaderCase& row : cases) {
        const uint32_t dataSize = static_cast<uint32_t>(row.frames) * row.blockAlign;
        std::string data(dataSize, '\0');
        for (uint32_t index = 0; index < dataSize; ++index) data[index] = static_cast<char>(index * 13 + 5);
        prepareTake(row.channels, row.bits, row.rate, data, row.frames);
        const std::string name = "format" + std::to_string(saves++) + ".wav";
        SaveRequest request;
        request.settings = captureSettings;
        request.frames = row.frames;
        request.path = (folder.path() / name).string();
        // The threshold lowered from 4 GiB so that a few seconds go out as RF64.
        request.rf64Threshold = 400000;
        ASSERT_TRUE(saveTakeAs(request).saved);
        const std::string described = std::to_string(row.channels) + " channels, " + std::to_string(row.bits) +
                                      " bits, " + std::to_string(row.frames) + " frames";
        const std::string pad = dataSize % 2 == 1 ? std::string(1, '\0') : "";
        EXPECT_TRUE(readAll(name) == expectedHeader(row) + data + pad) << described;
        if (!row.rf64 && pad.empty()) continue;
        // Two readers that users have: libsndfile and sox.
        const std::string rate = std::to_string(static_cast<int>(row.rate));
        const std::string sndfile = output("sndfile-info " + name);
        EXPECT_NE(sndfile.find("Channels    : " + std::to_string(row.channels)), std::string::npos) << sndfile;
        EXPECT_NE(sndfile.find("Sample Rate : " + rate), std::string::npos) << sndfile;
        EXPECT_NE(sndfile.find("Frames      : " + std::to_string(row.frames)), std::string::npos) << sndfile;
        char kind[32];  // RF64 (0x220000) or WAV (0x010000) with integer PCM of the take's width
        std::snprintf(kind, sizeof kind, "Format      : 0x%08X", (row.rf64 ? 0x220000 : 0x010000) + row.bits / 8);
        EXPECT_NE(sndfile.find(kind), std::string::npos) << sndfile;
        // libsndfile logs "'data' chunk should be an even number of bytes" for
        // any odd data chunk, padded or not: it looks at the chunk's own size,
        // which RIFF says leaves the pad out. What matters is that it and sox
        // read every frame and nothing past them.
        const std::string sox =
            output("soxi -c " + name + "; soxi -r " + name + "; soxi -b " + name + "; soxi -s " + name);
        EXPECT_EQ(sox, std::to_string(row.channels) + "\n" + rate + "\n" + std::to_string(row.bits) + "\n" +
                           std::to_string(row.frames) + "\n");
    }
}

TEST_F(Recorder, DataIsExactlyWhatTheTakeFileHolds) {
    // 24-bit mono, odd frame count: an odd data size copies its last byte exactly.
    prepareTake(1, 24, 48000, "abcdefghiXYZ", 3);
    plannedDialogAnswers = {(folder.path() / "odd.wav").string()};
    EXPECT_TRUE(saveLastTake());
    EXPECT_EQ(readAll("odd.wav").substr(42), littleEndian(9, 4) + "abcdefghi" + std::string(1, '\0'));

    // Half a second left of a one-second take: those frames, and the truth.
    const std::string half(44100 * 2 + 3, 'h');
    prepareTake(2, 16, 44100, half, 44100);
    forgetAnswers();
    const std::string shortPath = (folder.path() / "short.wav").string();
    plannedDialogAnswers = {shortPath};
    EXPECT_FALSE(saveLastTake());
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
    EXPECT_FALSE(saveLastTake());
    EXPECT_TRUE(readAll("removed.wav") == saved);
    ASSERT_EQ(seenBoxes.size(), 1u);
    EXPECT_EQ(seenBoxes[0].text.rfind("Only 0.5 of the 1.0 seconds", 0), 0u) << seenBoxes[0].text;

    // Emptied in place, it holds nothing of the take.
    prepareTake(2, 16, 44100, half, 44100);
    std::filesystem::resize_file("pelvar.temp", 0);
    forgetAnswers();
    plannedDialogAnswers = {(folder.path() / "missing.wav").string()};
    EXPECT_FALSE(saveLastTake());
    EXPECT_EQ(fileSize("missing.wav"), -1) << "no WAV of invented silence";
    ASSERT_EQ(seenBoxes.size(), 1u);
    EXPECT_EQ(seenBoxes[0].title, "Error");
    EXPECT_EQ(seenBoxes[0].text,
              "None of the 1.0 seconds of the take could be read back from pelvar.temp, so nothing was saved.");
}

// A take cut short while it is being saved: what was read is saved, in
// whole frames, and told as for a take emptied before the save; never the
// zeros a read past its end gives. The take is not marked saved, and past
// its end nothing more is read.
TEST_F(Recorder, TakeCutShortDuringTheSaveKeepsWhatWasRead) {
    struct Case {
        const char* what;
        int channels, bits;
        double rate;
        int32_t frames;
        int64_t cutWhenReadAt, cutTo;
        int64_t kept;  // data bytes the WAV holds
        const char* told;
    };
    const Case cases[] = {
        {"16-bit stereo", 2, 16, 44100, 88200, 65536, 100002, 100000, "Only 0.6 of the 2.0 seconds"},
        {"24-bit mono, cut inside a frame", 1, 24, 48000, 48000, 8192, 30001, 30000, "Only 0.2 of the 1.0 seconds"},
        {"cut before its first byte was read", 2, 16, 44100, 44100, 0, 0, 0, "None of the 1.0 seconds"},
    };
    const std::string note = "began=2026-12-07T11:02:33Z";
    int saves = 0;
    for (const Case& row : cases) {
        const int frame = row.channels * row.bits / 8;
        std::string data(static_cast<size_t>(row.frames) * frame, '\0');
        for (size_t index = 0; index < data.size(); ++index) data[index] = static_cast<char>(index * 7 + 1);
        prepareTake(row.channels, row.bits, row.rate, data, row.frames);
        const std::string taken = "channels=" + std::to_string(row.channels) + " bits=" + std::to_string(row.bits) +
                                  " rate=" + std::to_string(static_cast<int>(row.rate)) + " " + note;
        ASSERT_TRUE(setFileNote("pelvar.temp", takeNoteKey, taken));
        ASSERT_EQ(::stat("pelvar.temp", &takeFile), 0);
        cutTo = row.cutTo;
        readsPastTheEnd.store(0);
        takeCut.store(false);
        cutWhenReadAt.store(row.cutWhenReadAt);
        forgetAnswers();
        const std::string path = (folder.path() / ("cut" + std::to_string(saves++) + ".wav")).string();
        plannedDialogAnswers = {path};
        EXPECT_FALSE(saveLastTake()) << row.what;
        cutWhenReadAt.store(-1);
        EXPECT_TRUE(takeCut.load()) << row.what << ": the save read the take past the cut";
        takeCut.store(false);
        EXPECT_LE(readsPastTheEnd.load(), 1) << row.what << ": past the end nothing more is read";
        ASSERT_EQ(seenBoxes.size(), 1u) << row.what;
        EXPECT_EQ(seenBoxes[0].title, "Error") << row.what;
        EXPECT_EQ(seenBoxes[0].text.rfind(row.told, 0), 0u) << seenBoxes[0].text;
        if (row.kept > 0) {
            EXPECT_NE(seenBoxes[0].text.find("they were saved as " + path + "."), std::string::npos)
                << seenBoxes[0].text;
            const HeaderCase header{row.channels,
                                    row.bits,
                                    row.rate,
                                    static_cast<int32_t>(row.kept / frame),
                                    static_cast<uint32_t>(row.rate * frame),
                                    static_cast<uint16_t>(frame),
                                    false};
            EXPECT_TRUE(readAll(path) == expectedHeader(header) + data.substr(0, static_cast<size_t>(row.kept)))
                << row.what << ": what was read, in whole frames, and nothing invented";
        } else {
            EXPECT_EQ(fileSize(path.c_str()), -1) << row.what << ": no WAV of invented silence";
        }
        EXPECT_EQ(fileNote("pelvar.temp", takeNoteKey), taken) << row.what << ": the take is not marked saved";
        EXPECT_EQ(buttons(), (Buttons{true, false, true})) << row.what;
    }

    // A take past what RIFF holds keeps its RF64 header, with the sizes of
    // what was read.
    const std::string data(400000, 'r');
    prepareTake(2, 16, 44100, data, 100000);
    ASSERT_EQ(::stat("pelvar.temp", &takeFile), 0);
    cutTo = 200002;
    takeCut.store(false);
    cutWhenReadAt.store(65536);
    SaveRequest request;
    request.settings = captureSettings;
    request.frames = 100000;
    request.path = (folder.path() / "rf64.wav").string();
    request.rf64Threshold = 300000;
    const SaveResult result = saveTakeAs(request);
    cutWhenReadAt.store(-1);
    takeCut.store(false);
    EXPECT_TRUE(result.saved);
    EXPECT_EQ(result.takeBytes, 400000);
    EXPECT_EQ(result.savedBytes, 200000);
    EXPECT_TRUE(readAll("rf64.wav") == expectedHeader({2, 16, 44100, 50000, 176400, 4, true}) + data.substr(0, 200000));
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
        // A folder is never offered for overwriting: the reason comes at once.
        {"failed: a folder under the name",
         (folder.path() / "folder").string(),
         {QMessageBox::Yes},
         {{"Error", folderError + ": " + std::strerror(EISDIR) + "."}}},
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
    EXPECT_TRUE(capture().armed()) << "the take goes on";
    EXPECT_EQ(buttons(), (Buttons{false, true, false}));
    EXPECT_EQ(seenDialogs.size(), 1u);
    runLoopFor(400);
    ASSERT_TRUE(clickAndLoop(StopButton));
    EXPECT_NEAR(capture().framesCaptured() / 44100.0, 0.8, 0.35) << "one take, from the first Record to Stop";
    plannedDialogAnswers = {(folder.path() / "batch").string()};
    ASSERT_TRUE(clickAndLoop(SaveButton));
    EXPECT_TRUE(readAll("batch.wav").substr(46) == readAll("pelvar.temp"));
}

TEST_F(Recorder, TitleCountsEvery1025Passes) {
    const std::string title = windowTitle(MainWindow);
    prepareTake(1, 16, 44100, std::string(2048, 'a'), 1024);
    plannedDialogAnswers = {(folder.path() / "short.wav").string()};
    saveLastTake();
    EXPECT_EQ(windowTitle(MainWindow), title) << "1024 passes leave the title alone";
    prepareTake(1, 16, 44100, std::string(2050, 'a'), 1025);
    plannedDialogAnswers = {(folder.path() / "one.wav").string()};
    saveLastTake();
    EXPECT_EQ(windowTitle(MainWindow), " Wait...Memory Decode : 975");
    EXPECT_EQ(recordingState.saveBlocks, 1);
    prepareTake(1, 16, 44100, std::string(2 * 1025 * 3, 'a'), 1025 * 3);
    plannedDialogAnswers = {(folder.path() / "three.wav").string()};
    saveLastTake();
    EXPECT_EQ(windowTitle(MainWindow), " Wait...Memory Decode : 978") << "saveBlocks is never reset";
}

}  // namespace

int main(int argc, char** argv) { return runLayerTests(argc, argv, true); }
