// SPDX-License-Identifier: MIT
#include <cmath>
#include <cstdio>
#include <ctime>

#include "app_internal.h"
#include "files.h"
#include "ui.h"
#include "wav.h"

namespace {

// What the name holds now, judged by its size and its note alone.
LeftoverTake examine() {
    LeftoverTake leftover;
    const int64_t size = fileSize(tempCaptureName);
    if (size == -1) return leftover;
    leftover.state = LeftoverState::noNote;
    // A link carries no note of its own, and a folder none that counts.
    std::optional<TakeNote> note = parseTakeNote(fileNote(tempCaptureName, takeNoteKey));
    if (size < 0 || !note) return leftover;
    leftover.note = *note;
    if (note->saved) {
        leftover.state = LeftoverState::saved;
        return leftover;
    }
    const int64_t frames = size / bytesPerFrameFor(note->bitsPerSample, note->channelCount);
    leftover.frames = frames < largestTakeFrames ? frames : largestTakeFrames;
    leftover.state = frames > 0 ? LeftoverState::found : LeftoverState::tooShort;
    return leftover;
}

// Saves it as the Save button does, then puts back what the settings phase
// starts from: the window's choices, no format, nothing captured, the
// window's own title and the buttons before ACCEPT.
void saveLeftoverTake(const LeftoverTake& leftover) {
    const CaptureSettings chosen = captureSettings;
    adoptLeftoverTake(leftover);
    if (exportWav()) markTakeSaved();
    captureSettings = chosen;
    captureFormat = CaptureFormat{};
    recordingState.framesCaptured.store(0, std::memory_order_release);
    setWindowTitle(MainWindow, mainWindowTitle);
    showButtons(ButtonState::beforeAccept);
}

}  // namespace

LeftoverTake findLeftoverTake() {
    LeftoverTake before = examine();
    if (before.state != LeftoverState::found) return before;
    // Only with the lock held is the file this run's to read and, later, to
    // empty; looked at again then, since it may have changed meanwhile.
    if (openExclusiveForReading(TakeReadFile, tempCaptureName) == 0) {
        before.state = LeftoverState::held;
        return before;
    }
    LeftoverTake leftover = examine();
    if (leftover.state != LeftoverState::found) closeFile(TakeReadFile);
    return leftover;
}

std::string describeLeftoverTake(const LeftoverTake& leftover) {
    const TakeNote& note = leftover.note;
    const std::time_t began = static_cast<std::time_t>(note.began);
    std::tm local{};
    char when[48] = "";
    if (::localtime_r(&began, &local) != nullptr) std::strftime(when, sizeof when, "on %Y-%m-%d at %H:%M", &local);
    char text[160];
    std::snprintf(text, sizeof text, "%.1f seconds (%d channel%s, %d bit, %lld Hz) recorded %s",
                  static_cast<double>(leftover.frames) / note.sampleRate, note.channelCount,
                  note.channelCount == 1 ? "" : "s", note.bitsPerSample, std::llround(note.sampleRate), when);
    return text;
}

void adoptLeftoverTake(const LeftoverTake& leftover) {
    captureSettings.channelCount = leftover.note.channelCount;
    captureSettings.bitsPerSample = leftover.note.bitsPerSample;
    captureSettings.sampleRate = leftover.note.sampleRate;
    computeCaptureFormat();
    recordingState.framesCaptured.store(static_cast<int32_t>(leftover.frames), std::memory_order_release);
}

void markTakeSaved() {
    // The file the save read, whatever has become of its name since.
    std::optional<TakeNote> note = parseTakeNote(fileNote(TakeReadFile, takeNoteKey));
    if (!note) return;
    note->saved = true;
    setFileNote(TakeReadFile, takeNoteKey, formatTakeNote(*note));
}

void offerUnsavedTake() {
    const LeftoverTake leftover = findLeftoverTake();
    if (leftover.state != LeftoverState::found) return;
    const std::string question = std::string(tempCaptureName) + " holds " + describeLeftoverTake(leftover) +
                                 " that were never saved.\r\rDo you want to save them now?";
    if (messageBox("Unsaved take", question.c_str(), boxYesNo) == answerYes) saveLeftoverTake(leftover);
    closeFile(TakeReadFile);
}
