// SPDX-License-Identifier: MIT
// The save's one path for every format: what of the take its file holds,
// the copy with its progress and its stop, and the file published only once
// it is whole.
#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "files.h"
#include "format_writer.h"

namespace {

// The progress callback is called after this many two-byte passes.
constexpr int passesPerProgress = 1024;

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

// The stretches through the writer, counted in passes of two bytes (an odd
// stretch's last byte a pass of its own), with the progress callback asked
// after every passesPerProgress + 1 passes; the count runs on from one
// stretch to the next. Returns the error that stopped it, or 0. `saved`
// says how many bytes of the take the writer was handed in whole frames:
// fewer than the stretches when the take's file ended early (cut short
// under the save), and then nothing more of it is read.
int copyTake(const SaveRequest& request, FormatWriter& writer, const std::vector<FileStretch>& stretches,
             int64_t& saved) {
    const int from = request.takeChannel;
    const int64_t frame = bytesPerFrameFor(request.settings.bitsPerSample, request.settings.channelCount);
    int passes = 0;
    saved = 0;
    for (const FileStretch& stretch : stretches) {
        if (!seekFile(from, stretch.start)) return errno;
        const int64_t length = stretch.end - stretch.start;
        for (int64_t copied = 0; copied < length;) {
            const int64_t bytes = std::min<int64_t>(length - copied, 2 * (passesPerProgress + 1 - passes));
            const int64_t moved = writer.move(from, bytes);
            if (moved < bytes) break;
            copied += bytes;
            passes += static_cast<int>((bytes + 1) / 2);
            if (passes > passesPerProgress) {
                passes = 0;
                // A copy stopped short is never published, whatever stopped it.
                if (int error = writer.error()) return error;
                if (request.progress && !request.progress()) return ECANCELED;
            }
        }
        if (int error = fileError(from)) return error;
        if (fileEnded(from)) {
            const int64_t read = std::min(fileReadOffset(from), stretch.end) - stretch.start;
            saved += read > 0 ? read / frame * frame : 0;
            return writer.error();
        }
        saved += length;
    }
    return writer.error();
}

std::unique_ptr<FormatWriter> writerFor(const SaveRequest& request, int64_t dataBytes) {
    switch (request.format) {
        case SaveFormat::flac: return makeFlacWriter(request);
        case SaveFormat::opus: return makeOpusWriter(request);
        case SaveFormat::mp3: return makeMp3Writer(request);
        case SaveFormat::wav: break;
    }
    return makeWavWriter(request, dataBytes);
}

}  // namespace

int FormatWriter::error() const {
    if (!fileWriteFailed(SaveOutputFile)) return 0;
    return fileError(SaveOutputFile) != 0 ? fileError(SaveOutputFile) : EIO;
}

SaveResult saveTakeAs(const SaveRequest& request) {
    SaveResult result;
    result.takeBytes = request.frames * bytesPerFrameFor(request.settings.bitsPerSample, request.settings.channelCount);
    const std::vector<FileStretch> stretches = takeStretches(request, result.takeBytes);
    int64_t dataBytes = 0;
    for (const FileStretch& stretch : stretches) dataBytes += stretch.end - stretch.start;
    // No file of invented silence.
    if (result.takeBytes > 0 && dataBytes == 0) return result;
    const char* path = request.path.c_str();
    if (createFileFor(SaveOutputFile, path) == 0) {
        result.error = errno;
        return result;
    }
    std::unique_ptr<FormatWriter> writer = writerFor(request, dataBytes);
    int64_t saved = 0;
    result.error = writer->begin();
    if (result.error == 0) result.error = copyTake(request, *writer, stretches, saved);
    if (result.error == 0) result.error = writer->finish(saved);
    writer.reset();
    // Nothing of the take could be read after all: no file of invented silence either.
    if (result.error != 0 || (saved == 0 && result.takeBytes > 0)) {
        discardFile(SaveOutputFile);
        return result;
    }
    result.error = publishFile(SaveOutputFile, path, request.mayReplace);
    result.saved = result.error == 0;
    result.savedBytes = result.saved ? saved : 0;
    return result;
}
