// SPDX-License-Identifier: MIT
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "app_internal.h"
#include "files.h"
#include "ui.h"

namespace {

// What the name holds now, judged by its size and its note alone.
UnsavedTake examine() {
    UnsavedTake take;
    const int64_t size = fileSize(tempCaptureName);
    if (size == -1) return take;
    take.state = UnsavedState::noNote;
    // A link carries no note of its own, and a folder none that counts.
    std::optional<TakeNote> note = parseTakeNote(fileNote(tempCaptureName, takeNoteKey));
    if (size < 0 || !note) return take;
    take.note = *note;
    if (note->saved) {
        take.state = UnsavedState::saved;
        return take;
    }
    const int64_t frames = size / bytesPerFrameFor(note->bitsPerSample, note->channelCount);
    take.frames = frames < largestTakeFrames ? frames : largestTakeFrames;
    take.state = frames > 0 ? UnsavedState::found : UnsavedState::tooShort;
    return take;
}

// Saves it as the Save button does, in the format its note gives, then puts
// back what the settings phase starts from: the window's own title and the
// buttons before ACCEPT.
void saveUnsavedTake(const UnsavedTake& take, RecordingState& state) {
    saveTake(unsavedTakeToSave(take), state.saveBlocks);
    setWindowTitle(MainWindow, mainWindowTitle);
    showButtons(ButtonState::beforeAccept);
}

}  // namespace

UnsavedTake findUnsavedTake() {
    UnsavedTake before = examine();
    if (before.state != UnsavedState::found) return before;
    // Only with the lock held is the file this run's to read and, later, to
    // empty; looked at again then, since it may have changed meanwhile.
    if (openExclusiveForReading(TakeReadFile, tempCaptureName) == 0) {
        before.state = errno == EWOULDBLOCK ? UnsavedState::held : UnsavedState::notOwn;
        return before;
    }
    UnsavedTake take = examine();
    if (take.state != UnsavedState::found) closeFile(TakeReadFile);
    return take;
}

std::string describeUnsavedTake(const UnsavedTake& take) {
    const TakeNote& note = take.note;
    const std::time_t began = static_cast<std::time_t>(note.began);
    std::tm local{};
    char when[48] = "";
    if (::localtime_r(&began, &local) != nullptr) std::strftime(when, sizeof when, "on %Y-%m-%d at %H:%M", &local);
    char text[160];
    std::snprintf(text, sizeof text, "%.1f seconds (%d channel%s, %d bit, %lld Hz) recorded %s",
                  static_cast<double>(take.frames) / note.sampleRate, note.channelCount,
                  note.channelCount == 1 ? "" : "s", note.bitsPerSample, std::llround(note.sampleRate), when);
    return text;
}

TakeToSave unsavedTakeToSave(const UnsavedTake& take) {
    TakeToSave save;
    save.settings.channelCount = take.note.channelCount;
    save.settings.bitsPerSample = take.note.bitsPerSample;
    save.settings.sampleRate = take.note.sampleRate;
    save.frames = take.frames;
    return save;
}

void offerUnsavedTake(App& app) {
    const UnsavedTake take = findUnsavedTake();
    if (take.state != UnsavedState::found) return;
    const std::string question = std::string(tempCaptureName) + " holds " + describeUnsavedTake(take) +
                                 " that were never saved.\r\rDo you want to save them now?";
    if (messageBox("Unsaved take", question.c_str(), boxYesNo) == answerYes) saveUnsavedTake(take, app.recordingState);
    closeFile(TakeReadFile);
}
