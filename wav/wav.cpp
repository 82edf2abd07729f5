// SPDX-License-Identifier: MIT
#include "wav.h"

#include <cmath>
#include <cstdio>
#include <string>

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

bool endsWithWav(const std::string& path) { return path.size() >= 4 && path.compare(path.size() - 4, 4, ".wav") == 0; }

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

// Two bytes a pass, with the window title counting progress. Returns false as
// soon as the disk refuses a write.
bool copyTake(int64_t dataSize) {
    int passes = 0;
    for (int64_t copied = 0; copied < dataSize; copied += 2) {
        int word = readWord(TempCaptureFile);
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
            if (fileWriteFailed(WavOutputFile)) return false;
        }
    }
    return true;
}

void reportNotSaved(const std::string& path) {
    std::string text = "The file could not be saved as " + path + ".";
    messageBox("Error", text.c_str(), boxOk);
}

std::string secondsText(int64_t bytes) {
    const double seconds = static_cast<double>(bytes) / captureFormat.bytesPerFrame / captureSettings.sampleRate;
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

// What of the take "pelvar.temp" really holds, in whole frames: it may have
// been removed, cut short or made unreadable since Stop.
int64_t readableTakeBytes(int64_t takeBytes) {
    const int64_t held = fileSize(tempCaptureName);
    if (held <= 0 || captureFormat.bytesPerFrame <= 0) return 0;
    if (held >= takeBytes) return takeBytes;
    return held / captureFormat.bytesPerFrame * captureFormat.bytesPerFrame;
}

// Writes the WAV under a hidden name beside `destination` and renames it
// over `destination` only once it is complete and on disk, so a failure
// leaves an earlier file there as it was. False, with nothing left behind,
// when that could not be done.
bool writeWav(const std::string& destination, int64_t dataSize) {
    const std::string hidden = createHiddenFileBeside(WavOutputFile, destination.c_str());
    if (hidden.empty()) return false;
    writeHeader(dataSize);
    openFileForReading(TempCaptureFile, tempCaptureName);
    bool saved = copyTake(dataSize) && !fileReadFailed(TempCaptureFile);
    saved = syncFile(WavOutputFile) && saved;
    saved = closeFile(WavOutputFile) && saved;
    closeFile(TempCaptureFile);
    if (saved && replaceFile(hidden.c_str(), destination.c_str())) return true;
    removeFile(hidden.c_str());
    return false;
}

// After a cancel, a refusal or a failure Record and Save are usable again.
bool notSaved() {
    showButtons(ButtonState::exportFailed);
    return false;
}

}  // namespace

bool exportWav() {
    showButtons(ButtonState::exporting);

    std::string path = saveFileDialog("Select a file...", ".\\", ".wav|*.wav", 0);
    // A cancelled dialog saves nothing rather than a hidden ".wav".
    if (path.empty()) {
        return notSaved();
    }
    if (!endsWithWav(path)) path += ".wav";

    if (fileSize(path.c_str()) != -1) {
        std::string question = getFilePart(path.c_str()) + " already exists.\r\rDo you want to overwrite this file?";
        if (messageBox("Overwrite file?", question.c_str(), boxYesNoCancel) != answerYes) {
            return notSaved();
        }
    }

    const int64_t takeBytes = static_cast<int64_t>(recordingState.framesCaptured.load(std::memory_order_acquire)) *
                              captureFormat.bytesPerFrame;
    const int64_t readable = readableTakeBytes(takeBytes);
    if (takeBytes > 0 && readable == 0) {
        const std::string text = "None of the " + secondsText(takeBytes) +
                                 " seconds of the take could be read back from " + tempCaptureName +
                                 ", so nothing was saved.";
        messageBox("Error", text.c_str(), boxOk);
        return notSaved();
    }
    // A link chosen in the dialog stays a link; the file it leads to is replaced.
    if (!writeWav(resolvedPath(path.c_str()), readable)) {
        reportNotSaved(path);
        return notSaved();
    }
    if (readable < takeBytes) {
        const std::string text = "Only " + secondsText(readable) + " of the " + secondsText(takeBytes) +
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
