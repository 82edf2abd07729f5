// SPDX-License-Identifier: MIT
// The encoders' common part: the take's bytes read into blocks of whole
// frames, unpacked into samples, and the encoders' bytes written out.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "files.h"
#include "format_writer.h"

namespace {

// Frames an encoder is handed at a time: a block large enough that a call
// costs nothing beside its work, small enough to stay in the cache.
constexpr int blockFrames = 4096;

// The take's samples (little-endian, 2, 3 or 4 bytes) as signed integers.
void unpack(const unsigned char* bytes, int64_t count, int width, int32_t* samples) {
    switch (width) {
        case 2:
            for (int64_t index = 0; index < count; ++index) {
                int16_t sample;
                std::memcpy(&sample, bytes + 2 * index, 2);
                samples[index] = sample;
            }
            break;
        case 3:
            for (int64_t index = 0; index < count; ++index) {
                const unsigned char* at = bytes + 3 * index;
                const uint32_t high = static_cast<uint32_t>(at[0]) << 8 | static_cast<uint32_t>(at[1]) << 16 |
                                      static_cast<uint32_t>(at[2]) << 24;
                samples[index] = static_cast<int32_t>(high) >> 8;
            }
            break;
        default: std::memcpy(samples, bytes, static_cast<size_t>(count) * 4); break;
    }
}

}  // namespace

EncodingWriter::EncodingWriter(const CaptureSettings& settings)
    : settings_(settings),
      frameBytes_(bytesPerFrameFor(settings.bitsPerSample, settings.channelCount)),
      gathered_(static_cast<size_t>(blockFrames * frameBytes_)),
      samples_(static_cast<size_t>(blockFrames * settings.channelCount)) {}

int64_t EncodingWriter::move(int from, int64_t bytes) {
    int64_t moved = 0;
    while (moved < bytes) {
        const int wanted = static_cast<int>(std::min<int64_t>(bytes - moved, gathered_.size() - held_));
        const int read = readData(from, gathered_.data() + held_, wanted);
        held_ += static_cast<size_t>(read);
        moved += read;
        if (held_ == gathered_.size()) {
            // After a failure what is read is dropped: the copy stops at its next look.
            if (error_ == 0)
                error_ = encodeGathered(blockFrames);
            else
                held_ = 0;
        }
        if (read < wanted) break;
    }
    return moved;
}

int EncodingWriter::encodeGathered(int frames) {
    const size_t bytes = static_cast<size_t>(frames) * frameBytes_;
    unpack(gathered_.data(), static_cast<int64_t>(frames) * settings_.channelCount,
           frameBytes_ / settings_.channelCount, samples_.data());
    held_ -= bytes;
    std::memmove(gathered_.data(), gathered_.data() + bytes, held_);
    encodedFrames_ += frames;
    return frames > 0 ? encode(samples_.data(), frames) : 0;
}

int EncodingWriter::finish(int64_t savedBytes) {
    // What was read past the last whole frame saved is no audio.
    const int64_t rest = savedBytes / frameBytes_ - encodedFrames_;
    if (error_ == 0 && rest > 0) error_ = encodeGathered(static_cast<int>(std::min<int64_t>(rest, blockFrames)));
    if (error_ == 0) error_ = end();
    return error();
}

int EncodingWriter::error() const { return error_ != 0 ? error_ : FormatWriter::error(); }

bool EncodingWriter::put(const void* data, int64_t bytes) {
    const auto* at = static_cast<const unsigned char*>(data);
    for (int64_t written = 0; written < bytes;) {
        const int length = static_cast<int>(std::min<int64_t>(bytes - written, 1 << 20));
        if (writeData(SaveOutputFile, at + written, length) != length) return false;
        written += length;
    }
    return !fileWriteFailed(SaveOutputFile);
}
