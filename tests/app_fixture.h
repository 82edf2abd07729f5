// SPDX-License-Identifier: MIT
// A fixture that builds the main window afresh for each test, and helpers
// to drive the settings phase and the recording loop as a user would, and
// the header a saved take is expected to carry.
#pragma once

#include <gtest/gtest.h>

#include <QComboBox>
#include <QTest>
#include <chrono>
#include <fstream>
#include <functional>
#include <set>
#include <string>

#include "app_testing.h"
#include "capture.h"
#include "capture_testing.h"
#include "files.h"
#include "support.h"
#include "temp_folder.h"
#include "ui.h"

inline void chooseLater(int list, int item, int milliseconds = 0) {
    later([list, item] { static_cast<QComboBox*>(controlWidget(list))->setCurrentIndex(item); }, milliseconds);
}

// The device list's item for the private sound server.
inline int serverItem() {
    auto* list = static_cast<QComboBox*>(controlWidget(DeviceList));
    for (int item = 0; item < list->count(); ++item)
        if (list->itemText(item).startsWith(QString::fromStdString(soundDevice() + " "))) return item;
    return 0;
}

// The device list's first item whose label begins with `label`, or -1.
inline int listed(const std::string& label) {
    auto* list = static_cast<QComboBox*>(controlWidget(DeviceList));
    for (int item = 0; item < list->count(); ++item)
        if (list->itemText(item).startsWith(QString::fromStdString(label))) return item;
    return -1;
}

struct Buttons {
    bool record, stop, save;
    bool operator==(const Buttons&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const Buttons& b) {
    return out << "{record " << b.record << ", stop " << b.stop << ", save " << b.save << "}";
}
inline Buttons buttons() {
    return {controlEnabled(RecordButton), controlEnabled(StopButton), controlEnabled(SaveButton)};
}

// The main window built afresh on records of the test's own, and the steps
// of a run, driven as a user drives them.
class Recorder : public ::testing::Test {
   protected:
    void SetUp() override {
        forgetAnswers();
        // PortAudio is started anew as the program starts it again: off the
        // interface thread.
        app.audio = &audioStart;
        app.capture.useAudioStart(audioStart);
        buildMainWindow(app);
    }
    void TearDown() override {
        app.capture.closeStream();
        closeWindow(MainWindow);
        closeAllFiles();
        for (const std::string& name : plugged_) runRig({"sound", "remove-source", SOUND_RIG, name});
    }
    // A device plugged into the sound server the tests share, or unplugged: a
    // sink `name` playing a tone, whose monitor, "Monitor of DESCRIPTION", is
    // the source that comes and goes. One the test leaves plugged, however it
    // ends, is unplugged when it ends, so that no later test lists it.
    // A source named `name` itself (named) rather than a sink's monitor.
    enum class SourceKind { monitor, named };
    void plugSource(const std::string& name, const std::string& description, int frequency,
                    SourceKind kind = SourceKind::monitor) {
        plugged_.insert(name);
        ASSERT_TRUE(runRig({"sound", kind == SourceKind::monitor ? "add-source" : "add-named-source", SOUND_RIG, name,
                            description, std::to_string(frequency)}))
            << name;
    }
    void unplugSource(const std::string& name) {
        plugged_.erase(name);
        ASSERT_TRUE(runRig({"sound", "remove-source", SOUND_RIG, name})) << name;
    }
    void acceptSettings() {
        clickLater(AcceptButton);
        ASSERT_TRUE(runSettingsPhase(app));
        applyAcceptedSettings(app);
    }
    // Opens the stream as ACCEPT does, off the interface thread, and runs the
    // loop until the opening has settled and what it owed the user is done.
    void openCaptureStream() {
        ::openCaptureStream(app);
        loopUntil([this] { return !app.acceptAwaitsStream; }, 10000);
    }
    int recordingPass(int previousCode) { return ::recordingPass(app, previousCode); }
    void offerUnsavedTake() { ::offerUnsavedTake(app); }
    void refreshStatusLabels() { ::refreshStatusLabels(app); }
    bool saveLastTake() { return ::saveLastTake(app); }
    // A take as the recorder leaves one: its file with these bytes, read
    // through the take's own channel, and the frames it counted.
    void prepareTake(int channels, int bits, double rate, const std::string& bytes, int32_t frames) {
        captureSettings.channelCount = static_cast<int16_t>(channels);
        captureSettings.bitsPerSample = bits;
        captureSettings.sampleRate = rate;
        captureFormat = computeCaptureFormat(captureSettings);
        std::ofstream("pelvar.temp", std::ios::binary | std::ios::trunc) << bytes;
        openExclusiveForReading(TakeReadFile, "pelvar.temp");
        setFramesCapturedForTesting(app.capture, frames);
    }
    // Runs the recording loop until the condition holds. A time-out fails the
    // test, with a message, and returns false.
    bool loopUntil(const std::function<bool()>& done, int milliseconds = 5000) {
        return passUntil(done, milliseconds, "the recording loop",
                         [this] { previousCode_ = recordingPass(previousCode_); });
    }
    // Runs the settings phase until the condition holds, as loopUntil does.
    bool settingsUntil(const std::function<bool()>& done, int milliseconds = 5000) {
        return passUntil(done, milliseconds, "the settings phase", [this] { settingsPass(app); });
    }
    bool passUntil(const std::function<bool()>& done, int milliseconds, const char* phase,
                   const std::function<void()>& pass) {
        keepWaitsShort();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << phase << " waited " << milliseconds << " ms in vain";
                return false;
            }
            pass();
        }
        return true;
    }
    // Runs the recording loop for a while, as time passes for a user.
    void runLoopFor(int milliseconds) {
        keepWaitsShort();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        while (std::chrono::steady_clock::now() < deadline) previousCode_ = recordingPass(previousCode_);
    }
    // Accepts a format from the private sound server's device (or the
    // device list's item given) and opens the stream, with the seconds
    // counted ten times a second.
    void startRecorder(int rateItem = 0, int bitsItem = 0, int deviceItem = -1) {
        chooseLater(DeviceList, deviceItem < 0 ? serverItem() : deviceItem);
        chooseLater(RateList, rateItem);
        chooseLater(BitsList, bitsItem);
        acceptSettings();
        openCaptureStream();
        ASSERT_NE(runningStreamForTesting(capture()), nullptr);
        ASSERT_TRUE(waitForAudio(app.capture));
        addWindowTimer(MainWindow, ElapsedTimer, 100);
    }
    bool clickAndLoop(int control) {
        int clicks = clickCount_ + 1;
        later([this, control] {
            QTest::mouseClick(controlWidget(control), Qt::LeftButton);
            ++clickCount_;
        });
        return loopUntil([&] { return clickCount_ >= clicks && lastCodeWasControl(control); });
    }
    bool lastCodeWasControl(int control) const {
        return previousCode_ == eventControlChanged && eventControl() == control;
    }

    // A timer of the test's own, which the loop ignores, so that every wait ends.
    void keepWaitsShort() { addWindowTimer(MainWindow, guardTimer, 20); }
    static constexpr int guardTimer = 4242;

    TempFolder folder;
    AudioStart audioStart{AudioStart::AlreadyStarted{}};
    App app;
    CaptureSettings& captureSettings = app.captureSettings;
    CaptureFormat& captureFormat = app.captureFormat;
    RecordingState& recordingState = app.recordingState;
    CaptureEngine& capture() { return app.capture; }
    int previousCode_ = 0;
    int clickCount_ = 0;
    std::set<std::string> plugged_;
};

