#include "wav.h"

#include <cmath>
#include <string>

#include "capture.h"
#include "files.h"
#include "ui.h"

namespace {

constexpr int headerBytes = 46;
constexpr int formatBlockBytes = 18;
constexpr int formatTagPcm = 1;
// The title is rewritten after this many two-byte passes.
constexpr int passesPerTitleUpdate = 1024;
constexpr int saveBlocksShownOffset = 974;

void enableRecordAndSave() {
    disableControl(RecordButton, 0);
    disableControl(SaveButton, 0);
}

bool endsWithWav(const std::string& path) { return path.size() >= 4 && path.compare(path.size() - 4, 4, ".wav") == 0; }

void writeHeader(uint32_t dataSize) {
    const int32_t rate = static_cast<int32_t>(roundedSampleRate());
    const int32_t byteRate = static_cast<int32_t>(std::llround(captureSettings.sampleRate * captureFormat.bytesPerFrame));
    const int16_t bits = static_cast<int16_t>(captureSettings.bitsPerSample);
    const int16_t blockAlign = static_cast<int16_t>(captureSettings.channelCount * (bits / 8));
    writeString(WavOutputFile, "RIFF");
    writeLong(WavOutputFile, static_cast<int32_t>(dataSize + (headerBytes - 8)));
    writeString(WavOutputFile, "WAVE");
    writeString(WavOutputFile, "fmt ");
    writeLong(WavOutputFile, formatBlockBytes);
    writeWord(WavOutputFile, formatTagPcm);
    writeWord(WavOutputFile, captureSettings.channelCount);
    writeLong(WavOutputFile, rate);
    writeLong(WavOutputFile, byteRate);
    writeWord(WavOutputFile, blockAlign);
    writeWord(WavOutputFile, bits);
    writeWord(WavOutputFile, 0);
    writeString(WavOutputFile, "data");
    writeLong(WavOutputFile, static_cast<int32_t>(dataSize));
}

// Two bytes a pass, with the window title counting progress. Returns false as
// soon as the disk refuses a write.
bool copyTake(uint32_t dataSize) {
    int passes = 0;
    for (uint32_t copied = 0; copied < dataSize; copied += 2) {
        int word = readWord(TempCaptureFile);
        if (dataSize - copied == 1)
            writeByte(WavOutputFile, word);
        else
            writeWord(WavOutputFile, word);
        if (++passes > passesPerTitleUpdate) {
            ++recordingState.saveBlocks;
            std::string title = " Wait...Memory Decode : " + std::to_string(recordingState.saveBlocks + saveBlocksShownOffset);
            setWindowTitle(MainWindow, title.c_str());
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

}  // namespace

void exportWav() {
    disableControl(RecordButton, 1);
    disableControl(StopButton, 1);
    disableControl(SaveButton, 1);

    std::string path = saveFileDialog("Select a file...", ".\\", ".wav|*.wav", 0);
    // A cancelled dialog saves nothing rather than a hidden ".wav".
    if (path.empty()) {
        enableRecordAndSave();
        return;
    }
    if (!endsWithWav(path)) path += ".wav";

    if (fileSize(path.c_str()) != -1) {
        std::string question = getFilePart(path.c_str()) + " already exists.\r\rDo you want to overwrite this file?";
        if (messageBox("Overwrite file?", question.c_str(), boxYesNoCancel) != answerYes) {
            enableRecordAndSave();
            return;
        }
    }

    if (createFile(WavOutputFile, path.c_str()) == 0) {
        reportNotSaved(path);
        enableRecordAndSave();
        return;
    }
    const int64_t takeBytes = static_cast<int64_t>(recordingState.framesCaptured.load(std::memory_order_acquire)) *
                              captureFormat.bytesPerFrame;
    const uint32_t dataSize = static_cast<uint32_t>(takeBytes < largestTakeBytes ? takeBytes : largestTakeBytes);
    writeHeader(dataSize);
    openFileForReading(TempCaptureFile, tempCaptureName);
    bool copied = copyTake(dataSize);
    bool saved = closeFile(WavOutputFile) && copied;
    closeFile(TempCaptureFile);
    if (!saved) {
        // A partial file would pass for a recording; leave nothing behind.
        removeFile(path.c_str());
        reportNotSaved(path);
        enableRecordAndSave();
        return;
    }
    std::string done = path + "  was successfully saved";
    messageBox("Done!", done.c_str(), boxOk);
}
