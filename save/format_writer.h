// SPDX-License-Identifier: MIT
// What the save's one copy asks of each format: the copy reads the take,
// counts progress and stops on request; a format's writer turns the bytes it
// is handed into its file on the output channel. Shared inside the room only.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "save.h"

class FormatWriter {
   public:
    virtual ~FormatWriter() = default;
    // Writes what comes before the audio. 0, or the error number.
    virtual int begin() = 0;
    // Moves the next `bytes` of the take from channel `from` into the file;
    // returns how many it moved, fewer only where the take's file ended.
    virtual int64_t move(int from, int64_t bytes) = 0;
    // Ends the file on the first `savedBytes` of the take it was handed
    // (whole frames; fewer than it was handed where the take's file ended
    // inside a frame). 0, or the error number.
    virtual int finish(int64_t savedBytes) = 0;
    // What stops the copy: a write the disk refused, or an encoder's
    // failure. 0 while there is none.
    virtual int error() const;
};

// `dataBytes`: what the take's file holds of the take, which a WAV header
// states before the data.
std::unique_ptr<FormatWriter> makeWavWriter(const SaveRequest& request, int64_t dataBytes);
std::unique_ptr<FormatWriter> makeFlacWriter(const SaveRequest& request);
std::unique_ptr<FormatWriter> makeOpusWriter(const SaveRequest& request);
std::unique_ptr<FormatWriter> makeMp3Writer(const SaveRequest& request);

// The encoders' common part: the take's bytes gathered into blocks of whole
// frames and handed to `encode` as signed samples, interleaved, each the
// take's sample sign-extended (right-justified, as FLAC takes them).
class EncodingWriter : public FormatWriter {
   public:
    explicit EncodingWriter(const CaptureSettings& settings);
    int64_t move(int from, int64_t bytes) final;
    int finish(int64_t savedBytes) final;
    int error() const final;

   protected:
    // Encodes `frames` frames. 0, or the error number.
    virtual int encode(const int32_t* samples, int frames) = 0;
    // Writes what the encoder still holds and ends the file. 0, or the error.
    virtual int end() = 0;
    // Writes the encoder's bytes to the output channel; false when the disk refused.
    static bool put(const void* data, int64_t bytes);

    const CaptureSettings settings_;

   private:
    // Encodes the first `frames` whole frames gathered.
    int encodeGathered(int frames);

    const int frameBytes_;
    std::vector<unsigned char> gathered_;
    size_t held_ = 0;
    std::vector<int32_t> samples_;
    int64_t encodedFrames_ = 0;
    int error_ = 0;
};