inline std::string littleEndian(uint32_t value, int bytes) {
    std::string out;
    for (int byte = 0; byte < bytes; ++byte) out += static_cast<char>((value >> (8 * byte)) & 0xFF);
    return out;
}

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
inline std::string expectedHeader(const HeaderCase& row) {
    const uint32_t dataSize = static_cast<uint32_t>(row.frames) * row.blockAlign;
    const std::string format = "fmt " + littleEndian(18, 4) + littleEndian(1, 2) + littleEndian(row.channels, 2) +
                               littleEndian(static_cast<uint32_t>(row.rate), 4) + littleEndian(row.byteRate, 4) +
                               littleEndian(row.blockAlign, 2) + littleEndian(row.bits, 2) + littleEndian(0, 2);
    // RIFF's size counts the pad byte after an odd data chunk.
    const uint32_t pad = dataSize % 2;
    if (!row.rf64)
        return "RIFF" + littleEndian(dataSize + pad + 38, 4) + "WAVE" + format + "data" + littleEndian(dataSize, 4);
    const std::string allSet = littleEndian(0xFFFFFFFF, 4);
    return "RF64" + allSet + "WAVE" + "ds64" + littleEndian(28, 4) + littleEndian(dataSize + pad + 74, 4) +
           littleEndian(0, 4) + littleEndian(dataSize, 4) + littleEndian(0, 4) + littleEndian(row.frames, 4) +
           littleEndian(0, 4) + littleEndian(0, 4) + format + "data" + allSet;
}
