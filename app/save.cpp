// SPDX-License-Identifier: MIT
// The Save action as the user runs it: the dialog with its types, the
// suffix rule, the overwrite question, the progress in the title, and the
// boxes that follow.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include "app_internal.h"
#include "files.h"
#include "ui.h"

namespace {

// The count in the title has always begun at 975, not at 1: the first
// update, after the first 1025 passes, reads " Wait...Memory Decode : 975",
// and every later one a step further, as the recorder has always shown it.
constexpr int firstShownSaveBlock = 975;

void reportNotSaved(const std::string& path, int error) {
    std::string text = "The file could not be saved as " + path;
    text += error != 0 ? ": " + std::string(std::strerror(error)) + "." : ".";
    showError(text);
}

// The seconds of audio `bytes` of the take hold, to a tenth: "12.3".
std::string secondsHeld(int64_t bytes, const CaptureSettings& settings) {
    const double frames = static_cast<double>(bytes) / bytesPerFrameFor(settings.bitsPerSample, settings.channelCount);
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", frames / settings.sampleRate);
    return text;
}

// After a cancel, a refusal or a failure Record and Save are usable again.
bool notSaved() {
    showButtons(ButtonState::saveFailed);
    return false;
}

// The dialog's type list: ".wav|*.wav|.flac|*.flac|...", WAV first.
std::string typeList() {
    std::string pattern;
    for (const SaveFormatName& named : saveFormats)
        pattern += std::string(pattern.empty() ? "" : "|") + named.suffix + "|*" + named.suffix;
    return pattern;
}

}  // namespace

SaveRequest saveRequestFor(const TakeToSave& take, const SaveTarget& target) {
    SaveRequest request;
    request.settings = take.settings;
    request.frames = take.frames;
    request.path = target.path;
    request.format = target.format;
    request.software = std::string("Ostrelle ") + OSTRELLE_VERSION;
    // The day the take began, in the user's time, as its note has it.
    if (std::optional<TakeNote> note = parseTakeNote(fileNote(TakeReadFile, takeNoteKey))) {
        const std::time_t began = note->began;
        std::tm local{};
        char day[16];
        if (localtime_r(&began, &local) != nullptr && std::strftime(day, sizeof day, "%Y-%m-%d", &local) == 10)
            request.date = day;
    }
    return request;
}

bool saveTake(const TakeToSave& take, int32_t& saveBlocks) {
    showButtons(ButtonState::saving);

    int type = 0;
    std::string chosen = saveFileDialog("Select a file...", ".\\", typeList().c_str(), 0, &type);
    // A cancelled dialog saves nothing rather than a hidden ".wav".
    if (chosen.empty()) return notSaved();
    const SaveTarget target = saveTargetFor(std::move(chosen), saveFormats[type].format);
    const std::string& path = target.path;

    // A folder cannot be replaced by a file: no question, the reason at once.
    if (fileSize(path.c_str()) == -2) {
        reportNotSaved(path, EISDIR);
        return notSaved();
    }
    if (fileSize(path.c_str()) != -1) {
        std::string question = getFilePart(path.c_str()) + " already exists.\r\rDo you want to overwrite this file?";
        if (messageBox("Overwrite file?", question.c_str(), boxYesNoCancel) != answerYes) return notSaved();
    }

    SaveRequest request = saveRequestFor(take, target);
    // A link chosen in the dialog stays a link; the file it leads to is replaced.
    request.path = resolvedPath(path.c_str());
    request.mayReplace = true;
    // Half a million titles a gigabyte: formatted in place, without allocating.
    // The layer answers the window system's requests at each title it hands
    // over, and a close request (a logout, the close box) stops the save
    // within a moment, as the program ends: the boxes below are not shown.
    request.progress = [&saveBlocks] {
        ++saveBlocks;
        char title[48];
        std::snprintf(title, sizeof title, " Wait...Memory Decode : %d", saveBlocks + firstShownSaveBlock - 1);
        setWindowTitle(MainWindow, title);
        return !closeRequested();
    };
    holdSleep("Saving a take");
    const SaveResult result = saveTakeAs(request);
    releaseSleep();
    switch (endingOf(result)) {
        case SaveEnding::nothingRead:
            showError("None of the " + secondsHeld(result.takeBytes, take.settings) +
                      " seconds of the take could be read back from " + tempCaptureName + ", so nothing was saved.");
            return notSaved();
        case SaveEnding::cancelled:
        case SaveEnding::failed: reportNotSaved(path, result.error); return notSaved();
        case SaveEnding::part:
            showError("Only " + secondsHeld(result.savedBytes, take.settings) + " of the " +
                      secondsHeld(result.takeBytes, take.settings) + " seconds of the take could be read back from " +
                      tempCaptureName + "; they were saved as " + path + ".");
            return notSaved();
        case SaveEnding::whole: break;
    }
    // Noted before "Done!" is shown: the program may be ended while it is up.
    markTakeSaved();
    showButtons(ButtonState::saved);
    std::string done = path + "  was successfully saved";
    messageBox("Done!", done.c_str(), boxOk);
    return true;
}

int markTakeSaved() {
    // The file the save read, whatever has become of its name since.
    std::optional<TakeNote> note = parseTakeNote(fileNote(TakeReadFile, takeNoteKey));
    if (!note) return 0;
    note->saved = true;
    if (setFileNote(TakeReadFile, takeNoteKey, formatTakeNote(*note))) return 0;
    return errno != 0 ? errno : EIO;
}

bool saveLastTake(App& app) {
    const TakeToSave take{app.captureSettings, app.capture.framesCaptured()};
    return saveTake(take, app.recordingState.saveBlocks);
}
