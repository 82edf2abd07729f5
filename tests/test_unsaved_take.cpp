// SPDX-License-Identifier: MIT
// A take an earlier run left unsaved, offered back at start-up in-process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <QComboBox>
#include <QMessageBox>
#include <chrono>
#include <cstdlib>
#include <ctime>
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
    EXPECT_EQ(capture().framesCaptured(), 0);
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
    ASSERT_TRUE(loopUntil([this] { return capture().framesCaptured() > 44100 / 5; }));
    ASSERT_TRUE(clickAndLoop(StopButton));
    const std::string note = fileNote("pelvar.temp", takeNoteKey);
    EXPECT_EQ(note.rfind("channels=2 bits=16 rate=44100 began=", 0), 0u) << note;
    const std::optional<TakeNote> parsed = parseTakeNote(note);
    ASSERT_TRUE(parsed.has_value()) << note;
    EXPECT_NEAR(static_cast<double>(parsed->began), static_cast<double>(clicked), 2.0);
    EXPECT_FALSE(parsed->saved);
    plannedDialogAnswers = {(folder.path() / "new").string()};
    ASSERT_TRUE(clickAndLoop(SaveButton));
    EXPECT_TRUE(readAll("new.wav").substr(46) == readAll("pelvar.temp"));
    EXPECT_EQ(fileNote("pelvar.temp", takeNoteKey), note + " saved=1");
}

}  // namespace

int main(int argc, char** argv) { return runLayerTests(argc, argv, true); }
