// SPDX-License-Identifier: MIT
// MP3 through LAME's buffer interface, its bytes through the output channel:
// VBR, an ID3v2 tag first, and the LAME tag (the encoder's delay and padding,
// which players and decoders trim by) written over the first frame once the
// whole is encoded.
#include <lame/lame.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "files.h"
#include "format_writer.h"

namespace {

// Room for what one block gives, as lame.h asks: 1.25 × samples + 7200.
constexpr int outputBytesFor(int frames) { return frames + frames / 4 + 7200; }

// The rate the MP3 is made at: the take's own where MPEG-1 has it, else
// the one of 44100 and 48000 Hz that divides it.
int outputRate(int64_t rate) {
    if (rate <= mp3HighestRates[1]) return static_cast<int>(rate);
    return rate % mp3HighestRates[0] == 0 ? mp3HighestRates[0] : mp3HighestRates[1];
}

class Mp3Writer : public EncodingWriter {
   public:
    explicit Mp3Writer(const SaveRequest& request) : EncodingWriter(request.settings), request_(request) {}

    ~Mp3Writer() override {
        if (lame_ != nullptr) lame_close(lame_);
    }

    int begin() override {
        lame_ = lame_init();
        if (lame_ == nullptr) return ENOMEM;
        const int64_t rate = roundedSampleRate(settings_.sampleRate);
        lame_set_num_channels(lame_, settings_.channelCount);
        lame_set_in_samplerate(lame_, static_cast<int>(rate));
        lame_set_out_samplerate(lame_, outputRate(rate));
        lame_set_mode(lame_, settings_.channelCount == 1 ? MONO : JOINT_STEREO);
        lame_set_VBR(lame_, vbr_default);
        lame_set_VBR_quality(lame_, mp3VbrQuality);
        // The ID3v2 tag is written here, so that the LAME tag's place after it is known.
        lame_set_write_id3tag_automatic(lame_, 0);
        id3tag_init(lame_);
        id3tag_v2_only(lame_);
        if (request_.date.size() == 10) {
            // ID3v2.3 keeps the year, and the day as DDMM.
            id3tag_set_year(lame_, request_.date.substr(0, 4).c_str());
            id3tag_set_fieldvalue(lame_, ("TDAT=" + request_.date.substr(8, 2) + request_.date.substr(5, 2)).c_str());
        }
        if (!request_.software.empty()) id3tag_set_fieldvalue(lame_, ("TSSE=" + request_.software).c_str());
        if (lame_init_params(lame_) < 0) return EINVAL;
        std::vector<unsigned char> tag(lame_get_id3v2_tag(lame_, nullptr, 0));
        tagBytes_ = static_cast<int64_t>(lame_get_id3v2_tag(lame_, tag.data(), tag.size()));
        output_.resize(outputBytesFor(4096));
        return tagBytes_ == 0 || put(tag.data(), tagBytes_) ? 0 : FormatWriter::error();
    }

   protected:
    int encode(const int32_t* samples, int frames) override {
        // LAME takes whole ints at full scale.
        const int shift = 32 - settings_.bitsPerSample;
        const size_t count = static_cast<size_t>(frames) * settings_.channelCount;
        scaled_.resize(count);
        for (size_t index = 0; index < count; ++index)
            scaled_[index] = static_cast<int>(static_cast<uint32_t>(samples[index]) << shift);
        output_.resize(static_cast<size_t>(outputBytesFor(frames)));
        const int bytes = settings_.channelCount == 1
                              ? lame_encode_buffer_int(lame_, scaled_.data(), scaled_.data(), frames, output_.data(),
                                                       static_cast<int>(output_.size()))
                              : lame_encode_buffer_interleaved_int(lame_, scaled_.data(), frames, output_.data(),
                                                                   static_cast<int>(output_.size()));
        return written(bytes);
    }

    int end() override {
        if (int error = written(lame_encode_flush(lame_, output_.data(), static_cast<int>(output_.size()))))
            return error;
        // The first frame after the ID3v2 tag was left empty for the LAME tag.
        std::vector<unsigned char> frame(lame_get_lametag_frame(lame_, nullptr, 0));
        const size_t bytes = lame_get_lametag_frame(lame_, frame.data(), frame.size());
        if (bytes == 0 || bytes > frame.size()) return 0;
        if (!seekFile(SaveOutputFile, tagBytes_) || !put(frame.data(), static_cast<int64_t>(bytes)))
            return FormatWriter::error() != 0 ? FormatWriter::error() : EIO;
        return 0;
    }

   private:
    // LAME's count of bytes it made, or below 0 for its failure.
    int written(int bytes) const {
        if (bytes < 0) return EIO;
        if (!put(output_.data(), bytes)) return FormatWriter::error() != 0 ? FormatWriter::error() : EIO;
        return 0;
    }

    const SaveRequest& request_;
    lame_t lame_ = nullptr;
    int64_t tagBytes_ = 0;
    std::vector<int> scaled_;
    std::vector<unsigned char> output_;
};

}  // namespace

std::unique_ptr<FormatWriter> makeMp3Writer(const SaveRequest& request) { return std::make_unique<Mp3Writer>(request); }
