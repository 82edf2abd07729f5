// SPDX-License-Identifier: MIT
// Opening files by name, and what a name holds.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "files.h"
#include "files_internal.h"
#include "files_testing.h"

int createFile(int number, const char* name, CreateFlags options) {
    files_detail::FileChannel* entry = files_detail::emptiedEntry(number);
    if (entry == nullptr || name == nullptr) return 0;
    if (hasFlag(options, CreateFlags::exclusive)) {
        const auto use = hasFlag(options, CreateFlags::keepContents) ? files_detail::OwnFileUse::writeKeeping
                                                                     : files_detail::OwnFileUse::write;
        return files_detail::adopt(*entry, files_detail::openOwnFile(name, use));
    }
    const int flags = O_CLOEXEC | (hasFlag(options, CreateFlags::refuseLinks) ? O_NOFOLLOW : 0);
    if (hasFlag(options, CreateFlags::newOnly))
        return files_detail::adopt(*entry, ::open(name, O_RDWR | O_CREAT | O_EXCL | flags, 0666));
    int descriptor = ::open(name, O_RDWR | O_CREAT | O_TRUNC | flags, 0666);
    // A file that exists but cannot be opened for reading can still be emptied.
    if (descriptor < 0 && errno != ELOOP) descriptor = ::open(name, O_WRONLY | O_TRUNC | flags);
    return files_detail::adopt(*entry, descriptor);
}

int openFileForReading(int number, const char* name) {
    files_detail::FileChannel* entry = files_detail::emptiedEntry(number);
    if (entry == nullptr || name == nullptr) return 0;
    return files_detail::adopt(*entry, ::open(name, O_RDONLY | O_CLOEXEC));
}

int64_t fileSize(const char* name) {
    if (name == nullptr || *name == '\0') return -1;
    std::string path(name);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return -1;
    if (S_ISDIR(status.st_mode)) return -2;
    return static_cast<int64_t>(status.st_size);
}

bool isSymbolicLink(const char* name) {
    struct stat status {};
    return name != nullptr && ::lstat(name, &status) == 0 && S_ISLNK(status.st_mode);
}

std::string getFilePart(const char* path) {
    if (path == nullptr) return {};
    std::string text(path);
    size_t start = text.find_last_of("/\\");
    if (start == std::string::npos) {
        start = (!text.empty() && text[0] == '"') ? 1 : 0;
    } else {
        ++start;
    }
    size_t end = text.find('"', start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}
