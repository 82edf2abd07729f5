// SPDX-License-Identifier: MIT
// The table of numbered channels and their buffered reads and writes: the
// bottom of the file layer, which the ways of opening a file build on.
#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "files_internal.h"
#include "files_testing.h"

namespace files_detail {

FileChannel* entryForOpen(int number) {
    if (number < 0) return nullptr;
    if (number < fixedChannels) return &registry.fixed[number];
    auto& extraTable = beyond().extraTable;
    size_t index = static_cast<size_t>(number - fixedChannels);
    if (index >= extraTable.size()) extraTable.resize(index + fixedChannels);
    if (!extraTable[index]) extraTable[index] = std::make_unique<FileChannel>();
    return extraTable[index].get();
}

// Writes everything or marks the channel failed; a short write is retried
// because the kernel may take part of a block before the disk fills.
// The written part of a long file is sent to the disk in chunks as it grows,
// and the chunk before waited for, so that dirty pages never pile up: a
// write then never stalls for long behind the kernel's writeback, and the
// final sync has little left to do.
constexpr int64_t writeBehindChunk = int64_t{8} << 20;

static void writeBehind(FileChannel& entry, int64_t bytes) {
    const int64_t before = entry.writtenBehind;
    entry.writtenBehind += bytes;
    if (before / writeBehindChunk == entry.writtenBehind / writeBehindChunk) return;
    const int64_t chunk = entry.writtenBehind / writeBehindChunk * writeBehindChunk - writeBehindChunk;
    int result = ::sync_file_range(entry.descriptor, chunk, writeBehindChunk, SYNC_FILE_RANGE_WRITE);
    if (result == 0 && chunk > 0)
        result = ::sync_file_range(entry.descriptor, chunk - writeBehindChunk, writeBehindChunk,
                                   SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    // The disk refused what the kernel took. A file system that cannot do
    // this (EINVAL, ESPIPE) leaves it all to the final sync.
    if (result != 0 && errno == EIO) {
        if (entry.error == 0) entry.error = errno;
        entry.writeFailed = true;
    }
}

static int writeAll(FileChannel& entry, const char* data, int length) {
    int written = 0;
    while (written < length) {
        ssize_t result = ::write(entry.descriptor, data + written, static_cast<size_t>(length - written));
        if (result < 0 && errno == EINTR) continue;
        if (result <= 0) {
            if (entry.error == 0) entry.error = result < 0 ? errno : EIO;
            entry.writeFailed = true;
            break;
        }
        written += static_cast<int>(result);
    }
    if (entry.writtenBehind >= 0 && written > 0) writeBehind(entry, written);
    return written;
}

static int readAll(FileChannel& entry, char* destination, int length) {
    int obtained = 0;
    while (obtained < length) {
        ssize_t result = ::read(entry.descriptor, destination + obtained, static_cast<size_t>(length - obtained));
        if (result < 0 && errno == EINTR) continue;
        if (result < 0 && entry.error == 0) entry.error = errno;
        if (result <= 0) break;
        obtained += static_cast<int>(result);
    }
    return obtained;
}

void flush(FileChannel& entry) {
    int pending = bufferSize - entry.remaining;
    if (pending > 0) writeAll(entry, entry.buffer, pending);
    entry.remaining = bufferSize;
}

static void switchToWriting(FileChannel& entry) {
    // Writing continues where the caller's reading stopped, not after the read-ahead.
    if (entry.remaining > 0) ::lseek(entry.descriptor, -static_cast<off_t>(entry.remaining), SEEK_CUR);
    entry.mode = Mode::write;
    entry.remaining = bufferSize;
}

static void switchToReading(FileChannel& entry) {
    flush(entry);
    entry.mode = Mode::read;
    entry.remaining = 0;
    entry.filled = 0;
    entry.endReached = false;
    entry.ended = false;
}

bool closeEntry(FileChannel& entry) {
    if (entry.descriptor < 0) return true;
    if (entry.buffer != nullptr && entry.mode == Mode::write) flush(entry);
    bool written = !entry.writeFailed;
    bool closed = ::close(entry.descriptor) == 0;
    delete[] entry.buffer;
    entry.buffer = nullptr;
    entry.descriptor = -1;
    entry.remaining = 0;
    entry.filled = 0;
    entry.mode = Mode::read;
    entry.writeFailed = false;
    entry.error = 0;
    entry.endReached = false;
    entry.ended = false;
    entry.writtenBehind = -1;
    return written && closed;
}

// Whatever was open under the number is written out and closed first, even
// when the new open then fails.
FileChannel* emptiedEntry(int number) {
    FileChannel* entry = entryForOpen(number);
    if (entry != nullptr) closeEntry(*entry);
    return entry;
}

int adopt(FileChannel& entry, int descriptor) {
    if (descriptor < 0) return 0;
    entry.descriptor = descriptor;
    entry.buffer = new (std::nothrow) char[bufferSize];
    entry.remaining = 0;
    entry.filled = 0;
    entry.mode = Mode::read;
    // Descriptor 0 is a valid file here but would read as failure to callers.
    return descriptor + 1;
}

// The first 16 entries never move: the take writer keeps writing channel 1
// while the interface thread opens and closes others.
Registry registry;

Beyond& beyond() {
    if (registry.beyond == nullptr) registry.beyond = new Beyond;
    return *registry.beyond;
}

FileChannel* channelBeyondFixed(int number) {
    if (number < fixedChannels) return nullptr;
    if (registry.beyond == nullptr) return nullptr;
    const auto& extraTable = registry.beyond->extraTable;
    size_t index = static_cast<size_t>(number - fixedChannels);
    if (index >= extraTable.size() || !extraTable[index]) return nullptr;
    FileChannel* entry = extraTable[index].get();
    return entry->descriptor >= 0 ? entry : nullptr;
}

int writeSlow(FileChannel& entry, const void* data, int length) {
    const char* bytes = static_cast<const char*>(data);
    if (entry.buffer == nullptr) return writeAll(entry, bytes, length);
    if (entry.mode == Mode::read) switchToWriting(entry);
    if (entry.remaining > length) {
        std::memcpy(entry.buffer + bufferSize - entry.remaining, bytes, static_cast<size_t>(length));
        entry.remaining -= length;
        return length;
    }
    flush(entry);
    if (length >= bufferSize) return writeAll(entry, bytes, length);
    std::memcpy(entry.buffer, bytes, static_cast<size_t>(length));
    entry.remaining -= length;
    return length;
}

// A refill the file cannot fill has met its end (for a regular file, a
// short read is nothing else): what the buffer then holds is all there is,
// and a read past it comes back short without a call, since every further
// call would bring nothing, until a seek.
int readSlow(FileChannel& entry, void* data, int length) {
    char* destination = static_cast<char*>(data);
    if (entry.buffer == nullptr) return readAll(entry, destination, length);
    if (entry.mode == Mode::write) switchToReading(entry);
    int unconsumed = entry.remaining;
    if (unconsumed >= length) {
        std::memcpy(destination, entry.buffer + entry.filled - unconsumed, static_cast<size_t>(length));
        entry.remaining -= length;
        return length;
    }
    std::memcpy(destination, entry.buffer + entry.filled - unconsumed, static_cast<size_t>(unconsumed));
    entry.remaining = 0;
    int missing = length - unconsumed;
    if (entry.endReached) {
        entry.ended = true;
        return unconsumed;
    }
    if (missing >= bufferSize) {
        const int count = readAll(entry, destination + unconsumed, missing);
        entry.endReached = entry.ended = count < missing;
        return unconsumed + count;
    }
    int count = readAll(entry, entry.buffer, bufferSize);
    entry.filled = count;
    entry.endReached = count < bufferSize;
    entry.ended = count < missing;
    int taken = count < missing ? count : missing;
    std::memcpy(destination + unconsumed, entry.buffer, static_cast<size_t>(taken));
    entry.remaining = count - taken;
    return unconsumed + taken;
}

}  // namespace files_detail

using files_detail::channel;
using files_detail::writeSlow;

bool closeFile(int number) {
    files_detail::FileChannel* entry = channel(number);
    return entry == nullptr || files_detail::closeEntry(*entry);
}

void closeAllFiles() {
    for (auto& entry : files_detail::registry.fixed) files_detail::closeEntry(entry);
    if (files_detail::registry.beyond == nullptr) return;
    for (auto& entry : files_detail::registry.beyond->extraTable)
        if (entry) files_detail::closeEntry(*entry);
}

bool fileWriteFailed(int number) {
    files_detail::FileChannel* entry = channel(number);
    return entry != nullptr && entry->writeFailed;
}

int fileError(int number) {
    files_detail::FileChannel* entry = channel(number);
    return entry == nullptr ? 0 : entry->error;
}

bool syncFile(int number) {
    files_detail::FileChannel* entry = channel(number);
    if (entry == nullptr) return false;
    if (entry->buffer != nullptr && entry->mode == files_detail::Mode::write) files_detail::flush(*entry);
    return ::fsync(entry->descriptor) == 0 && !entry->writeFailed;
}

bool flushFile(int number) {
    files_detail::FileChannel* entry = channel(number);
    if (entry == nullptr) return false;
    if (entry->buffer != nullptr && entry->mode == files_detail::Mode::write) files_detail::flush(*entry);
    return !entry->writeFailed;
}

bool syncFileData(int number) {
    files_detail::FileChannel* entry = channel(number);
    if (entry == nullptr) return false;
    if (entry->buffer != nullptr && entry->mode == files_detail::Mode::write) files_detail::flush(*entry);
    // What the kernel could not write back is lost as surely as a refused write.
    if (::fdatasync(entry->descriptor) != 0 && errno != EINTR) {
        if (entry->error == 0) entry->error = errno;
        entry->writeFailed = true;
    }
    return !entry->writeFailed;
}

int writeString(int number, const char* text) {
    files_detail::FileChannel* entry = channel(number);
    if (entry == nullptr || text == nullptr || *text == '\0') return 0;
    return writeSlow(*entry, text, static_cast<int>(std::strlen(text)));
}

int writeLong(int number, int32_t value) {
    files_detail::FileChannel* entry = channel(number);
    return entry == nullptr ? 0 : writeSlow(*entry, &value, 4);
}

int writeByte(int number, int value) {
    files_detail::FileChannel* entry = channel(number);
    uint8_t byte = static_cast<uint8_t>(value);
    return entry == nullptr ? 0 : writeSlow(*entry, &byte, 1);
}

int64_t copyWords(int from, int to, int64_t words) {
    using files_detail::Mode;
    const int64_t asked = words;
    while (words > 0) {
        files_detail::FileChannel* source = channel(from);
        files_detail::FileChannel* target = channel(to);
        int64_t block = 0;
        if (source != nullptr && target != nullptr && source != target && source->buffer != nullptr &&
            target->buffer != nullptr && source->mode == Mode::read && target->mode == Mode::write) {
            // readWord takes a word from the buffer while it holds two bytes,
            // writeWord puts one there while more than two bytes are free.
            const int64_t readable = source->remaining / 2;
            const int64_t writable = target->remaining > 2 ? (target->remaining - 1) / 2 : 0;
            block = std::min({words, readable, writable});
        }
        if (block == 0) {
            // A refill, a flush, a channel that is not open: as a pair does it.
            // Past the source's end there is nothing to move.
            const int word = readWord(from);
            if (word == 0 && fileEnded(from)) break;
            writeWord(to, word);
            --words;
            continue;
        }
        const int bytes = static_cast<int>(block * 2);
        std::memcpy(target->buffer + files_detail::bufferSize - target->remaining,
                    source->buffer + source->filled - source->remaining, static_cast<size_t>(bytes));
        source->remaining -= bytes;
        target->remaining -= bytes;
        words -= block;
    }
    return asked - words;
}

int writeData(int number, const void* data, int length) {
    files_detail::FileChannel* entry = channel(number);
    if (entry == nullptr || data == nullptr || length <= 0) return 0;
    return writeSlow(*entry, data, length);
}

int readData(int number, void* destination, int length) {
    files_detail::FileChannel* entry = channel(number);
    if (entry == nullptr || destination == nullptr || length <= 0) return 0;
    return files_detail::readSlow(*entry, destination, length);
}

bool seekFile(int number, int64_t offset) {
    files_detail::FileChannel* entry = channel(number);
    if (entry == nullptr) return false;
    if (entry->buffer != nullptr && entry->mode == files_detail::Mode::write) files_detail::flush(*entry);
    entry->mode = files_detail::Mode::read;
    entry->remaining = 0;
    entry->filled = 0;
    entry->endReached = false;
    entry->ended = false;
    // Reading starts afresh; a refused write stays on record.
    if (!entry->writeFailed) entry->error = 0;
    return ::lseek(entry->descriptor, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

int64_t fileReadOffset(int number) {
    files_detail::FileChannel* entry = channel(number);
    if (entry == nullptr) return -1;
    const off_t at = ::lseek(entry->descriptor, 0, SEEK_CUR);
    if (at < 0) return -1;
    // What was read ahead into the buffer and not yet given lies before it.
    const int ahead = entry->buffer != nullptr && entry->mode == files_detail::Mode::read ? entry->remaining : 0;
    return static_cast<int64_t>(at) - ahead;
}

bool truncateFile(int number, int64_t size) {
    files_detail::FileChannel* entry = channel(number);
    if (entry == nullptr) return false;
    if (entry->buffer != nullptr && entry->mode == files_detail::Mode::write) files_detail::flush(*entry);
    if (::ftruncate(entry->descriptor, static_cast<off_t>(size)) != 0 ||
        ::lseek(entry->descriptor, static_cast<off_t>(size), SEEK_SET) != static_cast<off_t>(size)) {
        if (entry->error == 0) entry->error = errno;
        return false;
    }
    entry->mode = files_detail::Mode::write;
    entry->remaining = files_detail::bufferSize;
    return !entry->writeFailed;
}

int64_t openFileSize(int number) {
    files_detail::FileChannel* entry = channel(number);
    struct stat status {};
    if (entry == nullptr || ::fstat(entry->descriptor, &status) != 0) return -1;
    return static_cast<int64_t>(status.st_size);
}

const void* channelRecordAddress(int number) { return files_detail::channel(number); }
