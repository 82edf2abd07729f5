// SPDX-License-Identifier: MIT
// Files that take their name only once complete and on disk.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>

#include "files.h"
#include "files_internal.h"
#include "files_testing.h"

namespace files_detail {
namespace {

std::string hiddenNameIn(const std::string& folder, std::mt19937_64& random) {
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
    return folder + "/.ostrelle-" + suffix + ".part";
}

// Tries `attempt` under fresh hidden names beside `path` until one is free.
template <typename Attempt>
std::string underHiddenName(const char* path, Attempt attempt) {
    const std::string folder = folderOf(path);
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int tries = 0; tries < 16; ++tries) {
        std::string name = hiddenNameIn(folder, random);
        if (attempt(name)) return name;
        if (errno != EEXIST) break;
    }
    return {};
}

void syncFolderOf(const char* path) {
    // A new name is on disk only once its folder is.
    int descriptor = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) return;
    ::fsync(descriptor);
    ::close(descriptor);
}

// Moves `from` to `to`; without replacing, an existing `to` fails with EEXIST.
bool moveName(const char* from, const char* to, bool mayReplace) {
    if (mayReplace) return ::rename(from, to) == 0;
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // File systems that cannot rename without replacing can still link.
    if (::link(from, to) != 0) return false;
    ::unlink(from);
    return true;
}

// Gives the open file its name, as moveName would. Returns 0 or the error.
int publish(FileChannel& entry, int number, const char* path, bool mayReplace) {
    auto& hiddenNames = beyond().hiddenNames;
    auto hidden = hiddenNames.find(number);
    if (hidden != hiddenNames.end()) return moveName(hidden->second.c_str(), path, mayReplace) ? 0 : errno;
    // Linked through /proc: linking the descriptor itself needs a privilege.
    const std::string self = "/proc/self/fd/" + std::to_string(entry.descriptor);
    auto linkAs = [&](const std::string& name) {
        return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
    };
    if (!mayReplace) return linkAs(path) ? 0 : errno;
    // A link cannot replace; a hidden link renamed over the path can.
    const std::string linked = underHiddenName(path, linkAs);
    if (linked.empty()) return errno;
    if (::rename(linked.c_str(), path) == 0) return 0;
    const int error = errno;
    ::unlink(linked.c_str());
    return error;
}

}  // namespace

std::string folderOf(const std::string& path) {
    size_t separator = path.find_last_of('/');
    if (separator == std::string::npos) return ".";
    return separator == 0 ? std::string("/") : path.substr(0, separator);
}

}  // namespace files_detail

using files_detail::channel;

int createFileFor(int number, const char* path) {
    files_detail::FileChannel* entry = files_detail::emptiedEntry(number);
    files_detail::beyond().hiddenNames.erase(number);
    if (entry == nullptr || path == nullptr) {
        errno = EINVAL;
        return 0;
    }
    // An unnamed file vanishes with the process that made it, whenever that ends.
    if (!files_detail::beyond().unnamedFilesRefused) {
        const std::string folder = files_detail::folderOf(path);
        int descriptor = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (descriptor >= 0) {
            entry->writtenBehind = 0;
            return files_detail::adopt(*entry, descriptor);
        }
        // Only a file system without unnamed files gets a hidden one instead.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return 0;
    }
    std::string hidden = createHiddenFileBeside(number, path);
    if (hidden.empty()) return 0;
    files_detail::beyond().hiddenNames[number] = std::move(hidden);
    entry->writtenBehind = 0;
    return 1;
}

int publishFile(int number, const char* path, bool mayReplace) {
    files_detail::FileChannel* entry = channel(number);
    if (entry == nullptr || path == nullptr) return EBADF;
    int error = 0;
    if (!syncFile(number)) error = entry->error != 0 ? entry->error : errno;
    // A file replaced keeps its permissions.
    struct stat replaced {};
    if (error == 0 && mayReplace && ::stat(path, &replaced) == 0 && S_ISREG(replaced.st_mode))
        ::fchmod(entry->descriptor, replaced.st_mode & 07777);
    if (error == 0) error = files_detail::publish(*entry, number, path, mayReplace);
    // Once the sync succeeded the file is on disk; a close cannot undo that.
    files_detail::closeEntry(*entry);
    auto hidden = files_detail::beyond().hiddenNames.find(number);
    if (hidden != files_detail::beyond().hiddenNames.end()) {
        if (error != 0) ::unlink(hidden->second.c_str());
        files_detail::beyond().hiddenNames.erase(hidden);
    }
    if (error == 0) files_detail::syncFolderOf(path);
    return error;
}

void discardFile(int number) {
    closeFile(number);
    auto hidden = files_detail::beyond().hiddenNames.find(number);
    if (hidden == files_detail::beyond().hiddenNames.end()) return;
    ::unlink(hidden->second.c_str());
    files_detail::beyond().hiddenNames.erase(hidden);
}

std::string createHiddenFileBeside(int number, const char* path) {
    if (path == nullptr) return {};
    return files_detail::underHiddenName(path, [number](const std::string& name) {
        return createFile(number, name.c_str(), CreateFlags::newOnly | CreateFlags::refuseLinks) != 0;
    });
}

std::string resolvedPath(const char* path) {
    if (path == nullptr) return {};
    struct stat status {};
    if (::lstat(path, &status) != 0 || !S_ISLNK(status.st_mode)) return path;
    char* target = ::realpath(path, nullptr);
    if (target == nullptr) return path;
    std::string resolved(target);
    std::free(target);
    return resolved;
}

void refuseUnnamedFilesForTesting(bool refused) { files_detail::beyond().unnamedFilesRefused = refused; }
