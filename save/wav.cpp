// SPDX-License-Identifier: MIT
// The WAV writer: a RIFF header (RF64 past what RIFF holds), then the take
// exactly as captured, moved between the two channels' buffers.
#include <cerrno>
#include <cmath>
#include <memory>

#include "files.h"
#include "format_writer.h"

namespace {

constexpr int headerBytes = 46;
constexpr int rf64HeaderBytes = 82;
constexpr int formatBlockBytes = 18;
constexpr int ds64Bytes = 28;
constexpr int formatTagPcm = 1;
// A size field that says "look in the ds64 chunk".
constexpr int32_t sizeInDs64 = -1;

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
    writeString(SaveOutputFile, "fmt ");
    writeLong(SaveOutputFile, formatBlockBytes);
    writeWord(SaveOutputFile, formatTagPcm);
    writeWord(SaveOutputFile, settings.channelCount);
    writeLong(SaveOutputFile, rate);
    writeLong(SaveOutputFile, byteRate);
    writeWord(SaveOutputFile, blockAlign);
    writeWord(SaveOutputFile, bits);
    writeWord(SaveOutputFile, 0);
}

// The 46-byte header while the sizes fit in 32 bits; past that, RF64 (EBU
// Tech 3306): a ds64 chunk first holds the 64-bit sizes and the frame count,
// and the 32-bit fields that cannot hold theirs say so with all bits set.
void writeHeader(const CaptureSettings& settings, int64_t dataSize, bool rf64) {
    if (!rf64) {
        writeString(SaveOutputFile, "RIFF");
        writeLong(SaveOutputFile,
                  static_cast<int32_t>(static_cast<uint32_t>(dataSize + padBytes(dataSize) + (headerBytes - 8))));
        writeString(SaveOutputFile, "WAVE");
        writeFormatBlock(settings);
        writeString(SaveOutputFile, "data");
        writeLong(SaveOutputFile, static_cast<int32_t>(static_cast<uint32_t>(dataSize)));
        return;
    }
    const int64_t frameBytes = bytesPerFrameFor(settings.bitsPerSample, settings.channelCount);
    writeString(SaveOutputFile, "RF64");
    writeLong(SaveOutputFile, sizeInDs64);
    writeString(SaveOutputFile, "WAVE");
    writeString(SaveOutputFile, "ds64");
    writeLong(SaveOutputFile, ds64Bytes);
    writeQuad(SaveOutputFile, dataSize + padBytes(dataSize) + (rf64HeaderBytes - 8));
    writeQuad(SaveOutputFile, dataSize);
    writeQuad(SaveOutputFile, frameBytes > 0 ? dataSize / frameBytes : 0);
    writeLong(SaveOutputFile, 0);  // no table of other chunk sizes
    writeFormatBlock(settings);
    writeString(SaveOutputFile, "data");
    writeLong(SaveOutputFile, sizeInDs64);
}

int outputError() { return fileError(SaveOutputFile) != 0 ? fileError(SaveOutputFile) : EIO; }

class WavWriter : public FormatWriter {
   public:
    WavWriter(const CaptureSettings& settings, int64_t dataBytes, int64_t rf64Threshold)
        : settings_(settings), dataBytes_(dataBytes), rf64_(dataBytes + padBytes(dataBytes) > rf64Threshold) {}

    int begin() override {
        writeHeader(settings_, dataBytes_, rf64_);
        return fileWriteFailed(SaveOutputFile) ? outputError() : 0;
    }

    // Words move between the two buffers as readWord and writeWord pairs
    // would move them; an odd stretch's last byte goes alone.
    int64_t move(int from, int64_t bytes) override {
        const int64_t words = bytes / 2;
        const int64_t moved = copyWords(from, SaveOutputFile, words);
        if (moved < words || bytes % 2 == 0) return 2 * moved;
        const int word = readWord(from);
        if (word == 0 && fileEnded(from)) return 2 * moved;
        writeByte(SaveOutputFile, word);
        return bytes;
    }

    int finish(int64_t savedBytes) override {
        if (savedBytes < dataBytes_) return endAt(savedBytes);
        if (padBytes(dataBytes_) != 0) writeByte(SaveOutputFile, 0);
        return fileError(SaveOutputFile);
    }

   private:
    // Cuts the output back to the header and the whole frames of `dataSize`
    // (and their pad byte), and rewrites the header for them in the kind it was begun with.
    int endAt(int64_t dataSize) {
        if (!truncateFile(SaveOutputFile, headerBytesFor(rf64_) + dataSize) ||
            (padBytes(dataSize) != 0 && writeByte(SaveOutputFile, 0) != 1) || !seekFile(SaveOutputFile, 0))
            return outputError();
        writeHeader(settings_, dataSize, rf64_);
        return fileError(SaveOutputFile);
    }

    const CaptureSettings settings_;
    const int64_t dataBytes_;
    const bool rf64_;
};

}  // namespace

std::unique_ptr<FormatWriter> makeWavWriter(const SaveRequest& request, int64_t dataBytes) {
    return std::make_unique<WavWriter>(request.settings, dataBytes, request.rf64Threshold);
}
