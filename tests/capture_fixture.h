// SPDX-License-Identifier: MIT
// What the capture tests and the take writer's tests share: ALSA devices
// that hand out the bytes of a file, the capture settings set directly, and
// a fixture that leaves the recorder as it found it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "capture.h"
#include "capture_testing.h"
#include "files.h"
#include "save.h"
#include "support.h"
#include "temp_folder.h"

inline std::string homeFolder() { return std::getenv("HOME") ? std::getenv("HOME") : "/tmp"; }

// The file device lives in a home of this test program's own, so that other
// programs using the sound server never list it.
inline void useOwnHome() {
    static TempFolder home;
    setenv("HOME", home.path().c_str(), 1);
    std::filesystem::current_path(home.path().parent_path());
}
inline std::string fileDeviceInput() { return homeFolder() + "/ostrelle-infile.raw"; }
inline std::string pacedDeviceInput() { return homeFolder() + "/ostrelle-paced.raw"; }

// ALSA devices of the rig's that hand out the bytes of a file exactly:
// "ostrelle_file" as fast as they are taken, "ostrelle_paced" at the sound
// server's pace.
inline void writeAlsaFileDevice() {
    useOwnHome();
    for (const std::string& input : {fileDeviceInput(), pacedDeviceInput()})
        std::ofstream(input, std::ios::binary) << std::string(4096, '\0');
    runRig({"devices", homeFolder(), "ostrelle_file", "null", fileDeviceInput(), "", "ostrelle_paced", soundDevice(),
            pacedDeviceInput(), ""});
}

inline std::string randomBytes(size_t count, unsigned seed) {
    std::string bytes(count, '\0');
    std::mt19937 random(seed);
    for (char& byte : bytes) byte = static_cast<char>(random());
    return bytes;
}

inline CaptureSettings settingsFor(int channels, int bits, double rate, int device) {
    CaptureSettings settings;
    settings.channelCount = static_cast<int16_t>(channels);
    settings.bitsPerSample = bits;
    settings.sampleRate = rate;
    settings.deviceIndex = device;
    return settings;
}

// Looks every 10 ms until `done` holds, for `milliseconds` at most: false if it never did.
inline bool waitUntil(const std::function<bool()>& done, int milliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A capture engine of the test's own, on records of its own, driven as the
// recorder drives it.
class Capture : public ::testing::Test {
   protected:
    void SetUp() override { forgetAnswers(); }
    void TearDown() override {
        engine.closeStream();
        closeAllFiles();
    }
    void useSettings(int channels, int bits, double rate, int device) {
        captureSettings = settingsFor(channels, bits, rate, device);
        captureFormat = computeCaptureFormat(captureSettings);
    }
    StreamOpening openCaptureStream() { return engine.openStream(); }
    bool beginTake() { return engine.beginTake() == TakeBeginning::begun; }
    TakeOutcome endTake() { return engine.endTake(); }
    // Saves the take as the Save button would, without the dialog and boxes.
    SaveResult saveTake(const std::string& path) {
        SaveRequest request;
        request.settings = captureSettings;
        request.frames = capture().framesCaptured();
        request.path = path;
        request.mayReplace = true;
        return saveTakeAs(request);
    }

    TempFolder folder;
    CaptureSettings captureSettings;
    CaptureFormat captureFormat;
    CaptureEngine engine{captureSettings, captureFormat};
    CaptureEngine& capture() { return engine; }
};
