// SPDX-License-Identifier: MIT
// The room left on the file system that holds an open file.
#include <sys/statvfs.h>

#include "files.h"

int64_t availableBytesBeside(int number) {
    const files_detail::FileChannel* entry = files_detail::channel(number);
    if (entry == nullptr) return -1;
    struct statvfs room {};
    if (::fstatvfs(entry->descriptor, &room) != 0) return -1;
    const auto blocks = static_cast<int64_t>(room.f_bavail), blockSize = static_cast<int64_t>(room.f_frsize);
    if (blockSize > 0 && blocks > INT64_MAX / blockSize) return INT64_MAX;
    return blocks * blockSize;
}
