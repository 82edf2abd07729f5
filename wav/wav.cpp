// SPDX-License-Identifier: MIT
#include "wav.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "files.h"

namespace {

constexpr int headerBytes = 46;
constexpr int rf64HeaderBytes = 82;
constexpr int formatBlockBytes = 18;
constexpr int ds64Bytes = 28;
constexpr int formatTagPcm = 1;
// A size field that says "look in the ds64 chunk".
constexpr int32_t sizeInDs64 = -1;
// The progress callback is called after this many two-byte passes.
constexpr int passesPerProgress = 1024;

// RIFF chunks start on even offsets, so an odd data chunk is followed by a
// zero byte that its own size leaves out and RIFF's size counts.
int64_t padBytes(int64_t dataSize) { return dataSize % 2; }

int headerBytesFor(bool rf64) { return rf64 ? rf64HeaderBytes : headerBytes; }

void writeQuad(int number, int64_t value) {
    writeLong(number, static_cast<int32_t>(value & 0xFFFFFFFF));
    writeLong(number, static_cast<int32_t>(value >> 32));
}

void writeFormatBlock(const CaptureSettings& settings) {
    const int32_t rate = static_cast<int32_t>(roundedSampleRate(settings.sampleRate));
    const int32_t frameBytes = bytesPerFrameFor(settings.bitsPerSample, settings.channelCount);
    const int32_t byteRate = static_cast<int32_t>(std::llround(settings.sampleRate * frameBytes));
    const int16_t bits = static_cast<int16_t>(settings.bitsPerSample);
    const int16_t blockAlign = static_cast<int16_t>(settings.channelCount * (bits / 8));
    writeString(WavOutputFile, "fmt ");
    writeLong(WavOutputFile, formatBlockBytes);
    writeWord(WavOutputFile, formatTagPcm);
    writeWord(WavOutputFile, settings.channelCount);
    writeLong(WavOutputFile, rate);
    writeLong(WavOutputFile, byteRate);
    writeWord(WavOutputFile, blockAlign);
    writeWord(WavOutputFile, bits);
    writeWord(WavOutputFile, 0);
}

// The 46-byte header while the sizes fit in 32 bits; past that, RF64 (EBU
// Tech 3306): a ds64 chunk first holds the 64-bit sizes and the frame count,
// and the 32-bit fields that cannot hold theirs say so with all bits set.
void writeHeader(const SaveRequest& request, int64_t dataSize, bool rf64) {
    const CaptureSettings& settings = request.settings;
    if (!rf64) {
        writeString(WavOutputFile, "RIFF");
        writeLong(WavOutputFile,
                  static_cast<int32_t>(static_cast<uint32_t>(dataSize + padBytes(dataSize) + (headerBytes - 8))));
        writeString(WavOutputFile, "WAVE");
        writeFormatBlock(settings);
        writeString(WavOutputFile, "data");
        writeLong(WavOutputFile, static_cast<int32_t>(static_cast<uint32_t>(dataSize)));
        return;
    }
    const int64_t frameBytes = bytesPerFrameFor(settings.bitsPerSample, settings.channelCount);
    writeString(WavOutputFile, "RF64");
    writeLong(WavOutputFile, sizeInDs64);
    writeString(WavOutputFile, "WAVE");
    writeString(WavOutputFile, "ds64");
    writeLong(WavOutputFile, ds64Bytes);
    writeQuad(WavOutputFile, dataSize + padBytes(dataSize) + (rf64HeaderBytes - 8));
    writeQuad(WavOutputFile, dataSize);
    writeQuad(WavOutputFile, frameBytes > 0 ? dataSize / frameBytes : 0);
    writeLong(WavOutputFile, 0);  // no table of other chunk sizes
    writeFormatBlock(settings);
    writeString(WavOutputFile, "data");
    writeLong(WavOutputFile, sizeInDs64);
}

// Two bytes a pass, with the progress callback asked after every
// passesPerProgress + 1 passes; `passes` runs on from one stretch of the take
// to the next. The passes between two calls move as one block of words, with
// the same reads and writes as pass by pass. Returns false as soon as the
// disk refuses a write or the callback says stop. A take whose file ends
// early (cut short under the save) ends the copy there: what lies past the
// end is no audio.
bool copyTake(const SaveRequest& request, int64_t dataSize, int& passes) {
    const int from = request.takeChannel;
    int64_t copied = 0;
    while (copied < dataSize) {
        // Whole words up to the next call of the callback; an odd take's last
        // byte is written alone.
        const int64_t words = std::min<int64_t>((dataSize - copied) / 2, passesPerProgress + 1 - passes);
        if (words > 0) {
            const int64_t moved = copyWords(from, WavOutputFile, words);
            if (moved < words) return true;
            copied += 2 * words;
            passes += static_cast<int>(words);
        } else {
            const int word = readWord(from);
            if (word == 0 && fileEnded(from)) return true;
            writeByte(WavOutputFile, word);
            copied += 2;
            ++passes;
        }
        if (passes > passesPerProgress) {
            passes = 0;
            if (fileWriteFailed(WavOutputFile) || (request.progress && !request.progress())) return false;
        }
    }
    return true;
}

// What of the take its file really holds, in whole frames: it may have been
// cut short or emptied under the recorder since Record.
std::vector<FileStretch> takeStretches(const SaveRequest& request, int64_t takeBytes) {
    const int64_t frame = bytesPerFrameFor(request.settings.bitsPerSample, request.settings.channelCount);
    std::vector<FileStretch> stretches;
    if (frame <= 0 || takeBytes <= 0) return stretches;
    for (FileStretch stretch : writtenStretches(request.takeChannel, takeBytes)) {
        stretch.start = (stretch.start + frame - 1) / frame * frame;
        stretch.end = stretch.end / frame * frame;
        if (stretch.end > stretch.start) stretches.push_back(stretch);
    }
    return stretches;
}

// Cuts the output back to the header and the whole frames of `dataSize`
// (and their pad byte), and rewrites the header for them in the kind it was begun with.
int endWavAt(const SaveRequest& request, int64_t dataSize, bool rf64) {
    if (!truncateFile(WavOutputFile, headerBytesFor(rf64) + dataSize) ||
        (padBytes(dataSize) != 0 && writeByte(WavOutputFile, 0) != 1) || !seekFile(WavOutputFile, 0))
        return fileError(WavOutputFile) != 0 ? fileError(WavOutputFile) : EIO;
    writeHeader(request, dataSize, rf64);
    return fileError(WavOutputFile);
}

// The header and the stretches into the unpublished output; the error of
// the call that failed, or 0. `saved` says how many data bytes it holds:
// fewer than the stretches when the take's file ended early, and then
// nothing more of it is read.
int writeWav(const SaveRequest& request, const std::vector<FileStretch>& stretches, int64_t dataSize, int64_t& saved) {
    const bool rf64 = dataSize + padBytes(dataSize) > request.rf64Threshold;
    const int64_t frame = bytesPerFrameFor(request.settings.bitsPerSample, request.settings.channelCount);
    writeHeader(request, dataSize, rf64);
    int passes = 0;
    saved = 0;
    for (const FileStretch& stretch : stretches) {
        if (!seekFile(request.takeChannel, stretch.start)) return errno;
        // A copy stopped short is never published, whatever stopped it.
        if (!copyTake(request, stretch.end - stretch.start, passes))
            return fileError(WavOutputFile) != 0 ? fileError(WavOutputFile) : ECANCELED;
        if (int error = fileError(request.takeChannel)) return error;
        if (fileEnded(request.takeChannel)) {
            const int64_t read = std::min(fileReadOffset(request.takeChannel), stretch.end) - stretch.start;
            saved += read > 0 ? read / frame * frame : 0;
            return endWavAt(request, saved, rf64);
        }
        saved += stretch.end - stretch.start;
    }
    if (padBytes(dataSize) != 0) writeByte(WavOutputFile, 0);
    return fileError(WavOutputFile);
}

}  // namespace

std::string withWavSuffix(std::string path) {
    if (!path.ends_with(".wav")) path += ".wav";
    return path;
}

SaveResult saveTakeAsWav(const SaveRequest& request) {
    SaveResult result;
    result.takeBytes = request.frames * bytesPerFrameFor(request.settings.bitsPerSample, request.settings.channelCount);
    const std::vector<FileStretch> stretches = takeStretches(request, result.takeBytes);
    int64_t dataSize = 0;
    for (const FileStretch& stretch : stretches) dataSize += stretch.end - stretch.start;
    // No WAV of invented silence.
    if (result.takeBytes > 0 && dataSize == 0) return result;
    const char* path = request.path.c_str();
    if (createFileFor(WavOutputFile, path) == 0) {
        result.error = errno;
        return result;
    }
    int64_t saved = 0;
    result.error = writeWav(request, stretches, dataSize, saved);
    // Nothing of the take could be read after all: no WAV of invented silence either.
    if (result.error != 0 || (saved == 0 && result.takeBytes > 0)) {
        discardFile(WavOutputFile);
        return result;
    }
    result.error = publishFile(WavOutputFile, path, request.mayReplace);
    result.saved = result.error == 0;
    result.savedBytes = result.saved ? saved : 0;
    return result;
}
