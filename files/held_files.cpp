// SPDX-License-Identifier: MIT
// Files the process holds as its own: only the user's own file is taken,
// under the exclusive lock that keeps a second copy of the program off a
// take; the take's read side; and what of a file was really written. Built
// on the channel table (files.cpp), which calls nothing here.
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

bool holdsLock(const struct stat& status) {
    for (const HeldLock& held : beyond().heldLocks)
        if (held.device == status.st_dev && held.inode == status.st_ino) return true;
    return false;
}

// Takes the lock on the file open under `descriptor`, or finds it held
// already. False, with errno set, when another process has it (EWOULDBLOCK).
bool lock(int descriptor, const struct stat& status) {
    if (holdsLock(status)) return true;
    int keeper = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (keeper < 0) return false;
    if (::flock(keeper, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(keeper);
        errno = error;
        return false;
    }
    beyond().heldLocks.push_back({status.st_dev, status.st_ino});
    return true;
}

// What another user could have put under the name is refused before it is
// even opened where a look can tell: a link is never followed, and a pipe or
// a device is not opened at all. False with errno set (ELOOP, EPERM); true
// also when nothing is there.
bool mayOpen(const char* name) {
    struct stat status {};
    if (::lstat(name, &status) != 0 || S_ISREG(status.st_mode)) return true;
    errno = S_ISLNK(status.st_mode) ? ELOOP : EPERM;
    return false;
}

// Opens without following a link and without waiting on a pipe. For
// writing, a missing file is made, for the user alone: the take it will hold
// may never be saved, and must not be readable by others meanwhile.
int openWithoutFollowing(const char* name, OwnFileUse use, bool& created) {
    const bool writing = use != OwnFileUse::read;
    const int flags = (writing ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    created = false;
    // Where the file goes away between the two opens, it is made anew.
    for (int tries = 0; tries < 8; ++tries) {
        if (!mayOpen(name)) return -1;
        if (writing) {
            const int descriptor = ::open(name, flags | O_CREAT | O_EXCL, 0600);
            if (descriptor >= 0) {
                created = true;
                return descriptor;
            }
            // O_EXCL meets a link as an existing name; the open below refuses it.
            if (errno != EEXIST) return -1;
        }
        const int descriptor = ::open(name, flags);
        if (descriptor >= 0 || errno != ENOENT || use == OwnFileUse::read) return descriptor;
    }
    return -1;
}

// A file another user made, or one that a second name still reaches, could
// be read or emptied by whoever made it: only a regular file of the
// effective user's with one name is the process's own.
bool isOwnFile(const struct stat& status) {
    return S_ISREG(status.st_mode) && status.st_uid == ::geteuid() && status.st_nlink == 1;
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

int openOwnFile(const char* name, OwnFileUse use) {
    bool created = false;
    const int descriptor = openWithoutFollowing(name, use, created);
    if (descriptor < 0) return -1;
    // Checked, locked, and only then emptied, so that a file that is not the
    // user's own, or that another process holds, is never touched.
    struct stat status {};
    bool opened = ::fstat(descriptor, &status) == 0;
    if (opened && !isOwnFile(status)) {
        errno = EPERM;
        opened = false;
    }
    opened = opened && lock(descriptor, status);
    // 0600 whatever the umask, which may have taken the user's own writing,
    // and whatever mode an earlier file had: a take may never be saved, and
    // nobody else may read it meanwhile. Read back, a file keeps its mode.
    if (opened && use != OwnFileUse::read) opened = ::fchmod(descriptor, 0600) == 0;
    if (opened && use == OwnFileUse::write && !created) opened = ::ftruncate(descriptor, 0) == 0;
    if (opened) opened = ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK) == 0;
    if (!opened) {
        const int error = errno;
        ::close(descriptor);
        errno = error;
        return -1;
    }
    return descriptor;
}

}  // namespace files_detail

using files_detail::channel;

int openExclusiveForReading(int number, const char* name) {
    files_detail::FileChannel* entry = files_detail::emptiedEntry(number);
    if (entry == nullptr || name == nullptr) {
        errno = EINVAL;
        return 0;
    }
    return files_detail::adopt(*entry, files_detail::openOwnFile(name, files_detail::OwnFileUse::read));
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
