// SPDX-License-Identifier: MIT
// FLAC through libFLAC's stream encoder, whose bytes go through the output
// channel: lossless at every depth (32 bits since libFLAC 1.4), its
// STREAMINFO and seek table filled in at the end by seeking back.
#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>

#include <cerrno>
#include <memory>
#include <string>
#include <utility>

#include "files.h"
#include "format_writer.h"

namespace {

// A seek point every ten seconds, as the flac tool makes them.
constexpr int secondsBetweenSeekPoints = 10;

class FlacWriter : public EncodingWriter {
   public:
    FlacWriter(const SaveRequest& request) : EncodingWriter(request.settings), request_(request) {}

    ~FlacWriter() override {
        // Deleting an encoder still running finishes it first, into a file
        // that is then thrown away; nothing more need be written.
        abandoned_ = true;
        if (encoder_ != nullptr) FLAC__stream_encoder_delete(encoder_);
        for (FLAC__StreamMetadata* block : metadata_)
            if (block != nullptr) FLAC__metadata_object_delete(block);
    }

    int begin() override {
        encoder_ = FLAC__stream_encoder_new();
        if (encoder_ == nullptr) return ENOMEM;
        const auto rate = static_cast<uint32_t>(roundedSampleRate(settings_.sampleRate));
        FLAC__stream_encoder_set_channels(encoder_, static_cast<uint32_t>(settings_.channelCount));
        FLAC__stream_encoder_set_bits_per_sample(encoder_, static_cast<uint32_t>(settings_.bitsPerSample));
        FLAC__stream_encoder_set_sample_rate(encoder_, rate);
        FLAC__stream_encoder_set_compression_level(encoder_, flacCompressionLevel);
        // The streamable subset stops at 24 bits; 32-bit FLAC lies outside it.
        FLAC__stream_encoder_set_streamable_subset(encoder_, settings_.bitsPerSample <= 24);
        FLAC__stream_encoder_set_total_samples_estimate(encoder_, static_cast<FLAC__uint64>(request_.frames));
        if (!describe(rate) || !FLAC__stream_encoder_set_metadata(encoder_, metadata_, 2)) return ENOMEM;
        if (FLAC__stream_encoder_init_stream(encoder_, &FlacWriter::write, &FlacWriter::seek, &FlacWriter::tell,
                                             nullptr, this) != FLAC__STREAM_ENCODER_INIT_STATUS_OK)
            return error() != 0 ? error() : EIO;
        return 0;
    }

   protected:
    int encode(const int32_t* samples, int frames) override {
        if (FLAC__stream_encoder_process_interleaved(encoder_, samples, static_cast<uint32_t>(frames))) return 0;
        return FormatWriter::error() != 0 ? FormatWriter::error() : EIO;
    }

    int end() override {
        const bool finished = FLAC__stream_encoder_finish(encoder_);
        if (FormatWriter::error() != 0) return FormatWriter::error();
        return finished ? 0 : EIO;
    }

   private:
    // The tags and the seek table's places, which the encoder fills in.
    bool describe(uint32_t rate) {
        metadata_[0] = FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT);
        metadata_[1] = FLAC__metadata_object_new(FLAC__METADATA_TYPE_SEEKTABLE);
        if (metadata_[0] == nullptr || metadata_[1] == nullptr) return false;
        const std::pair<const char*, const std::string*> tags[] = {{"DATE", &request_.date},
                                                                   {"ENCODER", &request_.software}};
        for (const auto& [name, value] : tags) {
            FLAC__StreamMetadata_VorbisComment_Entry entry;
            if (value->empty()) continue;
            if (!FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair(&entry, name, value->c_str()) ||
                !FLAC__metadata_object_vorbiscomment_append_comment(metadata_[0], entry, false))
                return false;
        }
        return request_.frames <= 0 ||
               (FLAC__metadata_object_seektable_template_append_spaced_points_by_samples(
                    metadata_[1], rate * secondsBetweenSeekPoints, static_cast<FLAC__uint64>(request_.frames)) &&
                FLAC__metadata_object_seektable_template_sort(metadata_[1], true));
    }

    static FLAC__StreamEncoderWriteStatus write(const FLAC__StreamEncoder*, const FLAC__byte buffer[], size_t bytes,
                                                uint32_t, uint32_t, void* self) {
        auto* writer = static_cast<FlacWriter*>(self);
        if (writer->abandoned_ || !put(buffer, static_cast<int64_t>(bytes)))
            return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
        writer->position_ += static_cast<int64_t>(bytes);
        return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
    }

    static FLAC__StreamEncoderSeekStatus seek(const FLAC__StreamEncoder*, FLAC__uint64 offset, void* self) {
        auto* writer = static_cast<FlacWriter*>(self);
        if (writer->abandoned_ || !seekFile(SaveOutputFile, static_cast<int64_t>(offset)))
            return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
        writer->position_ = static_cast<int64_t>(offset);
        return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
    }

    static FLAC__StreamEncoderTellStatus tell(const FLAC__StreamEncoder*, FLAC__uint64* offset, void* self) {
        *offset = static_cast<FLAC__uint64>(static_cast<FlacWriter*>(self)->position_);
        return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
    }

    const SaveRequest& request_;
    FLAC__StreamEncoder* encoder_ = nullptr;
    FLAC__StreamMetadata* metadata_[2] = {nullptr, nullptr};
    // Where the next byte goes: the channel's own position, which the
    // encoder asks for and moves.
    int64_t position_ = 0;
    bool abandoned_ = false;
};

}  // namespace

std::unique_ptr<FormatWriter> makeFlacWriter(const SaveRequest& request) {
    return std::make_unique<FlacWriter>(request);
}
