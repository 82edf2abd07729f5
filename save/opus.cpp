// SPDX-License-Identifier: MIT
// Ogg Opus through libopusenc, whose pages go through the output channel.
// libopusenc resamples any rate to Opus's 48000 Hz, keeps the take's own rate
// in the header, and writes the pre-skip and the last page's granule
// position that players trim by, so that the file plays the take's length.
#include <opus/opusenc.h>

#include <cerrno>
#include <memory>
#include <random>
#include <vector>

#include "format_writer.h"

namespace {

class OpusWriter : public EncodingWriter {
   public:
    explicit OpusWriter(const SaveRequest& request) : EncodingWriter(request.settings), request_(request) {}

    ~OpusWriter() override {
        if (encoder_ != nullptr) ope_encoder_destroy(encoder_);
        if (comments_ != nullptr) ope_comments_destroy(comments_);
    }

    int begin() override {
        comments_ = ope_comments_create();
        if (comments_ == nullptr) return ENOMEM;
        if ((!request_.date.empty() && ope_comments_add(comments_, "DATE", request_.date.c_str()) != OPE_OK) ||
            (!request_.software.empty() && ope_comments_add(comments_, "ENCODER", request_.software.c_str()) != OPE_OK))
            return ENOMEM;
        const OpusEncCallbacks callbacks{&OpusWriter::write, &OpusWriter::close};
        int refused = OPE_OK;
        encoder_ = ope_encoder_create_callbacks(&callbacks, this, comments_,
                                                static_cast<opus_int32>(roundedSampleRate(settings_.sampleRate)),
                                                settings_.channelCount, 0, &refused);
        if (encoder_ == nullptr) return refused == OPE_ALLOC_FAIL ? ENOMEM : EINVAL;
        const int bitrate = settings_.channelCount == 1 ? opusMonoBitrate : opusStereoBitrate;
        // Ogg tells streams apart by serial number, which libopusenc would
        // take from rand() unseeded: the same for every file.
        const auto serial = static_cast<int>(std::random_device()() & 0x7FFFFFFF);
        return ope_encoder_ctl(encoder_, OPUS_SET_BITRATE(bitrate)) == OPE_OK &&
                       ope_encoder_ctl(encoder_, OPE_SET_SERIALNO(serial)) == OPE_OK
                   ? 0
                   : EINVAL;
    }

   protected:
    int encode(const int32_t* samples, int frames) override {
        // Full scale is 1.0 at every depth.
        const float scale = 1.0f / static_cast<float>(1u << (settings_.bitsPerSample - 1));
        const size_t count = static_cast<size_t>(frames) * settings_.channelCount;
        floats_.resize(count);
        for (size_t index = 0; index < count; ++index) floats_[index] = static_cast<float>(samples[index]) * scale;
        return written(ope_encoder_write_float(encoder_, floats_.data(), frames));
    }

    int end() override { return written(ope_encoder_drain(encoder_)); }

   private:
    // A refused write is the disk's; anything else the encoder's.
    int written(int status) const {
        if (FormatWriter::error() != 0) return FormatWriter::error();
        return status == OPE_OK ? 0 : EIO;
    }

    static int write(void*, const unsigned char* data, opus_int32 bytes) { return put(data, bytes) ? 0 : 1; }
    static int close(void*) { return 0; }

    const SaveRequest& request_;
    OggOpusComments* comments_ = nullptr;
    OggOpusEnc* encoder_ = nullptr;
    std::vector<float> floats_;
};

}  // namespace

std::unique_ptr<FormatWriter> makeOpusWriter(const SaveRequest& request) {
    return std::make_unique<OpusWriter>(request);
}
