// SPDX-License-Identifier: MIT
#include "wav.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "files.h"
#include "recorder.h"
#include "ui.h"
#include "wav_testing.h"

namespace {

constexpr int headerBytes = 46;
constexpr int rf64HeaderBytes = 82;
constexpr int formatBlockBytes = 18;
constexpr int ds64Bytes = 28;
constexpr int formatTagPcm = 1;
// A size field that says "look in the ds64 chunk".
constexpr int32_t sizeInDs64 = -1;
// The title is rewritten after this many two-byte passes.
constexpr int passesPerTitleUpdate = 1024;
constexpr int saveBlocksShownOffset = 974;

// Where RF64 takes over; a test lowers it so that a small take goes that way.
int64_t rf64Threshold = largestRiffDataBytes;

void writeQuad(int number, int64_t value) {
    writeLong(number, static_cast<int32_t>(value & 0xFFFFFFFF));
    writeLong(number, static_cast<int32_t>(value >> 32));
}

void writeFormatBlock() {
    const int32_t rate = static_cast<int32_t>(roundedSampleRate());
    const int32_t byteRate =
        static_cast<int32_t>(std::llround(captureSettings.sampleRate * captureFormat.bytesPerFrame));
    const int16_t bits = static_cast<int16_t>(captureSettings.bitsPerSample);
    const int16_t blockAlign = static_cast<int16_t>(captureSettings.channelCount * (bits / 8));
    writeString(WavOutputFile, "fmt ");
    writeLong(WavOutputFile, formatBlockBytes);
    writeWord(WavOutputFile, formatTagPcm);
    writeWord(WavOutputFile, captureSettings.channelCount);
    writeLong(WavOutputFile, rate);
    writeLong(WavOutputFile, byteRate);
    writeWord(WavOutputFile, blockAlign);
    writeWord(WavOutputFile, bits);
    writeWord(WavOutputFile, 0);
}

// The 46-byte header while the sizes fit in 32 bits; past that, RF64 (EBU
// Tech 3306): a ds64 chunk first holds the 64-bit sizes and the frame count,
// and the 32-bit fields that cannot hold theirs say so with all bits set.
void writeHeader(int64_t dataSize) {
    if (dataSize <= rf64Threshold) {
        writeString(WavOutputFile, "RIFF");
        writeLong(WavOutputFile, static_cast<int32_t>(static_cast<uint32_t>(dataSize + (headerBytes - 8))));
        writeString(WavOutputFile, "WAVE");
        writeFormatBlock();
        writeString(WavOutputFile, "data");
        writeLong(WavOutputFile, static_cast<int32_t>(static_cast<uint32_t>(dataSize)));
        return;
    }
    writeString(WavOutputFile, "RF64");
    writeLong(WavOutputFile, sizeInDs64);
    writeString(WavOutputFile, "WAVE");
    writeString(WavOutputFile, "ds64");
    writeLong(WavOutputFile, ds64Bytes);
    writeQuad(WavOutputFile, dataSize + (rf64HeaderBytes - 8));
    writeQuad(WavOutputFile, dataSize);
    writeQuad(WavOutputFile, captureFormat.bytesPerFrame > 0 ? dataSize / captureFormat.bytesPerFrame : 0);
    writeLong(WavOutputFile, 0);  // no table of other chunk sizes
    writeFormatBlock();
    writeString(WavOutputFile, "data");
    writeLong(WavOutputFile, sizeInDs64);
}

// Two bytes a pass, with the window title counting progress; `passes` runs on
// from one stretch of the take to the next. Returns false as soon as the
// disk refuses a write or the program is asked to close.
bool copyTake(int64_t dataSize, int& passes) {
    for (int64_t copied = 0; copied < dataSize; copied += 2) {
        int word = readWord(TakeReadFile);
        if (dataSize - copied == 1)
            writeByte(WavOutputFile, word);
        else
            writeWord(WavOutputFile, word);
        if (++passes > passesPerTitleUpdate) {
            ++recordingState.saveBlocks;
            // Half a million titles a gigabyte: formatted in place, without allocating.
            char title[48];
            std::snprintf(title, sizeof title, " Wait...Memory Decode : %d",
                          recordingState.saveBlocks + saveBlocksShownOffset);
            setWindowTitle(MainWindow, title);
            passes = 0;
            // A close signal (a logout) stops the save too, within a moment.
            if (fileWriteFailed(WavOutputFile) || closeSignalled()) return false;
        }
    }
    return true;
}

// What of the take its file really holds, in whole frames: it may have been
// cut short or emptied under the recorder since Record.
std::vector<FileStretch> takeStretches(int64_t takeBytes) {
    const int64_t frame = captureFormat.bytesPerFrame;
    std::vector<FileStretch> stretches;
    if (frame <= 0 || takeBytes <= 0) return stretches;
    for (FileStretch stretch : writtenStretches(TakeReadFile, takeBytes)) {
        stretch.start = (stretch.start + frame - 1) / frame * frame;
        stretch.end = stretch.end / frame * frame;
        if (stretch.end > stretch.start) stretches.push_back(stretch);
    }
    return stretches;
}

// The header and the stretches into the unpublished output; the error of
// the call that failed, or 0.
int writeWav(const std::vector<FileStretch>& stretches, int64_t dataSize) {
    writeHeader(dataSize);
    int passes = 0;
    for (const FileStretch& stretch : stretches) {
        if (!seekFile(TakeReadFile, stretch.start)) return errno;
        // A copy stopped short is never published, whatever stopped it.
        if (!copyTake(stretch.end - stretch.start, passes))
            return fileError(WavOutputFile) != 0 ? fileError(WavOutputFile) : ECANCELED;
        if (int error = fileError(TakeReadFile)) return error;
    }
    return fileError(WavOutputFile);
}

void reportNotSaved(const std::string& path, int error) {
    std::string text = "The file could not be saved as " + path;
    text += error != 0 ? ": " + std::string(std::strerror(error)) + "." : ".";
    messageBox("Error", text.c_str(), boxOk);
}

std::string secondsText(int64_t bytes) {
    const double seconds = static_cast<double>(bytes) / captureFormat.bytesPerFrame / captureSettings.sampleRate;
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

// After a cancel, a refusal or a failure Record and Save are usable again.
bool notSaved() {
    showButtons(ButtonState::exportFailed);
    return false;
}

}  // namespace

std::string withWavSuffix(std::string path) {
    if (!path.ends_with(".wav")) path += ".wav";
    return path;
}

SaveResult writeTakeAsWav(const std::string& path, bool mayReplace) {
    SaveResult result;
    result.takeBytes = static_cast<int64_t>(recordingState.framesCaptured.load(std::memory_order_acquire)) *
                       captureFormat.bytesPerFrame;
    const std::vector<FileStretch> stretches = takeStretches(result.takeBytes);
    int64_t dataSize = 0;
    for (const FileStretch& stretch : stretches) dataSize += stretch.end - stretch.start;
    // No WAV of invented silence.
    if (result.takeBytes > 0 && dataSize == 0) return result;
    if (createFileFor(WavOutputFile, path.c_str()) == 0) {
        result.error = errno;
        return result;
    }
    result.error = writeWav(stretches, dataSize);
    if (result.error != 0) {
        discardFile(WavOutputFile);
        return result;
    }
    result.error = publishFile(WavOutputFile, path.c_str(), mayReplace);
    result.saved = result.error == 0;
    result.savedBytes = result.saved ? dataSize : 0;
    return result;
}

bool exportWav() {
    showButtons(ButtonState::exporting);

    std::string path = saveFileDialog("Select a file...", ".\\", ".wav|*.wav", 0);
    // A cancelled dialog saves nothing rather than a hidden ".wav".
    if (path.empty()) {
        return notSaved();
    }
    path = withWavSuffix(std::move(path));

    if (fileSize(path.c_str()) != -1) {
        std::string question = getFilePart(path.c_str()) + " already exists.\r\rDo you want to overwrite this file?";
        if (messageBox("Overwrite file?", question.c_str(), boxYesNoCancel) != answerYes) {
            return notSaved();
        }
    }

    // A link chosen in the dialog stays a link; the file it leads to is replaced.
    const SaveResult result = writeTakeAsWav(resolvedPath(path.c_str()), true);
    if (!result.saved && result.error == 0) {
        const std::string text = "None of the " + secondsText(result.takeBytes) +
                                 " seconds of the take could be read back from " + tempCaptureName +
                                 ", so nothing was saved.";
        messageBox("Error", text.c_str(), boxOk);
        return notSaved();
    }
    if (!result.saved) {
        reportNotSaved(path, result.error);
        return notSaved();
    }
    if (result.savedBytes < result.takeBytes) {
        const std::string text = "Only " + secondsText(result.savedBytes) + " of the " + secondsText(result.takeBytes) +
                                 " seconds of the take could be read back from " + tempCaptureName +
                                 "; they were saved as " + path + ".";
        messageBox("Error", text.c_str(), boxOk);
        return notSaved();
    }
    showButtons(ButtonState::exported);
    std::string done = path + "  was successfully saved";
    messageBox("Done!", done.c_str(), boxOk);
    return true;
}

void setRf64ThresholdForTesting(int64_t bytes) { rf64Threshold = bytes; }
