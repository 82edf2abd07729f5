// SPDX-License-Identifier: MIT
// Files the process holds as its own: the exclusive lock that keeps a second
// copy of the program off a take, the take's read side, and what of a file
// was really written.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "files.h"
#include "files_internal.h"

namespace files_detail {
namespace {

// Files this process holds an exclusive lock on, each by a descriptor of its
// own that stays open until exit: closing a channel must not hand the file to
// another process between two takes.
struct HeldLock {
    dev_t device;
    ino_t inode;
};
std::vector<HeldLock> heldLocks;

bool holdsLock(const struct stat& status) {
    for (const HeldLock& held : heldLocks)
        if (held.device == status.st_dev && held.inode == status.st_ino) return true;
    return false;
}

// Takes the lock on the regular file open under `descriptor`, or finds it
// held already. False when it is no regular file or another process has it.
bool lockRegularFile(int descriptor) {
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) return false;
    if (holdsLock(status)) return true;
    int keeper = ::dup(descriptor);
    if (keeper < 0 || ::flock(keeper, LOCK_EX | LOCK_NB) != 0) {
        if (keeper >= 0) ::close(keeper);
        return false;
    }
    ::fcntl(keeper, F_SETFD, FD_CLOEXEC);
    heldLocks.push_back({status.st_dev, status.st_ino});
    return true;
}

// Moves the stretch's start forward past zero bytes, or its end back past
// them, by at most one block: where a file was emptied under a writer that went on, the block
// beside the hole holds zeros that nobody wrote. Digital silence there is
// indistinguishable, and at most one block of it is lost.
enum class Border { start, end };
void trimUnwrittenZeros(int descriptor, int64_t block, FileStretch& stretch, Border border) {
    int64_t& from = stretch.start;
    int64_t& to = stretch.end;
    const bool atStart = border == Border::start;
    const int64_t length = std::min(block, to - from);
    if (length <= 0) return;
    std::vector<char> bytes(static_cast<size_t>(length));
    const int64_t offset = atStart ? from : to - length;
    if (::pread(descriptor, bytes.data(), bytes.size(), offset) != static_cast<ssize_t>(length)) return;
    int64_t zeros = 0;
    if (atStart) {
        while (zeros < length && bytes[static_cast<size_t>(zeros)] == 0) ++zeros;
        from += zeros;
    } else {
        while (zeros < length && bytes[static_cast<size_t>(length - 1 - zeros)] == 0) ++zeros;
        to -= zeros;
    }
}

}  // namespace

int openExclusive(const char* name, int flags) {
    // Opened without emptying, locked, and only then emptied, so that a file
    // another process holds is never touched.
    int descriptor = ::open(name, O_RDWR | O_CREAT | flags, 0666);
    if (descriptor < 0) return -1;
    if (!lockRegularFile(descriptor) || ::ftruncate(descriptor, 0) != 0) {
        ::close(descriptor);
        return -1;
    }
    return descriptor;
}

}  // namespace files_detail

using files_detail::channel;

int openExclusiveForReading(int number, const char* name) {
    files_detail::FileChannel* entry = files_detail::emptiedEntry(number);
    if (entry == nullptr || name == nullptr) return 0;
    // Non-blocking, so that a named pipe under the name cannot hold up the open.
    int descriptor = ::open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) return 0;
    if (!files_detail::lockRegularFile(descriptor)) {
        ::close(descriptor);
        return 0;
    }
    ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    return files_detail::adopt(*entry, descriptor);
}

int openReadSide(int number, int from) {
    files_detail::FileChannel* source = channel(from);
    if (source == nullptr || number == from) return 0;
    const int sourceDescriptor = source->descriptor;
    files_detail::FileChannel* entry = files_detail::emptiedEntry(number);
    if (entry == nullptr) return 0;
    // A new open of the very file, with a position of its own; where /proc is
    // missing, a duplicate shares the position, which seekFile sets anyway.
    const std::string link = "/proc/self/fd/" + std::to_string(sourceDescriptor);
    int descriptor = ::open(link.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) descriptor = ::fcntl(sourceDescriptor, F_DUPFD_CLOEXEC, 0);
    return files_detail::adopt(*entry, descriptor);
}

bool seekFile(int number, int64_t offset) {
    files_detail::FileChannel* entry = channel(number);
    if (entry == nullptr) return false;
    if (entry->buffer != nullptr && entry->mode == files_detail::Mode::write) files_detail::flush(*entry);
    entry->mode = files_detail::Mode::read;
    entry->remaining = 0;
    entry->filled = 0;
    // Reading starts afresh; a refused write stays on record.
    if (!entry->writeFailed) entry->error = 0;
    return ::lseek(entry->descriptor, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

int64_t openFileSize(int number) {
    files_detail::FileChannel* entry = channel(number);
    struct stat status {};
    if (entry == nullptr || ::fstat(entry->descriptor, &status) != 0) return -1;
    return static_cast<int64_t>(status.st_size);
}

std::vector<FileStretch> writtenStretches(int number, int64_t limit) {
    files_detail::FileChannel* entry = channel(number);
    struct stat status {};
    if (entry == nullptr || ::fstat(entry->descriptor, &status) != 0) return {};
    const int descriptor = entry->descriptor;
    const int64_t size = static_cast<int64_t>(status.st_size);
    const int64_t end = std::min(size, limit);
    const int64_t block = std::max<int64_t>(status.st_blksize, 4096);
    // The stretches are found with seeks; the channel's reading goes on
    // where it was.
    const off_t position = ::lseek(descriptor, 0, SEEK_CUR);
    std::vector<FileStretch> stretches;
    int64_t offset = 0;
    while (offset < end) {
        off_t data = ::lseek(descriptor, static_cast<off_t>(offset), SEEK_DATA);
        // A file system that cannot tell holes has none to tell.
        if (data < 0 && errno != ENXIO) data = static_cast<off_t>(offset);
        if (data < 0 || data >= end) break;
        off_t hole = ::lseek(descriptor, data, SEEK_HOLE);
        if (hole < 0) hole = static_cast<off_t>(size);
        FileStretch stretch{data, std::min<int64_t>(hole, end)};
        if (data > 0) files_detail::trimUnwrittenZeros(descriptor, block, stretch, files_detail::Border::start);
        if (hole < size && hole <= end)
            files_detail::trimUnwrittenZeros(descriptor, block, stretch, files_detail::Border::end);
        if (stretch.end > stretch.start) stretches.push_back(stretch);
        offset = hole;
    }
    ::lseek(descriptor, position, SEEK_SET);
    return stretches;
}
