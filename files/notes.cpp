// SPDX-License-Identifier: MIT
// Notes kept with a file as user extended attributes.
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

#include "files.h"
#include "files_testing.h"

namespace {

// A note is a short line; anything longer is not one of ours.
constexpr size_t largestNote = 256;

std::string noteText(ssize_t length, const char* text) {
    return length > 0 ? std::string(text, static_cast<size_t>(length)) : std::string();
}

// Replaces the note and puts it on disk; when that fails, an earlier note of
// the key must not stay behind to describe bytes it was not written for.
bool setNote(int descriptor, const char* key, const std::string& text) {
    if (::fsetxattr(descriptor, key, text.data(), text.size(), 0) != 0) {
        const int error = errno;
        ::fremovexattr(descriptor, key);
        errno = error;
        return false;
    }
    return ::fsync(descriptor) == 0;
}

}  // namespace

bool setFileNote(int number, const char* key, const std::string& text) {
    files_detail::FileChannel* entry = files_detail::channel(number);
    return entry != nullptr && key != nullptr && setNote(entry->descriptor, key, text);
}

bool setFileNote(const char* name, const char* key, const std::string& text) {
    if (name == nullptr || key == nullptr) return false;
    const int descriptor = ::open(name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0) return false;
    const bool set = setNote(descriptor, key, text);
    ::close(descriptor);
    return set;
}

std::string fileNote(int number, const char* key) {
    files_detail::FileChannel* entry = files_detail::channel(number);
    if (entry == nullptr || key == nullptr) return {};
    char text[largestNote];
    return noteText(::fgetxattr(entry->descriptor, key, text, sizeof text), text);
}

std::string fileNote(const char* name, const char* key) {
    if (name == nullptr || key == nullptr) return {};
    char text[largestNote];
    return noteText(::lgetxattr(name, key, text, sizeof text), text);
}
